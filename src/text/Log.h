// Log.h — one time-stamped line per report in the program's log file (in the
// current directory, rotated at 128 MiB with 16 older generations), and on
// request a short form of it on the console.
//
// A log that cannot be written never stops the program: a file that cannot
// be opened, a full disk or a failed rotation costs the lines that do not
// fit (they are counted and dropped, and the console hears of it once), and
// every later line tries again.
#pragma once
#include <cstdint>

namespace Log {
  enum TLvl : uint8_t { lvlMsg = 0, lvlWrn = 1, lvlErr = 2, lvlFat = 3 };

  constexpr uint32_t sizeMax = 134217728;   // 128 MiB
  constexpr uint32_t genMax = 16;

  // A module's identifier in the log: each program numbers its modules in
  // its own list (Cfg); 0 is the unnamed line, 1 the log itself.
  using TModId = uint8_t;
  constexpr TModId midNull = 0;
  constexpr TModId midLog = 1;
  constexpr uint32_t modMax = 16;   // identifiers 0..15

  struct TSettings {
    const char* prg = "WISP";   // file names: <prg>.log, <prg>001.log ...
  };

  void InitModule(const TSettings& s = {});
  void Register(TModId m, const char* t);
  void Write(TModId m, TLvl l, const char* x, bool screen);
  // Whether n (a name in the current directory) is one of the log's 17 file
  // names, <prg>.log and <prg>001.log .. <prg>016.log.
  bool IsOwnName(const char* n);
  // Lines dropped so far because the log could not take them.
  uint32_t Dropped();
}
