// Tmrs.h — up to 16 software timers advanced by the event loop.
#pragma once
#include <cstdint>

namespace Tmrs {
  using THandler = void (*)(uint32_t k, uint32_t r);

  struct TTmrDesc {
    uint8_t i;      // slot 1..16
    uint32_t v;     // expiries counted (wraps)
    uint32_t n;     // ms to next expiry; 0 = stopped
    uint32_t m;     // period; 0 = one-shot
    THandler h;
    uint32_t r;     // reference for the handler
  };
  using TTmr = TTmrDesc*;

  constexpr uint32_t cntMax = 16;
  // Next() when no timer runs.
  constexpr uint32_t none = 0xFFFFFFFFu;

  void InitModule();
  TTmr New();
  void Set(TTmr t, uint32_t n, uint32_t m);
  void SetHnd(TTmr t, THandler h, uint32_t r);
  void Trigger(uint32_t d);
  // Milliseconds from the last Trigger to the nearest expiry of a running
  // timer (at least 1 right after a Trigger); none when every timer is
  // stopped, so the event loop may sleep until something arrives.
  uint32_t Next();
}
