// Tmr.cpp — the program's millisecond counter. It follows the system clock by
// differences, so it starts at 0 and runs on across the clock's wrap.
#include "Tmr.h"

#include <mutex>

#include "MMSys.h"
#include "Mtxs.h"
#include "Tmr0.h"

namespace Tmr {

namespace {

std::once_flag initialised;
uint32_t tcs = 0;            // milliseconds since module start
uint32_t win = 0;            // system clock at the last update
Mtxs::TMtx mtx = nullptr;    // guards tcs and win: Ticks is read from any thread

}  // namespace

// Once only, and safe to reach from Ticks: a module that stamps its output
// with ticks (the log) may be started without going through the start-up
// list (unit tests); the counter then starts at its first reading.
void InitModule() {
  std::call_once(initialised, [] {
    tcs = 0;
    win = MMSys::Ticks();
    mtx = Mtxs::New();
  });
}

void Enter() { Mtxs::Req(mtx); }

void Leave() { Mtxs::Rel(mtx); }

void Update() {
  const uint32_t w = MMSys::Ticks();
  tcs = Tmr0::Add(tcs, Tmr0::Diff(win, w));
  win = w;
}

uint32_t Ticks() {
  InitModule();
  Enter();
  Update();
  const uint32_t t = tcs;
  Leave();
  return t;
}

}  // namespace Tmr
