// Tmr.h — the program's millisecond tick counter, 0 at start, any thread.
#pragma once
#include <cstdint>

namespace Tmr {
  void InitModule();
  uint32_t Ticks();
  // Take and release the counter's mutex; Update brings the counter up to
  // date and is called with the mutex held.
  void Enter();
  void Leave();
  void Update();
}
