// Files.cpp — the file table of the transfers.
//
// A file being received never touches its target name until the transfer has
// been checked: it is written into a temporary file beside the target and
// Commit puts it in place. A failed, refused or interrupted transfer thus
// leaves no partial file and never damages an existing one.
//
// The temporary file is anonymous where the file system allows (O_TMPFILE):
// it has no name until Commit links it under the target's, so not even a
// killed process or a power loss leaves it behind. Elsewhere it is a named
// ".name.wisp-PID-N.tmp", and the next start of the program sweeps those
// whose process is gone.
//
// A digest of a file of some GiB on the event loop's thread (a whole file,
// or the read-back of a received file's out-of-order part) takes seconds
// within one step of the loop; it looks for a pending console signal every
// chkLen bytes, so a stop takes effect at once and the termination chain
// (which closes the table and removes its temporary files) runs as usual.
// These functions run on the loop's thread only: the chain must not run on
// another (the server's digest worker hashes with its own code, and this
// module's own thread, below, only reads back and syncs through duplicates
// of the descriptors).
#include "Files.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "ConSigs.h"
#include "Lib3.h"
#include "Log.h"
#include "Slots.h"

namespace Files {
namespace {

TSlots<TFileDesc, cntMax> tbl;
TSettings set;
Lib3::TProc oldTerm = nullptr;
bool initialised = false;
uint32_t tmpCnt = 0;          // makes temporary names unique within the process

constexpr uint32_t blkLen = 4096;
constexpr uint64_t chkLen = 1048576;   // digests look for a console signal this often
constexpr char tmpMark[] = ".wisp-";
constexpr char tmpExt[] = ".tmp";

void Message(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, set.vrb); }

[[noreturn]] void Fatal(const char* s) {
  Log::Write(set.mid, Log::lvlFat, s, true);
  Lib3::Stop();
}

// " idx 3 wrt 1 rid 'name'"
void WrIdRid(SO::TBuffer& b, const TFileDesc& f, bool wrt) {
  SO::WrStr(b, " idx ");
  SO::WrShtCard(b, f.i, 1);
  if (wrt) {
    SO::WrStr(b, " wrt ");
    SO::WrShtCard(b, f.w ? 1 : 0, 1);
  }
  SO::WrStr(b, " rid '");
  SO::WrStrN(b, f.r, lenRID);
  SO::WrStr(b, "'");
}

// "<op> idx i wrt w rid 'r' tgt <target>"
void LogEntry(const char* op, const TFileDesc& f) {
  char s[512];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, op);
  WrIdRid(b, f, true);
  SO::WrStr(b, " tgt ");
  WrTgt(b, f.t);
  Message(s);
}

// An operation the system refused: "<op> failed idx i rid 'r' err <errno>".
// The entry is marked failed; its session ends with a failure result.
void Failure(TFileDesc& f, const char* op, int err) {
  f.e = true;
  char s[512];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, op);
  SO::WrStr(b, " failed");
  WrIdRid(b, f, false);
  SO::WrStr(b, " err ");
  SO::WrLngInt(b, err, 1);
  Message(s);
}

// Reports an operation that failed on an entry which may already have
// failed before: only the first failure of an entry is logged, so a full
// disk does not add a line per fragment.
void FailOnce(TFileDesc& f, const char* op, int err) {
  if (!f.e) Failure(f, op, err);
}

void LogDT(const char* op, const TFileDesc& f, uint32_t v) {
  char s[512];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, op);
  WrIdRid(b, f, false);
  SO::WrStr(b, " dt ");
  const char fill = b.c.p;
  b.c.p = '0';
  SO::WrLngHex(b, v, 8);
  b.c.p = fill;
  Message(s);
}

// A base name that names no file: empty, "." or "..", or the pattern of our
// own temporary files (which must never be read or targeted from outside).
bool IsTmpName(const char* n) {
  const size_t l = std::strlen(n);
  return n[0] == '.' && l >= sizeof tmpExt - 1 && std::strcmp(n + l - (sizeof tmpExt - 1), tmpExt) == 0 &&
         std::strstr(n, tmpMark) != nullptr;
}

bool IsUsable(const char* n) {
  return n[0] != 0 && std::strcmp(n, ".") != 0 && std::strcmp(n, "..") != 0 && !IsTmpName(n) &&
         !(set.srv && Log::IsOwnName(n));
}

