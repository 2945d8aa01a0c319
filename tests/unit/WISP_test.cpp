// WISP_test.cpp — telegram layouts byte by byte against hand-written bytes,
// and the acceptance order of an arriving datagram.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "Crc.h"
#include "WISP.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Bitwise CRC-32 (0x04C11DB7, MSB first, start 0xFFFFFFFF, no final xor),
// independent of the module's table.
uint32_t BitCrc(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t k = 0; k < n; ++k) {
    c ^= static_cast<uint32_t>(p[k]) << 24;
    for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
  }
  return c;
}

// A telegram of len bytes: the given leading bytes, zeros up to the trailer,
// then the trailer most significant byte first.
Bytes Tel(std::initializer_list<uint8_t> head, size_t len) {
  Bytes v(head);
  v.resize(len - 4, 0);
  uint32_t c = BitCrc(v.data(), v.size());
  v.push_back(static_cast<uint8_t>(c >> 24));
  v.push_back(static_cast<uint8_t>(c >> 16));
  v.push_back(static_cast<uint8_t>(c >> 8));
  v.push_back(static_cast<uint8_t>(c));
  return v;
}

Bytes Out(const uint8_t* x, uint32_t l) { return Bytes(x, x + l); }

constexpr uint8_t kDgst[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                               0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

TEST(WISP, Constants) {
  EXPECT_EQ(WISP::magic, 0x50534957u);
  const uint8_t wisp[4] = {'W', 'I', 'S', 'P'};
  EXPECT_EQ(WISP::GetU32(wisp, 0), WISP::magic);
  EXPECT_EQ(WISP::ver, 6);
  EXPECT_EQ(WISP::lenMaxTel, 1472u);
  EXPECT_EQ(WISP::lenFrmOvr, 11u);
  EXPECT_EQ(WISP::lenMaxVar, 1461u);
  EXPECT_EQ(WISP::lenMaxFgm, 1455u);
  EXPECT_EQ(WISP::cmdClose, 7);
  EXPECT_EQ(WISP::errChk, 3);
}

TEST(WISP, LittleEndianAccessors) {
  uint8_t b[8] = {};
  WISP::PutU16(b, 1, 0xA1B2);
  WISP::PutU32(b, 3, 0x01020304u);
  const uint8_t exp[8] = {0x00, 0xB2, 0xA1, 0x04, 0x03, 0x02, 0x01, 0x00};
  EXPECT_EQ(0, std::memcmp(b, exp, 8));
  EXPECT_EQ(WISP::GetU16(b, 1), 0xA1B2);
  EXPECT_EQ(WISP::GetU32(b, 3), 0x01020304u);
  WISP::PutI32(b, 4, -2);
  EXPECT_EQ(b[4], 0xFE);
  EXPECT_EQ(b[7], 0xFF);
  EXPECT_EQ(WISP::GetI32(b, 4), -2);
}

TEST(WISP, ReadRequestBytes) {
  WISP::TRdRqDesc q{};
  q.f = 1455;
  q.t = 0x0203;
  q.n = 10;
  std::strcpy(q.r, "a.txt");
  uint8_t x[WISP::lenMaxTel];
  std::memset(x, 0xEE, sizeof x);
  ASSERT_EQ(WISP::Encode(x, q), 144u);
  // Short name: everything after it up to the trailer is zero.
  Bytes exp = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x01,
                   0xAF, 0x05, 0x03, 0x02, 0x0A, 'a', '.', 't', 'x', 't'}, 144);
  EXPECT_EQ(Out(x, 144), exp);

  WISP::TRdRqDesc d{};
  WISP::Decode(exp.data(), d);
  EXPECT_EQ(d.f, 1455);
  EXPECT_EQ(d.t, 0x0203);
  EXPECT_EQ(d.n, 10);
  EXPECT_STREQ(d.r, "a.txt");
  EXPECT_EQ(WISP::Accept(exp.data(), 144, true), WISP::accOk);
  EXPECT_EQ(WISP::BodyLen(144), WISP::TelRdRq::body);
}

