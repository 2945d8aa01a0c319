// Cfg.h — the client's module identifiers and table sizes.
#pragma once
#include <cstdint>

#include "Log.h"

namespace Cfg {
  enum TModId : Log::TModId {
    midNull = 0,
    midLog = 1,
    midConfig = 2,
    midFiles = 3,
    midSndrs = 4,
    midRcvrs = 5,
    midSrvIO = 6,
    midClient = 7,
    midWISPCli = 8,
    midParts = 9,
  };
  constexpr uint32_t modCnt = 10;   // ids in use (the log has room for Log::modMax)
  static_assert(modCnt <= Log::modMax);
  constexpr char prgName[] = "WISPCli";
  constexpr uint32_t cntMax = 1;     // files, senders, receivers in the tables
}
