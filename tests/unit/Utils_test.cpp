// Address text forms of both families, endpoints and their socket records,
// and the date and time writers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>
#include <string>
#include <vector>

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

// ---- either family -------------------------------------------------------------

std::string AdrText(const UDP0::TAdrDesc& a) {
  char t[96];
  SO::TBuffer b;
  SO::Init(b, t);
  Utils::WrIP(b, a);
  return Text(b);
}

std::string DstText(const UDP0::TDstDesc& d) {
  char t[96];
  SO::TBuffer b;
  SO::Init(b, t);
  Utils::WrDst(b, d);
  return Text(b);
}

// The IPv6 record of a literal as the C library reads it, zone z.
UDP0::TAdrDesc Lib6(const char* s, uint32_t z = 0) {
  UDP0::TAdrDesc a;
  a.f = UDP0::famV6;
  EXPECT_EQ(inet_pton(AF_INET6, s, a.b), 1) << s;
  a.z = z;
  return a;
}

TEST(Utils, MkIPEitherFamily) {
  const uint32_t lo = if_nametoindex("lo");
  ASSERT_NE(lo, 0u);
  struct Case {
    const char* str;
    UDP0::TAdrDesc ip;
    const char* text;   // as WrIP writes it back
  } const cases[] = {
      {"127.0.0.1", Utils::IP(127, 0, 0, 1), "127.0.0.1"},
      {"1.2.3.4.whatever", Utils::IP(1, 2, 3, 4), "1.2.3.4"},   // the dotted rules unchanged
      {"::1", Lib6("::1"), "::1"},
      {"::", UDP0::Any(UDP0::famV6), "::"},
      {"2001:DB8:0:0:0:0:0:5", Lib6("2001:db8::5"), "2001:db8::5"},
      {"2001:db8:0:0:1:0:0:1", Lib6("2001:db8::1:0:0:1"), "2001:db8::1:0:0:1"},   // first longest run
      {"2001:db8:0:1:1:1:1:1", Lib6("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1"},   // one 0 stays
      {"1:2:3:4:5:6:7:8", Lib6("1:2:3:4:5:6:7:8"), "1:2:3:4:5:6:7:8"},
      {"64:ff9b::10.0.0.1", Lib6("64:ff9b::a00:1"), "64:ff9b::a00:1"},
      {"::ffff:10.0.0.1", Utils::IP(10, 0, 0, 1), "10.0.0.1"},   // mapped: the IPv4 address
      {"fe80::1%lo", Lib6("fe80::1", lo), "fe80::1%lo"},
      {"FE80::1%1", Lib6("fe80::1", 1), nullptr},
      {"fe80::1%0", Lib6("fe80::1"), "fe80::1"},
      {"fe80::1%4294967295", Lib6("fe80::1", 4294967295u), "fe80::1%4294967295"},   // no such interface
      {"ff02::1%lo", Lib6("ff02::1", lo), "ff02::1%lo"},
      {"2001:db8::5%lo", Lib6("2001:db8::5"), "2001:db8::5"},   // a zone only where it counts
      {"::ffff:1.2.3.4%lo", Utils::IP(1, 2, 3, 4), "1.2.3.4"},
  };
  for (const Case& c : cases) {
    UDP0::TAdrDesc ip = Utils::IP(9, 9, 9, 9);
    EXPECT_TRUE(Utils::MkIP(ip, c.str)) << c.str;
    EXPECT_TRUE(ip == c.ip) << c.str << " read as " << AdrText(ip);
    if (c.text != nullptr) {
      EXPECT_EQ(AdrText(ip), c.text) << c.str;
    }
    UDP0::TAdrDesc back;
    EXPECT_TRUE(Utils::MkIP(back, AdrText(ip).c_str()) && back == ip) << c.str;
  }
  // Every written form fits its bound.
  UDP0::TAdrDesc w = Lib6("fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 4294967295u);
  EXPECT_LE(AdrText(w).size(), Utils::lenIPMax);
}

TEST(Utils, MkIPRejectsEitherFamilyAndKeepsValue) {
  const char* const bad[] = {
      "1::2::3", ":::", "1:2:3:4:5:6:7:8:9", "12345::", "::g", ":1", "1:", "[::1]", " ::1", "::1 ",
      "::ffff:1.2.3.256", "::ffff:1.2.3", "fe80::1%", "fe80::1%nosuchif0", "fe80::1%lo%lo",
      "fe80::1%4294967296", "0000:0000:0000:0000:0000:0000:0000:0000:0", "1.2.3", "localhost", "",
  };
  for (const char* s : bad) {
    UDP0::TAdrDesc ip = Lib6("2001:db8::9");
    EXPECT_FALSE(Utils::MkIP(ip, s)) << s;
    EXPECT_TRUE(ip == Lib6("2001:db8::9")) << s;
  }
}

// Networks of clients: read with their length or as a bare host, host bits
// cleared, written back, and matched at the bit where they end; an IPv4
// network holds IPv4 clients (a dual-stack socket's too, they are IPv4
// records), an IPv6 one sees them mapped.
TEST(Utils, NetworksReadWrittenAndMatched) {
  const uint32_t lo = if_nametoindex("lo");
  ASSERT_NE(lo, 0u);
  auto net = [](const char* s) {
    UDP0::TNetDesc n;
    EXPECT_EQ(Utils::MkNet(n, s), Utils::netOk) << s;
    return n;
  };
  auto text = [](const UDP0::TNetDesc& n) {
    char a[80];
    SO::TBuffer b;
    SO::Init(b, a);
    Utils::WrNet(b, n);
    return Text(b);
  };
  struct Case {
    const char* str;
    const char* text;
    std::vector<UDP0::TAdrDesc> in, out;
  };
  const Case cases[] = {
      {"192.168.1.0/24", "192.168.1.0/24", {Utils::IP(192, 168, 1, 0), Utils::IP(192, 168, 1, 255)},
       {Utils::IP(192, 168, 2, 1), Utils::IP(192, 168, 0, 255), Lib6("2001:db8::c0a8:101")}},
      {"10.9.8.7/8", "10.0.0.0/8", {Utils::IP(10, 255, 0, 1)}, {Utils::IP(11, 0, 0, 0), Utils::IP(9, 255, 255, 255)}},
      {"172.16.0.0/12", "172.16.0.0/12", {Utils::IP(172, 31, 255, 255)}, {Utils::IP(172, 32, 0, 0)}},
      {"127.0.0.1", "127.0.0.1/32", {Utils::IP(127, 0, 0, 1)}, {Utils::IP(127, 0, 0, 2), Lib6("::1")}},
      {"0.0.0.0/0", "0.0.0.0/0", {Utils::IP(1, 2, 3, 4)}, {Lib6("::1")}},
      {"2001:db8::/32", "2001:db8::/32", {Lib6("2001:db8:ffff::1")}, {Lib6("2001:db9::1"), Utils::IP(32, 1, 13, 184)}},
      {"::1/128", "::1/128", {Lib6("::1")}, {Lib6("::2"), Utils::IP(127, 0, 0, 1)}},
      {"::1", "::1/128", {Lib6("::1")}, {Lib6("::")}},
      {"2001:db8::1/127", "2001:db8::/127", {Lib6("2001:db8::"), Lib6("2001:db8::1")}, {Lib6("2001:db8::2")}},
      // Mapped forms: from 96 bits on the IPv4 network they name.
      {"::ffff:10.0.0.0/104", "10.0.0.0/8", {Utils::IP(10, 1, 2, 3)}, {Utils::IP(11, 1, 2, 3)}},
      {"::ffff:0:0/96", "0.0.0.0/0", {Utils::IP(8, 8, 8, 8)}, {Lib6("::1")}},
      {"::ffff:0:0/88", "::ff00:0:0/88", {Utils::IP(1, 1, 1, 1), Lib6("::ff12:1:1")}, {Lib6("::1")}},
      {"::/0", "::/0", {Lib6("::1"), Utils::IP(192, 0, 2, 1)}, {}},
      // A link-local network holds its own zone's addresses.
      {"fe80::%lo/10", "fe80::%lo/10", {Lib6("fe80::5", lo)}, {Lib6("fe80::5", lo + 1), Lib6("fe80::5")}},
      {"fe80::/10", "fe80::/10", {Lib6("fe80::5", lo), Lib6("febf::1", 9)}, {Lib6("fec0::1")}},
  };
  for (const Case& c : cases) {
    const UDP0::TNetDesc n = net(c.str);
    EXPECT_EQ(text(n), c.text) << c.str;
    EXPECT_TRUE(net(text(n).c_str()) == n) << c.str;
    for (const UDP0::TAdrDesc& a : c.in) EXPECT_TRUE(UDP0::InNet(a, n)) << c.str << " holds " << AdrText(a);
    for (const UDP0::TAdrDesc& a : c.out) EXPECT_FALSE(UDP0::InNet(a, n)) << c.str << " lacks " << AdrText(a);
  }
  struct Bad {
    const char* str;
    Utils::TNetRes r;
  } const bad[] = {
      {"10.0.0.0/33", Utils::netLen}, {"::/129", Utils::netLen}, {"::ffff:10.0.0.0/129", Utils::netLen},
      {"10.0.0.0/4294967296", Utils::netBad}, {"10.0.0/8", Utils::netBad}, {"10.0.0.0/", Utils::netBad},
      {"/8", Utils::netBad}, {"10.0.0.0/+8", Utils::netBad}, {"10.0.0.0/8/8", Utils::netBad},
      {"10.0.0.0/ 8", Utils::netBad}, {"localhost", Utils::netBad}, {"", Utils::netBad},
      {"1::2::3/64", Utils::netBad},
  };
  for (const Bad& b : bad) {
    UDP0::TNetDesc n = net("10.0.0.0/8");
    EXPECT_EQ(Utils::MkNet(n, b.str), b.r) << b.str;
    EXPECT_TRUE(n == net("10.0.0.0/8")) << b.str;
  }
}

TEST(Utils, EndpointsComparedWholeAndWritten) {
  const UDP0::TDstDesc v4{Utils::IP(127, 0, 0, 1), 667};
  const UDP0::TDstDesc v6{Lib6("::1"), 667};
  const UDP0::TDstDesc ll1{Lib6("fe80::1", 1), 5};
  const UDP0::TDstDesc ll2{Lib6("fe80::1", 2), 5};
  EXPECT_EQ(DstText(v4), "127.0.0.1:667");
  EXPECT_EQ(DstText(v6), "[::1]:667");
  EXPECT_EQ(DstText(UDP0::TDstDesc{Lib6("fe80::1", if_nametoindex("lo")), 0}), "[fe80::1%lo]:0");
  EXPECT_EQ(DstText(UDP0::TDstDesc{UDP0::Any(UDP0::famV6), 65535}), "[::]:65535");
  EXPECT_FALSE(v4 == v6);                       // same port, other family
  EXPECT_FALSE(ll1 == ll2);                     // same address and port, other zone
  EXPECT_FALSE(v6 == (UDP0::TDstDesc{Lib6("::1"), 668}));
  EXPECT_FALSE(UDP0::Any(UDP0::famV4) == UDP0::Any(UDP0::famV6));
  uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
  EXPECT_TRUE(v4 == (UDP0::TDstDesc{UDP0::V6(mapped, 7), 667}));   // what a dual-stack socket reports
}

TEST(Utils, SocketRecordsOfBothFamilies) {
  const UDP0::TDstDesc v4{Utils::IP(10, 1, 2, 3), 4660};
  const UDP0::TDstDesc ll{Lib6("fe80::2", 3), 80};
  Utils::TSockAdr s;
  UDP0::TDstDesc d{};
  // IPv4 on an IPv4 socket: the plain record.
  ASSERT_EQ(Utils::MkSockAdr(s, v4, UDP0::famV4), sizeof(sockaddr_in));
  EXPECT_EQ(s.v4.sin_family, AF_INET);
  EXPECT_EQ(s.v4.sin_port, htons(4660));
  EXPECT_EQ(s.v4.sin_addr.s_addr, htonl(0x0A010203u));
  ASSERT_TRUE(Utils::RdSockAdr(s, sizeof(sockaddr_in), d));
  EXPECT_TRUE(d == v4);
  // IPv4 on a dual-stack socket: mapped, and read back as IPv4.
  ASSERT_EQ(Utils::MkSockAdr(s, v4, UDP0::famV6), sizeof(sockaddr_in6));
  char t[INET6_ADDRSTRLEN];
  EXPECT_STREQ(inet_ntop(AF_INET6, &s.v6.sin6_addr, t, sizeof t), "::ffff:10.1.2.3");
  EXPECT_EQ(s.v6.sin6_scope_id, 0u);
  ASSERT_TRUE(Utils::RdSockAdr(s, sizeof(sockaddr_in6), d));
  EXPECT_TRUE(d == v4);
  // Link-local with its zone.
  ASSERT_EQ(Utils::MkSockAdr(s, ll, UDP0::famV6), sizeof(sockaddr_in6));
  EXPECT_EQ(s.v6.sin6_scope_id, 3u);
  EXPECT_EQ(s.v6.sin6_port, htons(80));
  ASSERT_TRUE(Utils::RdSockAdr(s, sizeof(sockaddr_in6), d));
  EXPECT_TRUE(d == ll);
  // Short records and other families are refused.
  EXPECT_FALSE(Utils::RdSockAdr(s, sizeof(sockaddr_in6) - 1, d));
  s.sa.sa_family = AF_UNIX;
  EXPECT_FALSE(Utils::RdSockAdr(s, sizeof s, d));
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