TEST(WISP, ReadReplyBytes) {
  WISP::TRdRpDesc p{};
  p.e = WISP::errNull;
  p.f = 1455;
  p.t = 3;
  p.n = 7;
  p.p.l = 0x00012345u;
  std::memcpy(p.p.d, kDgst, 16);
  p.d = {-2, 45296000u};   // 12:34:56.000 = 0x02B32980
  p.r = 16;
  uint8_t x[WISP::lenMaxTel];
  ASSERT_EQ(WISP::Encode(x, p), 47u);
  Bytes exp = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x02,
                   0x00,                          // e
                   0xAF, 0x05,                    // f
                   0x03, 0x00,                    // t
                   0x07,                          // n
                   0x45, 0x23, 0x01, 0x00,        // p.l
                   0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                   0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,   // p.d
                   0xFE, 0xFF, 0xFF, 0xFF,        // d.d
                   0x80, 0x29, 0xB3, 0x02,        // d.t
                   0x10, 0x00}, 47);              // r
  EXPECT_EQ(Out(x, 47), exp);

  WISP::TRdRpDesc d{};
  WISP::Decode(exp.data(), d);
  EXPECT_EQ(d.e, WISP::errNull);
  EXPECT_EQ(d.f, 1455);
  EXPECT_EQ(d.t, 3);
  EXPECT_EQ(d.n, 7);
  EXPECT_EQ(d.p.l, 0x00012345u);
  EXPECT_EQ(0, std::memcmp(d.p.d, kDgst, 16));
  EXPECT_EQ(d.d.d, -2);
  EXPECT_EQ(d.d.t, 45296000u);
  EXPECT_EQ(d.r, 16);
}

TEST(WISP, WriteRequestBytes) {
  WISP::TWrRqDesc q{};
  q.f = 1455;
  q.t = 250;
  q.n = 1;
  q.p.l = 65536;
  for (int k = 0; k < 16; ++k) q.p.d[k] = static_cast<uint8_t>(0xF0 + k);
  q.d = {738000, 86399999u};   // 0x000B42D0, 0x05265BFF
  std::strcpy(q.r, "dir/x");
  uint8_t x[WISP::lenMaxTel];
  ASSERT_EQ(WISP::Encode(x, q), 172u);
  Bytes exp = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x03,
                   0xAF, 0x05,                    // f
                   0xFA, 0x00,                    // t
                   0x01,                          // n
                   0x00, 0x00, 0x01, 0x00,        // p.l
                   0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,
                   0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,   // p.d
                   0xD0, 0x42, 0x0B, 0x00,        // d.d
                   0xFF, 0x5B, 0x26, 0x05,        // d.t
                   'd', 'i', 'r', '/', 'x'}, 172);
  EXPECT_EQ(Out(x, 172), exp);

  WISP::TWrRqDesc d{};
  WISP::Decode(exp.data(), d);
  EXPECT_EQ(d.f, 1455);
  EXPECT_EQ(d.t, 250);
  EXPECT_EQ(d.n, 1);
  EXPECT_EQ(d.p.l, 65536u);
  EXPECT_EQ(d.p.d[15], 0xFF);
  EXPECT_EQ(d.d.d, 738000);
  EXPECT_EQ(d.d.t, 86399999u);
  EXPECT_STREQ(d.r, "dir/x");
  EXPECT_EQ(WISP::BodyLen(172), WISP::TelWrRq::body);
}

TEST(WISP, WriteReplyDataRequestCloseBytes) {
  uint8_t x[WISP::lenMaxTel];

  WISP::TWrRpDesc w{WISP::errBsy, 1000, 5, 2, 3, 0};
  ASSERT_EQ(WISP::Encode(x, w), 19u);
  Bytes expW = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x04,
                    0x01, 0xE8, 0x03, 0x05, 0x00, 0x02, 0x03, 0x00}, 19);
  EXPECT_EQ(Out(x, 19), expW);
  WISP::TWrRpDesc dw{};
  WISP::Decode(expW.data(), dw);
  EXPECT_EQ(dw.e, WISP::errBsy);
  EXPECT_EQ(dw.f, 1000);
  EXPECT_EQ(dw.t, 5);
  EXPECT_EQ(dw.n, 2);
  EXPECT_EQ(dw.r, 3);

  WISP::TDatRqDesc q{{5, 0x01020304u}, 0x80000001u};
  ASSERT_EQ(WISP::Encode(x, q), 21u);
  Bytes expQ = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x05,
                    0x05, 0x00, 0x04, 0x03, 0x02, 0x01, 0x01, 0x00, 0x00, 0x80}, 21);
  EXPECT_EQ(Out(x, 21), expQ);
  WISP::TDatRqDesc dq{};
  WISP::Decode(expQ.data(), dq);
  EXPECT_EQ(dq.h.r, 5);
  EXPECT_EQ(dq.h.i, 0x01020304u);
  EXPECT_EQ(dq.s, 0x80000001u);

  WISP::TCloseDesc c{2, WISP::errChk};
  ASSERT_EQ(WISP::Encode(x, c), 14u);
  Bytes expC = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x07, 0x02, 0x00, 0x03}, 14);
  EXPECT_EQ(Out(x, 14), expC);
  WISP::TCloseDesc dc{};
  WISP::Decode(expC.data(), dc);
  EXPECT_EQ(dc.r, 2);
  EXPECT_EQ(dc.e, WISP::errChk);
}

