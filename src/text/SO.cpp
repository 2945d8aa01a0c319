// SO.cpp — the text builder. Every append stores characters only while there
// is room and keeps a NUL after the text whenever the array is not full, so a
// text may fill the whole array without a terminator (the log's 14-character
// file names rely on that).
#include "SO.h"

#include <cmath>
#include <cstring>

#include "Lib3.h"

namespace SO {

namespace {

// Terminates the text when the array still has room behind it.
inline void Terminate(TBuffer& b) {
  if (b.l < b.m) b.s[b.l] = '\0';
}

// Stores one character if it fits; no terminator (callers add it once).
inline void Put(TBuffer& b, char ch) {
  if (b.l < b.m) {
    b.s[b.l] = ch;
    ++b.l;
  }
}

// Length of t up to its first NUL, looking at most at n characters.
inline size_t LenN(const char* t, size_t n) {
  size_t k = 0;
  while (k < n && t[k] != '\0') ++k;
  return k;
}

}  // namespace

void InitModule() {}

void Init(TBuffer& b, char* s, uint32_t m) {
  if (m > 0) s[0] = '\0';
  b.m = m;
  b.s = s;
  b.l = 0;
  b.c.p = ' ';
  b.c.s = ' ';
  b.c.c = false;
}

void Clear(TBuffer& b) {
  if (b.m > 0) b.s[0] = '\0';
  b.l = 0;
}

void WrChar(TBuffer& b, char ch) {
  Put(b, ch);
  Terminate(b);
}

void WrCharRep(TBuffer& b, char ch, uint32_t n) {
  // Stop at the capacity: a huge count must not spin over a full buffer.
  for (uint32_t k = 0; k < n && b.l < b.m; ++k) Put(b, ch);
  Terminate(b);
}

void WrStrN(TBuffer& b, const char* t, size_t n) {
  for (size_t k = 0; k < n && t[k] != '\0' && b.l < b.m; ++k) Put(b, t[k]);
  Terminate(b);
}

void WrStr(TBuffer& b, const char* t) {
  for (size_t k = 0; t[k] != '\0' && b.l < b.m; ++k) Put(b, t[k]);
  Terminate(b);
}

void WrStrAdjN(TBuffer& b, const char* t, size_t n, int32_t w) {
  const int64_t len = static_cast<int64_t>(LenN(t, n));
  const int64_t width = w < 0 ? -static_cast<int64_t>(w) : static_cast<int64_t>(w);
  const int64_t fill = width - len;
  if (fill < 0 && b.c.c) {
    WrCharRep(b, '?', static_cast<uint32_t>(width));
    return;
  }
  if (w > 0 && fill > 0) WrCharRep(b, b.c.p, static_cast<uint32_t>(fill));
  WrStrN(b, t, static_cast<size_t>(len));
  if (w < 0 && fill > 0) WrCharRep(b, b.c.s, static_cast<uint32_t>(fill));
}

void WrStrAdj(TBuffer& b, const char* t, int32_t w) {
  WrStrAdjN(b, t, std::strlen(t), w);
}

void WrCard(TBuffer& b, uint16_t x, int32_t w) {
  char s[16];
  CardToStr(x, s, sizeof s, 10);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrShtCard(TBuffer& b, uint8_t x, int32_t w) {
  char s[16];
  CardToStr(x, s, sizeof s, 10);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrLngCard(TBuffer& b, uint32_t x, int32_t w) {
  char s[16];
  CardToStr(x, s, sizeof s, 10);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrHex(TBuffer& b, uint16_t x, int32_t w) {
  char s[8];
  CardToStr(x, s, sizeof s, 16);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrLngHex(TBuffer& b, uint32_t x, int32_t w) {
  // Eight hex digits fill the scratch array completely: no NUL behind them,
  // hence the bounded write.
  char s[8];
  CardToStr(x, s, sizeof s, 16);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrHugeCard(TBuffer& b, uint64_t x, int32_t w) {
  char s[24];
  CardToStr(x, s, sizeof s, 10);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrHugeHex(TBuffer& b, uint64_t x, int32_t w) {
  char s[16];
  CardToStr(x, s, sizeof s, 16);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrLngInt(TBuffer& b, int32_t x, int32_t w) {
  char s[16];
  IntToStr(x, s, sizeof s);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrFixLngReal(TBuffer& b, double x, uint32_t pr, int32_t w) {
  char s[32];
  FixRealToStr(x, pr, s, sizeof s);
  WrStrAdjN(b, s, sizeof s, w);
}

void WrLn(TBuffer& b) {
  Put(b, '\r');
  Put(b, '\n');
  Terminate(b);
}

char Char(uint32_t d) {
  return d < 10 ? static_cast<char>('0' + d) : static_cast<char>('A' + (d - 10));
}

void CardToStr(uint64_t x, char* s, size_t n, uint32_t base) {
  // Digits come out least significant first; collect them, then copy them in
  // reading order as far as the caller's array reaches.
  char rev[64];
  size_t k = 0;
  if (base < 2) base = 10;
  do {
    rev[k++] = Char(x % base);
    x /= base;
  } while (x != 0 && k < sizeof rev);
  size_t i = 0;
  while (k > 0 && i < n) s[i++] = rev[--k];
  if (i < n) s[i] = '\0';
}

void IntToStr(int32_t x, char* s, size_t n) {
  if (x >= 0) {
    CardToStr(static_cast<uint32_t>(x), s, n, 10);
    return;
  }
  if (n == 0) return;
  s[0] = '-';
  // The magnitude in unsigned arithmetic: also right for the most negative value.
  CardToStr(0u - static_cast<uint32_t>(x), s + 1, n - 1, 10);
}

namespace {

struct TFixOut {
  char* s;
  size_t n;
  size_t i;
};

void FixRealToStr_Put(TFixOut& o, char ch) {
  if (o.i >= o.n) Fatal("FixRealToStr: Buffer too small");
  o.s[o.i] = ch;
  ++o.i;
}

// The digit for a truncated value; anything outside 0..9 (a value that drifted
// to 10, or not a number at all) shows as "?".
char FixRealToStr_Digit(double d) {
  return (d >= 0.0 && d < 10.0) ? static_cast<char>('0' + static_cast<int>(d)) : '?';
}

// One digit step: y := x * 10; put trunc(y); x := y - trunc(y).
void FixRealToStr_Next(TFixOut& o, double& x) {
  const double y = x * 10.0;
  const double d = std::trunc(y);
  FixRealToStr_Put(o, FixRealToStr_Digit(d));
  x = y - d;
}

}  // namespace

void FixRealToStr(double x, uint32_t pr, char* s, size_t n) {
  TFixOut o{s, n, 0};
  if (x < 0.0) {
    x = -x;
    FixRealToStr_Put(o, '-');
  }
  // Scale into 0 <= x < 10 and count the integer digits beyond the first.
  // An exponent as large as the array can never fit, so the scaling stops
  // there (this also bounds the loop for an infinite value).
  uint64_t e = 0;
  while (x >= 10.0 && e <= n) {
    x = x * 0.1;
    ++e;
  }
  const double d = std::trunc(x);
  FixRealToStr_Put(o, FixRealToStr_Digit(d));
  x = x - d;
  for (uint64_t k = 0; k < e; ++k) FixRealToStr_Next(o, x);
  FixRealToStr_Put(o, '.');
  for (uint32_t k = 0; k < pr; ++k) FixRealToStr_Next(o, x);
  if (o.i < o.n) s[o.i] = '\0';
}

void Fatal(const char* s) {
  Lib3::FatalError(s);
}

}  // namespace SO
