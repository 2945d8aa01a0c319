// Tmr0.h — arithmetic on 32-bit millisecond ticks that wrap around.
#pragma once
#include <cstdint>

namespace Tmr0 {
  constexpr uint32_t Diff(uint32_t t0, uint32_t t1) { return t1 - t0; }
  constexpr uint32_t Add(uint32_t t, uint32_t dt) { return t + dt; }
}