TEST(WISP, DataReplyLengths) {
  uint8_t x[WISP::lenMaxTel];
  // Last fragment of a 1456-byte file at fragment length 1455: index 1, one byte.
  const uint8_t one[1] = {0x5A};
  ASSERT_EQ(WISP::EncodeDatRp(x, {0, 1}, one, 1), 18u);
  Bytes exp = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x06,
                   0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x5A}, 18);
  EXPECT_EQ(Out(x, 18), exp);
  EXPECT_EQ(WISP::TelDatRp::Len(1), 18u);
  EXPECT_EQ(WISP::TelDatRp::DataLen(18), 1u);
  WISP::TDatHdrDesc h{};
  WISP::Decode(exp.data(), h);
  EXPECT_EQ(h.r, 0);
  EXPECT_EQ(h.i, 1u);

  // A full fragment fills the largest telegram exactly and is accepted.
  uint8_t fgm[WISP::lenMaxFgm];
  for (uint32_t k = 0; k < sizeof fgm; ++k) fgm[k] = static_cast<uint8_t>(k * 7);
  ASSERT_EQ(WISP::EncodeDatRp(x, {9, 0xFFFFFFFFu}, fgm, 1455), 1472u);
  EXPECT_EQ(0, std::memcmp(x + 13, fgm, 1455));
  EXPECT_EQ(WISP::Accept(x, 1472, true), WISP::accOk);
  EXPECT_EQ(WISP::Accept(x, 1472, false), WISP::accOk);
  WISP::Decode(x, h);
  EXPECT_EQ(h.r, 9);
  EXPECT_EQ(h.i, 0xFFFFFFFFu);
}

// The field holds 128 characters; only a shorter name ends in a 0 byte. A
// name that fills it travels and arrives whole, so two names that differ in
// their 128th character stay two names.
TEST(WISP, ResourceIdOf128CharactersIsKeptWhole) {
  uint8_t x[WISP::lenMaxTel];
  std::memset(x, 0xEE, sizeof x);
  std::string longName(200, 'n');
  WISP::PutResID(x, 0, longName.c_str());
  EXPECT_EQ(x[127], 'n');
  EXPECT_EQ(x[128], 0xEE);   // nothing beyond the field
  WISP::PutResID(x, 0, "ab");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(x), 3), std::string("ab\0", 3));
  EXPECT_EQ(x[127], 0);

  WISP::TRdRqDesc q{};
  std::string a(127, 'z');
  for (char last : {'1', '2'}) {
    Bytes t = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x01, 0xAF, 0x05, 0x01, 0x00, 0x01}, 144);
    std::memcpy(t.data() + WISP::TelRdRq::r, (a + last).data(), 128);
    WISP::Decode(t.data(), q);
    EXPECT_EQ(std::string(q.r), a + last);   // all 128 characters, terminated
  }
  // Encoded from the decoded form again: the same 128 bytes.
  WISP::TWrRqDesc w{};
  std::memcpy(w.r, (a + '3').data(), 128);
  ASSERT_EQ(WISP::Encode(x, w), 172u);
  EXPECT_EQ(std::memcmp(x + WISP::TelWrRq::r, (a + '3').data(), 128), 0);
  WISP::TWrRqDesc back{};
  WISP::Decode(x, back);
  EXPECT_EQ(std::string(back.r), a + '3');
}

