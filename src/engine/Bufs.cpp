// Bufs.cpp — read-ahead, collected writes and the disk reservation.
//
// A refused write (disk full, quota, I/O error) does not stop the program:
// it marks the entry failed (Files::Fail logs it once) and later writes are
// skipped, so the transfer ends in a failed check and leaves no file.
#include "Bufs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "FOps.h"
#include "Parts.h"

namespace Bufs {
namespace {

// A read ahead must pay off, whatever order a peer asks in: only a request
// that goes on from the buffer (in order) reads ahead, twice what the buffer
// served, up to bufLen in whole fragments; any other reads its fragment
// alone. Every byte read ahead is thus paid for by one served before, and
// what is read stays below twice what is sent; in order the stretch reaches
// bufLen after a few reads. The buffer outlives the sender's updates while
// the file's size and times stay as they were (Flush).
struct TBufDesc {
  uint64_t p;           // file position of x[0]
  uint32_t n;           // bytes valid (read) or collected (write)
  uint32_t u;           // reading: bytes served from x since it was read
  struct stat st;       // reading: the file as the last Flush found it
  uint8_t x[bufLen];
};
TBufDesc buf[Files::cntMax];   // by slot i - 1

// The disk space an upload holds: at open the free space must take the whole
// announced length, but only rsvLen of it is reserved, and later rsvLen
// beyond the bytes that have arrived, renewed every rsvStep. What has
// arrived counts wherever it lies: a peer that sends only fragments far
// ahead (the top of a large window) reserves no more than one that sends in
// order. A peer thus holds no more of the disk than it has sent and rsvLen
// reserved beyond it, and write requests that send nothing cannot take the
// space of real uploads; the reservation still lays the file out in long
// runs and shows a full disk early.
constexpr uint64_t rsvLen = 64u << 20;
constexpr uint64_t rsvStep = 16u << 20;
constexpr uint64_t rsvNone = UINT64_MAX;   // the entry reserves nothing (no Reserve)
uint64_t rsv[Files::cntMax];   // writing: reserved up to here, by slot i - 1
uint64_t got[Files::cntMax];   // writing: bytes written (each fragment arrives once)

// Reserves f's disk space up to end. The blocks are reserved beyond the end
// of the file: its length stays what was written, so the end-of-write check
// sees the truth. A file system that cannot reserve is left to its writes.
bool ReserveTo(Files::TFileDesc& f, uint64_t end) {
  uint64_t& r = rsv[f.i - 1];
  if (FOps::Fallocate(f.b, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(r), static_cast<off_t>(end - r)) == 0) {
    r = end;
    return true;
  }
  if (errno == EOPNOTSUPP || errno == ENOSYS) {
    r = rsvNone;
    return true;
  }
  Files::Fail(f, "Reserve", errno);
  return false;
}

// The reservation of an upload of which end bytes have arrived, rsvLen
// ahead of them.
void ReserveAhead(Files::TFileDesc& f, uint64_t end) {
  const uint64_t r = rsv[f.i - 1];
  if (r == rsvNone || r >= f.t.l || end + rsvLen < r + rsvStep) return;
  ReserveTo(f, end + rsvLen < f.t.l ? end + rsvLen : f.t.l);
}

// Writes l bytes of x at p; a refused write marks the entry failed.
void WriteAt(Files::TFileDesc& f, const uint8_t* x, uint32_t l, uint64_t p) {
  uint32_t c = 0;
  while (c < l) {
    const ssize_t k = FOps::PWrite(f.b, x + c, l - c, static_cast<off_t>(p + c));
    if (k < 0) {
      Files::Fail(f, "Write", errno);
      return;
    }
    c += static_cast<uint32_t>(k);
  }
}

}  // namespace

void Reset(const Files::TFileDesc& f) {
  TBufDesc& q = buf[f.i - 1];
  q.n = 0;
  q.u = 0;
  q.st = {};
  rsv[f.i - 1] = rsvNone;
  got[f.i - 1] = 0;
}

uint32_t ReadAt(Files::THandle h, uint8_t* x, uint32_t l, uint64_t p, int& err) {
  uint32_t c = 0;
  err = 0;
  while (c < l) {
    const ssize_t k = FOps::PRead(h, x + c, l - c, static_cast<off_t>(p + c));
    if (k < 0) {
      err = errno;
      break;
    }
    if (k == 0) break;
    c += static_cast<uint32_t>(k);
  }
  return c;
}

uint32_t Read(Files::TFileDesc& f, uint64_t p, void* x, uint32_t l) {
  TBufDesc& q = buf[f.i - 1];
  int err = 0;
  if (l > bufLen) {
    const uint32_t c = ReadAt(f.b, static_cast<uint8_t*>(x), l, p, err);
    if (err != 0) Files::Fail(f, "Read", err);
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
    uint64_t end = uint64_t(p) + want < f.t.l ? uint64_t(p) + want : f.t.l;
    if (end < uint64_t(p) + l) end = uint64_t(p) + l;
    q.p = p;
    q.u = 0;
    q.n = ReadAt(f.b, q.x, static_cast<uint32_t>(end - p), p, err);
    if (err != 0 && q.n < l) Files::Fail(f, "Read", err);
  }
  const uint32_t at = static_cast<uint32_t>(p - q.p);
  const uint32_t c = q.n - at < l ? q.n - at : l;
  std::memcpy(x, q.x + at, c);
  q.u += c;
  return c;
}

void Write(Files::TFileDesc& f, uint64_t p, const uint8_t* s, uint32_t l) {
  TBufDesc& q = buf[f.i - 1];
  if (q.n > 0 && (p != q.p + q.n || q.n + l > bufLen)) Drain(f);
  if (l > bufLen) {
    WriteAt(f, s, l, p);
  } else {
    if (q.n == 0) q.p = p;
    std::memcpy(q.x + q.n, s, l);
    q.n += l;
  }
  got[f.i - 1] += l;
  if (!f.e) ReserveAhead(f, got[f.i - 1]);
}

void Drain(Files::TFileDesc& f) {
  TBufDesc& q = buf[f.i - 1];
  if (q.n > 0 && !f.e) WriteAt(f, q.x, q.n, q.p);
  q.n = 0;
}

void Flush(Files::TFileDesc& f) {
  if (f.w) return Drain(f);
  // A file whose size or times moved may hold other bytes than were read.
  TBufDesc& q = buf[f.i - 1];
  struct stat st{};
  const bool known = fstat(f.b, &st) == 0;
  if (!known || st.st_size != q.st.st_size || st.st_mtim.tv_sec != q.st.st_mtim.tv_sec ||
      st.st_mtim.tv_nsec != q.st.st_mtim.tv_nsec || st.st_ctim.tv_sec != q.st.st_ctim.tv_sec ||
      st.st_ctim.tv_nsec != q.st.st_ctim.tv_nsec) {
    q.n = 0;
  }
  q.st = st;
}

bool Reserve(Files::TFileDesc& f) {
  if (f.e) return false;
  if (f.t.l == 0) return true;
  // A resumed upload (-k) holds part of its length already; the partial
  // uploads the server keeps give way, oldest first, to one that does not
  // fit otherwise.
  struct stat st{};
  const uint64_t have = fstat(f.b, &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
  const uint64_t need = f.t.l > have ? f.t.l - have : 0;
  struct statvfs v{};
  if (fstatvfs(f.b, &v) == 0) {
    const uint64_t avail = uint64_t(v.f_bavail) * v.f_frsize;
    if (avail < need && avail + Parts::Reclaim(need, avail) < need) {
      Files::Fail(f, "Reserve", ENOSPC);
      return false;
    }
  }
  rsv[f.i - 1] = 0;
  return ReserveTo(f, f.t.l < rsvLen ? f.t.l : rsvLen);
}

}  // namespace Bufs
