// Files.cpp — the file table of the transfers.
//
// A file being received never touches its target name until the transfer has
// been checked: it is written into a temporary file (Tmps) beside the target
// and Commit puts it in place. A failed, refused or interrupted transfer thus
// leaves no partial file and never damages an existing one.
//
// Nothing here reads a whole file or syncs on the loop's thread. A file
// being served has its digest made by Jobs (OpenRd with later); a file being
// received is followed by a job of its own from the start, which digests its
// in-order prefix as it grows (reading it back from the page cache), starts
// its write-back and syncs its data every syncLen bytes, so the final check
// and Place find that work done; Place's own syncs are the job's too.
// Reads and writes go through the entry's buffer (Bufs), every file call
// through FOps.
#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Bufs.h"
#include "FOps.h"
#include "Jobs.h"
#include "Lib3.h"
#include "Log.h"
#include "Slots.h"
#include "Tmps.h"

namespace Files {
namespace {

TSlots<TFileDesc, cntMax> tbl;
TSettings set;
Lib3::TProc oldTerm = nullptr;
bool initialised = false;

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
void LogFailed(const TFileDesc& f, const char* op, int err) {
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

// The same, and the entry is marked failed: its session ends with a failure
// result.
void Failure(TFileDesc& f, const char* op, int err) {
  f.e = true;
  LogFailed(f, op, err);
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
bool IsUsable(const char* n) {
  return n[0] != 0 && std::strcmp(n, ".") != 0 && std::strcmp(n, "..") != 0 && !Tmps::IsTmpName(n) &&
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
  Bufs::Reset(*f);
  if (log) LogEntry("Alloc", *f);
  return f;
}

// Enters the open file h for reading under the name n and resource id r:
// a regular file, its digest computed now unless later is set. h is closed
// when it does not qualify or the table is full.
TFile EnterRd(THandle h, const char* r, const Types::TPthStr& n, bool later) {
  struct stat st;
  if (fstat(h, &st) != 0 || !S_ISREG(st.st_mode)) {
    FOps::Close(h);
    return nullptr;
  }
  TPosDesc t{};
  t.l = static_cast<uint64_t>(st.st_size);
  // A file that cannot be read through is missing.
  if (!later && !CalcMD5(h, t.d, t.l)) {
    FOps::Close(h);
    return nullptr;
  }
  const Types::TPthStr none = {};
  TFile f = Alloc(false, r, h, t, n, none, !later);
  if (f == nullptr) FOps::Close(h);
  return f;
}

// What the entry has collected goes to the file, and its job ends (a slice
// still running finishes on the worker).
void Settle(TFileDesc& f) {
  if (!f.w) return;
  Bufs::Drain(f);
  Jobs::End(f.j);
  f.j = 0;
}

// The slot is free again.
void Give(TFile& f) {
  LogEntry("Free", *f);
  tbl.Give(f);
  f = nullptr;
}

void DoneModule() {
  Message("DoneModule");
  CloseAll();
  oldTerm();
}

}  // namespace

void Fail(TFileDesc& f, const char* op, int err) {
  if (!f.e) Failure(f, op, err);
}

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
  const uint32_t n = Tmps::Sweep(IsOurs);
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

TFile OpenRd(const char* r, bool later) {
  if (tbl.Full()) return nullptr;
  Types::TPthStr n;
  MkRdPth(r, n);
  if (!IsUsable(n) || HasCtl(r)) return nullptr;
  // Non-blocking, so that a FIFO of that name cannot hold up the program;
  // the type test refuses it anyway. For a served directory the path is
  // resolved beneath it, so a symbolic link to something outside is missing.
  const THandle h = FOps::Open(n, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0, set.srv);
  if (h < 0) return nullptr;
  return EnterRd(h, r, n, later);
}

TFile OpenRdPth(const char* p, const char* r, bool later) {
  if (tbl.Full()) return nullptr;
  const THandle h = FOps::Open(p, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (h < 0) return nullptr;
  Types::TPthStr n;
  MkBaseName(r, n);   // the name in reports
  return EnterRd(h, r, n, later);
}

namespace {
// A write entry for the resource id r into h (tmp its name, empty for an
// anonymous file), or nullptr; h is closed and a named temporary file that
// is not kept removed when the entry cannot be made. h < 0: a new temporary
// file of Tmps.
TFile EnterWr(const char* r, THandle h, const char* pn) {
  Types::TPthStr n, tmp{};
  MkWrPth(r, n);
  bool ok = !tbl.Full() && IsUsable(n) && !HasCtl(r) && !IsReceiving(n);
  struct stat st;
  // Only a file (or a link, which the rename replaces) gives way.
  if (ok && lstat(n, &st) == 0) ok = set.ovr && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
  if (ok && h < 0) {
    h = Tmps::Create(n, tmp);
    if (h < 0) return nullptr;
  } else if (pn != nullptr) {
    std::snprintf(tmp, sizeof tmp, "%s", pn);
  }
  if (!ok) {
    if (h >= 0) FOps::Close(h);
    return nullptr;
  }
  // The job that digests and syncs the file while it arrives; without one
  // the file cannot be checked.
  const Jobs::TJob j = Jobs::Follow(h);
  const TPosDesc t = {};
  TFile f = j == 0 ? nullptr : Alloc(true, r, h, t, n, tmp);
  if (f == nullptr) {
    Jobs::End(j);
    FOps::Close(h);
    if (tmp[0] != 0 && pn == nullptr) unlink(tmp);
    return nullptr;
  }
  f->j = j;
  f->k = pn != nullptr;
  return f;
}
}  // namespace

TFile OpenWr(const char* r) { return EnterWr(r, -1, nullptr); }

TFile OpenWrPart(const char* r, THandle h, const char* pn) {
  if (h < 0) return nullptr;
  return EnterWr(r, h, pn);
}

bool Reserve(TFile f) {
  if (f == nullptr || f->i == 0) Fatal("Reserve invalid file");
  if (!f->w) Fatal("Reserve mode");
  return Bufs::Reserve(*f);
}

namespace {
// "Commit idx i rid 'r' ok 1", and before it, when the directory entry could
// not be synced (err), "Sync dir failed idx i rid 'r' err <errno>".
TCommit Placed(const TFileDesc& f, bool ok, int err = 0) {
  if (err != 0) LogFailed(f, "Sync dir", err);
  char s[512];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Commit");
  WrIdRid(b, f, false);
  SO::WrStr(b, ok ? " ok 1" : " ok 0");
  Message(s);
  return ok ? cmDone : f.e ? cmFailed : cmTaken;
}
}  // namespace

// Steps (cs): 1, the job syncs the file (data, size and times); 2, the file
// has its name and the job syncs the directory.
TCommit Place(TFile f) {
  if (f == nullptr || f->i == 0) Fatal("Commit invalid file");
  if (!f->w) Fatal("Commit mode");
  if (f->cs == 0) {
    if (f->c) return cmDone;
    Bufs::Drain(*f);
    if (f->e) return cmFailed;
    // The data first: a file must never appear under its name with contents
    // that a power loss can still take away.
    Jobs::Sync(f->j, true);
    f->cs = 1;
  }
  if (!Jobs::Idle(f->j)) return cmBusy;
  const uint8_t step = f->cs;
  f->cs = 0;
  if (step == 2) return Placed(*f, true, Jobs::DirResult(f->j));
  // A sync of the job's that failed while the file arrived took the
  // write-back error from this entry: the last one would find none, yet the
  // data may not be on the disk.
  MD5::TCtxDesc x;
  uint64_t l;
  int rd, sy;
  Jobs::Result(f->j, x, l, rd, sy);
  if (sy != 0) {
    Failure(*f, "Sync", sy);
    return cmFailed;
  }
  const bool ok = Tmps::Place(f->b, f->tmp, f->n, set.ovr);
  const int err = errno;
  if (f->a) f->tmp[0] = 0;
  // A name that is taken is the caller's refusal; anything else a failure.
  if (!ok && err != EEXIST) Failure(*f, "Link", err);
  if (!ok) return Placed(*f, false);
  f->c = true;
  f->tmp[0] = 0;
  // Then the directory entry. The file is in place by now; a directory that
  // cannot be synced (some file systems refuse) is only logged.
  const int d = FOps::Open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) return Placed(*f, true, errno);
  Jobs::SyncDir(f->j, d);
  f->cs = 2;
  return cmBusy;
}

bool Commit(TFile f) {
  TCommit r;
  while ((r = Place(f)) == cmBusy) Jobs::Wait(f->j);
  return r == cmDone;
}

void Free(TFile& f) {
  if (f == nullptr || f->i == 0) Fatal("Free invalid file");
  Settle(*f);
  Give(f);
}

bool Failed(TFile f) { return f->e; }

bool Close(TFile& f) {
  if (f == nullptr || f->i == 0) Fatal("Free invalid file");
  bool ok = true;
  Settle(*f);
  if (FOps::Close(f->b) != 0) {
    Failure(*f, "Close", errno);
    ok = false;
  }
  // An anonymous temporary file has gone with its descriptor.
  if (f->w && !f->c && !f->a && !f->k && unlink(f->tmp) != 0 && errno != ENOENT) {
    Failure(*f, "Delete", errno);
    ok = false;
  }
  Give(f);
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
  LogEntry("SetTgt", *f);
}

void GetTgt(TFile f, TPosDesc& x) { x = f->t; }

void SetRdTgt(TFile f, const TPosDesc& t) {
  if (f->w) Fatal("SetRdTgt mode");
  f->t = t;
  LogEntry("Alloc", *f);
}

void GetRID(TFile f, TResID& x) { std::memcpy(x, f->r, sizeof x); }

bool Ready(TFile f) {
  if (!f->w || f->e) return true;
  if (!f->rd) {
    Bufs::Drain(*f);
    if (f->e) return true;
    // The present length, once until the next write.
    struct stat st{};
    if (fstat(f->b, &st) != 0) {
      Fail(*f, "Stat", errno);
      return true;
    }
    f->pl = static_cast<uint64_t>(st.st_size);
    // Data written again below what the job was given, or a file cut below
    // it: the job digests the whole file anew.
    const bool anew = f->xr || f->pl < f->xl;
    Jobs::Want(f->j, f->pl, anew);
    f->xl = f->pl;
    f->xr = false;
    f->rd = true;
  }
  return Jobs::Idle(f->j);
}

void GetPos(TFile f, uint64_t p, TPosDesc& x) {
  if (f->w) {
    x = TPosDesc{};
    // A failed entry's content is incomplete whatever its digest: no digest
    // is made, and the length can never pass the check.
    if (!Ready(f)) Jobs::Wait(f->j);
    if (!f->e) {
      MD5::TCtxDesc c;
      uint64_t l;
      int rd, sy;
      Jobs::Result(f->j, c, l, rd, sy);
      if (rd != 0) Fail(*f, "Read", rd);
      MD5::Final(c, x.d);
      x.l = l;
    }
    if (f->e) x.l = f->t.l ^ 1u;
  } else if (p < f->t.l) {
    x.l = p;
    if (!CalcMD5x(f->b, p, x.d)) Fail(*f, "Read", errno);
  } else {
    x = f->t;
  }
}

uint32_t Read(TFile f, uint64_t p, void* x, size_t n, uint32_t l) {
  if (f->w) Fatal("Read mode");
  if (n < l) Fatal("Read len");
  return Bufs::Read(*f, p, x, l);
}

void Write(TFile f, uint64_t p, const void* x, size_t n, uint32_t l) {
  if (!f->w) Fatal("Write mode");
  if (n < l) Fatal("Write len");
  if (f->e) return;
  f->rd = false;
  // Below what the job was given: its digest no longer holds.
  if (p < f->xl) f->xr = true;
  Bufs::Write(*f, p, static_cast<const uint8_t*>(x), l);
}

void Flush(TFile f) { Bufs::Flush(*f); }

// The disk gets what has arrived while the transfer goes on: Place syncs
// the file before its name appears, and a sync that finds the whole file
// still in memory would hold the end of a large transfer up by the time the
// disk needs for all of it. Started every wbLen bytes of the in-order
// prefix, by the entry's job; it only starts the writing and does not wait
// for it.
//
// Starting the writing is not all: the disk (or the host under a virtual
// one) may still hold the data in its cache, and the final sync then waits
// for that cache to be flushed, a tenth of a second and more for 256 MiB.
// So every syncLen bytes the entry's job syncs the file's data while the
// transfer goes on; Place's sync then finds little left, and the result of
// every one of those syncs reaches Place.
namespace {
constexpr uint64_t wbLen = 8u << 20;
constexpr uint64_t syncLen = 32u << 20;

void WriteBack(TFileDesc& f, uint64_t p) {
  if (p - f.wb < wbLen) return;
  Jobs::WriteBack(f.j, f.wb, p);
  if (p / syncLen != f.wb / syncLen) Jobs::Sync(f.j);
  f.wb = p;
}
}  // namespace

void Extend(TFile f, uint64_t p) {
  if (!f->w) return;
  Bufs::Drain(*f);
  if (f->e) return;
  if (p > f->wb) WriteBack(*f, p);
  // Data written again below the prefix: the final check digests anew.
  if (f->xr || p <= f->xl) return;
  f->xl = p;
  Jobs::Want(f->j, p);
}

void Trunc(TFile f, uint64_t p) {
  if (!f->w) Fatal("Trunc mode");
  Bufs::Drain(*f);
  f->rd = false;
  if (ftruncate(f->b, static_cast<off_t>(p)) != 0) Fail(*f, "Trunc", errno);
}

void GetDateTime(TFile f, DT::TDateTime& x) {
  struct stat st;
  const bool known = fstat(f->b, &st) == 0;
  if (!known) Fail(*f, "Stat", errno);
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
  if (f->w) Bufs::Drain(*f);   // a later write would move the time again
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

bool CalcMD5(THandle h, MD5::TDgstDesc& d, uint64_t& l) {
  MD5::TCtxDesc x;
  MD5::Init(x);
  int err = 0;
  const uint64_t n = Jobs::Hash(h, 0, UINT64_MAX, x, err, true);
  MD5::Final(x, d);
  l = n;
  errno = err;
  return err == 0;
}

bool CalcMD5x(THandle h, uint64_t n, MD5::TDgstDesc& d) {
  MD5::TCtxDesc x;
  MD5::Init(x);
  int err = 0;
  const uint64_t c = Jobs::Hash(h, 0, n, x, err, true);
  MD5::Final(x, d);
  if (c == n) return true;
  // A read error, or a file that shrank while it was read.
  errno = err != 0 ? err : EIO;
  return false;
}

void WrTgt(SO::TBuffer& b, const TPosDesc& t, bool known) {
  const char fill = b.c.p;
  b.c.p = '0';
  SO::WrHugeHex(b, t.l, 8);
  b.c.p = fill;
  SO::WrChar(b, ' ');
  if (!known) return SO::WrChar(b, '-');
  MD5::TDgstStr s;
  MD5::MkStr(s, t.d);
  SO::WrStrN(b, s, sizeof s);
}

}  // namespace Files
