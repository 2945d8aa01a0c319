// FOps.cpp — the file calls and, in a test build, the fault seam under them.
//
// The loop and the worker of Jobs both come through here, so the counts are
// atomic; which call is the Nth of its kind may then depend on how the two
// interleave, and a walk over N only needs every call to be reached by some N.
#include "FOps.h"

#include <cerrno>
#include <cstdio>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace FOps {
namespace {

#ifdef WISP_FAULTS
std::atomic<uint32_t> cnt[opCnt];
std::atomic<uint32_t> at[opCnt];
std::atomic<int> code{0};
thread_local uint32_t here[opCnt];   // the calls of the thread itself

// Whether this call of kind op is the one to fail (errno then set).
bool Fails(TOp op) {
  ++here[op];
  const uint32_t k = cnt[op].fetch_add(1, std::memory_order_relaxed) + 1;
  if (k != at[op].load(std::memory_order_relaxed)) return false;
  errno = code.load(std::memory_order_relaxed);
  return true;
}
#else
constexpr bool Fails(TOp) { return false; }
#endif

}  // namespace

int Open(const char* n, int flags, mode_t m, bool beneath) {
  if (Fails(opOpen)) return -1;
  if (!beneath) return open(n, flags, m);
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = m;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const long h = syscall(SYS_openat2, AT_FDCWD, n, &how, sizeof how);
  if (h >= 0) return static_cast<int>(h);
  if (errno != ENOSYS && errno != EPERM) return -1;
  return open(n, flags | O_NOFOLLOW, m);
}

ssize_t PRead(int h, void* x, size_t l, off_t p) {
  if (Fails(opRead)) return -1;
  for (;;) {
    const ssize_t c = pread(h, x, l, p);
    if (c >= 0 || errno != EINTR) return c;
  }
}

ssize_t PWrite(int h, const void* x, size_t l, off_t p) {
  if (Fails(opWrite)) return -1;
  for (;;) {
    const ssize_t c = pwrite(h, x, l, p);
    if (c >= 0 || errno != EINTR) return c;
  }
}

int Fallocate(int h, int mode, off_t p, off_t l) {
  if (Fails(opAlloc)) return -1;
  for (;;) {
    const int r = fallocate(h, mode, p, l);
    if (r == 0 || errno != EINTR) return r;
  }
}

int Fsync(int h) { return Fails(opSync) ? -1 : fsync(h); }
int Fdatasync(int h) { return Fails(opSync) ? -1 : fdatasync(h); }
int SyncRange(int h, off_t p, off_t l) {
  return Fails(opSync) ? -1 : sync_file_range(h, p, l, SYNC_FILE_RANGE_WRITE);
}

int Linkat(int d1, const char* p1, int d2, const char* p2, int flags) {
  return Fails(opLink) ? -1 : linkat(d1, p1, d2, p2, flags);
}
int Link(const char* p1, const char* p2) { return Fails(opLink) ? -1 : link(p1, p2); }

int Rename(const char* p1, const char* p2) { return Fails(opRename) ? -1 : rename(p1, p2); }
int RenameNoReplace(const char* p1, const char* p2) {
  return Fails(opRename) ? -1 : renameat2(AT_FDCWD, p1, AT_FDCWD, p2, RENAME_NOREPLACE);
}

int Close(int h) {
  const bool fail = Fails(opClose);
  const int err = errno;
  const int r = close(h);
  if (!fail) return r;
  errno = err;
  return -1;
}

#ifdef WISP_FAULTS
bool FailAt(TOp op, uint32_t n, int err) {
  for (uint32_t k = 0; k < opCnt; ++k) {
    at[k].store(0, std::memory_order_relaxed);
    cnt[k].store(0, std::memory_order_relaxed);
    here[k] = 0;
  }
  code.store(err, std::memory_order_relaxed);
  at[op].store(n, std::memory_order_relaxed);
  return true;
}
uint32_t Calls(TOp op) { return cnt[op].load(std::memory_order_relaxed); }
uint32_t CallsHere(TOp op) { return here[op]; }
#else
bool FailAt(TOp, uint32_t, int) { return false; }
uint32_t Calls(TOp) { return 0; }
uint32_t CallsHere(TOp) { return 0; }
#endif

}  // namespace FOps
