// Lib2_test.cpp — byte helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "Lib2.h"

namespace {

TEST(Lib2, CompareCountsEqualLeadingBytes) {
  uint8_t a[16], b[16];
  for (int k = 0; k < 16; ++k) a[k] = b[k] = static_cast<uint8_t>(0xA0 + k);
  EXPECT_EQ(Lib2::Compare(a, 16, b, 16), 16u);
  b[0] ^= 1;
  EXPECT_EQ(Lib2::Compare(a, 16, b, 16), 0u);
  b[0] ^= 1;
  b[15] ^= 0x80;
  EXPECT_EQ(Lib2::Compare(a, 16, b, 16), 15u);
  // Only the shorter length is looked at.
  EXPECT_EQ(Lib2::Compare("abc", 3, "abcd", 4), 3u);
  EXPECT_EQ(Lib2::Compare("abcd", 4, "abc", 3), 3u);
  EXPECT_EQ(Lib2::Compare(a, 0, b, 16), 0u);
}

TEST(Lib2, FillAndSwaps) {
  struct { uint32_t l; uint8_t d[16]; } r;
  Lib2::Fill(r, 0x5A);
  EXPECT_EQ(r.l, 0x5A5A5A5Au);
  EXPECT_EQ(r.d[15], 0x5A);
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Lib2::Fill(buf + 2, 3, 0);
  const uint8_t exp[8] = {1, 2, 0, 0, 0, 6, 7, 8};
  EXPECT_EQ(0, std::memcmp(buf, exp, 8));

  EXPECT_EQ(Lib2::SwapL(0x11223344u), 0x44332211u);
  EXPECT_EQ(Lib2::Swap(uint16_t{0x1234}), 0x3412);
  uint32_t c = 0xFFFFFFF0u;
  Lib2::IncL(c, 0x20);
  EXPECT_EQ(c, 0x10u);   // wraps
}

}
