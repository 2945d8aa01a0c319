// Cfg.h — the server's module identifiers and table sizes.
#pragma once
#include <cstdint>

#include "Log.h"

namespace Cfg {
  enum TModId : Log::TModId {
    midNull = 0,
    midLog = 1,
    midConfig = 2,
    midFiles = 3,
    midRcvrs = 4,
    midSndrs = 5,
    midCliIO = 6,
    midServer = 7,
    midWISPSrv = 8,
    midParts = 9,
  };
  constexpr uint32_t modCnt = 10;   // ids in use (the log has room for Log::modMax)
  static_assert(modCnt <= Log::modMax);
  constexpr char prgName[] = "WISPSrv";
  constexpr uint32_t cntMax = 16;    // files, senders, receivers in the tables
}
