// MMSys.cpp — the millisecond clock and its resolution. The monotonic clock
// already counts in nanoseconds; what the event loop needs beyond it is that
// its waits end on time (it sleeps up to the millisecond in which its next
// timer expires), so start-up asks the kernel for the finest timer slack (by
// default a sleep may overrun by 50 us). That request is advisory and its
// failure harmless, so it cannot stop the program.
#include "MMSys.h"

#include <ctime>
#include <sys/prctl.h>

#include "Lib3.h"

namespace {
  Lib3::TProc oldTerm = nullptr;

  void DoneModule() { oldTerm(); }
}

namespace MMSys {
  void InitModule() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Lib3::Terminate(DoneModule, oldTerm);
  }

  uint64_t Nanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  }

  uint32_t Ticks() { return static_cast<uint32_t>(Nanos() / 1000000u); }
}
