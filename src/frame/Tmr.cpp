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

// Brings the counter up to date with the clock reading w (MMSys::Ticks).
void Advance(uint32_t w) {
  tcs = Tmr0::Add(tcs, Tmr0::Diff(win, w));
  win = w;
}

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

void Update() { Advance(MMSys::Ticks()); }

uint64_t NsTo(uint32_t t) {
  InitModule();
  Enter();
  const uint64_t ns = MMSys::Nanos();
  Advance(static_cast<uint32_t>(ns / 1000000u));
  const uint32_t d = Tmr0::Diff(tcs, t);
  Leave();
  if (d == 0 || d >= 0x80000000u) return 0;
  // The counter reads t at the start of that millisecond of the clock.
  return uint64_t(d) * 1000000u - ns % 1000000u;
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
