// SysVer.cpp — the kernel release as a version number and text: release
// 6.1.0 gives maj 6, min 1, bld 0 and the text lin00000106.
#include "SysVer.h"

#include <cstdio>
#include <sys/utsname.h>

namespace SysVer {
  uint32_t bin = 0;
  uint8_t maj = 0;
  uint8_t min = 0;
  uint16_t bld = 0;
  char str[64] = {};

  void InitModule() {
    utsname u{};
    uint32_t part[3] = {0, 0, 0};
    if (uname(&u) == 0) {
      const char* p = u.release;
      for (int k = 0; k < 3; ++k) {
        uint32_t x = 0;
        bool any = false;
        while (*p >= '0' && *p <= '9') {
          if (x < 100000) x = x * 10 + static_cast<uint32_t>(*p - '0');
          ++p;
          any = true;
        }
        if (!any) break;
        part[k] = x;
        if (*p != '.') break;
        ++p;
      }
    }
    maj = static_cast<uint8_t>(part[0]);
    min = static_cast<uint8_t>(part[1]);
    bld = static_cast<uint16_t>(part[2]);
    bin = static_cast<uint32_t>(bld) * 65536u + static_cast<uint32_t>(min) * 256u + maj;
    std::snprintf(str, sizeof str, "lin%08X", bin);
  }
}
