// Tmr.h — the program's millisecond tick counter, 0 at start, any thread.
#pragma once
#include <cstdint>

namespace Tmr {
  void InitModule();
  uint32_t Ticks();
}
