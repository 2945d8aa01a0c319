// MD5.cpp — RFC 1321 message digest, byte order independent: input words are
// assembled little-endian from bytes, never read through casts.
#include "MD5.h"

#include <cstring>

namespace MD5 {
namespace {

constexpr uint32_t T[64] = {
  0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
  0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
  0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
  0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
  0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
  0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
  0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
  0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

inline uint32_t Rol(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

// The four round functions in the forms with the fewest operations
// (F selects bits without a NOT; G is written out in its step).
inline uint32_t F(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t H(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t I(uint32_t b, uint32_t c, uint32_t d) { return c ^ (b | ~d); }

// Each round's sixteen steps unrolled: every word index, constant and shift
// is then a constant and the four registers stay in registers, which makes
// the digest about a quarter faster than one loop that selects them at run
// time.
// The receiving side digests everything it gets, so this is on its path.
#define MD5_STEP(f, a, b, c, d, k, s) a = b + Rol(a + f(b, c, d) + x[(k) & 15] + T[i++], s)
// G's two halves select disjoint bits, so they may be added instead of
// combined: the half without b is summed while b is still being computed,
// which leaves two operations less between one step's result and the next.
#define MD5_STEP_G(a, b, c, d, k, s) a = b + Rol(a + (c & ~d) + x[(k) & 15] + T[i++] + (b & d), s)

void Transform(TStDesc& st, const uint8_t* blk) {
  uint32_t x[16];
  for (uint32_t k = 0; k < 16; ++k)
    x[k] = uint32_t(blk[4 * k]) | (uint32_t(blk[4 * k + 1]) << 8) | (uint32_t(blk[4 * k + 2]) << 16) |
           (uint32_t(blk[4 * k + 3]) << 24);
  uint32_t a = st.a, b = st.b, c = st.c, d = st.d;
  uint32_t i = 0;
#pragma GCC unroll 4
  for (uint32_t k = 0; k < 16; k += 4) {
    MD5_STEP(F, a, b, c, d, k, 7);
    MD5_STEP(F, d, a, b, c, k + 1, 12);
    MD5_STEP(F, c, d, a, b, k + 2, 17);
    MD5_STEP(F, b, c, d, a, k + 3, 22);
  }
#pragma GCC unroll 4
  for (uint32_t k = 1; k < 65; k += 20) {
    MD5_STEP_G(a, b, c, d, k, 5);
    MD5_STEP_G(d, a, b, c, k + 5, 9);
    MD5_STEP_G(c, d, a, b, k + 10, 14);
    MD5_STEP_G(b, c, d, a, k + 15, 20);
  }
#pragma GCC unroll 4
  for (uint32_t k = 5; k < 53; k += 12) {
    MD5_STEP(H, a, b, c, d, k, 4);
    MD5_STEP(H, d, a, b, c, k + 3, 11);
    MD5_STEP(H, c, d, a, b, k + 6, 16);
    MD5_STEP(H, b, c, d, a, k + 9, 23);
  }
#pragma GCC unroll 4
  for (uint32_t k = 0; k < 112; k += 28) {
    MD5_STEP(I, a, b, c, d, k, 6);
    MD5_STEP(I, d, a, b, c, k + 7, 10);
    MD5_STEP(I, c, d, a, b, k + 14, 15);
    MD5_STEP(I, b, c, d, a, k + 21, 21);
  }
  st.a += a; st.b += b; st.c += c; st.d += d;
}

#undef MD5_STEP
#undef MD5_STEP_G

bool initialised = false;

}  // namespace

void InitModule() {
  if (initialised) return;
  initialised = true;
}

void Init(TCtxDesc& ctx) {
  ctx.st = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  ctx.cnt = {0, 0};
  std::memset(ctx.buf, 0, sizeof ctx.buf);
}

void Update(TCtxDesc& ctx, const void* x, uint32_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(x);
  uint32_t have = (ctx.cnt.l >> 3) & 63;
  const uint32_t bits = len << 3;
  ctx.cnt.l += bits;
  if (ctx.cnt.l < bits) ctx.cnt.h++;
  ctx.cnt.h += len >> 29;
  if (have > 0) {
    const uint32_t take = len < 64 - have ? len : 64 - have;
    std::memcpy(ctx.buf + have, p, take);
    have += take; p += take; len -= take;
    if (have < 64) return;
    Transform(ctx.st, ctx.buf);
  }
  while (len >= 64) {
    Transform(ctx.st, p);
    p += 64; len -= 64;
  }
  if (len > 0) std::memcpy(ctx.buf, p, len);
}

void Final(TCtxDesc& ctx, TDgstDesc& dgst) {
  uint8_t bits[8];
  for (uint32_t k = 0; k < 4; ++k) {
    bits[k] = uint8_t(ctx.cnt.l >> (8 * k));
    bits[4 + k] = uint8_t(ctx.cnt.h >> (8 * k));
  }
  const uint32_t have = (ctx.cnt.l >> 3) & 63;
  const uint32_t pad = have < 56 ? 56 - have : 120 - have;
  static const uint8_t padding[64] = {0x80};
  Update(ctx, padding, pad);
  Update(ctx, bits, 8);
  const uint32_t w[4] = {ctx.st.a, ctx.st.b, ctx.st.c, ctx.st.d};
  for (uint32_t k = 0; k < 16; ++k) dgst[k] = uint8_t(w[k / 4] >> (8 * (k % 4)));
  std::memset(&ctx, 0, sizeof ctx);
}

void MkStr(TDgstStr& s, const TDgstDesc& d) {
  static const char hex[] = "0123456789ABCDEF";
  for (uint32_t k = 0; k < 16; ++k) {
    s[2 * k] = hex[d[k] >> 4];
    s[2 * k + 1] = hex[d[k] & 15];
  }
}

}  // namespace MD5
