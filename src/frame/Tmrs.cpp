// Tmrs.cpp — a fixed table of software timers. The event loop advances them by
// the milliseconds since its previous pass; a late periodic timer keeps its
// phase and reports the periods it missed in k instead of replaying them.
// Next tells the loop how long it may sleep before the nearest expiry.
#include "Tmrs.h"

#include <cstring>

#include "Lib3.h"

namespace Tmrs {

namespace {

bool initialised = false;
uint8_t cnt = 0;               // timers created; slot k sits at arr[k - 1]
TTmrDesc arr[cntMax];

// Advances one timer by d (> 0) and calls its handler when it expired.
void Trigger_One(TTmrDesc& t, uint32_t d) {
  if (t.n == 0) return;          // stopped
  if (d < t.n) {
    t.n -= d;
    return;
  }
  const uint32_t x = d - t.n;    // overshoot past the expiry
  uint32_t k;
  if (t.m > 0 && x > 0) {
    k = x / t.m + 1;
    t.n = t.m - x % t.m;
  } else {
    k = 1;
    t.n = t.m;                   // a full period, or 0 for a one-shot timer
  }
  t.v += k;
  if (t.h != nullptr) t.h(k, t.r);
}

}  // namespace

void InitModule() {
  if (initialised) return;
  initialised = true;
  cnt = 0;
  std::memset(arr, 0, sizeof arr);
}

TTmr New() {
  if (cnt >= cntMax) Lib3::FatalError("Tmrs.New: too many timers");
  ++cnt;
  TTmrDesc& t = arr[cnt - 1];
  std::memset(&t, 0, sizeof t);
  t.i = cnt;
  t.h = nullptr;
  return &t;
}

void Set(TTmr t, uint32_t n, uint32_t m) {
  t->n = n;
  t->m = m;
}

void SetHnd(TTmr t, THandler h, uint32_t r) {
  t->h = h;
  t->r = r;
}

void Trigger(uint32_t d) {
  if (d == 0) return;
  // Newest first. A handler may Set its own timer; it sees the state already
  // advanced for this call.
  for (uint32_t k = cnt; k >= 1; --k) Trigger_One(arr[k - 1], d);
}

uint32_t Next() {
  uint32_t n = none;
  for (uint32_t k = 0; k < cnt; ++k) {
    const uint32_t x = arr[k].n;
    // A timer due in 2^32 - 1 ms still runs: it is reported a millisecond
    // early rather than as none.
    if (x != 0 && x <= n) n = x == none ? none - 1 : x;
  }
  return n;
}

}  // namespace Tmrs
