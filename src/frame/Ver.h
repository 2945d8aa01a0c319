// Ver.h — the programs' version and its date text.
#pragma once
#include <cstdint>

namespace Ver {
  constexpr uint32_t ver = 19;
  constexpr char ext[] = "2026-06-21";
}
