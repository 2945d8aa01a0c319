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
//
// With cc (-c) a receiver keeps its own window of up to wndCc slots, with
// four flags a slot (arrived, asked for once only, on its way, its reply a
// measure), the time it was last asked for and the path model's tag of that
// request; the missing fragments are kept in lists (TCcDesc), so an update
// never scans the window. Per update the path model (Path) gives a budget:
// fragments lost come first, then fragments never asked for, as long as the
// budget, the number the model lets be on their way and the window's span
// allow. A fragment is lost, as QUIC decides it, once a fragment asked for
// after it has arrived and 9/8 of the round trip (smoothed, or the latest if
// longer) has passed since it was asked for; a fragment asked for again is
// lost only once the learnt time (smoothed + 4 x deviation, no upper bound)
// has passed since then as well, so it is never asked for a third time
// sooner. Its reply then answers its last request and is a measure; one
// asked for again by time alone is none.
//
// When for the learnt time nothing arrives (before the first measure the
// learnt time is a second), a round of silence asks for one fragment never
// asked for, and only where there is none left in the window (the end of a
// file, a window at its limit) takes what is on its way for lost by time.
// Each round doubles the learnt time until something arrives. So the first
// answers on a path of more than a second still measure its round trip, a
// tail loss is found by the fragments asked for after it or by one round,
// and a peer gone quiet gets a request per round, not the window per
// learnt time. A lost fragment no longer counts as on its way, and the
// fragments past it are asked for while it is recovered: the span is four
// times what may be on the way (twice the path), so a fragment lost twice
// holds no window back.
#include "Rcvrs.h"

#include <sys/mman.h>

#include <cstring>
#include <initializer_list>

#include "Lib3.h"
#include "Log.h"
#include "MMSys.h"
#include "Parts.h"
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

// The partial file of a resume (-k), by slot i - 1: what it holds is never
// asked for, what arrives is marked in it.
Parts::TPart held[cntMax];

inline bool Held(const TRcvrDesc& r, uint32_t k) {
  return held[r.i - 1] != nullptr && Parts::Held(held[r.i - 1], k);
}

// A fragment has been written: the partial file holds it (once it reaches
// the disk; a file that failed claims nothing).
inline void Wrote(const TRcvrDesc& r, uint32_t i) {
  if (held[r.i - 1] != nullptr && !Files::Failed(r.f)) Parts::Mark(held[r.i - 1], i);
}

// The window of a receiver with cc. Every fragment asked for and missing
// is in one of three lists, linked through its slot: asked for once and on
// its way (in the order of their requests, which is that of their indices),
// asked for again and on its way (in the order of those requests), and
// taken for lost and waiting to be asked for again (in the order they were
// found lost). An update looks only at the heads of the lists and at what it
// asks for, never at the window's whole span: a window of 131072 fragments
// of a peer that has stopped answering costs no more than one of 64.
constexpr uint32_t ccMask = wndCc - 1;
static_assert((wndCc & ccMask) == 0, "slots are indices masked with wndCc - 1");
constexpr uint32_t nil = UINT32_MAX;   // no slot: the end of a list
struct TCcSlotDesc {
  uint32_t q;            // when last asked for
  Path::TTagDesc t;      // the path model's tag of that request
  uint32_t nx, pv;       // the next and the previous slot of its list
};
struct TCcWndDesc {
  uint32_t d[wndCc / 32];   // arrived
  uint32_t o[wndCc / 32];   // asked for once only
  uint32_t f[wndCc / 32];   // on its way (asked for and not yet taken for lost)
  uint32_t m[wndCc / 32];   // its arrival is a measure (the reply can only answer its last request)
  TCcSlotDesc s[wndCc];
};
enum TList : uint8_t { lOnce = 0, lAgain = 1, lLost = 2 };
struct TListDesc {
  uint32_t h, t;   // head and tail slot (nil: empty)
};
struct TCcDesc {
  Path::TPathDesc m;    // the path model
  TCcWndDesc* w;        // the window (allocated at start-up)
  TListDesc l[3];       // the lists of missing fragments, by TList
  uint32_t fly;         // fragments on their way
  uint32_t latest;      // the round trip measured last
  bool sign;            // a measure has arrived (r.a and r.ai hold the one asked for last)
  uint32_t last;        // the clock of the last update
  uint32_t back;        // learnt times in a row that passed with nothing arriving: each doubles the next
  uint32_t pt;          // when the last of them ended (or the receiver began)
  uint32_t vis;         // slots the last update looked at (tests)
  // what the last estimate line showed (-d)
  double sbw;
  uint32_t srtt;
  Path::TState sst;
  bool shown;
};
TCcDesc cc[cntMax];          // by slot i - 1
TCcWndDesc* ccWnd = nullptr; // cnt windows, mapped when cc is first on

