// Rcvrs.cpp — the receivers' table. The receiver drives a transfer: it asks
// for fragments inside a window of at most wndMax, asks again for those whose
// countdown runs out, and slides the window over what has arrived.
#include "Rcvrs.h"

#include <cstring>

#include "Lib3.h"
#include "Log.h"
#include "SO.h"
#include "Slots.h"
#include "Tmr.h"
#include "Tmr0.h"

namespace Rcvrs {
namespace {

TSlots<TRcvrDesc, cntMax> tbl;
TSettings set;
bool initialised = false;

constexpr uint32_t slotMask = wndMax - 1;
static_assert((wndMax & slotMask) == 0, "slots are indices masked with wndMax - 1");

void Message(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, set.vrb); }
void Trace(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, false); }

[[noreturn]] void Fatal(const char* s) {
  Log::Write(set.mid, Log::lvlFat, s, true);
  Lib3::Stop();
}

inline bool IsSet(const TWndDesc& w, uint32_t k) { return (w.d[k >> 5] >> (k & 31) & 1) != 0; }
inline void SetFlag(TWndDesc& w, uint32_t k) { w.d[k >> 5] |= uint32_t(1) << (k & 31); }
inline void ClrFlag(TWndDesc& w, uint32_t k) { w.d[k >> 5] &= ~(uint32_t(1) << (k & 31)); }

// The lines of fragments asked for again. With -d every one gets a line;
// without, a peer that has gone silent would make a line per fragment and
// update (thousands a second), so a receiver writes at most one a second,
// with the number of fragments asked for again since its previous line.
constexpr uint32_t toLineMs = 1000;
struct TToLineDesc {
  bool w;       // a line has been written
  uint32_t t;   // tick of the last line
  uint32_t n;   // fragments asked for again since then, not yet in a line
};
TToLineDesc toLine[cntMax];   // by slot i - 1

void Count(TRcvrDesc& r, TErr e) {
  r.e[eNull]++;
  r.e[e]++;
}

// The request being assembled by one Update.
struct TReqDesc {
  uint32_t b;      // base index
  uint32_t s;      // set; 0 = empty
  uint32_t to;     // countdown of the index added last
};

void Update_Line(const TRcvrDesc& r, const TReqDesc& q, uint32_t n) {
  if (!set.dbg) return;
  char t[128];
  SO::TBuffer b;
  SO::Init(b, t);
  SO::WrStr(b, "Update rcv ");
  SO::WrShtCard(b, r.i, 1);
  SO::WrStr(b, " idx ");
  SO::WrLngCard(b, q.b, 1);
  SO::WrStr(b, " set ");
  SO::WrLngHex(b, q.s, 1);
  SO::WrStr(b, " to ");
  SO::WrLngCard(b, q.to, 1);
  SO::WrStr(b, " wnd ");
  SO::WrLngCard(b, r.w.i, 1);
  SO::WrChar(b, ' ');
  SO::WrLngCard(b, r.w.j, 1);
  SO::WrStr(b, " cnt ");
  SO::WrLngCard(b, n, 1);
  Trace(t);
}

// Adds index k; a request that cannot reach k from its base goes out first.
void Update_Add(const TRcvrDesc& r, TReqDesc& q, uint32_t k, uint32_t n, TReqProc p, uint32_t f) {
  if (q.s == 0) {
    q.b = k;
  } else if (k - q.b > 31) {
    p(f, q.b, q.s);
    Update_Line(r, q, n);
    q.s = 0;
    q.b = k;
  }
  q.s |= uint32_t(1) << (k - q.b);
}

// Fragment k asked for again: "Update TO rcv 1 idx 7 to 125", and without
// -d " cnt 1800" at the end, the fragments since the previous line.
void Update_TO(const TRcvrDesc& r, uint32_t k, uint32_t to) {
  TToLineDesc& x = toLine[r.i - 1];
  x.n++;
  if (!set.dbg) {
    const uint32_t now = Tmr::Ticks();
    if (x.w && Tmr0::Diff(x.t, now) < toLineMs) return;
    x.w = true;
    x.t = now;
  }
  char s[128];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Update TO rcv ");
  SO::WrShtCard(b, r.i, 1);
  SO::WrStr(b, " idx ");
  SO::WrLngCard(b, k, 1);
  SO::WrStr(b, " to ");
  SO::WrLngCard(b, to, 1);
  if (!set.dbg) {
    SO::WrStr(b, " cnt ");
    SO::WrLngCard(b, x.n, 1);
  }
  Trace(s);
  x.n = 0;
}

}  // namespace

void InitModule(const TSettings& s0) {
  set = s0;
  if (initialised) {
    if (tbl.n == 0) tbl.Reset(set.cnt);
    return;
  }
  initialised = true;
  Log::Register(set.mid, "Rcvrs");
  tbl.Reset(set.cnt);
  char s[128];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "InitModule cntMax ");
  SO::WrLngCard(b, tbl.cnt, 1);
  SO::WrStr(b, ", SIZE( TRcvrDesc ) = ");
  SO::WrLngCard(b, sizeRcvrDesc, 1);
  SO::WrStr(b, ", wndMax ");
  SO::WrLngCard(b, wndMax, 1);
  Message(s);
}

