// Crc_test.cpp — the CRC-32 trailer: table, check value, trailer byte order,
// detection of single-bit errors and the start-up self-test.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Crc.h"

namespace {

// Bit by bit, without any table: the reference the module is held against.
uint32_t BitCrc(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t k = 0; k < n; ++k) {
    c ^= static_cast<uint32_t>(p[k]) << 24;
    for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
  }
  return c;
}

// Deterministic filler bytes.
std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

TEST(Crc, TableMatchesPolynomialBitwise) {
  EXPECT_EQ(Crc::table[0], 0u);
  EXPECT_EQ(Crc::table[1], 0x04C11DB7u);
  for (uint32_t i = 0; i < 256; ++i) {
    uint8_t b = static_cast<uint8_t>(i);
    // A single byte b after a zero state is exactly table[b]:
    // bitwise CRC from state 0 of byte b.
    uint32_t c = static_cast<uint32_t>(b) << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    EXPECT_EQ(Crc::table[i], c) << "entry " << i;
  }
}

TEST(Crc, CheckValueAndTrailerOrder) {
  const uint8_t msg[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc::UpdL(Crc::init, msg, 9), 0x0376E6E7u);
  EXPECT_EQ(Crc::Swap(0x0376E6E7u), 0xE7E67603u);

  const uint8_t tel[13] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x03, 0x76, 0xE6, 0xE7};
  EXPECT_TRUE(Crc::Ok(tel, 13));
  EXPECT_FALSE(Crc::Ok(tel, 12));
  // The trailer in the other byte order is wrong.
  const uint8_t rev[13] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0xE7, 0xE6, 0x76, 0x03};
  EXPECT_FALSE(Crc::Ok(rev, 13));

  uint8_t buf[16];
  std::memset(buf, 0xAA, sizeof buf);
  std::memcpy(buf, msg, 9);
  EXPECT_EQ(Crc::AppendCrc(buf, 9), 13u);
  EXPECT_EQ(0, std::memcmp(buf, tel, 13));
  EXPECT_EQ(buf[13], 0xAA);   // nothing written past the trailer
}

TEST(Crc, UpdLContinuesAcrossPieces) {
  auto v = Bytes(1000, 7);
  uint32_t c = Crc::UpdL(Crc::init, v.data(), 333);
  c = Crc::UpdL(c, v.data() + 333, 667);
  EXPECT_EQ(c, BitCrc(v.data(), v.size()));
  EXPECT_EQ(Crc::UpdL(0x12345678u, v.data(), 0), 0x12345678u);
  // Four registers of sixteen bytes, one of sixteen, eight bytes a step and
  // the rest one by one: every length and start offset around the steps
  // gives the bitwise result.
  for (size_t at = 0; at < 17; ++at) {
    for (size_t len = 0; len < 260; ++len) {
      EXPECT_EQ(Crc::UpdL(Crc::init, v.data() + at, len), BitCrc(v.data() + at, len)) << at << " " << len;
    }
  }
  EXPECT_FALSE(Crc::Ok(v.data(), 0));   // the empty telegram leaves the start value
}

TEST(Crc, EverySingleBitFlipIsDetected) {
  // A short telegram and one of the largest size, trailer bits included.
  for (size_t len : {size_t{11}, size_t{47}, size_t{1472}}) {
    auto t = Bytes(len, static_cast<uint32_t>(len));
    EXPECT_EQ(Crc::AppendCrc(t.data(), static_cast<uint32_t>(len - 4)), len);
    ASSERT_TRUE(Crc::Ok(t.data(), len));
    size_t missed = 0;
    for (size_t bit = 0; bit < len * 8; ++bit) {
      t[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      if (Crc::Ok(t.data(), len)) ++missed;
      t[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    }
    EXPECT_EQ(missed, 0u) << "length " << len;
    EXPECT_TRUE(Crc::Ok(t.data(), len));
  }
}

TEST(Crc, SelfTest) {
  EXPECT_TRUE(Crc::Test());
  // A table whose entry 0 is not zero cannot close the trailer to 0.
  uint32_t bad[256];
  std::memcpy(bad, Crc::table, sizeof bad);
  bad[0] = 0x00000001u;
  EXPECT_FALSE(Crc::Test(bad));
  // Start-up with the intact table goes on (twice is harmless).
  Crc::InitModule();
  Crc::InitModule();
}

}
