// MMSys.h — the system millisecond clock.
#pragma once
#include <cstdint>

namespace MMSys {
  void InitModule();
  // Milliseconds of the monotonic clock, wrapping at 2^32.
  uint32_t Ticks();
  // Nanoseconds of the monotonic clock; Ticks() is this divided by 10^6.
  uint64_t Nanos();
}