TEST(WISP, AcceptLengthComesFirst) {
  // Neither of these is even looked at: no buffer is needed.
  EXPECT_EQ(WISP::Accept(nullptr, 10, true), WISP::accLen);
  EXPECT_EQ(WISP::Accept(nullptr, 1473, false), WISP::accLen);
  EXPECT_EQ(WISP::Accept(nullptr, 0, true), WISP::accLen);
  // A correct 1473-byte telegram is still a length error.
  Bytes big = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x06}, 1473);
  ASSERT_TRUE(Crc::Ok(big.data(), big.size()));
  EXPECT_EQ(WISP::Accept(big.data(), 1473, true), WISP::accLen);
  // The shortest telegram (empty body) passes; its handler rejects it later.
  Bytes min = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x07}, 11);
  EXPECT_EQ(WISP::Accept(min.data(), 11, true), WISP::accOk);
  EXPECT_EQ(WISP::Accept(min.data(), 10, true), WISP::accLen);
}

TEST(WISP, AcceptOrderCrcMagicVersion) {
  // "WISQ" with a correct trailer: magic error, not CRC.
  Bytes mag = Tel({0x57, 0x49, 0x53, 0x51, 0x06, 0x00, 0x07, 0x01, 0x00, 0x00}, 14);
  EXPECT_EQ(WISP::Accept(mag.data(), 14, true), WISP::accMag);
  // Bad trailer on top of the bad magic: the CRC is tested first.
  mag[13] ^= 0x01;
  EXPECT_EQ(WISP::Accept(mag.data(), 14, true), WISP::accCrc);
  // Version 7, magic right: version error; version 6 in the high byte is wrong too.
  Bytes v7 = Tel({0x57, 0x49, 0x53, 0x50, 0x07, 0x00, 0x07, 0x01, 0x00, 0x00}, 14);
  EXPECT_EQ(WISP::Accept(v7.data(), 14, false), WISP::accVer);
  Bytes vBig = Tel({0x57, 0x49, 0x53, 0x50, 0x00, 0x06, 0x07, 0x01, 0x00, 0x00}, 14);
  EXPECT_EQ(WISP::Accept(vBig.data(), 14, false), WISP::accVer);
  // Wrong magic and wrong version: magic comes first.
  Bytes both = Tel({0x57, 0x49, 0x53, 0x51, 0x05, 0x00, 0xFF}, 14);
  EXPECT_EQ(WISP::Accept(both.data(), 14, false), WISP::accMag);
  // Wrong version and unknown command: version comes first.
  Bytes vc = Tel({0x57, 0x49, 0x53, 0x50, 0x05, 0x00, 0xFF}, 14);
  EXPECT_EQ(WISP::Accept(vc.data(), 14, false), WISP::accVer);
}

// Without -x the extended commands are bad commands to both roles, as to an
// older program; with it each role takes its own.
TEST(WISP, AcceptCommandPerRole) {
  struct { uint8_t c; bool srv; bool cli; bool xsrv; bool xcli; } cases[] = {
      {0, false, false, false, false},  // cmdNull
      {1, true, false, true, false},    // cmdRdRq
      {2, false, true, false, true},    // cmdRdRp
      {3, true, false, true, false},    // cmdWrRq
      {4, false, true, false, true},    // cmdWrRp
      {5, true, true, true, true},      // cmdDatRq
      {6, true, true, true, true},      // cmdDatRp
      {7, true, true, true, true},      // cmdClose
      {8, false, false, false, true},   // cmdXRdRp
      {9, false, false, true, false},   // cmdXWrRq
      {10, false, false, false, true},  // cmdXWrRp
      {11, false, false, true, true},   // cmdDgst
      {12, false, false, true, true},   // cmdDgRq
      {13, false, false, false, false},
      {255, false, false, false, false},
  };
  for (const auto& k : cases) {
    Bytes t = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, k.c}, 21);
    EXPECT_EQ(WISP::Accept(t.data(), 21, true), k.srv ? WISP::accOk : WISP::accCmd) << int(k.c);
    EXPECT_EQ(WISP::Accept(t.data(), 21, false), k.cli ? WISP::accOk : WISP::accCmd) << int(k.c);
    EXPECT_EQ(WISP::Accept(t.data(), 21, true, true), k.xsrv ? WISP::accOk : WISP::accCmd) << int(k.c);
    EXPECT_EQ(WISP::Accept(t.data(), 21, false, true), k.xcli ? WISP::accOk : WISP::accCmd) << int(k.c);
  }
}

