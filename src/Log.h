// Log.h — one time-stamped line per report in the program's log file (in the
// current directory, rotated at 128 MiB with 16 older generations), and on
// request a short form of it on the console.
#pragma once
#include <cstdint>
#include "Cfg.h"

namespace Log {
  enum TLvl : uint8_t { lvlMsg = 0, lvlWrn = 1, lvlErr = 2, lvlFat = 3 };

  constexpr uint32_t sizeMax = 134217728;   // 128 MiB
  constexpr uint32_t genMax = 16;

  void InitModule();
  void Register(Cfg::TModId m, const char* t);
  void Write(Cfg::TModId m, TLvl l, const char* x, bool screen);
}