inline bool Bit(const uint32_t* a, uint32_t k) { return (a[k >> 5] >> (k & 31) & 1) != 0; }
inline void SetBit(uint32_t* a, uint32_t k) { a[k >> 5] |= uint32_t(1) << (k & 31); }
inline void ClrBit(uint32_t* a, uint32_t k) { a[k >> 5] &= ~(uint32_t(1) << (k & 31)); }

// The windows are mapped, not part of the table: 3.1 MiB a receiver that
// the kernel backs only as far as a window has reached.
void MapWindows() {
  if (ccWnd != nullptr) return;
  const size_t l = sizeof(TCcWndDesc) * cntMax;
  void* a = mmap(nullptr, l, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (a == MAP_FAILED) Fatal("InitModule cannot map the windows");
  ccWnd = static_cast<TCcWndDesc*>(a);
}

// With -d: the path's estimate, when its rate or floor has moved by more
// than a quarter since the line before, or its state has changed.
void Estimate_Line(const TRcvrDesc& r, TCcDesc& c) {
  if (!set.dbg) return;
  const double bw = Path::Bw(c.m);
  const uint32_t rt = c.m.minRtt;
  const bool moved = !c.shown || c.sst != c.m.st || (bw - c.sbw) * 4 > c.sbw || (c.sbw - bw) * 4 > c.sbw ||
                     uint64_t(rt > c.srtt ? rt - c.srtt : c.srtt - rt) * 4 > c.srtt;
  if (!moved) return;
  c.shown = true;
  c.sbw = bw;
  c.srtt = rt;
  c.sst = c.m.st;
  char s[128];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Estimate rcv ");
  SO::WrShtCard(b, r.i, 1);
  SO::WrStr(b, " rate ");
  const double kbs = bw * r.l * 8000.0;   // fragments per microsecond to kbit/s
  SO::WrLngCard(b, kbs < 4e9 ? static_cast<uint32_t>(kbs) : 4000000000u, 1);
  SO::WrStr(b, " kbit/s min ");
  SO::WrLngCard(b, rt, 1);
  SO::WrStr(b, " us state ");
  SO::WrStr(b, Path::StateName(c.m.st));
  Trace(s);
}

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

// With -d a line per fragment that arrives: "Receive rcv 1 idx 7 len 1455
// to 125 wnd 0 64 don 3" (with cc, to is 0).
void Receive_Line(const TRcvrDesc& r, uint32_t i, uint32_t l, uint32_t to) {
  if (!set.dbg) return;
  const TWndDesc& w = r.w;
  char t[128];
  SO::TBuffer b;
  SO::Init(b, t);
  SO::WrStr(b, "Receive rcv ");
  SO::WrShtCard(b, r.i, 1);
  SO::WrStr(b, " idx ");
  SO::WrLngCard(b, i, 1);
  SO::WrStr(b, " len ");
  SO::WrLngCard(b, l, 1);
  SO::WrStr(b, " to ");
  SO::WrLngCard(b, to, 1);
  SO::WrStr(b, " wnd ");
  SO::WrLngCard(b, w.i, 1);
  SO::WrChar(b, ' ');
  SO::WrLngCard(b, w.j, 1);
  SO::WrStr(b, " don ");
  SO::WrCard(b, w.n, 1);
  Trace(t);
}

// The window has slid: the file's in-order prefix reaches its start.
void Extend(const TRcvrDesc& r) {
  const uint64_t e = WISP::FgmAt(r.w.i, r.l);
  Files::TPosDesc t;
  Files::GetTgt(r.f, t);
  Files::Extend(r.f, e < t.l ? e : t.l);
}

// A window with nothing asked for moves past a run of held fragments at
// once, so that a resume does not spend updates on what is there.
void SkipHeld(TRcvrDesc& r) {
  TWndDesc& w = r.w;
  if (w.i != w.j) return;
  while (w.i < r.n && Held(r, w.i)) ++w.i;
  w.j = w.i;
}

// The list a missing fragment that has been asked for is in, by its flags.
inline TList ListOf(const TCcWndDesc& w, uint32_t sl) {
  return !Bit(w.f, sl) ? lLost : Bit(w.o, sl) ? lOnce : lAgain;
}

void Push(TCcDesc& c, TList l, uint32_t sl) {
  TListDesc& x = c.l[l];
  TCcSlotDesc& s = c.w->s[sl];
  s.nx = nil;
  s.pv = x.t;
  if (x.t != nil) c.w->s[x.t].nx = sl;
  else x.h = sl;
  x.t = sl;
}

void Unlink(TCcDesc& c, TList l, uint32_t sl) {
  TListDesc& x = c.l[l];
  const TCcSlotDesc& s = c.w->s[sl];
  if (s.pv != nil) c.w->s[s.pv].nx = s.nx;
  else x.h = s.nx;
  if (s.nx != nil) c.w->s[s.nx].pv = s.pv;
  else x.t = s.pv;
}

// The index of the fragment in slot sl: every fragment in a list lies in
// the window, which spans at most wndCc indices from its start.
inline uint32_t IndexOf(const TWndDesc& w, uint32_t sl) { return w.i + ((sl - w.i) & ccMask); }

// A receiver's cc state: a model that may ask for fpu fragments per update
// period at most, and an empty window.
void Alloc_Cc(TRcvrDesc& r, uint32_t w, uint32_t fpu) {
  TCcDesc& c = cc[r.i - 1];
  c = TCcDesc{};
  c.w = &ccWnd[r.i - 1];
  std::memset(c.w->d, 0, sizeof c.w->d);
  std::memset(c.w->o, 0, sizeof c.w->o);
  std::memset(c.w->f, 0, sizeof c.w->f);
  std::memset(c.w->m, 0, sizeof c.w->m);
  for (TListDesc& l : c.l) l = TListDesc{nil, nil};
  const double ceil = (fpu != 0 ? double(fpu) : double(w) * (r.p / 1000) / 25.0) / r.p;
  c.last = set.clk();
  c.pt = c.last;
  Path::Init(c.m, c.last, ceil, r.p, r.i * 2654435761u);
}

void Receive_Cc(TRcvrDesc& r, uint32_t i, const uint8_t* x, uint32_t l) {
  TWndDesc& w = r.w;
  TCcDesc& c = cc[r.i - 1];
  TCcWndDesc& cw = *c.w;
  const uint32_t k = i & ccMask;
  if (Bit(cw.d, k)) {
    Count(r, eDup);
    return;
  }
  Files::Write(r.f, WISP::FgmAt(i, r.l), x, l, l);
  Wrote(r, i);
  Unlink(c, ListOf(cw, k), k);
  SetBit(cw.d, k);
  w.n++;
  if (i >= r.h) r.h = i + 1;
  const uint32_t now = set.clk();
  if (Bit(cw.f, k)) {
    ClrBit(cw.f, k);
    c.fly--;
  }
  c.back = 0;
  const TCcSlotDesc& q = cw.s[k];
  // A fragment asked for once, or asked for again after a later request had
  // been answered (its first reply was lost, not late), answers its last
  // request: a measure. Only one asked for once sets the floor, once there
  // is one: a first reply that came very late after all would otherwise
  // pass for a short round trip and hold the floor down for 10 s.
  uint32_t m = 0, mf = 0;
  if (Bit(cw.m, k)) {
    m = now - q.q;
    if (m == 0) m = 1;
    Rtt::Sample(r.rt, m);
    c.latest = m;
    mf = Bit(cw.o, k) || c.m.minRtt == 0 ? m : 0;
    if (!c.sign || After(q.q, i, r.a, r.ai)) {
      c.sign = true;
      r.a = q.q;
      r.ai = i;
    }
  }
  Path::Arrive(c.m, now, q.t, q.q, mf, c.fly);
  Receive_Line(r, i, l, 0);
  Estimate_Line(r, c);
}

// The span of the window: four times what may be on the way, 64 at least.
uint32_t SpanOf(const TCcDesc& c) {
  const uint64_t s = 4 * uint64_t(c.m.cwnd);
  return s < 64 ? 64 : (s > wndCc ? wndCc : static_cast<uint32_t>(s));
}

// Fragment k asked for at now: on its way, with the model's tag, at the
// tail of list l.
void Ask_Cc(TCcDesc& c, uint32_t k, uint32_t now, TList l) {
  const uint32_t sl = k & ccMask;
  c.w->s[sl].q = now;
  c.w->s[sl].t = Path::Ask(c.m, now, c.fly);
  SetBit(c.w->f, sl);
  c.fly++;
  Push(c, l, sl);
}

// The fragment in slot sl of list l is lost: it waits to be asked for
// again. Unless a later request has been answered (proven), its reply may
// still come and answer either request: no measure then.
void Lose(TCcDesc& c, TList l, uint32_t sl, bool proven) {
  Unlink(c, l, sl);
  ClrBit(c.w->f, sl);
  if (!proven) ClrBit(c.w->m, sl);
  c.fly--;
  Path::Lost(c.m, 1);
  Push(c, lLost, sl);
}

// The learnt time until the first measure; each learnt time that passes with
// nothing arriving doubles it (1 s, 2 s, 4 s ...), at most ltMaxUs.
constexpr uint32_t ltStartUs = 1000000;
constexpr uint32_t ltMaxUs = 60000000;

bool Update_Cc(TRcvrDesc& r, uint32_t n, TReqProc p, uint32_t f) {
  TWndDesc& w = r.w;
  TCcDesc& c = cc[r.i - 1];
  TCcWndDesc& cw = *c.w;
  uint32_t vis = 0;
  const uint32_t i0 = w.i;
  while (w.i < w.j && Bit(cw.d, w.i & ccMask)) {
    const uint32_t sl = w.i & ccMask;
    ClrBit(cw.d, sl);
    ClrBit(cw.o, sl);
    ClrBit(cw.m, sl);
    w.n--;
    w.i++;
    vis++;
  }
  SkipHeld(r);
  if (w.i != i0) Extend(r);
  const uint32_t now = set.clk();
  // The learnt time, and 9/8 of the round trip for a fragment that a later
  // one has overtaken; before the first measure the start value for both.
  uint64_t lt = ltStartUs;
  uint32_t thr = 0;
  if (r.rt.n > 0) {
    // As QUIC's probe time-out: the deviation counts for a millisecond at
    // least, and a reply may wait an update period at either end.
    const uint32_t v = 4 * r.rt.rttvar > 1000 ? 4 * r.rt.rttvar : 1000;
    lt = uint64_t(r.rt.srtt) + v + 2 * r.p;
    const uint32_t b = r.rt.srtt > c.latest ? r.rt.srtt : c.latest;
    thr = b + b / 8;
    if (thr < r.p) thr = r.p;
  }
  lt <<= c.back;
  if (lt > ltMaxUs) lt = ltMaxUs;
  if (r.rt.n == 0) thr = static_cast<uint32_t>(lt);
  // An update that comes late (this process waited for a CPU) takes nothing
  // for lost by time: what arrived meanwhile still waits in the socket,
  // behind this update.
  const bool late = now - c.last > 2 * r.p + 5000;
  c.last = now;
  const uint64_t lim64 = uint64_t(w.i) + SpanOf(c);
  const uint32_t limit = lim64 < r.n ? static_cast<uint32_t>(lim64) : r.n;
  // Silence: for the learnt time nothing has arrived, something has been on
  // its way and no round of silence has ended. A round of silence asks for
  // one fragment never asked for, beyond what may be on the way: its reply
  // shows what was lost, as any later request's does, and gives a measure
  // (before the first one, a round trip above the start value only costs
  // this one fragment). Where there is none in the window the learnt time
  // alone takes the fragments on their way for lost. Each round doubles the
  // learnt time until something arrives, so a peer that has gone quiet
  // gets a request per round, not the window per learnt time.
  //
  // At the end of a file nothing is asked for after the last fragments, so
  // the last of them, lost, would wait for the silence after everything
  // else has come: there a round also begins once even the fragment asked
  // for last has been on its way for the learnt time and 9/8 of the round
  // trip (a queue that grew since the last measure is not taken for loss).
  uint32_t oldest = 0, newest = UINT32_MAX;
  for (TList l : {lOnce, lAgain}) {
    if (c.l[l].h == nil) continue;
    const uint32_t a = now - cw.s[c.l[l].h].q, b = now - cw.s[c.l[l].t].q;
    if (a > oldest) oldest = a;
    if (b < newest) newest = b;
  }
  const bool end = w.j == r.n && c.fly > 0 && newest >= lt && newest >= thr;
  const bool silent = !late && now - c.pt >= lt && ((oldest >= lt && now - c.m.delT >= lt) || end);
  const bool probe = silent && w.j < limit;
  if (silent) {
    if (lt < ltMaxUs) c.back++;
    c.pt = now;
  }
  const bool byTime = silent && !probe;
  uint32_t budget = Path::Budget(c.m, now, c.fly, n);
  uint32_t asked = 0;
  TReqDesc q = {0, 0, 0};
  // Losses: a fragment asked for again is lost once the learnt time has
  // passed since then and a fragment asked for after it has arrived (or by
  // time); one asked for once, once a later one has arrived and 9/8 of the
  // round trip have passed (or by time). Each list is in the order of its
  // requests, so the first of a list that is not lost ends its walk.
  for (uint32_t sl = c.l[lAgain].h; sl != nil;) {
    const uint32_t nx = cw.s[sl].nx;
    const uint32_t age = now - cw.s[sl].q;
    ++vis;
    if (age < lt) break;
    const bool ovt = c.sign && After(r.a, r.ai, cw.s[sl].q, IndexOf(w, sl));
    if (!ovt && !byTime) break;
    Lose(c, lAgain, sl, ovt);
    sl = nx;
  }
  for (uint32_t sl = c.l[lOnce].h; sl != nil;) {
    const uint32_t nx = cw.s[sl].nx;
    const uint32_t age = now - cw.s[sl].q;
    const uint32_t k = IndexOf(w, sl);
    ++vis;
    const bool proven = age >= thr && (k < r.h || (c.sign && After(r.a, r.ai, cw.s[sl].q, k)));
    if (!proven && !(age >= lt && byTime)) break;
    Lose(c, lOnce, sl, proven);
    sl = nx;
  }
  // Fragments lost are asked for again first, in the order they were found
  // lost, as far as the budget goes.
  for (uint32_t sl = c.l[lLost].h; sl != nil && budget > 0; sl = c.l[lLost].h) {
    const uint32_t k = IndexOf(w, sl);
    ++vis;
    Unlink(c, lLost, sl);
    Count(r, eTO);
    Update_TO(r, k, static_cast<uint32_t>(lt / r.p));
    Update_Add(r, q, k, n, p, f);
    ClrBit(cw.o, sl);
    Ask_Cc(c, k, now, lAgain);
    budget--;
    asked++;
  }
  // Then fragments never asked for, inside the span, and a round of
  // silence's one beyond the budget.
  uint32_t k = w.j;
  for (; k < limit && (budget > 0 || (probe && k == w.j)); ++k) {
    ++vis;
    if (Held(r, k)) {
      // There already: it counts as arrived.
      SetBit(cw.d, k & ccMask);
      w.n++;
      continue;
    }
    Update_Add(r, q, k, n, p, f);
    SetBit(cw.o, k & ccMask);
    SetBit(cw.m, k & ccMask);
    Ask_Cc(c, k, now, lOnce);
    if (budget > 0) budget--;
    asked++;
  }
  if (k > w.j) w.j = k;
  Path::Spend(c.m, asked);
  if (q.s != 0) {
    p(f, q.b, q.s);
    Update_Line(r, q, n);
  }
  c.vis = vis;
  return w.i < r.n;
}

}  // namespace

