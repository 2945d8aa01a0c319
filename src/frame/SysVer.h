// SysVer.h — the operating system's version, from the kernel release.
#pragma once
#include <cstdint>

namespace SysVer {
  extern uint32_t bin;
  extern uint8_t maj;
  extern uint8_t min;
  extern uint16_t bld;
  extern char str[64];
  void InitModule();
}
