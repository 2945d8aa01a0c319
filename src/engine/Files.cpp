// Files.cpp — the file table of the transfers.
//
// A file being received never touches its target name until the transfer has
// been checked: it is written into a temporary file beside the target and
// Commit renames it into place. A failed, refused or interrupted transfer thus
// leaves no partial file and never damages an existing one.
#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
constexpr char tmpMark[] = ".wisp-";
constexpr char tmpExt[] = ".tmp";

void Message(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, set.vrb); }

[[noreturn]] void Fatal(const char* s) {
  Log::Write(set.mid, Log::lvlFat, s, true);
  Lib3::Stop();
}

// The name under which the open file is reached now (for error reports).
const char* Path(const TFileDesc& f) { return f.w && !f.c ? f.tmp : f.n; }

const char* NameOf(THandle h) {
  for (const TFileDesc& f : tbl.a)
    if (f.i != 0 && f.b == h) return Path(f);
  return "?";
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

// A write the system refused: "Write failed idx i rid 'r' err <errno>",
// once per entry.
void WriteFailed(TFileDesc& f, int err) {
  f.e = true;
  char s[512];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Write failed");
  WrIdRid(b, f, false);
  SO::WrStr(b, " err ");
  SO::WrLngInt(b, err, 1);
  Message(s);
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
  return n[0] != 0 && std::strcmp(n, ".") != 0 && std::strcmp(n, "..") != 0 && !IsTmpName(n);
}

// Another entry is receiving into the name n.
bool IsReceiving(const char* n) {
  for (const TFileDesc& f : tbl.a)
    if (f.i != 0 && f.w && !f.c && std::strcmp(f.n, n) == 0) return true;
  return false;
}

TFile Alloc(bool w, const char* r, THandle h, const TPosDesc& t, const Types::TPthStr& n,
            const Types::TPthStr& tmp, bool log = true) {
  if (tbl.Full()) return nullptr;
  TFileDesc* f = tbl.Take();
  if (f == nullptr) Fatal("Alloc cnt inconsistency");
  f->w = w;
  std::memset(f->r, 0, lenRID);
  for (uint32_t k = 0; k < lenRID && r[k] != 0; ++k) f->r[k] = r[k];
  f->b = h;
  f->t = t;
  std::memcpy(f->n, n, sizeof f->n);
  std::memcpy(f->tmp, tmp, sizeof f->tmp);
  f->c = false;
  MD5::Init(f->x);
  if (log) LogEntry("Alloc", *f);
  return f;
}

ssize_t PRead(THandle h, void* x, size_t l, off_t p) {
  for (;;) {
    const ssize_t c = pread(h, x, l, p);
    if (c >= 0 || errno != EINTR) return c;
  }
}

// Reads up to l bytes at p, fewer only at the end of the file.
uint32_t ReadAt(THandle h, uint8_t* x, uint32_t l, uint64_t p, const char* name) {
  uint32_t c = 0;
  while (c < l) {
    const ssize_t k = PRead(h, x + c, l - c, static_cast<off_t>(p + c));
    if (k < 0) Lib3::FileError("read", name, errno);
    if (k == 0) break;
    c += static_cast<uint32_t>(k);
  }
  return c;
}

void DoneModule() {
  Message("DoneModule");
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

TFile OpenRd(const char* r, bool later) {
  if (tbl.Full()) return nullptr;
  Types::TPthStr n;
  MkRdPth(r, n);
  if (!IsUsable(n)) return nullptr;
  // Non-blocking, so that a FIFO of that name cannot hold up the program;
  // the type test below refuses it anyway.
  const THandle h = open(n, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (h < 0) return nullptr;
  struct stat st;
  if (fstat(h, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    close(h);
    return nullptr;
  }
  TPosDesc t{};
  t.l = static_cast<uint32_t>(st.st_size);
  if (!later) t.l = CalcMD5(h, t.d);
  const Types::TPthStr none = {};
  TFile f = Alloc(false, r, h, t, n, none, !later);
  if (f == nullptr) close(h);
  return f;
}

TFile OpenWr(const char* r) {
  if (tbl.Full()) return nullptr;
  Types::TPthStr n;
  MkWrPth(r, n);
  if (!IsUsable(n)) return nullptr;
  if (IsReceiving(n)) return nullptr;
  struct stat st;
  if (lstat(n, &st) == 0) {
    if (!set.ovr) return nullptr;
    // Only a file (or a link, which the rename replaces) gives way.
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return nullptr;
  }
  Types::TPthStr tmp;
  THandle h = -1;
  for (uint32_t tries = 0; tries < 8 && h < 0; ++tries) {
    const int k = std::snprintf(tmp, sizeof tmp, ".%s%s%ld-%lu%s", n, tmpMark, static_cast<long>(getpid()),
                                static_cast<unsigned long>(++tmpCnt), tmpExt);
    if (k < 0 || static_cast<size_t>(k) >= sizeof tmp) return nullptr;
    h = open(tmp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (h < 0 && errno != EEXIST) return nullptr;
  }
  if (h < 0) return nullptr;
  const TPosDesc t = {};
  TFile f = Alloc(true, r, h, t, n, tmp);
  if (f == nullptr) {
    close(h);
    unlink(tmp);
  }
  return f;
}

bool Commit(TFile f) {
  if (f == nullptr || f->i == 0) Fatal("Commit invalid file");
  if (!f->w) Fatal("Commit mode");
  if (f->c) return true;
  bool ok;
  if (set.ovr) {
    ok = rename(f->tmp, f->n) == 0;
  } else {
    // Never replace a file that appeared while the transfer ran.
    ok = renameat2(AT_FDCWD, f->tmp, AT_FDCWD, f->n, RENAME_NOREPLACE) == 0;
    if (!ok && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
      // File systems without the no-replace rename: a hard link fails just
      // the same when the name is taken.
      ok = link(f->tmp, f->n) == 0;
      if (ok) unlink(f->tmp);
    }
  }
  if (ok) {
    f->c = true;
    f->tmp[0] = 0;
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
  LogEntry("Free", *f);
  tbl.Give(f);
  f = nullptr;
}

void Close(TFile& f) {
  if (f != nullptr && f->i != 0) {
    if (close(f->b) != 0) Lib3::FileError("close", Path(*f), errno);
    if (f->w && !f->c && unlink(f->tmp) != 0 && errno != ENOENT) Lib3::FileError("delete", f->tmp, errno);
  }
  Free(f);
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
  LogEntry("SetTgt", *f);
}

void GetTgt(TFile f, TPosDesc& x) { x = f->t; }

void SetRdTgt(TFile f, const TPosDesc& t) {
  if (f->w) Fatal("SetRdTgt mode");
  f->t = t;
  LogEntry("Alloc", *f);
}

void GetRID(TFile f, TResID& x) { std::memcpy(x, f->r, lenRID); }

void GetPos(TFile f, uint32_t p, TPosDesc& x) {
  if (f->w) {
    struct stat st{};
    if (!f->xr && fstat(f->b, &st) == 0 && static_cast<uint64_t>(st.st_size) >= f->xl &&
        static_cast<uint64_t>(st.st_size) <= UINT32_MAX) {
      // The prefix is digested already: read back only the rest.
      Extend(f, static_cast<uint32_t>(st.st_size));
      MD5::TCtxDesc c = f->x;
      MD5::Final(c, x.d);
      x.l = f->xl;
    } else {
      x.l = CalcMD5(f->b, x.d);
    }
    // What was stored is incomplete: make sure it can never pass the check.
    if (f->e) x.l = f->t.l ^ 1u;
  } else if (p < f->t.l) {
    x.l = p;
    CalcMD5x(f->b, p, x.d);
  } else {
    x = f->t;
  }
}

uint32_t Read(TFile f, uint32_t p, void* x, size_t n, uint32_t l) {
  if (f->w) Fatal("Read mode");
  if (n < l) Fatal("Read len");
  return ReadAt(f->b, static_cast<uint8_t*>(x), l, p, Path(*f));
}

void Write(TFile f, uint32_t p, const void* x, size_t n, uint32_t l) {
  if (!f->w) Fatal("Write mode");
  if (n < l) Fatal("Write len");
  if (f->e) return;
  const uint8_t* s = static_cast<const uint8_t*>(x);
  uint32_t c = 0;
  while (c < l) {
    const ssize_t k = pwrite(f->b, s + c, l - c, static_cast<off_t>(uint64_t(p) + c));
    if (k < 0) {
      if (errno == EINTR) continue;
      if (errno == EBADF || errno == EFAULT || errno == EINVAL) Lib3::FileError("write", Path(*f), errno);
      WriteFailed(*f, errno);
      return;
    }
    c += static_cast<uint32_t>(k);
  }
  // In order: the running digest takes the data as it goes by.
  if (p == f->xl) {
    MD5::Update(f->x, s, l);
    f->xl += l;
  } else if (p < f->xl) {
    f->xr = true;
  }
}

void Extend(TFile f, uint32_t p) {
  if (!f->w || f->e || f->xr || p <= f->xl) return;
  uint8_t buf[blkLen];
  while (f->xl < p) {
    const uint32_t l = p - f->xl < blkLen ? p - f->xl : blkLen;
    const ssize_t k = PRead(f->b, buf, l, static_cast<off_t>(f->xl));
    if (k <= 0) {
      f->xr = true;   // the final check digests the whole file instead
      return;
    }
    MD5::Update(f->x, buf, static_cast<uint32_t>(k));
    f->xl += static_cast<uint32_t>(k);
  }
}

void Trunc(TFile f, uint32_t p) {
  if (!f->w) Fatal("Trunc mode");
  if (ftruncate(f->b, static_cast<off_t>(p)) != 0) Lib3::FileError("truncate", Path(*f), errno);
}

void GetDateTime(TFile f, DT::TDateTime& x) {
  struct stat st;
  if (fstat(f->b, &st) != 0) Lib3::FileError("stat", Path(*f), errno);
  // The modification time as a DOS date and time value (local time, two
  // seconds resolution); 0 when it has no such form.
  uint32_t v = 0;
  struct tm tm;
  const time_t tt = st.st_mtim.tv_sec;
  if (localtime_r(&tt, &tm) != nullptr && tm.tm_year + 1900 >= 1980 && tm.tm_year + 1900 <= 2107) {
    const uint32_t date = uint32_t(tm.tm_year + 1900 - 1980) << 9 | uint32_t(tm.tm_mon + 1) << 5 | uint32_t(tm.tm_mday);
    const uint32_t time = uint32_t(tm.tm_hour) << 11 | uint32_t(tm.tm_min) << 5 | uint32_t(tm.tm_sec / 2);
    v = date << 16 | time;
  }
  const uint32_t date = v >> 16, time = v & 0xFFFF;
  x.d = DT::PackDate(static_cast<int32_t>((date >> 9) + 1980), (date >> 5) & 15, date & 31);
  x.t = DT::PackTime(time >> 11, (time >> 5) & 63, (time & 31) * 2, 0);
  LogDT("GetDateTime", *f, v);
}

void SetDateTime(TFile f, const DT::TDateTime& x) {
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
  if (tt != static_cast<time_t>(-1)) {
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;   // the access time stays as it is
    ts[1].tv_sec = tt;
    ts[1].tv_nsec = 0;
    if (futimens(f->b, ts) != 0) Lib3::FileError("set time", Path(*f), errno);
  }
  LogDT("SetDateTime", *f, v);
}

uint32_t CalcMD5(THandle h, MD5::TDgstDesc& d) {
  uint8_t buf[blkLen];
  MD5::TCtxDesc ctx;
  MD5::Init(ctx);
  const char* name = NameOf(h);
  uint64_t total = 0;
  for (;;) {
    const uint32_t c = ReadAt(h, buf, blkLen, total, name);
    if (c == 0) break;
    MD5::Update(ctx, buf, c);
    total += c;
  }
  MD5::Final(ctx, d);
  return static_cast<uint32_t>(total);
}

void CalcMD5x(THandle h, uint32_t n, MD5::TDgstDesc& d) {
  uint8_t buf[blkLen];
  MD5::TCtxDesc ctx;
  MD5::Init(ctx);
  const char* name = NameOf(h);
  uint64_t p = 0;
  while (n > 0) {
    const uint32_t l = n < blkLen ? n : blkLen;
    if (ReadAt(h, buf, l, p, name) < l) Fatal("CalcMD5x read error");
    MD5::Update(ctx, buf, l);
    n -= l;
    p += l;
  }
  MD5::Final(ctx, d);
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