TRcvr Alloc(uint16_t l, Files::TFile f, uint32_t w) {
  if (tbl.Full()) return nullptr;
  if (l == 0 || l > lenMaxFgm || f == nullptr) return nullptr;
  if (w == 0) w = 1;
  if (w > wndMax) w = wndMax;
  TRcvrDesc* r = tbl.Take();
  if (r == nullptr) Fatal("Alloc cnt inconsistency");
  r->l = l;
  r->f = f;
  Files::TPosDesc t;
  Files::GetTgt(f, t);
  r->n = t.l / l + (t.l % l > 0 ? 1 : 0);
  r->z = static_cast<uint16_t>(t.l % l);
  r->w.w = static_cast<uint16_t>(w);
  toLine[r->i - 1] = TToLineDesc{};
  char s[128];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Alloc rcv ");
  SO::WrShtCard(b, r->i, 1);
  SO::WrStr(b, " fgl ");
  SO::WrCard(b, r->l, 1);
  SO::WrStr(b, " cnt ");
  SO::WrLngCard(b, r->n, 1);
  SO::WrStr(b, " rem ");
  SO::WrCard(b, r->z, 1);
  SO::WrStr(b, " wnd ");
  SO::WrCard(b, r->w.w, 1);
  Message(s);
  return r;
}

void GetCnt(TRcvr r, uint32_t& n) { n = r->n; }

void GetFgl(TRcvr r, uint16_t& l) { l = r->l; }

void Receive(TRcvr r, uint32_t i, const uint8_t* x, uint32_t l) {
  TWndDesc& w = r->w;
  if (i < w.i || i >= w.j) {
    Count(*r, eWnd);
    return;
  }
  const uint32_t len = i == r->n - 1 && r->z != 0 ? r->z : r->l;
  if (l != len) {
    Count(*r, eLen);
    return;
  }
  const uint32_t k = i & slotMask;
  if (IsSet(w, k)) {
    Count(*r, eDup);
    return;
  }
  Files::Write(r->f, i * uint32_t(r->l), x, l, l);
  SetFlag(w, k);
  w.n++;
  if (set.dbg) {
    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "Receive rcv ");
    SO::WrShtCard(b, r->i, 1);
    SO::WrStr(b, " idx ");
    SO::WrLngCard(b, i, 1);
    SO::WrStr(b, " len ");
    SO::WrLngCard(b, l, 1);
    SO::WrStr(b, " to ");
    SO::WrLngCard(b, w.t[k], 1);
    SO::WrStr(b, " wnd ");
    SO::WrLngCard(b, w.i, 1);
    SO::WrChar(b, ' ');
    SO::WrLngCard(b, w.j, 1);
    SO::WrStr(b, " don ");
    SO::WrCard(b, w.n, 1);
    Trace(t);
  }
}

bool Update(TRcvr r, uint32_t n, uint32_t to, TReqProc p, uint32_t f) {
  TWndDesc& w = r->w;
  // Slide over what has arrived; the file's running digest follows.
  const uint32_t i0 = w.i;
  while (w.i < w.j && IsSet(w, w.i & slotMask)) {
    ClrFlag(w, w.i & slotMask);
    w.n--;
    w.i++;
  }
  if (w.i != i0) {
    const uint64_t e = uint64_t(w.i) * r->l;
    Files::TPosDesc t;
    Files::GetTgt(r->f, t);
    Files::Extend(r->f, e < t.l ? static_cast<uint32_t>(e) : t.l);
  }
  TReqDesc q = {0, 0, 0};
  // Ask again for fragments whose countdown runs out.
  for (uint32_t k = w.i; k < w.j && n > 0; ++k) {
    const uint32_t sl = k & slotMask;
    if (IsSet(w, sl)) continue;
    if (w.t[sl] > 0) w.t[sl]--;
    if (w.t[sl] != 0) continue;
    Count(*r, eTO);
    Update_TO(*r, k, to);
    Update_Add(*r, q, k, n, p, f);
    w.t[sl] = to;
    q.to = to;
    n--;
  }
  // Widen the window with fragments never asked for.
  const uint64_t lim64 = uint64_t(w.i) + w.w;
  const uint32_t limit = lim64 < r->n ? static_cast<uint32_t>(lim64) : r->n;
  uint32_t k = w.j;
  for (; k < limit && n > 0; ++k) {
    Update_Add(*r, q, k, n, p, f);
    w.t[k & slotMask] = to;
    q.to = to;
    n--;
  }
  if (k > w.j) w.j = k;
  if (q.s != 0) {
    p(f, q.b, q.s);
    Update_Line(*r, q, n);
  }
  return w.i < r->n;
}

void Free(TRcvr& r) {
  if (r == nullptr || r->i == 0) Fatal("Free invalid receiver");
  char s[128];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Free rcv ");
  SO::WrShtCard(b, r->i, 1);
  SO::WrStr(b, " ers");
  for (uint32_t k = 0; k < errCnt; ++k) {
    SO::WrChar(b, ' ');
    SO::WrHex(b, static_cast<uint16_t>(r->e[k] & 0xFFFF), 4);
  }
  Message(s);
  tbl.Give(r);
  r = nullptr;
}

}  // namespace Rcvrs
