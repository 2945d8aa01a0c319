// Bufs.cpp — read-ahead, collected writes and the disk reservation.
//
// A refused write (disk full, quota, I/O error) does not stop the program:
// it marks the entry failed (Files::Fail logs it once) and later writes are
// skipped, so the transfer ends in a failed check and leaves no file.
#include "Bufs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "FOps.h"

namespace Bufs {
namespace {

struct TBufDesc {
  uint64_t p;           // file position of x[0]
  uint32_t n;           // bytes valid (read) or collected (write)
  uint8_t x[bufLen];
};
TBufDesc buf[Files::cntMax];   // by slot i - 1

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

void Reset(const Files::TFileDesc& f) { buf[f.i - 1].n = 0; }

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

uint32_t Read(Files::TFileDesc& f, uint32_t p, void* x, uint32_t l) {
  TBufDesc& q = buf[f.i - 1];
  int err = 0;
  if (l > bufLen) {
    const uint32_t c = ReadAt(f.b, static_cast<uint8_t*>(x), l, p, err);
    if (err != 0) Files::Fail(f, "Read", err);
    return c;
  }
  if (p < q.p || uint64_t(p) + l > q.p + q.n) {
    // Not in what was read ahead: read from p on, as far as the buffer and
    // the target length allow (a request beyond the target is read as asked).
    const uint64_t end = uint64_t(p) + l > f.t.l ? uint64_t(p) + l : f.t.l;
    q.p = p;
    q.n = ReadAt(f.b, q.x, end - p < bufLen ? static_cast<uint32_t>(end - p) : bufLen, p, err);
    if (err != 0 && q.n < l) Files::Fail(f, "Read", err);
  }
  const uint32_t at = static_cast<uint32_t>(p - q.p);
  const uint32_t c = q.n - at < l ? q.n - at : l;
  std::memcpy(x, q.x + at, c);
  return c;
}

void Write(Files::TFileDesc& f, uint32_t p, const uint8_t* s, uint32_t l) {
  TBufDesc& q = buf[f.i - 1];
  if (q.n > 0 && (uint64_t(p) != q.p + q.n || q.n + l > bufLen)) Drain(f);
  if (l > bufLen) {
    WriteAt(f, s, l, p);
  } else {
    if (q.n == 0) q.p = p;
    std::memcpy(q.x + q.n, s, l);
    q.n += l;
  }
}

void Drain(Files::TFileDesc& f) {
  TBufDesc& q = buf[f.i - 1];
  if (q.n > 0 && !f.e) WriteAt(f, q.x, q.n, q.p);
  q.n = 0;
}

void Flush(Files::TFileDesc& f) {
  if (f.w) {
    Drain(f);
  } else {
    buf[f.i - 1].n = 0;
  }
}

bool Reserve(Files::TFileDesc& f) {
  if (f.e) return false;
  if (f.t.l == 0) return true;
  // The blocks are reserved beyond the end of the file: its length stays
  // what was written, so the end-of-write check sees the truth.
  if (FOps::Fallocate(f.b, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(f.t.l)) == 0) return true;
  if (errno == EOPNOTSUPP || errno == ENOSYS) return true;
  Files::Fail(f, "Reserve", errno);
  return false;
}

}  // namespace Bufs