// The offer rides in the last 8 bytes of a classic request's name field,
// behind the name's terminator: a name that reaches byte 120 goes without
// it, and a field whose name has no terminator before the tag offers
// nothing, whatever its last bytes hold.
TEST(WISP, OfferInTheNameField) {
  WISP::TRdRqDesc q{};
  q.f = 1455;
  q.t = 1;
  q.n = 10;
  q.x = WISP::extBig | 0x80;
  std::strcpy(q.r, "a");
  uint8_t x[WISP::lenMaxTel];
  ASSERT_EQ(WISP::Encode(x, q), 144u);
  const uint8_t offer[8] = {'W', 'X', 'O', 'F', 0x81, 0x00, 0x00, 0x00};
  // The name, zeros, the offer at bytes 132..139, the trailer.
  Bytes want = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x01, 0xAF, 0x05, 0x01, 0x00, 0x0A, 'a'}, 144);
  std::memcpy(want.data() + 132, offer, 8);
  const uint32_t c = BitCrc(want.data(), 140);
  for (int k = 0; k < 4; ++k) want[140 + k] = static_cast<uint8_t>(c >> (24 - 8 * k));
  EXPECT_EQ(Out(x, 144), want);
  WISP::TRdRqDesc d{};
  WISP::Decode(x, d);
  EXPECT_EQ(d.x, WISP::extBig | 0x80u);
  EXPECT_STREQ(d.r, "a");
  // Only the bits both sides know are granted.
  EXPECT_EQ(WISP::Grant(d.x, WISP::extKnown), WISP::extBig);
  EXPECT_EQ(WISP::Grant(d.x, 0), 0u);

  // A name of 120 characters leaves no room: a classic request.
  std::memset(q.r, 'n', 120);
  q.r[120] = 0;
  WISP::Encode(x, q);
  EXPECT_EQ(WISP::GetU32(x, 12 + 120), 0u);
  WISP::Decode(x, d);
  EXPECT_EQ(d.x, 0u);
  // A full name whose last bytes look like an offer is a name.
  std::memset(q.r, 'n', 128);
  std::memcpy(q.r + 120, offer, 8);
  q.x = 0;
  WISP::Encode(x, q);
  WISP::Decode(x, d);
  EXPECT_EQ(d.x, 0u);
  // The write request carries it alike.
  WISP::TWrRqDesc w{};
  w.f = 1455;
  w.x = WISP::extBig;
  std::strcpy(w.r, "b");
  ASSERT_EQ(WISP::Encode(x, w), 172u);
  EXPECT_EQ(x[WISP::TelHdr::c], WISP::cmdWrRq);
  EXPECT_EQ(0, std::memcmp(x + 40 + 120, "WXOF\x01\0\0\0", 8));
  WISP::TWrRqDesc dw{};
  WISP::Decode(x, dw);
  EXPECT_EQ(dw.x, WISP::extBig);
  EXPECT_FALSE(dw.xl);
  EXPECT_TRUE(dw.k);
}