void InitModule(const TSettings& s0) {
  set = s0;
  if (set.clk == nullptr) set.clk = MMSys::Micros;
  if (set.cc) MapWindows();
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

TRcvr Alloc(uint16_t l, Files::TFile f, uint32_t w, uint32_t dtu, uint32_t fpu, Parts::TPartDesc* k) {
  if (tbl.Full()) return nullptr;
  if (l == 0 || l > lenMaxFgm || f == nullptr) return nullptr;
  if (w == 0) w = 1;
  if (w > wndMax) w = wndMax;
  Files::TPosDesc t;
  Files::GetTgt(f, t);
  const uint64_t m = WISP::FgmCnt(t.l, l);
  if (m > WISP::fgmCntMax) return nullptr;
  TRcvrDesc* r = tbl.Take();
  if (r == nullptr) Fatal("Alloc cnt inconsistency");
  r->l = l;
  r->f = f;
  r->n = static_cast<uint32_t>(m);
  r->z = static_cast<uint16_t>(t.l % l);
  r->w.w = static_cast<uint16_t>(w);
  toLine[r->i - 1] = TToLineDesc{};
  Rtt::Init(r->rt);
  r->p = (dtu == 0 ? 1 : dtu) * 1000;
  if (set.cc) Alloc_Cc(*r, w, fpu);
  held[r->i - 1] = k;
  if (k != nullptr) {
    // The kept in-order prefix: the file's digest starts with it.
    r->w.i = r->w.j = Parts::Prefix(k) < r->n ? Parts::Prefix(k) : r->n;
    SkipHeld(*r);
    if (r->w.i != 0) Extend(*r);
  }
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
  SO::WrLngCard(b, set.cc ? wndCc : r->w.w, 1);
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
  if (set.cc) return Receive_Cc(*r, i, x, l);
  const uint32_t k = i & slotMask;
  if (IsSet(w, k)) {
    Count(*r, eDup);
    return;
  }
  Files::Write(r->f, WISP::FgmAt(i, r->l), x, l, l);
  Wrote(*r, i);
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
  Receive_Line(*r, i, l, w.t[k]);
}

bool Update(TRcvr r, uint32_t n, uint32_t to, TReqProc p, uint32_t f) {
  TWndDesc& w = r->w;
  if (set.cc) return Update_Cc(*r, n, p, f);
  // Slide over what has arrived; the file's running digest follows.
  const uint32_t i0 = w.i;
  while (w.i < w.j && IsSet(w, w.i & slotMask)) {
    ClrFlag(w, w.i & slotMask);
    w.n--;
    w.i++;
  }
  SkipHeld(*r);
  if (w.i != i0) Extend(*r);
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
    if (Held(*r, k)) {
      // There already: it counts as arrived.
      SetFlag(w, k & slotMask);
      w.n++;
      continue;
    }
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
  held[r->i - 1] = nullptr;
  tbl.Give(r);
  r = nullptr;
}

const Path::TPathDesc* Model(TRcvr r) { return set.cc ? &cc[r->i - 1].m : nullptr; }

uint32_t Flying(TRcvr r) { return set.cc ? cc[r->i - 1].fly : 0; }

uint32_t Span(TRcvr r) { return set.cc ? SpanOf(cc[r->i - 1]) : r->w.w; }

uint32_t Visited(TRcvr r) { return set.cc ? cc[r->i - 1].vis : 0; }

}  // namespace Rcvrs
