// Parts.cpp — partial files, their records, the write order, the server's
// kept partial uploads.
//
// The held fragments are the in-order prefix p and a ring of wndMax flags
// for p .. p + wndMax - 1 (bit i MOD wndMax); a flag is cleared as the prefix
// passes it, so marking costs O(1) amortised and the ring never shifts. The
// record stores the flags from p to the highest held fragment, relative to p.
#include "Parts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Crc.h"
#include "FOps.h"
#include "Jobs.h"
#include "Lib3.h"
#include "Rcvrs.h"
#include "SO.h"
#include "Slots.h"
#include "Tmps.h"

namespace Parts {
// The record covers the widest window a receiver asks in.
static_assert(wndMax == Rcvrs::wndCc);

namespace {

TSlots<TPartDesc, cntMax> tbl;
TSettings set;
bool initialised = false;
Lib3::TProc oldTerm = nullptr;

// The server's kept partial uploads (not open): base name, the time of their
// last record, the disk they hold.
struct TKeptDesc {
  bool u;
  WISP::TResID n;
  uint64_t t;
  uint64_t z;
};
TKeptDesc kept[keepMax];

// The loop's scratch: a record read back, and the flags of one being made.
uint8_t rdBuf[Rec::lenMax + 1];
uint8_t mapBuf[wndMax / 8];

void Message(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, set.vrb); }

// "<op> '<name>'<tail>"
void LogName(const char* op, const char* n, const char* tail) {
  char s[512];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, op);
  SO::WrStr(b, " '");
  SO::WrStrN(b, n, WISP::lenResID);
  SO::WrStr(b, "'");
  SO::WrStr(b, tail);
  Message(s);
}

// 64-bit fields as two 32-bit halves, low first.
void PutU64(uint8_t* x, uint32_t off, uint64_t v) {
  WISP::PutU32(x, off, static_cast<uint32_t>(v));
  WISP::PutU32(x, off + 4, static_cast<uint32_t>(v >> 32));
}
uint64_t GetU64(const uint8_t* x, uint32_t off) {
  return WISP::GetU32(x, off) | (static_cast<uint64_t>(WISP::GetU32(x, off + 4)) << 32);
}

bool EndsWith(const char* n, const char* e) {
  const size_t a = std::strlen(n), b = std::strlen(e);
  return a > b && std::strcmp(n + a - b, e) == 0;
}

// The directory the module's files are in, with its separator ("" for the
// current directory).
const char* Prefix() { return set.srv ? ".wisp-part.tmp/" : ""; }
static_assert(sizeof ".wisp-part.tmp/" == sizeof dirName + 1);

// dir + base + ext into x; false (ENAMETOOLONG) when it does not fit.
bool MkPath(Types::TPthStr& x, const char* base, const char* ext) {
  const int k = std::snprintf(x, sizeof x, "%s%s%s", Prefix(), base, ext);
  if (k >= 0 && static_cast<size_t>(k) < sizeof x) return true;
  errno = ENAMETOOLONG;
  return false;
}

// Syncs the directory that holds path x.
int SyncDir(const char* x) {
  const int d = FOps::Open(std::strchr(x, '/') != nullptr ? dirName : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) return errno;
  const int r = FOps::Fsync(d) == 0 ? 0 : errno;
  FOps::Close(d);
  return r;
}

// Removes x (when there) and syncs its directory, so that the removal
// stands before anything that relies on it.
void Remove(const char* x) {
  if (unlink(x) == 0) SyncDir(x);
}

// ---- held flags ----
bool Bit(const TPartDesc& p, uint32_t i) { return (p.m[(i % wndMax) / 32] >> (i % 32)) & 1u; }
void SetBit(TPartDesc& p, uint32_t i) { p.m[(i % wndMax) / 32] |= 1u << (i % 32); }
void ClrBit(TPartDesc& p, uint32_t i) { p.m[(i % wndMax) / 32] &= ~(1u << (i % 32)); }

