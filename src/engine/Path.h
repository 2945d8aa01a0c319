// Path.h — a receiver's model of the path its fragments come over (-c): the
// rate the path delivers and the floor of its round trip, and from them how
// many fragments the receiver may ask for now and how many may be on their
// way at once.
//
// The receiver drives the transfer, so it runs the sender's half of a
// model-based congestion control, the way BBR does it: each request is a
// "send", each fragment that arrives an "acknowledgement". The path's rate is
// the highest delivery rate seen over the last 10 round trips, the floor the
// lowest round trip over 10 s. A start-up takes its second round from the
// spacing of the first window's fragments (the bottleneck's rate), then
// doubles the rate every round trip until delivery stops growing, a drain
// then empties the queue it built, and
// the steady state asks at the estimate, with a probe of a quarter above it
// and a drain a quarter below it in turn. Loss alone never lowers the rate
// (a few per cent of random loss is not congestion); a round trip that stays
// above its floor for a whole round (a queue that stands) does.
//
// All times are microseconds of a wrapping 32-bit clock, rates fragments per
// microsecond. Pure arithmetic on one record: the caller passes the clock,
// so the tests run it on a clock of their own.
#pragma once
#include <cstdint>

namespace Path {
  constexpr uint32_t initCwnd = 128;         // fragments on their way before the first measure
  constexpr uint32_t minCwnd = 4;
  constexpr uint32_t bwRounds = 10;          // the rate's window
  constexpr uint32_t minRttWinUs = 10000000; // the floor's window
  constexpr uint32_t prtUs = 200000;         // the floor's probe

  enum TState : uint8_t { stStartup = 0, stDrain = 1, stProbeBW = 2, stProbeRTT = 3 };

  // What the model keeps with each request, to measure the delivery rate
  // when its fragment arrives.
  struct TTagDesc {
    uint32_t d;    // fragments delivered when it was asked for
    uint32_t td;   // when the fragment delivered last before it arrived
    uint32_t tf;   // when that fragment had been asked for
  };

  // A windowed maximum over round trips (three best samples, as Linux's
  // minmax does it).
  struct TMaxDesc {
    double v[3];
    uint32_t r[3];
  };

  struct TPathDesc {
    TState st;
    double ceil;       // the granted rate: never ask faster
    uint32_t per;      // the update period
    // delivery
    uint32_t del;      // fragments delivered
    uint32_t delT;     // when the last one arrived
    uint32_t firstT;   // when that one had been asked for
    // round trips: a round ends when a fragment asked for after it began arrives
    uint32_t round;
    uint32_t nextDel;
    // the path's rate
    TMaxDesc bw;
    double roundBw;    // highest sample of the round under way
    double lastBw;     // highest sample of the round before
    // the round trip's floor
    uint32_t minRtt;   // 0: no measure yet
    uint32_t minRttT;
    uint32_t roundRtt; // lowest sample of the round under way (UINT32_MAX: none)
    uint32_t lastRtt;  // lowest sample of the round before
    uint8_t qCnt;      // rounds in a row with a queue standing
    uint16_t qRun;     // measures in a row that showed a queue
    uint32_t qT;       // when the first of them arrived
    double qBw;        // the path's rate then
    // loss
    uint32_t roundDel;  // fragments delivered in the round under way
    uint32_t roundLost; // fragments found lost in it
    double loss;        // the share lost, smoothed over rounds
    // start-up
    uint32_t trainN;   // fragments of the first window that have arrived
    uint32_t trainT[initCwnd]; // when each of them arrived
    uint32_t jumpCwnd; // what the first window's train lets be on its way
    double trainBw;    // the rate its spacing showed (0: none)
    double drainQ;     // the queue the start-up's drain empties, fragments
    double drainDef;   // how far the drain has asked below the path's rate
    double fullBw;
    uint8_t fullCnt;
    bool filled;
    // gains and the steady state's cycle
    double pg, cg;
    uint8_t cyc;
    uint32_t cycT;
    double probeBw;    // the rate when the probe under way began
    uint32_t seed;
    // the floor's probe
    bool prtOn;        // its 200 ms are running
    uint32_t prtT;     // when they end
    uint32_t prtRound;
    // requests
    double credit;     // fragments that may be asked for now
    uint32_t last;     // the clock of the last budget
    uint32_t cwnd;     // fragments that may be on their way
  };

  // A model for a receiver updated every per microseconds that may ask for
  // at most ceil fragments per microsecond (the grant); seed varies the
  // steady state's first phase between receivers.
  void Init(TPathDesc& p, uint32_t now, double ceil, uint32_t per, uint32_t seed);
  // A fragment is asked for at now with f fragments on their way: the tag to
  // keep with it.
  TTagDesc Ask(const TPathDesc& p, uint32_t now, uint32_t f);
  // The fragment asked for at q with tag t arrived at now, f fragments still
  // on their way; m its round trip if it is a measure (asked for once), else 0.
  void Arrive(TPathDesc& p, uint32_t now, const TTagDesc& t, uint32_t q, uint32_t m, uint32_t f);
  // How many fragments may be asked for at now with f on their way: at most
  // lim (this pass's share of the grant).
  uint32_t Budget(TPathDesc& p, uint32_t now, uint32_t f, uint32_t lim);
  // n fragments have been found lost (each is asked for again).
  void Lost(TPathDesc& p, uint32_t n);
  // m fragments of the budget have been asked for.
  void Spend(TPathDesc& p, uint32_t m);

  double Bw(const TPathDesc& p);               // the path's rate, fragments per microsecond
  double Rate(const TPathDesc& p);             // the rate asked at now
  uint32_t Bdp(const TPathDesc& p);            // fragments one round trip holds at the rate
  const char* StateName(TState s);
}
