// Rtt.h — the round-trip estimate a receiver learns from its own requests,
// the way TCP estimates its retransmission time-out (RFC 6298): a smoothed
// value and its mean deviation, from fragments asked for once only (a
// fragment asked for again could answer either request, so it is no
// measure). All times in microseconds.
#pragma once
#include <cstdint>

namespace Rtt {
  struct TRttDesc {
    uint32_t srtt;    // smoothed round trip
    uint32_t rttvar;  // its mean deviation
    uint32_t n;       // samples taken (0: no measure yet)
  };

  void Init(TRttDesc& r);
  // One round trip of m microseconds.
  void Sample(TRttDesc& r, uint32_t m);
  // The time after which a fragment is asked for again: srtt + 4 × rttvar,
  // never below lo and never above hi; hi until the first sample.
  uint32_t Timeout(const TRttDesc& r, uint32_t lo, uint32_t hi);
}
