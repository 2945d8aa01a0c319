// FIOStd.h — the console's standard channels. Every call writes straight to
// the file descriptor, so a line reaches a pipe or a file at once.
#pragma once
#include <cstddef>

namespace FIOStd {
  constexpr int chIn = 0;
  constexpr int chOut = 1;
  constexpr int chErr = 2;
  constexpr int chInvalid = -1;
  void InitModule();
  void Write(int ch, const char* s, size_t n);
  void WrStr(int ch, const char* s);
  void WrLn(int ch);                       // a line end ("\n")
  void WrStrLn(int ch, const char* s);     // s and a line end, in one write
}
