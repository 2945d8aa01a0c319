// Lib2.h — small byte helpers.
#pragma once
#include <cstddef>
#include <cstdint>

namespace Lib2 {
  void Fill(void* x, size_t n, uint8_t v);
  template <typename T> inline void Fill(T& x, uint8_t v) { Fill(&x, sizeof x, v); }
  // Number of leading bytes that are equal, looking at most at min(nx, ny).
  uint32_t Compare(const void* x, size_t nx, const void* y, size_t ny);
  inline void IncL(uint32_t& x, uint32_t d) { x += d; }
  constexpr uint16_t Swap(uint16_t x) { return static_cast<uint16_t>((x >> 8) | (x << 8)); }
  constexpr uint32_t SwapL(uint32_t x) {
    return (x >> 24) | ((x >> 8) & 0x0000FF00u) | ((x << 8) & 0x00FF0000u) | (x << 24);
  }
}