// Nothing held beyond the prefix q.
void HoldPrefix(TPartDesc& p, uint32_t q) {
  std::memset(p.m, 0, sizeof p.m);
  p.p = q;
  p.hi = q;
}

// Reads the record rn of the partial file h and checks it against the file.
TBad Load(const char* rn, int h, TSrcDesc& s, uint64_t& t, uint32_t& q, uint32_t& b) {
  const int d = FOps::Open(rn, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (d < 0) return bLen;
  uint32_t l = 0;
  for (;;) {
    const ssize_t k = FOps::PRead(d, rdBuf + l, sizeof rdBuf - l, l);
    if (k <= 0) break;
    l += static_cast<uint32_t>(k);
    if (l == sizeof rdBuf) break;
  }
  FOps::Close(d);
  const TBad r = Decode(rdBuf, l, s, t, q, mapBuf, b);
  if (r != bOk) return r;
  // The file must reach as far as the held fragments do, and no further
  // than the source.
  struct stat st;
  if (fstat(h, &st) != 0) return bFile;
  const uint64_t z = static_cast<uint64_t>(st.st_size);
  return z < BytesTo(s.l, s.f, q + b) || z > s.l ? bFile : bOk;
}

const char* BadText(TBad r) {
  static const char* const t[] = {"", " len", " crc", " magic", " ver", " field", " held", " file"};
  return t[r];
}

// ---- the kept index ----
uint32_t keptCnt = 0;
uint64_t keptDisk = 0;
uint32_t evicted = 0;   // kept uploads removed for room, since start

// The disk a partial upload holds: its file's and its record's blocks.
uint64_t DiskOf(const char* pn, const char* rn) {
  uint64_t z = 0;
  struct stat st;
  if (lstat(pn, &st) == 0) z += static_cast<uint64_t>(st.st_blocks) * 512;
  if (lstat(rn, &st) == 0) z += static_cast<uint64_t>(st.st_blocks) * 512;
  return z;
}

// Removes the partial upload of base n from the disk: the record first, so
// that no record outlives its data.
void Delete(const char* n) {
  Types::TPthStr pn, rn;
  if (!MkPath(pn, n, partExt) || !MkPath(rn, n, recExt)) return;
  Remove(rn);
  unlink(pn);
}

void Unindex(TKeptDesc& e) {
  e.u = false;
  --keptCnt;
  keptDisk -= e.z;
}

TKeptDesc* Oldest() {
  TKeptDesc* o = nullptr;
  for (TKeptDesc& e : kept)
    if (e.u && (o == nullptr || e.t < o->t)) o = &e;
  return o;
}

// Removes the oldest kept upload; its disk in bytes.
uint64_t Evict() {
  TKeptDesc* o = Oldest();
  if (o == nullptr) return 0;
  LogName("Part evict", o->n, "");
  const uint64_t z = o->z;
  ++evicted;
  Delete(o->n);
  Unindex(*o);
  return z;
}

// Enters the upload of base n, last recorded at t, making room first.
void Index(const char* n, uint64_t t) {
  if (keptCnt >= keepMax) Evict();
  for (TKeptDesc& e : kept) {
    if (e.u) continue;
    e.u = true;
    std::snprintf(e.n, sizeof e.n, "%s", n);
    e.t = t;
    Types::TPthStr pn, rn;
    e.z = MkPath(pn, n, partExt) && MkPath(rn, n, recExt) ? DiskOf(pn, rn) : 0;
    ++keptCnt;
    keptDisk += e.z;
    return;
  }
}

TKeptDesc* Find(const char* n) {
  for (TKeptDesc& e : kept)
    if (e.u && std::strcmp(e.n, n) == 0) return &e;
  return nullptr;
}

// An open partial file has the path x (its data, record or record's temporary file).
bool IsOpen(const char* x) {
  for (const TPartDesc& p : tbl.a)
    if (p.i != 0 && (std::strcmp(p.pn, x) == 0 || std::strcmp(p.rn, x) == 0 || std::strcmp(p.tn, x) == 0))
      return true;
  return false;
}

int SaveCall(void* a) { return Save(static_cast<TPart>(a)); }

// The result of the Save job under way once it has run (waiting for it
// when wait), logged when it failed: 0 or errno; -1 while it runs.
int Collect(TPartDesc& p, bool wait) {
  if (p.j == 0) return 0;
  if (wait) Jobs::Wait(p.j);
  int r = 0;
  if (!Jobs::Called(p.j, r)) return -1;
  p.j = 0;
  if (r != 0) {
    char t[32];
    std::snprintf(t, sizeof t, " err %d", r);
    LogName("Part save failed", p.pn, t);
  }
  return r;
}

// Frees the slot after closing the file (the lock goes with it).
void Give(TPart& p) {
  Collect(*p, true);
  FOps::Close(p->h);
  tbl.Give(p);
  p = nullptr;
}

void DoneModule() {
  // Partial files left to the module get their last record now; the others
  // stay as their last records say; closing drops the locks.
  for (TPartDesc& p : tbl.a) {
    if (p.i == 0) continue;
    if (p.lv != 0) {
      TPart x = &p;
      Collect(p, true);
      if (p.lv == 1 && p.run && Snap(x, p.lt)) (void)Save(x);
      Keep(x);
      continue;
    }
    FOps::Close(p.h);
  }
  tbl.Reset(set.cnt);
  oldTerm();
}

}  // namespace

