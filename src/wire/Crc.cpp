// Crc.cpp — CRC-32 table, trailer and start-up self-test.
#include "Crc.h"

#include "Lib3.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Crc {

// Written out rather than computed at start-up: the trailer of the first
// telegram then costs nothing, and the unit tests rebuild it bit by bit.
const uint32_t table[256] = {
    0x00000000u, 0x04C11DB7u, 0x09823B6Eu, 0x0D4326D9u, 0x130476DCu, 0x17C56B6Bu,
    0x1A864DB2u, 0x1E475005u, 0x2608EDB8u, 0x22C9F00Fu, 0x2F8AD6D6u, 0x2B4BCB61u,
    0x350C9B64u, 0x31CD86D3u, 0x3C8EA00Au, 0x384FBDBDu, 0x4C11DB70u, 0x48D0C6C7u,
    0x4593E01Eu, 0x4152FDA9u, 0x5F15ADACu, 0x5BD4B01Bu, 0x569796C2u, 0x52568B75u,
    0x6A1936C8u, 0x6ED82B7Fu, 0x639B0DA6u, 0x675A1011u, 0x791D4014u, 0x7DDC5DA3u,
    0x709F7B7Au, 0x745E66CDu, 0x9823B6E0u, 0x9CE2AB57u, 0x91A18D8Eu, 0x95609039u,
    0x8B27C03Cu, 0x8FE6DD8Bu, 0x82A5FB52u, 0x8664E6E5u, 0xBE2B5B58u, 0xBAEA46EFu,
    0xB7A96036u, 0xB3687D81u, 0xAD2F2D84u, 0xA9EE3033u, 0xA4AD16EAu, 0xA06C0B5Du,
    0xD4326D90u, 0xD0F37027u, 0xDDB056FEu, 0xD9714B49u, 0xC7361B4Cu, 0xC3F706FBu,
    0xCEB42022u, 0xCA753D95u, 0xF23A8028u, 0xF6FB9D9Fu, 0xFBB8BB46u, 0xFF79A6F1u,
    0xE13EF6F4u, 0xE5FFEB43u, 0xE8BCCD9Au, 0xEC7DD02Du, 0x34867077u, 0x30476DC0u,
    0x3D044B19u, 0x39C556AEu, 0x278206ABu, 0x23431B1Cu, 0x2E003DC5u, 0x2AC12072u,
    0x128E9DCFu, 0x164F8078u, 0x1B0CA6A1u, 0x1FCDBB16u, 0x018AEB13u, 0x054BF6A4u,
    0x0808D07Du, 0x0CC9CDCAu, 0x7897AB07u, 0x7C56B6B0u, 0x71159069u, 0x75D48DDEu,
    0x6B93DDDBu, 0x6F52C06Cu, 0x6211E6B5u, 0x66D0FB02u, 0x5E9F46BFu, 0x5A5E5B08u,
    0x571D7DD1u, 0x53DC6066u, 0x4D9B3063u, 0x495A2DD4u, 0x44190B0Du, 0x40D816BAu,
    0xACA5C697u, 0xA864DB20u, 0xA527FDF9u, 0xA1E6E04Eu, 0xBFA1B04Bu, 0xBB60ADFCu,
    0xB6238B25u, 0xB2E29692u, 0x8AAD2B2Fu, 0x8E6C3698u, 0x832F1041u, 0x87EE0DF6u,
    0x99A95DF3u, 0x9D684044u, 0x902B669Du, 0x94EA7B2Au, 0xE0B41DE7u, 0xE4750050u,
    0xE9362689u, 0xEDF73B3Eu, 0xF3B06B3Bu, 0xF771768Cu, 0xFA325055u, 0xFEF34DE2u,
    0xC6BCF05Fu, 0xC27DEDE8u, 0xCF3ECB31u, 0xCBFFD686u, 0xD5B88683u, 0xD1799B34u,
    0xDC3ABDEDu, 0xD8FBA05Au, 0x690CE0EEu, 0x6DCDFD59u, 0x608EDB80u, 0x644FC637u,
    0x7A089632u, 0x7EC98B85u, 0x738AAD5Cu, 0x774BB0EBu, 0x4F040D56u, 0x4BC510E1u,
    0x46863638u, 0x42472B8Fu, 0x5C007B8Au, 0x58C1663Du, 0x558240E4u, 0x51435D53u,
    0x251D3B9Eu, 0x21DC2629u, 0x2C9F00F0u, 0x285E1D47u, 0x36194D42u, 0x32D850F5u,
    0x3F9B762Cu, 0x3B5A6B9Bu, 0x0315D626u, 0x07D4CB91u, 0x0A97ED48u, 0x0E56F0FFu,
    0x1011A0FAu, 0x14D0BD4Du, 0x19939B94u, 0x1D528623u, 0xF12F560Eu, 0xF5EE4BB9u,
    0xF8AD6D60u, 0xFC6C70D7u, 0xE22B20D2u, 0xE6EA3D65u, 0xEBA91BBCu, 0xEF68060Bu,
    0xD727BBB6u, 0xD3E6A601u, 0xDEA580D8u, 0xDA649D6Fu, 0xC423CD6Au, 0xC0E2D0DDu,
    0xCDA1F604u, 0xC960EBB3u, 0xBD3E8D7Eu, 0xB9FF90C9u, 0xB4BCB610u, 0xB07DABA7u,
    0xAE3AFBA2u, 0xAAFBE615u, 0xA7B8C0CCu, 0xA379DD7Bu, 0x9B3660C6u, 0x9FF77D71u,
    0x92B45BA8u, 0x9675461Fu, 0x8832161Au, 0x8CF30BADu, 0x81B02D74u, 0x857130C3u,
    0x5D8A9099u, 0x594B8D2Eu, 0x5408ABF7u, 0x50C9B640u, 0x4E8EE645u, 0x4A4FFBF2u,
    0x470CDD2Bu, 0x43CDC09Cu, 0x7B827D21u, 0x7F436096u, 0x7200464Fu, 0x76C15BF8u,
    0x68860BFDu, 0x6C47164Au, 0x61043093u, 0x65C52D24u, 0x119B4BE9u, 0x155A565Eu,
    0x18197087u, 0x1CD86D30u, 0x029F3D35u, 0x065E2082u, 0x0B1D065Bu, 0x0FDC1BECu,
    0x3793A651u, 0x3352BBE6u, 0x3E119D3Fu, 0x3AD08088u, 0x2497D08Du, 0x2056CD3Au,
    0x2D15EBE3u, 0x29D4F654u, 0xC5A92679u, 0xC1683BCEu, 0xCC2B1D17u, 0xC8EA00A0u,
    0xD6AD50A5u, 0xD26C4D12u, 0xDF2F6BCBu, 0xDBEE767Cu, 0xE3A1CBC1u, 0xE760D676u,
    0xEA23F0AFu, 0xEEE2ED18u, 0xF0A5BD1Du, 0xF464A0AAu, 0xF9278673u, 0xFDE69BC4u,
    0x89B8FD09u, 0x8D79E0BEu, 0x803AC667u, 0x84FBDBD0u, 0x9ABC8BD5u, 0x9E7D9662u,
    0x933EB0BBu, 0x97FFAD0Cu, 0xAFB010B1u, 0xAB710D06u, 0xA6322BDFu, 0xA2F33668u,
    0xBCB4666Du, 0xB8757BDAu, 0xB5365D03u, 0xB1F740B4u
};

