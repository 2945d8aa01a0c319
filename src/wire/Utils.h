// Utils.h — IPv4 text forms and the packed date and time as text.
#pragma once
#include <cstdint>
#include "SO.h"

namespace Utils {
  void InitModule();
  // a.b.c.d with a in the lowest-addressed byte (network order in memory).
  uint32_t IP(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
  // Parses dotted form; ip changes only when the result is true.
  bool MkIP(uint32_t& ip, const char* str);
  void WrIP(SO::TBuffer& b, uint32_t ip);
  void WrDate(SO::TBuffer& b, int32_t date);                // YYYYMMDD
  void WrTime(SO::TBuffer& b, uint32_t time);               // HHMMSS.FFF
  void WrDateTime(SO::TBuffer& b, int32_t d, uint32_t t);   // YYYYMMDD_HHMMSS.FFF
}