// ---- names, records, the match rule ----

bool IsPartName(const char* n) {
  return EndsWith(n, partExt) || EndsWith(n, recExt) || std::strcmp(n, dirName) == 0;
}

TMatch Match(const TSrcDesc& k, const TSrcDesc& s) {
  if (std::strcmp(k.r, s.r) != 0) return mName;
  if (std::strcmp(k.s, s.s) != 0) return mSrv;
  if (k.l != s.l) return mLen;
  if (k.d.d != s.d.d || k.d.t != s.d.t) return mDate;
  if (k.k && s.k && std::memcmp(k.g, s.g, sizeof k.g) != 0) return mDgst;
  return mOk;
}

uint64_t Fragments(uint64_t l, uint16_t f) {
  if (f == 0) return 0;
  const uint64_t c = l / f + (l % f != 0 ? 1 : 0);
  return c > UINT32_MAX ? 0 : c;
}

uint64_t BytesTo(uint64_t l, uint16_t f, uint32_t e) {
  const uint64_t z = static_cast<uint64_t>(e) * f;
  return z < l ? z : l;
}

uint32_t Encode(uint8_t* x, const TSrcDesc& s, uint64_t t, uint32_t q, const uint8_t* map, uint32_t b) {
  const uint32_t len = Rec::Len(b);
  std::memset(x, 0, len);
  WISP::PutU32(x, Rec::m, recMagic);
  WISP::PutU16(x, Rec::v, recVer);
  WISP::PutU8(x, Rec::k, s.k ? 1 : 0);
  PutU64(x, Rec::l, s.l);
  WISP::PutDT(x, Rec::d, s.d);
  WISP::PutU16(x, Rec::f, s.f);
  if (s.k) std::memcpy(x + Rec::g, s.g, sizeof s.g);
  PutU64(x, Rec::t, t);
  WISP::PutU32(x, Rec::p, q);
  WISP::PutU32(x, Rec::b, b);
  WISP::PutResID(x, Rec::r, s.r);
  for (uint32_t k = 0; k < lenSrv && s.s[k] != 0; ++k) WISP::PutU8(x, Rec::s + k, static_cast<uint8_t>(s.s[k]));
  std::memcpy(x + Rec::map, map, (b + 7) / 8);
  return Crc::AppendCrc(x, len - WISP::lenTrl);
}

