// Input.h — keys from standard input, without blocking, and the key handlers.
#pragma once
#include <cstdint>

namespace Input {
  using THandler = void (*)(char c);
  constexpr uint32_t hndMax = 16;
  void InitModule();
  void Install(THandler h);
  // Reads one waiting key, if any, and hands it to the handlers.
  void Trigger();
  // Calls every handler with c, newest first.
  void Handle(char c);
}
