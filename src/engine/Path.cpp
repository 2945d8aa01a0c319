// Path.cpp — the receiver's path model (Path.h says what it is for).
//
// The steps follow BBR (version 1) as Linux runs it, on the receiver: a
// delivery-rate sample per arriving fragment, a windowed maximum of those,
// round trips counted by deliveries, the full-pipe test of the start-up, the
// gain cycle of the steady state, and a probe of the floor every 10 s that
// halves what is on its way for 200 ms and a round trip (BBR's second
// version halves, the first goes down to 4 packets; half costs less on a
// long path). The start-up's second round comes from the first window's
// spacing (Train). Two rules are WISP's own, from the round trip: a queue that
// stands for a whole round (RoundStart) ends the start-up at once, and in
// the steady state takes the rate down to what the path delivers.
#include "Path.h"

#include <cmath>

namespace Path {
namespace {

constexpr double startGain = 2.885;   // 2 / ln 2: the rate doubles each round trip
constexpr double drainGain = 1.0 / startGain;
constexpr double steadyCwndGain = 2.0;
constexpr uint32_t cycleLen = 8;
constexpr double cycleGain[cycleLen] = {1.25, 0.75, 1, 1, 1, 1, 1, 1};
constexpr double fullBwGrowth = 1.25;
constexpr uint8_t fullBwRounds = 3;
constexpr uint32_t fairFgm = 48;   // fragments of its own a flow may keep in a shared queue
constexpr uint32_t trainMin = 32;  // fragments of the first window that make a measure of the bottleneck
constexpr uint32_t trainMinUs = 500;   // the middle half's span, at least
constexpr uint32_t jumpMax = 16 * initCwnd;
constexpr uint32_t jumpLongUs = 250000;   // a floor above this lets the jump grow with it

inline bool Later(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

void MaxReset(TMaxDesc& m, uint32_t r, double v) {
  for (uint32_t k = 0; k < 3; ++k) {
    m.v[k] = v;
    m.r[k] = r;
  }
}

// The running maximum over a window of w rounds, keeping the best, second
// best and third best of its sub-windows.
void MaxUpdate(TMaxDesc& m, uint32_t r, double v, uint32_t w) {
  if (v >= m.v[0] || r - m.r[2] > w) return MaxReset(m, r, v);
  if (v >= m.v[1]) {
    m.v[2] = m.v[1] = v;
    m.r[2] = m.r[1] = r;
  } else if (v >= m.v[2]) {
    m.v[2] = v;
    m.r[2] = r;
  }
  const uint32_t dt = r - m.r[0];
  if (dt > w) {
    m.v[0] = m.v[1];
    m.r[0] = m.r[1];
    m.v[1] = m.v[2];
    m.r[1] = m.r[2];
    m.v[2] = v;
    m.r[2] = r;
    if (r - m.r[0] > w) {
      m.v[0] = m.v[1];
      m.r[0] = m.r[1];
      m.v[1] = m.v[2];
      m.r[1] = m.r[2];
    }
  } else if (m.r[1] == m.r[0] && dt > w / 4) {
    m.v[2] = m.v[1] = v;
    m.r[2] = m.r[1] = r;
  } else if (m.r[2] == m.r[1] && dt > w / 2) {
    m.v[2] = v;
    m.r[2] = r;
  }
}

uint32_t Inflight(const TPathDesc& p, double gain) {
  return static_cast<uint32_t>(std::ceil(gain * Bw(p) * p.minRtt));
}

// What is on its way when the path holds one round trip and no queue: the
// round trip's worth, and the share of it that the path loses, which counts
// as on its way until it is found lost.
uint32_t Held(const TPathDesc& p) {
  const double l = p.loss < 0.2 ? p.loss : 0.2;
  return static_cast<uint32_t>(Bdp(p) / (1 - l));
}

void EnterProbeBW(TPathDesc& p, uint32_t now) {
  p.st = stProbeBW;
  p.cg = steadyCwndGain;
  // Start anywhere but in the drain phase, which would only slow a flow
  // that has just drained.
  p.seed = p.seed * 1103515245u + 12345u;
  uint32_t c = (p.seed >> 16) % (cycleLen - 1);
  if (c >= 1) ++c;
  p.cyc = static_cast<uint8_t>(c);
  p.cycT = now;
  p.pg = cycleGain[p.cyc];
  p.probeBw = Bw(p);
}

// The next phase of the cycle; a probe that found a fifth more rate probes
// again at once (the path had room: a flow that left, or a start-up that
// ended early), so that a rate grows by a quarter a round trip, not a cycle.
void NextPhase(TPathDesc& p, uint32_t now) {
  if (p.cyc == 0 && Bw(p) >= p.probeBw * 1.2) {
    p.probeBw = Bw(p);
    p.cycT = now;
    return;
  }
  p.cyc = static_cast<uint8_t>((p.cyc + 1) % cycleLen);
  p.cycT = now;
  p.pg = cycleGain[p.cyc];
  if (p.cyc == 0) p.probeBw = Bw(p);
}

// A phase lasts a round trip's floor; the probe also until a quarter more is
// on its way (or two floors, when the grant keeps it below); the drain until
// no more than the round trip holds is on its way (or three floors), so that
// what the probe queued is gone, not only a floor's worth of it.
bool PhaseDone(const TPathDesc& p, uint32_t now, uint32_t f) {
  const uint32_t e = now - p.cycT;
  const bool full = e > p.minRtt;
  if (p.pg > 1) return full && (f >= Inflight(p, p.pg) || e > 2 * uint64_t(p.minRtt));
  if (p.pg < 1) return f <= Held(p) || e > 3 * uint64_t(p.minRtt);
  return full;
}

// A round trip of r is above the floor by more than the waits of an update
// period at each end, 2 ms of jitter and a sixteenth of the floor: a queue.
bool Queued(const TPathDesc& p, uint32_t r) {
  return p.minRtt != 0 && r != UINT32_MAX && r > p.minRtt + 2000 + 2 * p.per + p.minRtt / 16;
}

// A queue stood at the bottleneck for the whole round that has ended.
bool QueueStood(const TPathDesc& p) { return Queued(p, p.lastRtt); }

void RoundStart(TPathDesc& p, uint32_t now) {
  // The share of the round's fragments that the path lost, smoothed.
  const uint32_t t = p.roundDel + p.roundLost;
  if (t >= 16) p.loss = 0.75 * p.loss + 0.25 * (double(p.roundLost) / t);
  p.roundDel = 0;
  p.roundLost = 0;
  p.lastBw = p.roundBw;
  p.roundBw = 0;
  p.lastRtt = p.roundRtt;
  p.roundRtt = UINT32_MAX;
  const bool queue = QueueStood(p);
  if (!p.filled) {
    // Full once the rate has not grown by a quarter for three rounds, or
    // for one when a queue already stands: the start-up has gone past the
    // bottleneck, and every further round only fills its queue.
    const double b = Bw(p);
    if (b >= p.fullBw * fullBwGrowth) {
      p.fullBw = b;
      p.fullCnt = 0;
    } else if (++p.fullCnt >= fullBwRounds || queue) {
      p.filled = true;
    }
  }
  // A queue that stands in the steady state after its drain phase: the rate
  // is above what the path delivers (a sample too high, or another flow's
  // share grown); back to what the last round delivered, and drain. Two
  // rounds in a row, since a round on a short path is a millisecond or two.
  if (p.st == stProbeBW && p.cyc >= 2 && p.lastBw > 0) {
    if (!queue) {
      p.qCnt = 0;
    } else if (++p.qCnt >= 2) {
      p.qCnt = 0;
      // What the last round delivered, less the share of it that sat in
      // the queue, plus a few fragments a round trip: in a queue shared by
      // several flows each one's share of it is its share of the rate, so
      // the larger flow gives up more, and each gets the same few back
      // (FAST TCP's step): flows that share a bottleneck draw together.
      const double b = p.lastBw * p.minRtt / p.lastRtt + double(fairFgm) / p.minRtt;
      MaxReset(p.bw, p.round, b < p.lastBw ? b : p.lastBw);
      p.cyc = 1;   // drain; the probe comes a cycle later
      p.cycT = now;
      p.pg = cycleGain[1];
    }
  }
}

// What may be on its way while the floor is probed: half the path.
uint32_t PrtCwnd(const TPathDesc& p) {
  const uint32_t h = Bdp(p) / 2;
  return h < minCwnd ? minCwnd : h;
}

// The first window went out at once, so its fragments left the sender back
// to back and arrive as the bottleneck let them through: their spacing is
// the bottleneck's rate (a packet train's measure). Rather than twice the
// first window, the start-up's second round then asks at that rate for half
// a round trip: half the path, no queue, and a round trip or two of doubling
// saved where the path is long. The train sets the pace of the start-up
// only, never the path's rate: that, and the test of whether delivery still
// grows, stay with what was delivered. The measure is the middle half of the
// train, so that arrivals bunched at either end by a stall of the receiver
// do not count as a faster bottleneck; a middle half bunched in under half a
// millisecond, or a train too short to tell, is no measure. The jump is at
// most 16 first windows, four doublings, so that even a measure overstated
// cannot flood a path's queue; on a path whose floor is above 250 ms it may
// be as much more as the floor is longer, up to 64 first windows: there each
// doubling saved is a long round trip (half of a path of 1.5 s is 6450
// fragments at 100 Mbit/s), and the cap still keeps the jump's rate below
// 190 Mbit/s.
void Train(TPathDesc& p, uint32_t now) {
  if (p.trainN >= initCwnd) return;
  p.trainT[p.trainN++] = now;
  const uint32_t n = p.trainN;
  if (n < trainMin || p.minRtt == 0) return;
  const uint32_t a = n / 4, b = n - 1 - n / 4;
  const uint32_t span = p.trainT[b] - p.trainT[a];
  if (span < trainMinUs) return;
  const double c = double(b - a) / span;
  p.trainBw = c < p.ceil ? c : p.ceil;
  const double w = p.trainBw * p.minRtt / 2;
  const double f = p.minRtt > jumpLongUs ? double(p.minRtt) / jumpLongUs : 1;
  const double cap = jumpMax * (f < 4 ? f : 4);
  p.jumpCwnd = static_cast<uint32_t>(w < cap ? w : cap);
}

void SetCwnd(TPathDesc& p) {
  uint32_t target = initCwnd;
  if (p.minRtt != 0 && Bw(p) > 0) {
    // What the path holds at the gain, and the requests of a few update
    // periods, which arrive in bunches rather than one by one.
    const double q = Rate(p) * p.per;
    target = Inflight(p, p.cg) + 3 * static_cast<uint32_t>(q < 2 ? 2 : std::ceil(q));
  }
  if (p.filled) {
    if (p.cwnd + 1 < target) ++p.cwnd;
    else p.cwnd = target;
  } else if (p.cwnd < target || p.del < initCwnd) {
    ++p.cwnd;
  }
  if (p.st == stStartup && p.cwnd < p.jumpCwnd) p.cwnd = p.jumpCwnd;
  if (p.cwnd < minCwnd) p.cwnd = minCwnd;
  if (p.st == stProbeRTT && p.cwnd > PrtCwnd(p)) p.cwnd = PrtCwnd(p);
}

}  // namespace

void Init(TPathDesc& p, uint32_t now, double ceil, uint32_t per, uint32_t seed) {
  p = TPathDesc{};
  p.st = stStartup;
  p.ceil = ceil;
  p.per = per == 0 ? 1 : per;
  p.delT = now;
  p.firstT = now;
  MaxReset(p.bw, 0, 0);
  p.roundRtt = UINT32_MAX;
  p.lastRtt = UINT32_MAX;
  p.pg = startGain;
  p.cg = startGain;
  p.seed = seed;
  p.last = now;
  p.cwnd = initCwnd;
}

TTagDesc Ask(const TPathDesc& p, uint32_t now, uint32_t f) {
  // Nothing on its way: the interval of this request starts now.
  if (f == 0) return TTagDesc{p.del, now, now};
  return TTagDesc{p.del, p.delT, p.firstT};
}

void Arrive(TPathDesc& p, uint32_t now, const TTagDesc& t, uint32_t q, uint32_t m, uint32_t f) {
  p.del++;
  p.roundDel++;
  // The delivery rate since this request went out: the longer of the spans
  // over which its deliveries arrived and over which their requests went
  // out, so that replies bunched by a stall do not count as a faster path.
  const uint32_t ack = now - t.td;
  const uint32_t snd = Later(q, t.tf) ? q - t.tf : 0;
  const uint32_t iv = ack > snd ? ack : snd;
  double rs = -1;
  if (iv > 0 && (p.minRtt == 0 || iv >= p.minRtt)) rs = double(p.del - t.d) / iv;
  p.delT = now;
  if (Later(q, p.firstT)) p.firstT = q;
  if (static_cast<int32_t>(t.d - p.nextDel) >= 0) {
    p.round++;
    p.nextDel = p.del;
    RoundStart(p, now);
  }
  if (rs >= 0) {
    MaxUpdate(p.bw, p.round, rs, bwRounds);
    if (rs > p.roundBw) p.roundBw = rs;
  }
  // The floor: the lowest round trip of the window, taken anew when the
  // window has passed without a lower one.
  const bool expired = p.minRtt != 0 && now - p.minRttT > minRttWinUs;
  if (m > 0) {
    if (m < p.roundRtt) p.roundRtt = m;
    if (p.minRtt == 0 || m < p.minRtt || expired) {
      p.minRtt = m;
      p.minRttT = now;
    }
  }
  if (p.st == stProbeBW && PhaseDone(p, now, f)) NextPhase(p, now);
  // The start-up also ends at once when 16 measures in a row have shown a
  // queue and delivery has stopped growing: after a round that did not
  // grow by a quarter, or while the queue has stood for a third of the
  // floor without a quarter more delivered (a round on a long path is long,
  // and its queue drops long before it ends). The rate has passed the
  // bottleneck's, and waiting for the end of the round would only fill the
  // queue further. Not in the first two rounds: the first window goes out
  // at once, and its own burst queues for a moment on a slow link.
  if (m > 0) {
    if (!Queued(p, m)) {
      p.qRun = 0;
    } else if (p.qRun++ == 0) {
      p.qT = now;
      p.qBw = Bw(p);
    } else if (p.qRun == UINT16_MAX) {
      p.qRun--;
    }
  }
  const bool flat = p.fullCnt >= 1 || (now - p.qT >= p.minRtt / 3 && Bw(p) < p.qBw * fullBwGrowth);
  if (p.st == stStartup && p.round > 2 && p.qRun >= 16 && flat) p.filled = true;
  if (p.round == 1 && p.st == stStartup) Train(p, now);
  if (p.st == stStartup && p.filled) {
    p.st = stDrain;
    p.pg = drainGain;
    p.cg = startGain;
    p.drainQ = 0;
    p.drainDef = 0;
  }
  // The start-up's drain ends when no more than the round trip holds is on
  // its way, or as soon as a measure shows no queue: what is on its way then
  // still counts fragments the queue dropped that are not yet found lost.
  // It also ends once it has asked for as much less than the path's rate as
  // the largest queue its measures have shown: a queue that overflowed
  // holds no more than that, and the measures that show it empty come a
  // round trip after it is.
  if (p.st == stDrain) {
    const double q = m > p.minRtt ? (m - p.minRtt) * Bw(p) : 0;
    if (q > p.drainQ) p.drainQ = q;
    if (f <= Held(p) || (m > 0 && !Queued(p, m)) || (p.drainQ > 0 && p.drainDef >= p.drainQ)) EnterProbeBW(p, now);
  }
  if (expired && p.st != stProbeRTT) {
    p.st = stProbeRTT;
    p.prtOn = false;
  }
  if (p.st == stProbeRTT) {
    p.pg = 1;
    p.cg = 1;
    if (!p.prtOn && f <= PrtCwnd(p)) {
      p.prtOn = true;
      p.prtT = now + prtUs;
      p.prtRound = p.round;
    } else if (p.prtOn && p.round != p.prtRound && !Later(p.prtT, now)) {
      p.prtOn = false;
      p.minRttT = now;
      if (p.filled) {
        EnterProbeBW(p, now);
      } else {
        p.st = stStartup;
        p.pg = startGain;
        p.cg = startGain;
      }
    }
  }
  SetCwnd(p);
}

uint32_t Budget(TPathDesc& p, uint32_t now, uint32_t f, uint32_t lim) {
  const uint32_t el = now - p.last;
  p.last = now;
  const double r = Rate(p);
  p.credit += r * el;
  if (p.st == stDrain) p.drainDef += (Bw(p) - r) * el;
  // At most two update periods and 2 ms of the rate at once: a pass that
  // comes late catches up, a receiver held back by its window does not
  // save up a burst.
  double cap = r * (2.0 * p.per + 2000.0);
  if (cap < 2) cap = 2;
  if (p.credit > cap) p.credit = cap;
  uint32_t n = p.credit >= 1 ? static_cast<uint32_t>(p.credit) : 0;
  const uint32_t room = p.cwnd > f ? p.cwnd - f : 0;
  if (n > room) n = room;
  if (n > lim) n = lim;
  return n;
}

void Lost(TPathDesc& p, uint32_t n) { p.roundLost += n; }

void Spend(TPathDesc& p, uint32_t m) {
  p.credit -= m;
  if (p.credit < 0) p.credit = 0;
}

double Bw(const TPathDesc& p) { return p.bw.v[0]; }

double Rate(const TPathDesc& p) {
  double r;
  if (Bw(p) > 0) {
    r = p.pg * Bw(p);
    // In the steady state's cruise, with no queue standing, the path's loss
    // is asked for on top: what it delivers is what it is asked for less
    // what it loses, so asking at the delivery rate alone would leave that
    // share of the bottleneck unused. Up to a loss of 20 %, and never
    // while a queue stands, where a loss may be the queue's own.
    if (p.st == stProbeBW && p.cyc >= 2 && p.qCnt == 0 && !QueueStood(p)) r /= 1 - (p.loss < 0.2 ? p.loss : 0.2);
    if (p.st == stStartup && r < p.trainBw) r = p.trainBw;
  } else {
    // No sample yet: the first window in one floor (or a millisecond).
    const uint32_t t = p.minRtt > 1000 ? p.minRtt : 1000;
    r = startGain * initCwnd / t;
  }
  return r < p.ceil ? r : p.ceil;
}

uint32_t Bdp(const TPathDesc& p) {
  if (p.minRtt == 0 || Bw(p) <= 0) return initCwnd;
  return Inflight(p, 1.0);
}

const char* StateName(TState s) {
  switch (s) {
    case stStartup: return "startup";
    case stDrain: return "drain";
    case stProbeBW: return "probebw";
    case stProbeRTT: return "probertt";
  }
  return "?";
}

}  // namespace Path