namespace {
  bool initialised = false;

  // Number of table bytes the self-test runs over.
  constexpr uint32_t testLen = 341;

  inline void PutLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
  }

  inline uint32_t Test_Step(const uint32_t (&t)[256], uint32_t crc, uint8_t b) {
    return (crc << 8) ^ t[((crc >> 24) ^ b) & 0xFFu];
  }
}

namespace {
  constexpr uint32_t poly = 0x04C11DB7u;   // the generator without its x^32 term

  // Eight steps at once (slicing by eight): wide[j][b] is the CRC register
  // after byte b followed by j zero bytes, so the eight table entries of
  // eight message bytes xor to the register after all eight. Byte by byte
  // each step waits for the one before; this way a 1.5 KB fragment costs a
  // sixth of the time, and fragments are checked once each way at up to
  // hundreds of thousands a second.
  struct TWide {
    uint32_t t[8][256];
  };
  // Entry b of the step table, bit by bit (the same as table[b]).
  constexpr uint32_t table_ce(uint32_t b) {
    uint32_t c = b << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) != 0 ? (c << 1) ^ poly : c << 1;
    return c;
  }
  constexpr TWide MkWide() {
    TWide w{};
    for (uint32_t b = 0; b < 256; ++b) w.t[0][b] = table_ce(b);
    for (uint32_t j = 1; j < 8; ++j) {
      for (uint32_t b = 0; b < 256; ++b) {
        const uint32_t c = w.t[j - 1][b];
        w.t[j][b] = (c << 8) ^ w.t[0][c >> 24];
      }
    }
    return w;
  }
  constexpr TWide wide = MkWide();

  inline uint32_t GetBE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
  }

