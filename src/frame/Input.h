// Input.h — keys from standard input, read when the event loop's wait finds
// them, and the key handlers.
#pragma once
#include <cstdint>

namespace Input {
  using THandler = void (*)(char c);
  constexpr uint32_t hndMax = 16;
  // How often the loop looks again whether a terminal that belongs to
  // another process group was handed back to the program.
  constexpr uint32_t fgCheckMs = 250;
  // Fd(ms)'s ms when the descriptor alone tells about keys.
  constexpr uint32_t noLimit = 0xFFFFFFFFu;

  void InitModule();
  void Install(THandler h);
  // The descriptor the loop waits on for keys: standard input while keys are
  // read from it, else -1. ms: the longest wait before the loop calls Fd
  // again without the descriptor telling (fgCheckMs while the terminal is in
  // the background), else noLimit.
  int Fd(uint32_t& ms);
  // revents: what the loop's wait reported for Fd() (0: not waited on or
  // nothing). Reads one waiting key, if any, and hands it to the handlers.
  void Trigger(short revents);
  // Calls every handler with c, newest first.
  void Handle(char c);
}
