// Cfg.h — the server's module identifiers and table sizes.
#pragma once
#include <cstdint>

namespace Cfg {
  enum TModId : uint8_t {
    midNull = 0,
    midLog = 1,
    midConfig = 2,
    midFiles = 3,
    midRcvrs = 4,
    midSndrs = 5,
    midCliIO = 6,
    midServer = 7,
    midWISPSrv = 8,
  };
  constexpr TModId midLink = midCliIO;   // the datagram link of this program
  constexpr uint32_t modCnt = 9;
  constexpr char prgName[] = "WISPSrv";
  constexpr uint32_t cntMax = 16;    // files, senders, receivers in the tables
  constexpr bool client = false;
}
