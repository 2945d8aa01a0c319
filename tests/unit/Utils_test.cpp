// IPv4 text forms and the date and time writers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DT.h"
#include "SO.h"
#include "Utils.h"

namespace {

std::string Text(const SO::TBuffer& b) { return std::string(b.s, b.l); }

std::string IPText(uint32_t ip) {
  char a[32];
  SO::TBuffer b;
  SO::Init(b, a);
  Utils::WrIP(b, ip);
  return Text(b);
}

TEST(Utils, IPPutsFirstNumberInLowestAddressedByte) {
  const uint32_t ip = Utils::IP(192, 168, 1, 20);
  uint8_t bytes[4];
  std::memcpy(bytes, &ip, sizeof bytes);
  EXPECT_EQ(bytes[0], 192);
  EXPECT_EQ(bytes[1], 168);
  EXPECT_EQ(bytes[2], 1);
  EXPECT_EQ(bytes[3], 20);
  EXPECT_EQ(IPText(ip), "192.168.1.20");
  EXPECT_EQ(IPText(Utils::IP(127, 0, 0, 1)), "127.0.0.1");
  EXPECT_EQ(IPText(Utils::IP(0, 0, 0, 0)), "0.0.0.0");
  EXPECT_EQ(IPText(Utils::IP(255, 255, 255, 255)), "255.255.255.255");
}

TEST(Utils, MkIPAccepts) {
  struct Case {
    const char* str;
    uint32_t ip;
  } const cases[] = {
      {"192.168.1.20", Utils::IP(192, 168, 1, 20)},
      {"0.0.0.0", Utils::IP(0, 0, 0, 0)},
      {"255.255.255.255", Utils::IP(255, 255, 255, 255)},
      {"010.001.000.009", Utils::IP(10, 1, 0, 9)},       // decimal, leading zeros
      {"1.2.3.4.whatever", Utils::IP(1, 2, 3, 4)},       // after the fourth item: ignored
      {"1.2.3.4.", Utils::IP(1, 2, 3, 4)},
  };
  for (const Case& c : cases) {
    uint32_t ip = 0xA5A5A5A5u;
    EXPECT_TRUE(Utils::MkIP(ip, c.str)) << c.str;
    EXPECT_EQ(ip, c.ip) << c.str;
  }
}

TEST(Utils, MkIPRejectsAndKeepsValue) {
  const char* const bad[] = {
      "192.168.1",        // three items
      "192.168.1.256",    // above 255
      "1.2.3.260",        // would be 4 modulo 256
      "1.2.3.4294967296", // would be 0 modulo 2^32
      "1.2.3.99999999999999999999",
      "",
      "1..2.3",           // empty item
      ".1.2.3",
      "1.2.3.",
      "a.b.c.d",
      "1.2.3.4x",
      "-1.2.3.4",
      " 1.2.3.4",
      "1.2.3.0x1",
  };
  for (const char* s : bad) {
    uint32_t ip = 0xA5A5A5A5u;
    EXPECT_FALSE(Utils::MkIP(ip, s)) << s;
    EXPECT_EQ(ip, 0xA5A5A5A5u) << s;
  }
}

TEST(Utils, MkIPReadsWhatWrIPWrites) {
  const uint32_t ips[] = {Utils::IP(192, 168, 1, 20), Utils::IP(1, 0, 255, 7), 0x01020304u};
  for (uint32_t v : ips) {
    uint32_t ip = 0;
    ASSERT_TRUE(Utils::MkIP(ip, IPText(v).c_str()));
    EXPECT_EQ(ip, v);
  }
}

class UtilsDate : public ::testing::Test {
 protected:
  void SetUp() override {
    DT::InitModule();
    SO::Init(b, a);
  }
  char a[64];
  SO::TBuffer b;
};

TEST_F(UtilsDate, Writers) {
  Utils::WrDate(b, 740153);
  EXPECT_EQ(Text(b), "20260621");
  SO::Clear(b);
  Utils::WrTime(b, 52205000);
  EXPECT_EQ(Text(b), "143005.000");
  SO::Clear(b);
  Utils::WrDateTime(b, 740153, 52205000);
  EXPECT_EQ(Text(b), "20260621_143005.000");
  SO::Clear(b);
  Utils::WrDateTime(b, 0, 0);
  EXPECT_EQ(Text(b), "00000101_000000.000");
  SO::Clear(b);
  Utils::WrDateTime(b, DT::PackDate(5, 3, 9), DT::PackTime(1, 2, 3, 4));
  EXPECT_EQ(Text(b), "00050309_010203.004");
  SO::Clear(b);
  // Out of range: the first day of year 0 and midnight.
  Utils::WrDateTime(b, DT::dayMax + 1, 86400000);
  EXPECT_EQ(Text(b), "00000101_000000.000");
  SO::Clear(b);
  // Years wider than four characters are written whole.
  Utils::WrDate(b, DT::dayMax);
  EXPECT_EQ(Text(b), "19999991231");
}

TEST_F(UtilsDate, WritersRestoreFill) {
  b.c.p = '*';
  Utils::WrDateTime(b, 740153, 52205000);
  EXPECT_EQ(b.c.p, '*');
  SO::WrCard(b, 5, 3);
  EXPECT_EQ(Text(b), "20260621_143005.000**5");
}

}  // namespace
