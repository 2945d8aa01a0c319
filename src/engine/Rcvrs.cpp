// Rcvrs.cpp — the receivers' table. The receiver drives a transfer: it asks
// for fragments inside a window of at most wndMax, asks again for those whose
// countdown runs out, and slides the window over what has arrived.
//
// With rtt (-r) each slot also keeps when its fragment was last asked for
// and whether it was asked for once only. The arrival of a once-asked
// fragment is one round-trip sample (a fragment asked for again could answer
// either request). A missing fragment is asked for again when its countdown
// runs out, as without the switch, or earlier, once the learnt time (two
// update periods .. 125 ms) has passed since its last request, so a fragment
// asked for again waits the learnt time once more before a third request.
//
// The learnt time alone would take stalls for losses: when this process or
// the sender is held up for some milliseconds (a busy machine), the replies
// of that time wait in a socket and the whole window looks late; asking for
// it again only doubles the traffic. So before the countdown, a fragment is
// asked for again only when the link has shown that its reply is lost, not
// late: the sender answers requests in their order, so a reply to a request
// that went out after its own means that its request or reply was lost.
// Fragments are first asked for in the order of their indices, so any
// fragment with a higher index that arrives (whichever of its requests it
// answers) is that sign for a fragment asked for once; for one asked for
// again, it takes a once-asked fragment asked for after that. A fragment
// after which no once-asked fragment is still on its way (the last ones of a
// file, or one asked for again while the window is full, held up by it) can
// get no such sign any more: one of those is asked for again as a probe
// after the learnt time, one per learnt time, so a stalled sender gets a
// request per learnt time, not the window.
#include "Rcvrs.h"

#include <cstring>

#include "Lib3.h"
#include "Log.h"
#include "MMSys.h"
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
inline bool IsOnce(const TWndDesc& w, uint32_t k) { return (w.o[k >> 5] >> (k & 31) & 1) != 0; }
inline void SetOnce(TWndDesc& w, uint32_t k) { w.o[k >> 5] |= uint32_t(1) << (k & 31); }
inline void ClrOnce(TWndDesc& w, uint32_t k) { w.o[k >> 5] &= ~(uint32_t(1) << (k & 31)); }

// The request of a fragment asked for at ta with index ia went out after
// the one asked for at tb with index ib (the clock wraps; one update asks in
// ascending order).
inline bool After(uint32_t ta, uint32_t ia, uint32_t tb, uint32_t ib) {
  return static_cast<int32_t>(ta - tb) > 0 || (ta == tb && ia > ib);
}

// The learnt time: never below two update periods, never above 125 ms, and
// 125 ms until the first measure.
inline uint32_t Learnt(const TRcvrDesc& r) {
  const uint64_t lo = 2 * uint64_t(r.p);
  return Rtt::Timeout(r.rt, lo < toMaxUs ? static_cast<uint32_t>(lo) : toMaxUs, toMaxUs);
}

// What one update knows for the re-requests by the learnt time.
struct TRttPass {
  bool on;         // rtt, and a first measure taken
  uint32_t now;    // the clock of this update
  uint32_t lt;     // the learnt time
  bool probe;      // no probe for lt: one fragment may go as a probe
  bool sign;       // a once-asked fragment is still on its way: the newest,
  uint32_t sq;     // asked for at sq
  uint32_t si;     // with index si
};

// Fragment k in slot sl, missing, its countdown still running: lost by the
// learnt time (see the head of this file).
bool Lost(TRcvrDesc& r, TRttPass& x, uint32_t k, uint32_t sl) {
  if (!x.on || x.now - r.w.q[sl] < x.lt) return false;
  if ((IsOnce(r.w, sl) && k < r.h) || After(r.a, r.ai, r.w.q[sl], k)) return true;
  if (!x.probe || (x.sign && After(x.sq, x.si, r.w.q[sl], k))) return false;
  x.probe = false;
  r.pr = x.now;
  return true;
}

// With -d: the learnt time, when it has moved by more than a quarter since
// the line before (a line per fragment would drown the trace).
void Receive_Rtt(TRcvrDesc& r) {
  if (!set.dbg) return;
  const uint32_t t = Learnt(r);
  const uint32_t d = t > r.s ? t - r.s : r.s - t;
  if (r.s != 0 && uint64_t(d) * 4 <= r.s) return;
  r.s = t;
  char s[128];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Receive rtt rcv ");
  SO::WrShtCard(b, r.i, 1);
  SO::WrStr(b, " srtt ");
  SO::WrLngCard(b, r.rt.srtt, 1);
  SO::WrStr(b, " var ");
  SO::WrLngCard(b, r.rt.rttvar, 1);
  SO::WrStr(b, " to ");
  SO::WrLngCard(b, t, 1);
  SO::WrStr(b, " us");
  Trace(s);
}

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
  if (set.clk == nullptr) set.clk = MMSys::Micros;
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

TRcvr Alloc(uint16_t l, Files::TFile f, uint32_t w, uint32_t dtu) {
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
  Rtt::Init(r->rt);
  r->p = (dtu == 0 ? 1 : dtu) * 1000;
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
  if (i >= r->h) r->h = i + 1;
  if (set.rtt && IsOnce(w, k)) {
    Rtt::Sample(r->rt, set.clk() - w.q[k]);
    if (r->rt.n == 1 || After(w.q[k], i, r->a, r->ai)) {
      r->a = w.q[k];
      r->ai = i;
    }
    Receive_Rtt(*r);
  }
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
  TRttPass x{};
  if (set.rtt) {
    x.now = set.clk();
    x.on = r->rt.n > 0;
    x.lt = Learnt(*r);
    x.probe = x.on && x.now - r->pr >= x.lt;
    // Once-asked fragments go out in the order of their indices, so the
    // newest still on its way is the highest missing one with its flag.
    for (uint32_t k = w.j; x.probe && k > w.i;) {
      const uint32_t sl = --k & slotMask;
      if (IsSet(w, sl) || !IsOnce(w, sl)) continue;
      x.sign = true;
      x.sq = w.q[sl];
      x.si = k;
      break;
    }
  }
  // Ask again for fragments whose countdown runs out, or (-r) that are lost
  // by the learnt time.
  for (uint32_t k = w.i; k < w.j && n > 0; ++k) {
    const uint32_t sl = k & slotMask;
    if (IsSet(w, sl)) continue;
    if (w.t[sl] > 0) w.t[sl]--;
    if (w.t[sl] != 0 && !Lost(*r, x, k, sl)) continue;
    Count(*r, eTO);
    Update_TO(*r, k, to);
    Update_Add(*r, q, k, n, p, f);
    w.t[sl] = to;
    w.q[sl] = x.now;
    ClrOnce(w, sl);
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
    w.q[k & slotMask] = x.now;
    SetOnce(w, k & slotMask);
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