TBad Decode(const uint8_t* x, uint32_t l, TSrcDesc& s, uint64_t& t, uint32_t& q, uint8_t* map, uint32_t& b) {
  if (l < Rec::Len(0) || l > Rec::lenMax) return bLen;
  if (!Crc::Ok(x, l)) return bCrc;
  if (WISP::GetU32(x, Rec::m) != recMagic) return bMagic;
  if (WISP::GetU16(x, Rec::v) != recVer) return bVer;
  b = WISP::GetU32(x, Rec::b);
  if (b > wndMax || l != Rec::Len(b)) return bLen;
  s = {};
  const uint8_t k = WISP::GetU8(x, Rec::k);
  s.k = k == 1;
  s.l = GetU64(x, Rec::l);
  WISP::GetDT(x, Rec::d, s.d);
  s.f = WISP::GetU16(x, Rec::f);
  std::memcpy(s.g, x + Rec::g, sizeof s.g);
  t = GetU64(x, Rec::t);
  q = WISP::GetU32(x, Rec::p);
  WISP::GetResID(x, Rec::r, s.r);
  std::memcpy(s.s, x + Rec::s, lenSrv);
  s.s[lenSrv] = 0;
  static constexpr uint8_t zero[WISP::lenDgst] = {};
  if (k > 1 || WISP::GetU8(x, Rec::x) != 0 || WISP::GetU16(x, Rec::y) != 0 || s.f == 0 ||
      s.f > WISP::lenMaxFgm || s.r[0] == 0 || (!s.k && std::memcmp(s.g, zero, sizeof zero) != 0))
    return bField;
  const uint64_t n = Fragments(s.l, s.f);
  if (s.l > 0 && n == 0) return bField;
  // What the encoder writes: the flags start after the prefix (the first is
  // clear) and end at the highest held fragment (the last is set).
  std::memcpy(map, x + Rec::map, (b + 7) / 8);
  if (uint64_t(q) + b > n) return bHeld;
  if (b > 0) {
    const uint32_t e = b - 1;
    const uint32_t last = static_cast<uint32_t>(map[e / 8]) >> (e % 8);
    if ((map[0] & 1u) != 0 || last != 1u) return bHeld;
  }
  return bOk;
}

// ---- the partial file of a transfer ----

