// SO.h — the text builder: appends characters, strings and numbers to a
// caller-owned character array, with field widths and fill characters, and
// never overruns the array. Text that does not fit is dropped silently.
#pragma once
#include <cstddef>
#include <cstdint>

namespace SO {
  struct TConfig {
    char p;   // fill on the left of a right-aligned field
    char s;   // fill on the right of a left-aligned field
    bool c;   // clip: a text longer than its field becomes question marks
  };

  struct TBuffer {
    uint32_t m;   // capacity of the caller's array
    char* s;      // the caller's array
    uint32_t l;   // current length
    TConfig c;
  };

  void InitModule();   // nothing to set up; kept for the start-up list

  void Init(TBuffer& b, char* s, uint32_t m);
  template <size_t N> inline void Init(TBuffer& b, char (&s)[N]) { Init(b, s, static_cast<uint32_t>(N)); }
  void Clear(TBuffer& b);
  void WrChar(TBuffer& b, char ch);
  void WrCharRep(TBuffer& b, char ch, uint32_t n);
  // Appends t up to its first NUL.
  void WrStr(TBuffer& b, const char* t);
  // Appends at most n characters of t, stopping at a NUL (fixed arrays that
  // may be full without a terminator).
  void WrStrN(TBuffer& b, const char* t, size_t n);
  // t in a field of abs(w): right-aligned for w > 0, left-aligned for w < 0.
  void WrStrAdj(TBuffer& b, const char* t, int32_t w);
  void WrStrAdjN(TBuffer& b, const char* t, size_t n, int32_t w);
  void WrCard(TBuffer& b, uint16_t x, int32_t w);
  void WrShtCard(TBuffer& b, uint8_t x, int32_t w);
  void WrLngCard(TBuffer& b, uint32_t x, int32_t w);
  void WrHex(TBuffer& b, uint16_t x, int32_t w);
  void WrLngHex(TBuffer& b, uint32_t x, int32_t w);
  void WrHugeCard(TBuffer& b, uint64_t x, int32_t w);   // 64 bits
  void WrHugeHex(TBuffer& b, uint64_t x, int32_t w);
  void WrLngInt(TBuffer& b, int32_t x, int32_t w);
  void WrFixLngReal(TBuffer& b, double x, uint32_t pr, int32_t w);
  void WrLn(TBuffer& b);   // carriage return and line feed

  char Char(uint32_t d);
  // Digits of x in base, NUL-terminated when there is room.
  void CardToStr(uint64_t x, char* s, size_t n, uint32_t base);
  void IntToStr(int32_t x, char* s, size_t n);
  void FixRealToStr(double x, uint32_t pr, char* s, size_t n);
  [[noreturn]] void Fatal(const char* s);
}
