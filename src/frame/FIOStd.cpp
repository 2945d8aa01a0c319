// FIOStd.cpp — unbuffered writes to the console's channels.
#include "FIOStd.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace FIOStd {
  void InitModule() {}

  void Write(int ch, const char* s, size_t n) {
    while (n > 0) {
      ssize_t k = ::write(ch, s, n);
      if (k < 0) {
        if (errno == EINTR) continue;
        return;   // a closed console is not a reason to stop
      }
      s += k;
      n -= static_cast<size_t>(k);
    }
  }

  void WrStr(int ch, const char* s) { Write(ch, s, std::strlen(s)); }

  void WrLn(int ch) { Write(ch, "\n", 1); }

  void WrStrLn(int ch, const char* s) {
    char line[1024];
    size_t n = std::strlen(s);
    if (n + 1 <= sizeof line) {
      std::memcpy(line, s, n);
      line[n] = '\n';
      Write(ch, line, n + 1);
    } else {
      Write(ch, s, n);
      WrLn(ch);
    }
  }
}