bool InitModule(const TSettings& s) {
  set = s;
  tbl.Reset(s.cnt);
  std::memset(kept, 0, sizeof kept);
  keptCnt = 0;
  keptDisk = 0;
  if (!initialised) {
    initialised = true;
    if (s.mid != Log::midNull) Log::Register(s.mid, "Parts");
    Lib3::Terminate(DoneModule, oldTerm);
  }
  if (!s.srv) return true;
  struct stat st;
  if (mkdir(dirName, 0700) != 0 && errno != EEXIST) return false;
  if (lstat(dirName, &st) != 0 || !S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  Sweep(s.now);
  return true;
}

TOpen Open(const char* n, TPart& p) {
  p = nullptr;
  if (tbl.Full()) {
    errno = ENFILE;
    return oFail;
  }
  Types::TPthStr pn, rn, tn, tb, rb;
  if (!MkPath(pn, n, partExt) || !MkPath(rn, n, recExt) ||
      std::snprintf(rb, sizeof rb, "%s%s", n, recExt) >= static_cast<int>(sizeof rb) || !Tmps::MkTmpName(rb, tb) ||
      !MkPath(tn, tb, "")) {
    errno = ENAMETOOLONG;
    return oFail;
  }
  const int h = FOps::Open(pn, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (h < 0) return oFail;
  struct stat st;
  if (fstat(h, &st) != 0 || !S_ISREG(st.st_mode)) {
    FOps::Close(h);
    errno = EINVAL;
    return oFail;
  }
  // Another process (or session) is receiving into it.
  if (flock(h, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    FOps::Close(h);
    errno = err;
    return err == EWOULDBLOCK ? oBusy : oFail;
  }
  p = tbl.Take();
  p->h = h;
  std::memcpy(p->pn, pn, sizeof pn);
  std::memcpy(p->rn, rn, sizeof rn);
  std::memcpy(p->tn, tn, sizeof tn);
  if (set.srv)
    if (TKeptDesc* e = Find(n)) Unindex(*e);
  uint32_t q = 0, b = 0;
  struct stat rs;
  if (lstat(rn, &rs) != 0) {
    // Data without a record claim nothing.
    if (st.st_size != 0 && ftruncate(h, 0) != 0) {
      const int err = errno;
      Give(p);
      errno = err;
      return oFail;
    }
    LogName("Part new", n, "");
    return oNew;
  }
  const TBad r = Load(rn, h, p->s, p->st, q, b);
  if (r != bOk) {
    LogName("Part bad", n, BadText(r));
    Remove(rn);
    p->s = {};
    if (ftruncate(h, 0) != 0) {
      const int err = errno;
      Give(p);
      errno = err;
      return oFail;
    }
    return oBad;
  }
  p->rec = true;
  p->n = static_cast<uint32_t>(Fragments(p->s.l, p->s.f));
  HoldPrefix(*p, q);
  for (uint32_t j = 0; j < b; ++j)
    if ((mapBuf[j / 8] >> (j % 8)) & 1u) SetBit(*p, q + j);
  if (b > 0) p->hi = q + b;
  LogName("Part kept", n, "");
  return oKept;
}

TMatch Begin(TPart p, const TSrcDesc& s) {
  TMatch m = p->rec ? Match(p->s, s) : mNone;
  if (m == mOk) {
    if (s.f != p->s.f) {
      // The in-order prefix in whole fragments of the new length; what lay
      // beyond it is asked for again.
      const uint64_t z = BytesTo(p->s.l, p->s.f, p->p);
      HoldPrefix(*p, static_cast<uint32_t>(z == s.l ? Fragments(s.l, s.f) : z / s.f));
    }
    const bool k = p->s.k;
    uint8_t g[WISP::lenDgst];
    std::memcpy(g, p->s.g, sizeof g);
    p->s = s;
    if (!s.k && k) {
      p->s.k = true;
      std::memcpy(p->s.g, g, sizeof g);
    }
  } else {
    // The record goes before the data are touched: no record may outlive
    // the data it describes.
    if (p->rec) Remove(p->rn);
    p->rec = false;
    if (ftruncate(p->h, 0) != 0) m = mFail;
    HoldPrefix(*p, 0);
    p->s = s;
  }
  p->n = static_cast<uint32_t>(Fragments(s.l, s.f));
  p->run = true;
  return m;
}

TMatch Learn(TPart p, const uint8_t (&g)[WISP::lenDgst]) {
  if (p->s.k) return std::memcmp(p->s.g, g, sizeof g) == 0 ? mOk : mDgst;
  p->s.k = true;
  std::memcpy(p->s.g, g, sizeof g);
  return mOk;
}

int Reopen(TPart p) { return FOps::Open(p->pn, O_RDWR | O_CLOEXEC | O_NOFOLLOW); }

bool Mark(TPart p, uint32_t i) {
  if (i >= p->n) return false;
  if (i < p->p) return true;
  if (i - p->p >= wndMax) return false;
  if (!Bit(*p, i)) ++p->nm;
  SetBit(*p, i);
  if (i >= p->hi) p->hi = i + 1;
  while (p->p < p->n && Bit(*p, p->p)) ClrBit(*p, p->p++);
  if (p->hi < p->p) p->hi = p->p;
  return true;
}

bool Held(TPart p, uint32_t i) {
  return i < p->p || (i < p->n && i - p->p < wndMax && Bit(*p, i));
}

uint32_t Held32(TPart p, uint32_t b) {
  uint32_t s = 0;
  for (uint32_t j = 0; j < 32; ++j)
    if (Held(p, b + j)) s |= 1u << j;
  return s;
}

uint32_t NextMissing(TPart p, uint32_t i) {
  if (i < p->p) i = p->p;
  while (i < p->hi && Bit(*p, i)) ++i;
  return i < p->n ? i : p->n;
}

uint32_t Count(TPart p) {
  uint32_t c = p->p;
  for (uint32_t i = p->p; i < p->hi; ++i) c += Bit(*p, i) ? 1 : 0;
  return c;
}

uint64_t HeldBytes(TPart p) {
  uint64_t z = static_cast<uint64_t>(Count(p)) * p->s.f;
  // The last fragment may be short.
  if (p->n > 0 && Held(p, p->n - 1)) z -= static_cast<uint64_t>(p->n) * p->s.f - p->s.l;
  return z;
}

uint32_t Prefix(TPart p) { return p->p; }

bool Snap(TPart p, uint64_t now) {
  if (__atomic_load_n(&p->sv, __ATOMIC_ACQUIRE)) return false;
  const uint32_t b = p->hi - p->p;
  std::memset(mapBuf, 0, (b + 7) / 8);
  for (uint32_t j = 0; j < b; ++j)
    if (Bit(*p, p->p + j)) mapBuf[j / 8] = static_cast<uint8_t>(mapBuf[j / 8] | (1u << (j % 8)));
  p->il = Encode(p->img, p->s, now, p->p, mapBuf, b);
  p->st = now;
  p->nm = 0;
  __atomic_store_n(&p->sv, true, __ATOMIC_RELEASE);
  return true;
}

int Save(TPart p) {
  if (!__atomic_load_n(&p->sv, __ATOMIC_ACQUIRE)) return 0;
  // The data first: the record may only count what the disk holds.
  const int r = FOps::Fdatasync(p->h) != 0 ? errno : Store(p->img, p->il, p->tn, p->rn);
  __atomic_store_n(&p->sv, false, __ATOMIC_RELEASE);
  return r;
}

void Tick(TPart p, uint64_t now) {
  if (Collect(*p, false) < 0) return;
  if (uint64_t(p->nm) * p->s.f < saveLen || !Snap(p, now)) return;
  p->j = Jobs::Call(SaveCall, p);
  // No job free: the snap waits for the next turn.
  if (p->j == 0) __atomic_store_n(&p->sv, false, __ATOMIC_RELEASE);
}

bool Settle(TPart p, uint64_t now) {
  Collect(*p, true);
  if (!p->run || !Snap(p, now)) return false;
  p->j = Jobs::Call(SaveCall, p);
  if (p->j != 0) return Collect(*p, true) == 0;
  __atomic_store_n(&p->sv, false, __ATOMIC_RELEASE);
  return false;
}

void Leave(TPart& p, uint64_t now, bool snap) {
  p->lv = snap && p->run ? 1 : 2;
  p->lt = now;
  p = nullptr;
  Reap();
}

bool Idle(TPart p) { return Collect(*p, false) >= 0; }

void Reap() {
  for (TPartDesc& e : tbl.a) {
    if (e.i == 0 || e.lv == 0 || Collect(e, false) < 0) continue;
    TPart p = &e;
    if (e.lv == 1) {
      e.lv = 2;
      if (Snap(p, e.lt)) {
        e.j = Jobs::Call(SaveCall, p);
        if (e.j != 0) continue;
        __atomic_store_n(&e.sv, false, __ATOMIC_RELEASE);
      }
    }
    Keep(p);
  }
}

bool Leaving(const char* n) {
  Types::TPthStr pn;
  if (!MkPath(pn, n, partExt)) return false;
  for (const TPartDesc& p : tbl.a)
    if (p.i != 0 && p.lv != 0 && std::strcmp(p.pn, pn) == 0) return true;
  return false;
}

int Store(const uint8_t* x, uint32_t l, const char* tn, const char* rn) {
  const int h = FOps::Open(tn, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (h < 0) return errno;
  int err = 0;
  for (uint32_t c = 0; c < l && err == 0;) {
    const ssize_t k = FOps::PWrite(h, x + c, l - c, c);
    if (k < 0) err = errno;
    else c += static_cast<uint32_t>(k);
  }
  if (err == 0 && FOps::Fsync(h) != 0) err = errno;
  if (FOps::Close(h) != 0 && err == 0) err = errno;
  if (err == 0 && FOps::Rename(tn, rn) != 0) err = errno;
  if (err != 0) {
    unlink(tn);
    return err;
  }
  return SyncDir(rn);
}

void Finish(TPart& p) {
  Collect(*p, true);
  Remove(p->rn);
  Give(p);
}

void Keep(TPart& p) {
  Collect(*p, true);
  struct stat st;
  // Data without a record claim nothing: they go.
  if (lstat(p->rn, &st) != 0) {
    unlink(p->pn);
  } else if (set.srv) {
    // The reservation beyond the data is given back.
    if (fstat(p->h, &st) == 0) (void)ftruncate(p->h, st.st_size);
    char n[sizeof p->pn];
    std::snprintf(n, sizeof n, "%s", p->pn + std::strlen(Prefix()));
    n[std::strlen(n) - (sizeof partExt - 1)] = 0;
    const uint64_t t = p->st;
    Give(p);
    Index(n, t);
    return;
  }
  Give(p);
}

void Discard(TPart& p) {
  Collect(*p, true);
  Remove(p->rn);
  unlink(p->pn);
  Give(p);
}

// ---- the server's kept partial uploads ----

uint32_t Sweep(uint64_t now) {
  if (!set.srv) return 0;
  std::memset(kept, 0, sizeof kept);
  keptCnt = 0;
  keptDisk = 0;
  DIR* d = opendir(dirName);
  if (d == nullptr) return 0;
  const uint32_t ev = evicted;
  uint32_t gone = 0;
  while (const dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    Types::TPthStr x, pn;
    if (!MkPath(x, e->d_name, "") || IsOpen(x)) continue;
    struct stat st;
    if (lstat(x, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    char n[sizeof x];
    std::snprintf(n, sizeof n, "%s", e->d_name);
    if (EndsWith(n, recExt)) {
      n[std::strlen(n) - (sizeof recExt - 1)] = 0;
      if (!MkPath(pn, n, partExt)) continue;
      const int h = FOps::Open(pn, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      TSrcDesc s;
      uint64_t t = 0;
      uint32_t q, b;
      const TBad r = h < 0 ? bFile : Load(x, h, s, t, q, b);
      if (h >= 0) FOps::Close(h);
      if (r == bOk && (t > now || now - t < set.life)) {
        Index(n, t);
        continue;
      }
      LogName("Part sweep", n, r == bOk ? " expired" : BadText(r));
      Delete(n);
      ++gone;
    } else if (EndsWith(n, partExt)) {
      // Its record, if any, decides; without one it claims nothing.
      n[std::strlen(n) - (sizeof partExt - 1)] = 0;
      Types::TPthStr rn;
      if (MkPath(rn, n, recExt) && lstat(rn, &st) != 0 && unlink(x) == 0) ++gone;
    } else {
      // A record's temporary file that a crash left, or a stranger.
      unlink(x);
    }
  }
  closedir(d);
  // Index evicts beyond keepMax as it goes; those count too.
  gone += evicted - ev;
  char s[64];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Part sweep kept ");
  SO::WrLngCard(b, keptCnt, 1);
  SO::WrStr(b, " removed ");
  SO::WrLngCard(b, gone, 1);
  Message(s);
  return gone;
}

uint32_t Kept() { return keptCnt; }
uint64_t Disk() { return keptDisk; }

uint64_t Reclaim(uint64_t need, uint64_t avail) {
  uint64_t z = 0;
  while (avail + z < need && keptCnt > 0) z += Evict();
  return z;
}

}  // namespace Parts