// A resource id with a control character (below 0x20, or 0x7F) names no
// file: such a name would put line ends and the like into the log and onto
// the disk.
bool HasCtl(const char* r) {
  for (uint32_t k = 0; k < lenRID && r[k] != 0; ++k) {
    const unsigned char c = static_cast<unsigned char>(r[k]);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Opens the name n of the current directory for reading. For a served
// directory the path is resolved beneath it (openat2 with RESOLVE_BENEATH),
// so a symbolic link to something outside is missing; where the kernel lacks
// openat2, links are refused altogether.
THandle OpenForReading(const char* n) {
  constexpr int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  if (!set.srv) return open(n, flags);
  open_how how{};
  how.flags = flags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const long h = syscall(SYS_openat2, AT_FDCWD, n, &how, sizeof how);
  if (h >= 0) return static_cast<THandle>(h);
  if (errno != ENOSYS && errno != EPERM) return -1;
  return open(n, flags | O_NOFOLLOW);
}

// The temporary name ".<n>.wisp-<pid>-<count>.tmp"; false when it does not fit.
bool MkTmpName(const char* n, Types::TPthStr& tmp) {
  const int k = std::snprintf(tmp, sizeof tmp, ".%s%s%ld-%lu%s", n, tmpMark, static_cast<long>(getpid()),
                              static_cast<unsigned long>(++tmpCnt), tmpExt);
  if (k >= 0 && static_cast<size_t>(k) < sizeof tmp) return true;
  errno = ENAMETOOLONG;
  return false;
}

// Whether anonymous temporary files can be given a name later: linking one
// goes through its /proc/self/fd entry (linking by descriptor alone needs a
// privilege the program does not have).
bool CanLinkAnonymous() { return access("/proc/self/fd", X_OK) == 0; }

// Links the anonymous file h under the name n; fails with EEXIST when the
// name is taken.
bool LinkAnonymous(THandle h, const char* n) {
  char p[64];
  std::snprintf(p, sizeof p, "/proc/self/fd/%d", h);
  if (linkat(AT_FDCWD, p, AT_FDCWD, n, AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != ENOENT) return false;
  return linkat(h, "", AT_FDCWD, n, AT_EMPTY_PATH) == 0;
}

// The PID in a temporary name of this program's pattern, 0 when n is none.
long TmpPid(const char* n) {
  if (!IsTmpName(n)) return 0;
  const size_t l = std::strlen(n);
  // The last mark: the target's own name may contain one.
  const char* m = nullptr;
  for (const char* p = std::strstr(n, tmpMark); p != nullptr; p = std::strstr(p + 1, tmpMark)) m = p;
  const char* p = m + sizeof tmpMark - 1;
  const char* end = n + l - (sizeof tmpExt - 1);
  long pid = 0;
  const char* q = p;
  for (; q < end && *q >= '0' && *q <= '9' && pid < 100000000; ++q) pid = pid * 10 + (*q - '0');
  if (q == p || q >= end || *q != '-') return 0;
  const char* r = ++q;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) {
  }
  if (q == r || q != end) return 0;
  return pid;
}

// The temporary name is that of one of our open entries.
bool IsOurs(const char* n) {
  for (const TFileDesc& f : tbl.a)
    if (f.i != 0 && f.w && !f.c && !f.a && std::strcmp(f.tmp, n) == 0) return true;
  return false;
}

// Another entry is receiving into the name n.
bool IsReceiving(const char* n) {
  for (const TFileDesc& f : tbl.a)
    if (f.i != 0 && f.w && !f.c && std::strcmp(f.n, n) == 0) return true;
  return false;
}

// One buffer per entry, so that a run of fragments costs one system call
// instead of one each: a file being sent reads ahead (never beyond the
// target length) and serves the next fragments from memory; a file being
// received collects consecutive fragments and writes them at once. What is
// collected is written before anything else touches the file (Drain) and at
// the latest at the receiver's next update.
//
// A read ahead must pay off, whatever order a peer asks in: only a request
// that goes on from the buffer (in order) reads ahead, twice what the buffer
// served, up to bufLen in whole fragments; any other reads its fragment
// alone. Every byte read ahead is thus paid for by one served before, and
// what is read stays below twice what is sent; in order the stretch reaches
// bufLen after a few reads. The buffer outlives the sender's updates while
// the file's size and times stay as they were (Flush).
constexpr uint32_t bufLen = 65536;
struct TBufDesc {
  uint64_t p;           // file position of x[0]
  uint32_t n;           // bytes valid (read) or collected (write)
  uint32_t u;           // reading: bytes served from x since it was read
  struct stat st;       // reading: the file as the last Flush found it
  uint8_t x[bufLen];
};
TBufDesc buf[cntMax];   // by slot i - 1

// The disk space an upload holds: at open the free space must take the whole
// announced length, but only rsvLen of it is reserved, and later rsvLen
// ahead of the furthest byte written, renewed every rsvStep. A peer thus
// holds no more of the disk than it has sent and rsvLen, and write requests
// that send nothing cannot take the space of real uploads; the reservation
// still lays the file out in long runs and shows a full disk early.
constexpr uint64_t rsvLen = 64u << 20;
constexpr uint64_t rsvStep = 16u << 20;
constexpr uint64_t rsvNone = UINT64_MAX;   // the entry reserves nothing (no Reserve)
uint64_t rsv[cntMax];   // writing: reserved up to here, by slot i - 1

TFile Alloc(bool w, const char* r, THandle h, const TPosDesc& t, const Types::TPthStr& n,
            const Types::TPthStr& tmp, bool log = true) {
  if (tbl.Full()) return nullptr;
  TFileDesc* f = tbl.Take();
  if (f == nullptr) Fatal("Alloc cnt inconsistency");
  f->w = w;
  std::memset(f->r, 0, sizeof f->r);
  for (uint32_t k = 0; k < lenRID && r[k] != 0; ++k) f->r[k] = r[k];
  f->b = h;
  f->t = t;
  std::memcpy(f->n, n, sizeof f->n);
  std::memcpy(f->tmp, tmp, sizeof f->tmp);
  f->a = w && tmp[0] == 0;
  f->c = false;
  MD5::Init(f->x);
  buf[f->i - 1].n = 0;
  buf[f->i - 1].u = 0;
  buf[f->i - 1].st = {};
  rsv[f->i - 1] = rsvNone;
  if (log) LogEntry("Alloc", *f);
  return f;
}

ssize_t PRead(THandle h, void* x, size_t l, off_t p) {
  for (;;) {
    const ssize_t c = pread(h, x, l, p);
    if (c >= 0 || errno != EINTR) return c;
  }
}

// Reads up to l bytes at p, fewer at the end of the file; err becomes the
// reason when a read fails (what was read before it is counted).
uint32_t ReadAt(THandle h, uint8_t* x, uint32_t l, uint64_t p, int& err) {
  uint32_t c = 0;
  err = 0;
  while (c < l) {
    const ssize_t k = PRead(h, x + c, l - c, static_cast<off_t>(p + c));
    if (k < 0) {
      err = errno;
      break;
    }
    if (k == 0) break;
    c += static_cast<uint32_t>(k);
  }
  return c;
}

// Writes l bytes of x at p; a refused write marks the entry failed.
void WriteAt(TFileDesc& f, const uint8_t* x, uint32_t l, uint64_t p) {
  uint32_t c = 0;
  while (c < l) {
    const ssize_t k = pwrite(f.b, x + c, l - c, static_cast<off_t>(p + c));
    if (k < 0) {
      if (errno == EINTR) continue;
      Failure(f, "Write", errno);
      return;
    }
    c += static_cast<uint32_t>(k);
  }
}

// Writes what the entry has collected.
void Drain(TFileDesc& f) {
  TBufDesc& q = buf[f.i - 1];
  if (q.n > 0 && !f.e) WriteAt(f, q.x, q.n, q.p);
  q.n = 0;
}

// The background thread. It does for files being received what the loop
// must not wait for: it follows the in-order prefix of a large file with its
// digest, reading back what was written (from the page cache), so the loop
// only writes and the final check finds the digest ready; and it syncs their
// data every syncLen bytes (see WriteBack). It starts with the first large
// file. A process that cannot start it, or a child forked from the one that
// did, digests in the loop as before and leaves the syncing to Commit.
constexpr uint32_t followMin = 8u << 20;   // files from this length on are followed
constexpr uint32_t followStep = 1u << 20;  // digested per turn of the thread

struct TFollowDesc {
  int fd = -1;          // the thread's duplicate of the entry's file; -1: not followed
  uint32_t want = 0;    // to be digested up to here (written, in order)
  uint32_t xl = 0;      // digested so far
  MD5::TCtxDesc x{};    // the digest of the first xl bytes
  bool busy = false;    // the thread works on it, outside the lock
  bool fail = false;    // a read back failed: the final check digests anew
};
struct TBackDesc {
  std::mutex m;
  std::condition_variable c;   // work for the thread, or stop
  std::condition_variable d;   // a piece of a digest is done
  pthread_t t{};
  pid_t pid = 0;               // the process that started the thread; 0: none
  bool stop = false;
  int sfd = -1;                // a duplicate to sync; -1: none
  uint32_t next = 0;           // where the round over the entries goes on
  TFollowDesc e[cntMax];       // by slot i - 1
};
// Never destroyed: a test process may end while the thread still waits on
// the condition, and destroying a condition with a waiter blocks.
TBackDesc& bg = *new TBackDesc;
uint8_t bgBuf[bufLen];         // the thread's read-back buffer

bool BgOn() { return bg.pid != 0 && bg.pid == getpid(); }

// An entry with digest work, in turn (take: the round moves on).
TFollowDesc* BgPick(bool take) {
  for (uint32_t k = 0; k < cntMax; ++k) {
    const uint32_t j = (bg.next + k) % cntMax;
    TFollowDesc& e = bg.e[j];
    if (e.fd < 0 || e.fail || e.xl >= e.want) continue;
    if (take) bg.next = (j + 1) % cntMax;
    return &e;
  }
  return nullptr;
}

void* BgWork(void*) {
  std::unique_lock<std::mutex> l(bg.m);
  for (;;) {
    bg.c.wait(l, [] { return bg.stop || bg.sfd >= 0 || BgPick(false) != nullptr; });
    if (bg.stop) return nullptr;
    if (bg.sfd >= 0) {
      const int fd = bg.sfd;
      l.unlock();
      (void)fdatasync(fd);
      close(fd);
      l.lock();
      bg.sfd = -1;
      continue;
    }
    TFollowDesc& e = *BgPick(true);
    e.busy = true;
    const int fd = e.fd;
    uint32_t xl = e.xl;
    const uint32_t end = e.want - xl < followStep ? e.want : xl + followStep;
    MD5::TCtxDesc x = e.x;
    l.unlock();
    bool ok = true;
    while (ok && xl < end) {
      const uint32_t n = end - xl < bufLen ? end - xl : bufLen;
      int err;
      ok = ReadAt(fd, bgBuf, n, xl, err) == n;
      if (ok) {
        MD5::Update(x, bgBuf, n);
        xl += n;
      }
    }
    l.lock();
    e.x = x;
    e.xl = xl;
    e.fail = !ok;
    e.busy = false;
    bg.d.notify_all();
  }
}

bool BgStart() {
  if (BgOn()) return true;
  if (bg.pid != 0) return false;   // started by the process this one was forked from
  bg.stop = false;
  if (pthread_create(&bg.t, nullptr, BgWork, nullptr) != 0) return false;
  bg.pid = getpid();
  return true;
}

void BgStop() {
  if (!BgOn()) return;
  {
    std::lock_guard<std::mutex> g(bg.m);
    bg.stop = true;
  }
  bg.c.notify_all();
  pthread_join(bg.t, nullptr);
  bg.pid = 0;
  if (bg.sfd >= 0) close(bg.sfd);
  bg.sfd = -1;
}

// Hands the file to the thread to sync, unless it is busy with a sync.
void SyncLater(const TFileDesc& f) {
  if (!BgOn()) return;
  std::lock_guard<std::mutex> g(bg.m);
  if (bg.sfd >= 0) return;
  bg.sfd = fcntl(f.b, F_DUPFD_CLOEXEC, 0);
  if (bg.sfd >= 0) bg.c.notify_all();
}

// A write entry of target length l: followed by the thread when l is large
// and the thread runs.
void FollowStart(TFileDesc& f, uint32_t l) {
  if (f.fo || l < followMin || !BgStart()) return;
  const int d = fcntl(f.b, F_DUPFD_CLOEXEC, 0);
  if (d < 0) return;
  std::lock_guard<std::mutex> g(bg.m);
  TFollowDesc& e = bg.e[f.i - 1];
  e = TFollowDesc{};
  e.fd = d;
  MD5::Init(e.x);
  f.fo = true;
}

void FollowWant(const TFileDesc& f, uint32_t p) {
  {
    std::lock_guard<std::mutex> g(bg.m);
    TFollowDesc& e = bg.e[f.i - 1];
    if (p <= e.want) return;
    e.want = p;
  }
  bg.c.notify_all();
}

// Waits until the thread has digested what it was given (looking for a
// console signal every 100 ms); false when its read back failed.
bool FollowWait(const TFileDesc& f, MD5::TCtxDesc& x, uint32_t& l) {
  TFollowDesc& e = bg.e[f.i - 1];
  std::unique_lock<std::mutex> g(bg.m);
  while (!e.fail && e.xl < e.want) {
    bg.d.wait_for(g, std::chrono::milliseconds(100));
    g.unlock();
    ConSigs::Check();
    g.lock();
  }
  x = e.x;
  l = e.xl;
  return !e.fail;
}

void FollowEnd(TFileDesc& f) {
  if (!f.fo) return;
  std::unique_lock<std::mutex> g(bg.m);
  TFollowDesc& e = bg.e[f.i - 1];
  bg.d.wait(g, [&] { return !e.busy; });
  if (e.fd >= 0) close(e.fd);
  e = TFollowDesc{};
  f.fo = false;
}

void DoneModule() {
  Message("DoneModule");
  BgStop();
  CloseAll();
  oldTerm();
}

}  // namespace

void InitModule(const TSettings& s) {
  set = s;
  if (initialised) {
    if (tbl.n == 0) tbl.Reset(set.cnt);
    return;
  }
  initialised = true;
  Log::Register(set.mid, "Files");
  tbl.Reset(set.cnt);
  Lib3::Terminate(DoneModule, oldTerm);
  Sweep();
}

uint32_t Sweep() {
  DIR* d = opendir(".");
  if (d == nullptr) return 0;
  const long me = static_cast<long>(getpid());
  uint32_t n = 0;
  while (const dirent* e = readdir(d)) {
    const long pid = TmpPid(e->d_name);
    if (pid <= 0) continue;
    if (pid == me ? IsOurs(e->d_name) : !(kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) continue;
    struct stat st;
    if (lstat(e->d_name, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlink(e->d_name) == 0) ++n;
  }
  closedir(d);
  if (n > 0) {
    char s[64];
    SO::TBuffer b;
    SO::Init(b, s);
    SO::WrStr(b, "Sweep removed ");
    SO::WrLngCard(b, n, 1);
    SO::WrStr(b, " temporary files");
    Message(s);
  }
  return n;
}

void MkBaseName(const char* r, Types::TPthStr& n) {
  uint32_t k = 0;
  for (uint32_t j = 0; j < lenRID && r[j] != 0; ++j) {
    if (r[j] == '\\' || r[j] == '/') k = 0;
    else n[k++] = r[j];
  }
  n[k] = 0;
}

void MkRdPth(const char* r, Types::TPthStr& n) { MkBaseName(r, n); }
void MkWrPth(const char* r, Types::TPthStr& n) { MkBaseName(r, n); }

namespace {

// Enters the open file h for reading under the name n and resource id r:
// a regular file below 4 GiB, its digest computed now unless later is set.
// h is closed when it does not qualify or the table is full.
TFile EnterRd(THandle h, const char* r, const Types::TPthStr& n, bool later) {
  struct stat st;
  if (fstat(h, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    close(h);
    return nullptr;
  }
  TPosDesc t{};
  t.l = static_cast<uint32_t>(st.st_size);
  // A file that cannot be read through is missing.
  if (!later && !CalcMD5(h, t.d, t.l)) {
    close(h);
    return nullptr;
  }
  const Types::TPthStr none = {};
  TFile f = Alloc(false, r, h, t, n, none, !later);
  if (f == nullptr) close(h);
  return f;
}

}  // namespace

TFile OpenRd(const char* r, bool later) {
  if (tbl.Full()) return nullptr;
  Types::TPthStr n;
  MkRdPth(r, n);
  if (!IsUsable(n) || HasCtl(r)) return nullptr;
  // Non-blocking, so that a FIFO of that name cannot hold up the program;
  // the type test refuses it anyway.
  const THandle h = OpenForReading(n);
  if (h < 0) return nullptr;
  return EnterRd(h, r, n, later);
}

TFile OpenRdPth(const char* p, const char* r) {
  if (tbl.Full()) return nullptr;
  const THandle h = open(p, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (h < 0) return nullptr;
  Types::TPthStr n;
  MkBaseName(r, n);   // the name in reports
  return EnterRd(h, r, n, false);
}

TFile OpenWr(const char* r) {
  if (tbl.Full()) return nullptr;
  Types::TPthStr n;
  MkWrPth(r, n);
  if (!IsUsable(n) || HasCtl(r)) return nullptr;
  if (IsReceiving(n)) return nullptr;
  struct stat st;
  if (lstat(n, &st) == 0) {
    if (!set.ovr) return nullptr;
    // Only a file (or a link, which the rename replaces) gives way.
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return nullptr;
  }
  Types::TPthStr tmp = {};
  THandle h = -1;
  if (CanLinkAnonymous()) {
    h = open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    // Only a file system without anonymous files falls back to a named one;
    // a directory that is not writable or a full disk refuses either way.
    if (h < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return nullptr;
  }
  for (uint32_t tries = 0; tries < 8 && h < 0; ++tries) {
    if (!MkTmpName(n, tmp)) return nullptr;
    h = open(tmp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (h < 0 && errno != EEXIST) return nullptr;
  }
  if (h < 0) return nullptr;
  const TPosDesc t = {};
  TFile f = Alloc(true, r, h, t, n, tmp);
  if (f == nullptr) {
    close(h);
    if (tmp[0] != 0) unlink(tmp);
  }
  return f;
}

namespace {
// Reserves f's disk space up to end. The blocks are reserved beyond the end
// of the file: its length stays what was written, so the end-of-write check
// sees the truth. A file system that cannot reserve is left to its writes.
bool ReserveTo(TFileDesc& f, uint64_t end) {
  uint64_t& r = rsv[f.i - 1];
  for (;;) {
    if (fallocate(f.b, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(r), static_cast<off_t>(end - r)) == 0) {
      r = end;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno == EOPNOTSUPP || errno == ENOSYS) {
      r = rsvNone;
      return true;
    }
    Failure(f, "Reserve", errno);
    return false;
  }
}

// The reservation of an upload whose data reached end, rsvLen ahead of it.
void ReserveAhead(TFileDesc& f, uint64_t end) {
  const uint64_t r = rsv[f.i - 1];
  if (r == rsvNone || r >= f.t.l || end + rsvLen < r + rsvStep) return;
  ReserveTo(f, end + rsvLen < f.t.l ? end + rsvLen : f.t.l);
}
}  // namespace

bool Reserve(TFile f) {
  if (f == nullptr || f->i == 0) Fatal("Reserve invalid file");
  if (!f->w) Fatal("Reserve mode");
  if (f->e) return false;
  if (f->t.l == 0) return true;
  struct statvfs v{};
  if (fstatvfs(f->b, &v) == 0 && uint64_t(v.f_bavail) * v.f_frsize < f->t.l) {
    Failure(*f, "Reserve", ENOSPC);
    return false;
  }
  rsv[f->i - 1] = 0;
  return ReserveTo(*f, f->t.l < rsvLen ? f->t.l : rsvLen);
}

bool Commit(TFile f) {
  if (f == nullptr || f->i == 0) Fatal("Commit invalid file");
  if (!f->w) Fatal("Commit mode");
  if (f->c) return true;
  Drain(*f);
  if (f->e) return false;
  // The data first: a file must never appear under its name with contents
  // that a power loss can still take away.
  if (fsync(f->b) != 0) {
    Failure(*f, "Sync", errno);
    return false;
  }
  bool ok;
  int err = 0;
  if (f->a) {
    if (set.ovr) {
      // A name of its own first, then the rename over the target: a link
      // cannot replace. A crash in between leaves a named temporary file
      // for the next start's sweep.
      ok = MkTmpName(f->n, f->tmp) && LinkAnonymous(f->b, f->tmp);
      if (ok) {
        ok = rename(f->tmp, f->n) == 0;
        err = errno;
        if (!ok) unlink(f->tmp);
      } else {
        err = errno;
      }
      f->tmp[0] = 0;
    } else {
      ok = LinkAnonymous(f->b, f->n);
      err = errno;
    }
  } else if (set.ovr) {
    ok = rename(f->tmp, f->n) == 0;
    err = errno;
  } else {
    // Never replace a file that appeared while the transfer ran.
    ok = renameat2(AT_FDCWD, f->tmp, AT_FDCWD, f->n, RENAME_NOREPLACE) == 0;
    err = errno;
    if (!ok && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
      // File systems without the no-replace rename: a hard link fails just
      // the same when the name is taken.
      ok = link(f->tmp, f->n) == 0;
      err = errno;
      if (ok) unlink(f->tmp);
    }
  }
  // A name that is taken is the caller's refusal; anything else a failure.
  if (!ok && err != EEXIST) Failure(*f, "Link", err);
  if (ok) {
    f->c = true;
    f->tmp[0] = 0;
    // Then the directory entry. The file is in place by now; a directory
    // that cannot be synced (some file systems refuse) is only logged.
    const int d = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0 || fsync(d) != 0) {
      char s[512];
      SO::TBuffer b;
      SO::Init(b, s);
      SO::WrStr(b, "Sync dir failed");
      WrIdRid(b, *f, false);
      SO::WrStr(b, " err ");
      SO::WrLngInt(b, errno, 1);
      Message(s);
    }
    if (d >= 0) close(d);
  }
  char s[512];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Commit");
  WrIdRid(b, *f, false);
  SO::WrStr(b, ok ? " ok 1" : " ok 0");
  Message(s);
  return ok;
}

void Free(TFile& f) {
  if (f == nullptr || f->i == 0) Fatal("Free invalid file");
  if (f->w) Drain(*f);
  FollowEnd(*f);
  LogEntry("Free", *f);
  tbl.Give(f);
  f = nullptr;
}

bool Failed(TFile f) { return f->e; }

bool Close(TFile& f) {
  bool ok = true;
  if (f != nullptr && f->i != 0) {
    if (f->w) Drain(*f);
    FollowEnd(*f);
    if (close(f->b) != 0) {
      Failure(*f, "Close", errno);
      ok = false;
    }
    // An anonymous temporary file has gone with its descriptor.
    if (f->w && !f->c && !f->a && unlink(f->tmp) != 0 && errno != ENOENT) {
      Failure(*f, "Delete", errno);
      ok = false;
    }
  }
  Free(f);
  return ok;
}

void CloseAll() {
  tbl.ForEach([](TFileDesc& e) {
    TFile f = &e;
    Close(f);
  });
}

void SetTgt(TFile f, const TPosDesc& t) {
  if (!f->w) Fatal("SetTgt mode");
  f->t = t;
  FollowStart(*f, t.l);
  LogEntry("SetTgt", *f);
}

void GetTgt(TFile f, TPosDesc& x) { x = f->t; }

void SetRdTgt(TFile f, const TPosDesc& t) {
  if (f->w) Fatal("SetRdTgt mode");
  f->t = t;
  LogEntry("Alloc", *f);
}

void GetRID(TFile f, TResID& x) { std::memcpy(x, f->r, sizeof x); }

namespace {
// A write entry's present length, what it collected written first; false
// when it cannot be known or is 4 GiB or more.
bool PresentLen(TFileDesc& f, uint32_t& l) {
  Drain(f);
  struct stat st{};
  if (fstat(f.b, &st) != 0 || static_cast<uint64_t>(st.st_size) > UINT32_MAX) return false;
  l = static_cast<uint32_t>(st.st_size);
  return true;
}
}  // namespace

void GetPos(TFile f, uint32_t p, TPosDesc& x) {
  if (f->w) {
    uint32_t len = 0;
    if (PresentLen(*f, len) && !f->xr && len >= f->xl) {
      // The prefix is digested already: read back only the rest.
      Extend(f, len);
      MD5::TCtxDesc c = f->x;
      uint32_t l = f->xl;
      if (f->fo && !FollowWait(*f, c, l)) {
        if (!CalcMD5(f->b, x.d, x.l)) FailOnce(*f, "Read", errno);
      } else {
        MD5::Final(c, x.d);
        x.l = l;
      }
    } else if (!CalcMD5(f->b, x.d, x.l)) {
      FailOnce(*f, "Read", errno);
    }
    // What was stored is incomplete: make sure it can never pass the check.
    if (f->e) x.l = f->t.l ^ 1u;
  } else if (p < f->t.l) {
    x.l = p;
    if (!CalcMD5x(f->b, p, x.d)) FailOnce(*f, "Read", errno);
  } else {
    x = f->t;
  }
}

uint32_t Read(TFile f, uint32_t p, void* x, size_t n, uint32_t l) {
  if (f->w) Fatal("Read mode");
  if (n < l) Fatal("Read len");
  TBufDesc& q = buf[f->i - 1];
  int err = 0;
  if (l > bufLen) {
    const uint32_t c = ReadAt(f->b, static_cast<uint8_t*>(x), l, p, err);
    if (err != 0) FailOnce(*f, "Read", err);
    return c;
  }
  if (p < q.p || uint64_t(p) + l > q.p + q.n) {
    // Not in the buffer: the fragment alone, or, going on from the buffer,
    // twice what it served (not beyond the target length; a request beyond
    // the target is read as asked).
    uint64_t want = l;
    if (q.n > 0 && p >= q.p && p <= q.p + q.n) {
      const uint64_t most = l == 0 ? bufLen : bufLen / l * l;
      want = 2 * uint64_t(q.u) < most ? 2 * uint64_t(q.u) : most;
      if (want < l) want = l;
    }
    uint64_t end = uint64_t(p) + want < f->t.l ? uint64_t(p) + want : f->t.l;
    if (end < uint64_t(p) + l) end = uint64_t(p) + l;
    q.p = p;
    q.u = 0;
    q.n = ReadAt(f->b, q.x, static_cast<uint32_t>(end - p), p, err);
    if (err != 0 && q.n < l) FailOnce(*f, "Read", err);
  }
  const uint32_t at = static_cast<uint32_t>(p - q.p);
  const uint32_t c = q.n - at < l ? q.n - at : l;
  std::memcpy(x, q.x + at, c);
  q.u += c;
  return c;
}

void Write(TFile f, uint32_t p, const void* x, size_t n, uint32_t l) {
  if (!f->w) Fatal("Write mode");
  if (n < l) Fatal("Write len");
  if (f->e) return;
  const uint8_t* s = static_cast<const uint8_t*>(x);
  TBufDesc& q = buf[f->i - 1];
  if (q.n > 0 && (uint64_t(p) != q.p + q.n || q.n + l > bufLen)) Drain(*f);
  if (l > bufLen) {
    WriteAt(*f, s, l, p);
  } else {
    if (q.n == 0) q.p = p;
    std::memcpy(q.x + q.n, s, l);
    q.n += l;
  }
  if (f->e) return;
  ReserveAhead(*f, uint64_t(p) + l);
  if (f->e) return;
  // In order: the running digest takes the data as it goes by (followed:
  // the thread reads it back once Extend hands it over).
  if (f->fo) {
    if (p < f->xl) f->xr = true;
  } else if (p == f->xl) {
    MD5::Update(f->x, s, l);
    f->xl += l;
  } else if (p < f->xl) {
    f->xr = true;
  }
}

// The disk gets what has arrived while the transfer goes on: Commit syncs
// the file before its name appears, and a sync that finds the whole file
// still in memory would hold the end of a large transfer up by the time the
// disk needs for all of it. Started every wbLen bytes of the in-order
// prefix; it only starts the writing and does not wait for it.
//
// Starting the writing is not all: the disk (or the host under a virtual
// one) may still hold the data in its cache, and the final sync then waits
// for that cache to be flushed, a tenth of a second and more for 256 MiB.
// So every syncLen bytes a thread of this module syncs the file's data
// (fdatasync on a duplicate of its descriptor) while the transfer goes on;
// Commit's sync then finds little left. The loop never waits for it: a sync
// still running when the next is due is simply skipped.
namespace {
constexpr uint32_t wbLen = 8u << 20;
constexpr uint32_t syncLen = 32u << 20;

void WriteBack(TFileDesc& f, uint32_t p) {
  if (p - f.wb < wbLen) return;
  (void)sync_file_range(f.b, f.wb, p - f.wb, SYNC_FILE_RANGE_WRITE);
  if (p / syncLen != f.wb / syncLen) SyncLater(f);
  f.wb = p;
}
}  // namespace

bool Ready(TFile f) {
  if (!f->w || !f->fo || f->e || f->xr) return true;
  uint32_t len = 0;
  if (!PresentLen(*f, len)) return true;
  Extend(f, len);
  std::lock_guard<std::mutex> g(bg.m);
  const TFollowDesc& e = bg.e[f->i - 1];
  return e.fail || e.xl >= e.want;
}

void Flush(TFile f) {
  if (f->w) return Drain(*f);
  // A file whose size or times moved may hold other bytes than were read.
  TBufDesc& q = buf[f->i - 1];
  struct stat st{};
  const bool known = fstat(f->b, &st) == 0;
  if (!known || st.st_size != q.st.st_size || st.st_mtim.tv_sec != q.st.st_mtim.tv_sec ||
      st.st_mtim.tv_nsec != q.st.st_mtim.tv_nsec || st.st_ctim.tv_sec != q.st.st_ctim.tv_sec ||
      st.st_ctim.tv_nsec != q.st.st_ctim.tv_nsec) {
    q.n = 0;
  }
  q.st = st;
}

void Extend(TFile f, uint32_t p) {
  if (f->w) Drain(*f);
  if (f->w && !f->e && p > f->wb) WriteBack(*f, p);
  if (!f->w || f->e || f->xr || p <= f->xl) return;
  if (f->fo) {
    f->xl = p;
    FollowWant(*f, p);
    return;
  }
  uint8_t buf[blkLen];
  uint64_t n = 0;   // read back since the last look for a console signal
  while (f->xl < p) {
    if (n >= chkLen) {
      ConSigs::Check();
      n = 0;
    }
    const uint32_t l = p - f->xl < blkLen ? p - f->xl : blkLen;
    const ssize_t k = PRead(f->b, buf, l, static_cast<off_t>(f->xl));
    if (k <= 0) {
      f->xr = true;   // the final check digests the whole file instead
      return;
    }
    MD5::Update(f->x, buf, static_cast<uint32_t>(k));
    f->xl += static_cast<uint32_t>(k);
    n += static_cast<uint64_t>(k);
  }
}

void Trunc(TFile f, uint32_t p) {
  if (!f->w) Fatal("Trunc mode");
  Drain(*f);
  if (ftruncate(f->b, static_cast<off_t>(p)) != 0) FailOnce(*f, "Trunc", errno);
}

void GetDateTime(TFile f, DT::TDateTime& x) {
  struct stat st;
  const bool known = fstat(f->b, &st) == 0;
  if (!known) FailOnce(*f, "Stat", errno);
  // The modification time as a DOS date and time value (local time, two
  // seconds resolution); 0 when it has no such form or cannot be read.
  uint32_t v = 0;
  struct tm tm;
  const time_t tt = known ? st.st_mtim.tv_sec : 0;
  if (known && localtime_r(&tt, &tm) != nullptr && tm.tm_year + 1900 >= 1980 && tm.tm_year + 1900 <= 2107) {
    const uint32_t date = uint32_t(tm.tm_year + 1900 - 1980) << 9 | uint32_t(tm.tm_mon + 1) << 5 | uint32_t(tm.tm_mday);
    const uint32_t time = uint32_t(tm.tm_hour) << 11 | uint32_t(tm.tm_min) << 5 | uint32_t(tm.tm_sec / 2);
    v = date << 16 | time;
  }
  const uint32_t date = v >> 16, time = v & 0xFFFF;
  x.d = DT::PackDate(static_cast<int32_t>((date >> 9) + 1980), (date >> 5) & 15, date & 31);
  x.t = DT::PackTime(time >> 11, (time >> 5) & 63, (time & 31) * 2, 0);
  LogDT("GetDateTime", *f, v);
}

bool SetDateTime(TFile f, const DT::TDateTime& x) {
  if (f->w) Drain(*f);   // a later write would move the time again
  int32_t year;
  uint32_t month, day, hour, minute, second, ms;
  DT::UnpackDate(x.d, year, month, day);
  if (year < 1980) {
    year = 1980; month = 1; day = 1;
  } else if (year > 2107) {
    year = 2107; month = 12; day = 31;
  }
  DT::UnpackTime(x.t, hour, minute, second, ms);
  if (ms >= 500) second++;
  const uint32_t date = uint32_t(year - 1980) * 512 + month * 32 + day;
  const uint32_t time = hour * 2048 + minute * 32 + second / 2;
  const uint32_t v = date * 65536 + time;
  struct tm tm = {};
  tm.tm_year = static_cast<int>((date >> 9) + 1980 - 1900);
  tm.tm_mon = static_cast<int>((date >> 5) & 15) - 1;
  tm.tm_mday = static_cast<int>(date & 31);
  tm.tm_hour = static_cast<int>(time >> 11);
  tm.tm_min = static_cast<int>((time >> 5) & 63);
  tm.tm_sec = static_cast<int>((time & 31) * 2);
  tm.tm_isdst = -1;
  const time_t tt = mktime(&tm);
  bool ok = true;
  if (tt != static_cast<time_t>(-1)) {
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;   // the access time stays as it is
    ts[1].tv_sec = tt;
    ts[1].tv_nsec = 0;
    if (futimens(f->b, ts) != 0) {
      Failure(*f, "SetDateTime", errno);
      ok = false;
    }
  }
  LogDT("SetDateTime", *f, v);
  return ok;
}

bool CalcMD5(THandle h, MD5::TDgstDesc& d, uint32_t& l) {
  uint8_t buf[blkLen];
  MD5::TCtxDesc ctx;
  MD5::Init(ctx);
  uint64_t total = 0;
  int err = 0;
  for (;;) {
    if (total % chkLen == 0) ConSigs::Check();
    const uint32_t c = ReadAt(h, buf, blkLen, total, err);
    if (c > 0) MD5::Update(ctx, buf, c);
    total += c;
    if (c == 0 || err != 0) break;
  }
  MD5::Final(ctx, d);
  l = static_cast<uint32_t>(total);
  errno = err;
  return err == 0;
}

bool CalcMD5x(THandle h, uint32_t n, MD5::TDgstDesc& d) {
  uint8_t buf[blkLen];
  MD5::TCtxDesc ctx;
  MD5::Init(ctx);
  uint64_t p = 0;
  int err = 0;
  while (n > 0) {
    if (p % chkLen == 0) ConSigs::Check();
    const uint32_t l = n < blkLen ? n : blkLen;
    const uint32_t c = ReadAt(h, buf, l, p, err);
    if (c < l) {
      // A read error, or a file that shrank while it was read.
      MD5::Final(ctx, d);
      errno = err != 0 ? err : EIO;
      return false;
    }
    MD5::Update(ctx, buf, l);
    n -= l;
    p += l;
  }
  MD5::Final(ctx, d);
  return true;
}

void WrTgt(SO::TBuffer& b, const TPosDesc& t) {
  const char fill = b.c.p;
  b.c.p = '0';
  SO::WrLngHex(b, t.l, 8);
  b.c.p = fill;
  SO::WrChar(b, ' ');
  MD5::TDgstStr s;
  MD5::MkStr(s, t.d);
  SO::WrStrN(b, s, sizeof s);
}

}  // namespace Files
