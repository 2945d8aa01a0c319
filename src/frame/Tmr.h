// Tmr.h — the program's millisecond tick counter, 0 at start, any thread.
#pragma once
#include <cstdint>

namespace Tmr {
  void InitModule();
  uint32_t Ticks();
  // Nanoseconds until the counter reads t (the start of that millisecond);
  // 0 once it has (t up to 2^31 ms in the past).
  uint64_t NsTo(uint32_t t);
  // Take and release the counter's mutex; Update brings the counter up to
  // date and is called with the mutex held.
  void Enter();
  void Leave();
  void Update();
}
