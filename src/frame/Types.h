// Types.h — the fixed-width integer types every module uses.
#pragma once
#include <cstddef>
#include <cstdint>

namespace Types {
  using u8 = uint8_t;
  using u16 = uint16_t;
  using u32 = uint32_t;
  using i32 = int32_t;
  using TPthStr = char[256];   // a file name, 0-terminated when shorter
}