uint32_t UpdL8(uint32_t crc, const uint8_t* p, size_t len) {
  const auto& t = wide.t;
  for (; len >= 8; len -= 8, p += 8) {
    const uint32_t a = crc ^ GetBE32(p);
    const uint32_t b = GetBE32(p + 4);
    crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFFu] ^ t[5][(a >> 8) & 0xFFu] ^ t[4][a & 0xFFu] ^
          t[3][b >> 24] ^ t[2][(b >> 16) & 0xFFu] ^ t[1][(b >> 8) & 0xFFu] ^ t[0][b & 0xFFu];
  }
  for (; len > 0; --len, ++p) crc = Upd(crc, *p);
  return crc;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Sixteen bytes a step with carry-less multiplication (PCLMULQDQ), where
// the processor has it: the register A holds a 128-bit polynomial (bit j the
// coefficient of x^j) congruent to the message so far; the next block B
// makes it A * x^128 + B, and with A = H * x^64 + L that is congruent to
// H * (x^192 mod P) + L * (x^128 mod P) + B, which fits 128 bits again. The
// start value enters as the first 32 bits of the message xored with it, as
// the step table would take it. The last register and the bytes after it go
// through the table from 0, which leaves the remainder of all of it.
constexpr uint32_t XPowMod(uint32_t n) {
  uint64_t r = 1;
  for (uint32_t k = 0; k < n; ++k) {
    r <<= 1;
    if ((r & 0x100000000u) != 0) r ^= 0x100000000u | poly;
  }
  return static_cast<uint32_t>(r);
}

// x * x^128 + b, reduced by c (the pair x^(n+64), x^n mod P folds n bits).
__attribute__((target("pclmul"))) inline __m128i Fold(__m128i x, __m128i c, __m128i b) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, c, 0x11), _mm_clmulepi64_si128(x, c, 0x00)), b);
}

__attribute__((target("pclmul,ssse3"))) uint32_t UpdLClmul(uint32_t crc, const uint8_t* p, size_t len) {
  const __m128i rev = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i k = _mm_set_epi64x(XPowMod(192), XPowMod(128));
  __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), rev);
  a = _mm_xor_si128(a, _mm_set_epi32(static_cast<int>(crc), 0, 0, 0));
  p += 16;
  len -= 16;
  const auto load = [&rev](const uint8_t* q) __attribute__((target("ssse3"))) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), rev);
  };
  if (len >= 112) {
    // Four registers, each a block apart, folded 512 bits at a time: their
    // multiplications do not wait for each other. Then they are folded into
    // one, each the way the next block would be.
    const __m128i k4 = _mm_set_epi64x(XPowMod(576), XPowMod(512));
    __m128i a1 = load(p), a2 = load(p + 16), a3 = load(p + 32);
    p += 48;
    len -= 48;
    for (; len >= 64; len -= 64, p += 64) {
      a = Fold(a, k4, load(p));
      a1 = Fold(a1, k4, load(p + 16));
      a2 = Fold(a2, k4, load(p + 32));
      a3 = Fold(a3, k4, load(p + 48));
    }
    a = Fold(Fold(Fold(a, k, a1), k, a2), k, a3);
  }
  for (; len >= 16; len -= 16, p += 16) a = Fold(a, k, load(p));
  uint8_t t[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(t), _mm_shuffle_epi8(a, rev));
  return UpdL8(UpdL8(0, t, sizeof t), p, len);
}

const bool clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
#else
const bool clmul = false;
uint32_t UpdLClmul(uint32_t crc, const uint8_t* p, size_t len) { return UpdL8(crc, p, len); }
#endif
}  // namespace

uint32_t UpdL(uint32_t crc, const void* buf, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  return clmul && len >= 32 ? UpdLClmul(crc, p, len) : UpdL8(crc, p, len);
}

bool Ok(const void* buf, size_t len) { return UpdL(init, buf, len) == 0; }

uint32_t AppendCrc(uint8_t* buf, uint32_t len) {
  PutLE32(buf + len, Swap(UpdL(init, buf, len)));
  return len + 4;
}

bool Test(const uint32_t (&t)[256]) {
  // The table seen as bytes the way it lies in memory on a little-endian
  // machine, written out so that the result is the same on any host.
  uint32_t c = init;
  for (uint32_t k = 0; k < testLen; ++k) {
    c = Test_Step(t, c, static_cast<uint8_t>(t[k / 4] >> (8 * (k % 4))));
  }
  uint8_t trl[4];
  PutLE32(trl, Swap(c));
  for (uint8_t b : trl) c = Test_Step(t, c, b);
  return c == 0;
}

bool Test() { return Test(table); }

void InitModule() {
  if (initialised) return;
  initialised = true;
  if (!Test()) Lib3::FatalError("Crc.Test failed");
}

}
