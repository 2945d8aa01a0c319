// Lib2.cpp — byte helpers: clearing records and comparing byte strings.
#include "Lib2.h"

#include <cstring>

namespace Lib2 {

void Fill(void* x, size_t n, uint8_t v) {
  if (n > 0) std::memset(x, v, n);
}

uint32_t Compare(const void* x, size_t nx, const void* y, size_t ny) {
  const uint8_t* a = static_cast<const uint8_t*>(x);
  const uint8_t* b = static_cast<const uint8_t*>(y);
  const size_t n = nx < ny ? nx : ny;
  size_t k = 0;
  while (k < n && a[k] == b[k]) ++k;
  return static_cast<uint32_t>(k);
}

}