// The extended records byte by byte: lengths as u64, the digest-known flag
// and a digest only where it is known.
TEST(WISP, ExtendedRecordBytes) {
  uint8_t x[WISP::lenMaxTel];
  WISP::TRdRpDesc p{};
  p.f = 1455;
  p.t = 3;
  p.n = 7;
  p.p.l = 0x0000000123456789ull;
  std::memcpy(p.p.d, kDgst, 16);
  p.d = {-2, 45296000u};
  p.r = 16;
  p.x = WISP::extBig;
  p.k = false;   // the digest stays off the wire
  ASSERT_EQ(WISP::Encode(x, p), 56u);
  Bytes exp = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x08,
                   0x00, 0xAF, 0x05, 0x03, 0x00, 0x07,      // e f t n
                   0x01, 0x00, 0x00, 0x00,                  // x
                   0x89, 0x67, 0x45, 0x23, 0x01, 0x00, 0x00, 0x00,   // l
                   0x00,                                    // k
                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,   // digest
                   0xFE, 0xFF, 0xFF, 0xFF, 0x80, 0x29, 0xB3, 0x02,   // d
                   0x10, 0x00}, 56);                        // r
  EXPECT_EQ(Out(x, 56), exp);
  EXPECT_TRUE(WISP::Sound(x));
  WISP::TRdRpDesc dp{};
  WISP::Decode(x, dp);
  EXPECT_EQ(dp.p.l, 0x0000000123456789ull);
  EXPECT_EQ(dp.x, WISP::extBig);
  EXPECT_FALSE(dp.k);
  EXPECT_EQ(dp.r, 16);
  EXPECT_EQ(dp.d.t, 45296000u);
  // Known: flag 1 and the digest; a flag of 2, or a digest beside flag 0,
  // cannot be.
  p.k = true;
  WISP::Encode(x, p);
  EXPECT_EQ(x[WISP::TelXRdRp::k], 1);
  EXPECT_EQ(0, std::memcmp(x + WISP::TelXRdRp::g, kDgst, 16));
  EXPECT_TRUE(WISP::Sound(x));
  x[WISP::TelXRdRp::k] = 2;
  EXPECT_FALSE(WISP::Sound(x));
  x[WISP::TelXRdRp::k] = 0;
  EXPECT_FALSE(WISP::Sound(x));

  WISP::TWrRqDesc q{};
  q.f = 1455;
  q.t = 250;
  q.n = 1;
  q.p.l = (1ull << 32) + 1;
  q.d = {738000, 86399999u};
  std::strcpy(q.r, "dir/x");
  q.x = WISP::extBig;
  q.xl = true;
  ASSERT_EQ(WISP::Encode(x, q), 181u);
  exp = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x09,
             0xAF, 0x05, 0xFA, 0x00, 0x01,            // f t n
             0x01, 0x00, 0x00, 0x00,                  // x
             0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,   // l
             0x00,                                    // k
             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
             0xD0, 0x42, 0x0B, 0x00, 0xFF, 0x5B, 0x26, 0x05,   // d
             'd', 'i', 'r', '/', 'x'}, 181);
  EXPECT_EQ(Out(x, 181), exp);
  WISP::TWrRqDesc dq{};
  WISP::Decode(x, dq);
  EXPECT_EQ(dq.p.l, (1ull << 32) + 1);
  EXPECT_TRUE(dq.xl);
  EXPECT_FALSE(dq.k);
  EXPECT_EQ(dq.x, WISP::extBig);
  EXPECT_STREQ(dq.r, "dir/x");
  x[WISP::TelXWrRq::g + 15] = 1;
  EXPECT_FALSE(WISP::Sound(x));

  WISP::TWrRpDesc w{WISP::errNull, 1000, 5, 2, 3, WISP::extBig};
  ASSERT_EQ(WISP::Encode(x, w), 23u);
  exp = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x0A,
             0x00, 0xE8, 0x03, 0x05, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00}, 23);
  EXPECT_EQ(Out(x, 23), exp);
  WISP::TWrRpDesc dw{};
  WISP::Decode(x, dw);
  EXPECT_EQ(dw.x, WISP::extBig);
  EXPECT_EQ(dw.r, 3);

  WISP::TDgstDesc g{5, 0xFFFFFFFFFFull, {}};
  std::memcpy(g.d, kDgst, 16);
  ASSERT_EQ(WISP::Encode(x, g), 37u);
  exp = Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x0B, 0x05, 0x00,
             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,
             0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
             0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 37);
  EXPECT_EQ(Out(x, 37), exp);
  WISP::TDgstDesc dg{};
  WISP::Decode(x, dg);
  EXPECT_EQ(dg.l, 0xFFFFFFFFFFull);
  EXPECT_EQ(dg.r, 5);
  EXPECT_EQ(0, std::memcmp(dg.d, kDgst, 16));

  ASSERT_EQ(WISP::Encode(x, WISP::TDgRqDesc{9}), 13u);
  EXPECT_EQ(Out(x, 13), Tel({0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x0C, 0x09, 0x00}, 13));
  WISP::TDgRqDesc dr{};
  WISP::Decode(x, dr);
  EXPECT_EQ(dr.r, 9);
}

TEST(WISP, HeaderHelpers) {
  uint8_t x[32];
  std::memset(x, 0xEE, sizeof x);
  WISP::NewTel(x, 20, WISP::cmdDatRq);
  const uint8_t hdr[7] = {0x57, 0x49, 0x53, 0x50, 0x06, 0x00, 0x05};
  EXPECT_EQ(0, std::memcmp(x, hdr, 7));
  for (int k = 7; k < 20; ++k) EXPECT_EQ(x[k], 0) << k;
  EXPECT_EQ(x[20], 0xEE);
  WISP::THdrDesc h{};
  WISP::Decode(x, h);
  EXPECT_EQ(h.m, WISP::magic);
  EXPECT_EQ(h.v, 6);
  EXPECT_EQ(h.c, WISP::cmdDatRq);
}

}
