// MD5.h — the MD5 message digest (RFC 1321) and its 32-character text form.
#pragma once
#include <cstdint>

namespace MD5 {
  // The 16 digest bytes in the order RFC 1321 outputs them (the layout of
  // the digest in WISP::TPosDesc).
  using TDgstDesc = uint8_t[16];
  // The digest as 32 upper-case hexadecimal characters, not terminated.
  using TDgstStr = char[32];

  struct TStDesc {
    uint32_t a, b, c, d;
  };
  struct TCntDesc {
    uint32_t l, h;   // message length in bits so far, low and high word
  };
  // The running state of one digest.
  struct TCtxDesc {
    TStDesc st;
    TCntDesc cnt;
    uint8_t buf[64];   // input not yet processed (cnt.l DIV 8 MOD 64 bytes)
  };

  void InitModule();
  void Init(TCtxDesc& ctx);
  void Update(TCtxDesc& ctx, const void* x, uint32_t len);
  // Pads, appends the length and delivers the digest; ctx is spent afterwards.
  void Final(TCtxDesc& ctx, TDgstDesc& dgst);
  // Two characters per byte, high half first, "0".."9" and "A".."F".
  void MkStr(TDgstStr& s, const TDgstDesc& d);
}
