// Rtt.cpp — the smoothed round trip and its deviation, in integers:
// srtt += (m - srtt) / 8, rttvar += (|m - srtt| - rttvar) / 4, as TCP does.
#include "Rtt.h"

namespace Rtt {
  void Init(TRttDesc& r) { r = TRttDesc{0, 0, 0}; }

  void Sample(TRttDesc& r, uint32_t m) {
    if (r.n == 0) {
      r.srtt = m;
      r.rttvar = m / 2;
    } else {
      const int64_t d = static_cast<int64_t>(m) - r.srtt;
      const int64_t a = d < 0 ? -d : d;
      r.rttvar = static_cast<uint32_t>(r.rttvar + (a - static_cast<int64_t>(r.rttvar)) / 4);
      r.srtt = static_cast<uint32_t>(r.srtt + d / 8);
    }
    if (r.n < UINT32_MAX) r.n++;
  }

  uint32_t Timeout(const TRttDesc& r, uint32_t lo, uint32_t hi) {
    if (r.n == 0) return hi;
    const uint64_t t = uint64_t(r.srtt) + 4 * uint64_t(r.rttvar);
    if (t < lo) return lo;
    if (t > hi) return hi;
    return static_cast<uint32_t>(t);
  }
}
