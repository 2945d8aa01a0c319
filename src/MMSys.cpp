// MMSys.cpp — the millisecond clock. On Linux the monotonic clock already has
// the resolution the timers need, so the resolution request cannot fail.
#include "MMSys.h"

#include <ctime>

#include "Lib3.h"

namespace {
  Lib3::TProc oldTerm = nullptr;

  void DoneModule() { oldTerm(); }
}

namespace MMSys {
  void InitModule() { Lib3::Terminate(DoneModule, oldTerm); }

  uint32_t Ticks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }
}
