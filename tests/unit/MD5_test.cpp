// MD5_test.cpp — RFC 1321's test suite, block-boundary lengths fed in pieces,
// and a file's digest against the system's md5sum.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "EngineTest.h"
#include "MD5.h"

namespace {

using EngineTest::Digest;
using EngineTest::Hex;

TEST(MD5, Rfc1321TestSuite) {
  const struct {
    const char* in;
    const char* out;
  } v[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const auto& t : v) {
    MD5::TCtxDesc c;
    MD5::Init(c);
    MD5::Update(c, t.in, static_cast<uint32_t>(std::strlen(t.in)));
    MD5::TDgstDesc d;
    MD5::Final(c, d);
    EXPECT_EQ(Hex(d), t.out) << "input \"" << t.in << "\"";
  }
}

// Any split of the input into pieces gives the digest of the whole; the
// lengths around the 56- and 64-byte padding boundaries included.
TEST(MD5, PiecewiseEqualsWhole) {
  const auto data = EngineTest::RandomBytes(5000, 7);
  std::mt19937 g(11);
  for (uint32_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 4999u}) {
    const std::vector<uint8_t> part(data.begin(), data.begin() + len);
    const auto whole = Digest(part);
    MD5::TCtxDesc c;
    MD5::Init(c);
    uint32_t p = 0;
    while (p < len) {
      uint32_t k = g() % 70;
      if (k > len - p) k = len - p;
      MD5::Update(c, data.data() + p, k);
      p += k;
    }
    MD5::TDgstDesc d;
    MD5::Final(c, d);
    EXPECT_EQ(Hex(d), whole) << "length " << len;
  }
}

TEST(MD5, FileDigestEqualsMd5sum) {
  EngineTest::Init();
  EngineTest::FreshDir("md5sum");
  // Not a multiple of the 4096-byte read block, with a tail past 56 MOD 64.
  const auto data = EngineTest::RandomBytes(3 * 4096 + 1000 + 60, 3);
  EngineTest::PutFile("blob.bin", data);
  FILE* p = popen("md5sum blob.bin", "r");
  ASSERT_NE(p, nullptr);
  char line[128] = {};
  ASSERT_NE(fgets(line, sizeof line, p), nullptr);
  pclose(p);
  std::string sys(line, 32);
  for (auto& ch : sys) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));

  Files::TFile f = Files::OpenRd("blob.bin");
  ASSERT_NE(f, nullptr);
  Files::TPosDesc t;
  Files::GetTgt(f, t);
  EXPECT_EQ(t.l, data.size());
  EXPECT_EQ(Hex(t.d), sys);
  Files::Close(f);
}

}  // namespace
