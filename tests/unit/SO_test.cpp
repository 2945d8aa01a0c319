// Text builder: cuts at the capacity, field widths and fills, the clip flag,
// number conversions and the fixed-point writer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Lib3.h"
#include "SO.h"

namespace {

std::string Text(const SO::TBuffer& b) { return std::string(b.s, b.l); }

// A buffer over the first m characters of a larger guarded array, so writes
// past the capacity show up as changed guard bytes.
struct Guarded {
  char a[48];
  SO::TBuffer b;
  explicit Guarded(uint32_t m) {
    std::memset(a, 'Z', sizeof a);
    SO::Init(b, a, m);
  }
  bool GuardIntact(uint32_t from) const {
    for (size_t k = from; k < sizeof a; ++k)
      if (a[k] != 'Z') return false;
    return true;
  }
};

TEST(SO, FillsWholeArrayWithoutTerminator) {
  Guarded g(14);
  SO::WrStr(g.b, "WISPSrv.16.log");
  EXPECT_EQ(g.b.l, 14u);
  EXPECT_EQ(Text(g.b), "WISPSrv.16.log");
  EXPECT_TRUE(g.GuardIntact(14));   // no NUL stored behind the array
  // A full buffer takes nothing more, a line end included.
  SO::WrStr(g.b, "more");
  SO::WrChar(g.b, 'x');
  SO::WrLn(g.b);
  SO::WrLngCard(g.b, 12345, 1);
  SO::WrCharRep(g.b, '-', 1000000000u);
  EXPECT_EQ(g.b.l, 14u);
  EXPECT_EQ(Text(g.b), "WISPSrv.16.log");
  EXPECT_TRUE(g.GuardIntact(14));
}

TEST(SO, CutsLongTextAndTerminatesShortOne) {
  Guarded g(14);
  SO::WrStr(g.b, "WISPSrv.1.log");
  EXPECT_EQ(g.b.l, 13u);
  EXPECT_EQ(g.a[13], '\0');
  SO::WrLn(g.b);   // only the CR fits
  EXPECT_EQ(Text(g.b), "WISPSrv.1.log\r");
  EXPECT_TRUE(g.GuardIntact(14));

  Guarded h(5);
  SO::WrStrAdj(h.b, "abcdefgh", 3);
  EXPECT_EQ(Text(h.b), "abcde");
  EXPECT_TRUE(h.GuardIntact(5));

  Guarded z(0);   // an empty array is never touched
  SO::WrStr(z.b, "abc");
  EXPECT_EQ(z.b.l, 0u);
  EXPECT_TRUE(z.GuardIntact(0));
}

TEST(SO, InitAndClear) {
  Guarded g(10);
  EXPECT_EQ(g.a[0], '\0');
  EXPECT_EQ(g.b.m, 10u);
  EXPECT_EQ(g.b.c.p, ' ');
  EXPECT_EQ(g.b.c.s, ' ');
  EXPECT_FALSE(g.b.c.c);
  g.b.c.p = '0';
  SO::WrStr(g.b, "abc");
  SO::Clear(g.b);
  EXPECT_EQ(g.b.l, 0u);
  EXPECT_EQ(g.a[0], '\0');
  EXPECT_EQ(g.b.c.p, '0');   // settings survive Clear
  SO::WrCard(g.b, 7, 3);
  EXPECT_EQ(Text(g.b), "007");
}

TEST(SO, BoundedStringsStopAtEndOrNul) {
  const char full[4] = {'a', 'b', 'c', 'd'};   // no terminator
  Guarded g(20);
  SO::WrStrN(g.b, full, sizeof full);
  EXPECT_EQ(Text(g.b), "abcd");
  SO::WrStrN(g.b, "xy\0zz", 5);
  EXPECT_EQ(Text(g.b), "abcdxy");
  SO::WrStrAdjN(g.b, full, sizeof full, 6);
  EXPECT_EQ(Text(g.b), "abcdxy  abcd");
  SO::WrStrAdjN(g.b, full, 2, -3);
  EXPECT_EQ(Text(g.b), "abcdxy  abcdab ");
}

TEST(SO, WidthsAndFills) {
  char a[64];
  SO::TBuffer b;
  SO::Init(b, a);
  SO::WrStrAdj(b, "SrvIO", -8);
  SO::WrChar(b, '|');
  SO::WrStrAdj(b, "Log", 5);
  SO::WrChar(b, '|');
  SO::WrStrAdj(b, "Log", 0);
  SO::WrChar(b, '|');
  SO::WrLngCard(b, 123, 2);
  SO::WrChar(b, '|');
  SO::WrCard(b, 1, 2);
  EXPECT_EQ(Text(b), "SrvIO   |  Log|Log|123| 1");

  SO::Init(b, a);
  b.c.p = '0';
  b.c.s = '.';
  SO::WrCard(b, 7, 2);
  SO::WrChar(b, '|');
  SO::WrLngHex(b, 0x1D4C0, 8);
  SO::WrChar(b, '|');
  SO::WrStrAdj(b, "ab", -4);   // right fill only on a left-aligned field
  SO::WrChar(b, '|');
  SO::WrLngInt(b, -10048, 8);
  EXPECT_EQ(Text(b), "07|0001D4C0|ab..|00-10048");
}

TEST(SO, ClipFlag) {
  char a[64];
  SO::TBuffer b;
  SO::Init(b, a);
  b.c.c = true;
  SO::WrStrAdj(b, "abcdef", 3);
  SO::WrChar(b, '|');
  SO::WrLngCard(b, 12345, -4);
  SO::WrChar(b, '|');
  SO::WrStrAdj(b, "ab", 3);    // fits: aligned as usual
  SO::WrChar(b, '|');
  SO::WrStrAdj(b, "abc", -3);  // exactly fits
  EXPECT_EQ(Text(b), "???|????| ab|abc");
}

TEST(SO, Numbers) {
  char a[128];
  SO::TBuffer b;
  SO::Init(b, a);
  SO::WrLngCard(b, 0, 1);
  SO::WrChar(b, ' ');
  SO::WrLngCard(b, 4294967295u, 1);
  SO::WrChar(b, ' ');
  SO::WrLngInt(b, -10048, 1);
  SO::WrChar(b, ' ');
  SO::WrLngInt(b, 0, 1);
  SO::WrChar(b, ' ');
  SO::WrLngInt(b, 2147483647, 1);
  SO::WrChar(b, ' ');
  SO::WrCard(b, 65535, 1);
  SO::WrChar(b, ' ');
  SO::WrShtCard(b, 255, 1);
  SO::WrChar(b, ' ');
  SO::WrHex(b, 0xBEEF, 1);
  SO::WrChar(b, ' ');
  SO::WrHex(b, 0, 1);
  SO::WrChar(b, ' ');
  SO::WrLngHex(b, 0xFFFFFFFFu, 1);   // fills its 8-character scratch array
  SO::WrChar(b, ' ');
  SO::WrLngHex(b, 0xDEADBEEFu, -10);
  SO::WrChar(b, '|');
  EXPECT_EQ(Text(b), "0 4294967295 -10048 0 2147483647 65535 255 BEEF 0 FFFFFFFF DEADBEEF  |");
}

TEST(SO, ConversionHelpers) {
  EXPECT_EQ(SO::Char(0), '0');
  EXPECT_EQ(SO::Char(9), '9');
  EXPECT_EQ(SO::Char(10), 'A');
  EXPECT_EQ(SO::Char(15), 'F');

  char s[16];
  SO::CardToStr(0xABCDu, s, sizeof s, 16);
  EXPECT_STREQ(s, "ABCD");
  SO::CardToStr(5, s, sizeof s, 2);
  EXPECT_STREQ(s, "101");
  SO::IntToStr(-7, s, sizeof s);
  EXPECT_STREQ(s, "-7");
  // The most negative value: the magnitude is taken without overflow.
  SO::IntToStr(-2147483647 - 1, s, sizeof s);
  EXPECT_STREQ(s, "-2147483648");

  // Exactly fitting digits are not terminated and nothing is written past them.
  char t[6];
  std::memset(t, 'Z', sizeof t);
  SO::CardToStr(1234, t, 4, 10);
  EXPECT_EQ(std::string(t, 6), "1234ZZ");
}

std::string Fix(double x, uint32_t pr) {
  char s[32];
  SO::FixRealToStr(x, pr, s, sizeof s);
  return s;
}

TEST(SO, FixRealToStr) {
  EXPECT_EQ(Fix(13.875, 3), "13.875");
  EXPECT_EQ(Fix(2.9999, 2), "2.99");   // cut, not rounded
  EXPECT_EQ(Fix(0.0, 2), "0.00");
  EXPECT_EQ(Fix(-1.5, 1), "-1.5");
  EXPECT_EQ(Fix(100.0, 0), "100.");
  EXPECT_EQ(Fix(9.5, 1), "9.5");
  EXPECT_EQ(Fix(10.0, 1), "10.0");
  EXPECT_EQ(Fix(123456789.0, 0), "123456789.");

  // Exactly as many characters as the array holds: no terminator, no stop.
  char s[4];
  SO::FixRealToStr(100.0, 0, s, sizeof s);
  EXPECT_EQ(std::string(s, 4), "100.");

  char a[64];
  SO::TBuffer b;
  SO::Init(b, a);
  SO::WrFixLngReal(b, 1234.5, 1, 8);
  SO::WrChar(b, '|');
  SO::WrFixLngReal(b, -0.25, 2, 1);
  EXPECT_EQ(Text(b), "  1234.5|-0.25");
}

TEST(SODeathTest, FixRealToStrStopsWhenTooSmall) {
  EXPECT_EXIT(
      {
        Lib3::InitModule();
        char s[4];
        SO::FixRealToStr(123.45, 2, s, sizeof s);
      },
      ::testing::ExitedWithCode(255), "FixRealToStr: Buffer too small");
  EXPECT_EXIT(
      {
        Lib3::InitModule();
        char a[64];
        SO::TBuffer b;
        SO::Init(b, a);
        SO::WrFixLngReal(b, 1e40, 0, 1);   // 41 digits and the point > 32
      },
      ::testing::ExitedWithCode(255), "FixRealToStr: Buffer too small");
  // The sign takes a character too: "-100." fits five, not four.
  EXPECT_EXIT(
      {
        Lib3::InitModule();
        char s[5];
        SO::FixRealToStr(-100.0, 0, s, sizeof s);
        s[0] = 'x';
        SO::FixRealToStr(-100.0, 0, s, 4);
      },
      ::testing::ExitedWithCode(255), "FixRealToStr: Buffer too small");
}

}  // namespace
