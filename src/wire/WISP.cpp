// WISP.cpp — building, reading and accepting telegrams.
#include "WISP.h"

#include <cstring>

#include "Crc.h"

namespace WISP {

namespace {
  bool initialised = false;

  // The trailer covers everything before it; len is the whole telegram.
  inline uint32_t Seal(uint8_t* x, uint32_t len) { return Crc::AppendCrc(x, len - lenTrl); }
}

void PutPos(uint8_t* p, uint32_t off, const TPosDesc& v) {
  PutU32(p, off + FldPos::l, static_cast<uint32_t>(v.l));
  std::memcpy(p + off + FldPos::d, v.d, lenDgst);
}

void GetPos(const uint8_t* p, uint32_t off, TPosDesc& v) {
  v.l = GetU32(p, off + FldPos::l);
  std::memcpy(v.d, p + off + FldPos::d, lenDgst);
}

void PutDT(uint8_t* p, uint32_t off, const TDateTime& v) {
  PutI32(p, off + FldDT::d, v.d);
  PutU32(p, off + FldDT::t, v.t);
}

void GetDT(const uint8_t* p, uint32_t off, TDateTime& v) {
  v.d = GetI32(p, off + FldDT::d);
  v.t = GetU32(p, off + FldDT::t);
}

void PutResID(uint8_t* p, uint32_t off, const char* s) {
  uint32_t k = 0;
  if (s != nullptr) {
    for (; k < lenResID && s[k] != 0; ++k) p[off + k] = static_cast<uint8_t>(s[k]);
  }
  for (; k < lenResID; ++k) p[off + k] = 0;
}

void GetResID(const uint8_t* p, uint32_t off, TResID& r) {
  std::memcpy(r, p + off, lenResID);
  r[lenResID] = 0;
}

void PutOffer(uint8_t* p, uint32_t off, uint32_t x) {
  if (x == 0) return;
  for (uint32_t k = 0; k < FldOffer::tag; ++k)
    if (p[off + k] == 0) {
      // The name ends here; what follows it up to the record stays zero.
      PutU32(p, off + FldOffer::tag, FldOffer::magic);
      PutU32(p, off + FldOffer::x, x);
      return;
    }
}

uint32_t GetOffer(const uint8_t* p, uint32_t off) {
  if (GetU32(p, off + FldOffer::tag) != FldOffer::magic) return 0;
  for (uint32_t k = 0; k < FldOffer::tag; ++k)
    if (p[off + k] == 0) return GetU32(p, off + FldOffer::x);
  return 0;
}

namespace {
  // The extended records' length and digest: the digest only where known.
  void PutXPos(uint8_t* x, uint32_t l, uint32_t k, uint32_t g, const TPosDesc& p, bool known) {
    PutU64(x, l, p.l);
    PutU8(x, k, known ? 1 : 0);
    if (known) std::memcpy(x + g, p.d, lenDgst);
  }
  void GetXPos(const uint8_t* x, uint32_t l, uint32_t k, uint32_t g, TPosDesc& p, bool& known) {
    p.l = GetU64(x, l);
    known = GetU8(x, k) == 1;
    std::memcpy(p.d, x + g, lenDgst);
  }
}

void PutHdr(uint8_t* x, TCommand c) {
  PutU32(x, TelHdr::m, magic);
  PutU16(x, TelHdr::v, ver);
  PutU8(x, TelHdr::c, c);
}

void NewTel(uint8_t* x, uint32_t len, TCommand c) {
  std::memset(x, 0, len);
  PutHdr(x, c);
}

uint32_t Encode(uint8_t* x, const TRdRqDesc& b) {
  NewTel(x, TelRdRq::len, cmdRdRq);
  PutU16(x, TelRdRq::f, b.f);
  PutU16(x, TelRdRq::t, b.t);
  PutU8(x, TelRdRq::n, b.n);
  PutResID(x, TelRdRq::r, b.r);
  PutOffer(x, TelRdRq::r, b.x);
  return Seal(x, TelRdRq::len);
}

uint32_t Encode(uint8_t* x, const TRdRpDesc& b) {
  if (b.x != 0) {
    NewTel(x, TelXRdRp::len, cmdXRdRp);
    PutU8(x, TelXRdRp::e, b.e);
    PutU16(x, TelXRdRp::f, b.f);
    PutU16(x, TelXRdRp::t, b.t);
    PutU8(x, TelXRdRp::n, b.n);
    PutU32(x, TelXRdRp::x, b.x);
    PutXPos(x, TelXRdRp::l, TelXRdRp::k, TelXRdRp::g, b.p, b.k);
    PutDT(x, TelXRdRp::d, b.d);
    PutU16(x, TelXRdRp::r, b.r);
    return Seal(x, TelXRdRp::len);
  }
  NewTel(x, TelRdRp::len, cmdRdRp);
  PutU8(x, TelRdRp::e, b.e);
  PutU16(x, TelRdRp::f, b.f);
  PutU16(x, TelRdRp::t, b.t);
  PutU8(x, TelRdRp::n, b.n);
  PutPos(x, TelRdRp::p, b.p);
  PutDT(x, TelRdRp::d, b.d);
  PutU16(x, TelRdRp::r, b.r);
  return Seal(x, TelRdRp::len);
}

uint32_t Encode(uint8_t* x, const TWrRqDesc& b) {
  if (b.x != 0 && b.xl) {
    NewTel(x, TelXWrRq::len, cmdXWrRq);
    PutU16(x, TelXWrRq::f, b.f);
    PutU16(x, TelXWrRq::t, b.t);
    PutU8(x, TelXWrRq::n, b.n);
    PutU32(x, TelXWrRq::x, b.x);
    PutXPos(x, TelXWrRq::l, TelXWrRq::k, TelXWrRq::g, b.p, b.k);
    PutDT(x, TelXWrRq::d, b.d);
    PutResID(x, TelXWrRq::r, b.r);
    return Seal(x, TelXWrRq::len);
  }
  NewTel(x, TelWrRq::len, cmdWrRq);
  PutU16(x, TelWrRq::f, b.f);
  PutU16(x, TelWrRq::t, b.t);
  PutU8(x, TelWrRq::n, b.n);
  PutPos(x, TelWrRq::p, b.p);
  PutDT(x, TelWrRq::d, b.d);
  PutResID(x, TelWrRq::r, b.r);
  PutOffer(x, TelWrRq::r, b.x);
  return Seal(x, TelWrRq::len);
}

uint32_t Encode(uint8_t* x, const TWrRpDesc& b) {
  if (b.x != 0) {
    NewTel(x, TelXWrRp::len, cmdXWrRp);
    PutU8(x, TelXWrRp::e, b.e);
    PutU16(x, TelXWrRp::f, b.f);
    PutU16(x, TelXWrRp::t, b.t);
    PutU8(x, TelXWrRp::n, b.n);
    PutU32(x, TelXWrRp::x, b.x);
    PutU16(x, TelXWrRp::r, b.r);
    return Seal(x, TelXWrRp::len);
  }
  NewTel(x, TelWrRp::len, cmdWrRp);
  PutU8(x, TelWrRp::e, b.e);
  PutU16(x, TelWrRp::f, b.f);
  PutU16(x, TelWrRp::t, b.t);
  PutU8(x, TelWrRp::n, b.n);
  PutU16(x, TelWrRp::r, b.r);
  return Seal(x, TelWrRp::len);
}

uint32_t Encode(uint8_t* x, const TDatRqDesc& b) {
  NewTel(x, TelDatRq::len, cmdDatRq);
  PutU16(x, TelDatRq::r, b.h.r);
  PutU32(x, TelDatRq::i, b.h.i);
  PutU32(x, TelDatRq::s, b.s);
  return Seal(x, TelDatRq::len);
}

uint32_t Encode(uint8_t* x, const TCloseDesc& b) {
  NewTel(x, TelClose::len, cmdClose);
  PutU16(x, TelClose::r, b.r);
  PutU8(x, TelClose::e, b.e);
  return Seal(x, TelClose::len);
}

uint32_t Encode(uint8_t* x, const TDgstDesc& b) {
  NewTel(x, TelDgst::len, cmdDgst);
  PutU16(x, TelDgst::r, b.r);
  PutU64(x, TelDgst::l, b.l);
  std::memcpy(x + TelDgst::g, b.d, lenDgst);
  return Seal(x, TelDgst::len);
}

uint32_t Encode(uint8_t* x, const TDgRqDesc& b) {
  NewTel(x, TelDgRq::len, cmdDgRq);
  PutU16(x, TelDgRq::r, b.r);
  return Seal(x, TelDgRq::len);
}

uint32_t EncodeDatRp(uint8_t* x, const TDatHdrDesc& h, const uint8_t* d, uint32_t k) {
  // Every byte up to the trailer is written below, so only the header is set
  // up; clearing the whole 1472-byte buffer per fragment would buy nothing.
  PutHdr(x, cmdDatRp);
  PutU16(x, TelDatRp::r, h.r);
  PutU32(x, TelDatRp::i, h.i);
  if (k > 0) std::memmove(x + TelDatRp::d, d, k);
  return Crc::AppendCrc(x, TelDatRp::d + k);
}

void Decode(const uint8_t* x, THdrDesc& b) {
  b.m = GetU32(x, TelHdr::m);
  b.v = GetU16(x, TelHdr::v);
  b.c = GetU8(x, TelHdr::c);
}

void Decode(const uint8_t* x, TRdRqDesc& b) {
  b.f = GetU16(x, TelRdRq::f);
  b.t = GetU16(x, TelRdRq::t);
  b.n = GetU8(x, TelRdRq::n);
  GetResID(x, TelRdRq::r, b.r);
  b.x = GetOffer(x, TelRdRq::r);
}

void Decode(const uint8_t* x, TRdRpDesc& b) {
  if (GetU8(x, TelHdr::c) == cmdXRdRp) {
    b.e = static_cast<TError>(GetU8(x, TelXRdRp::e));
    b.f = GetU16(x, TelXRdRp::f);
    b.t = GetU16(x, TelXRdRp::t);
    b.n = GetU8(x, TelXRdRp::n);
    b.x = GetU32(x, TelXRdRp::x);
    GetXPos(x, TelXRdRp::l, TelXRdRp::k, TelXRdRp::g, b.p, b.k);
    GetDT(x, TelXRdRp::d, b.d);
    b.r = GetU16(x, TelXRdRp::r);
    return;
  }
  b.x = 0;
  b.k = true;
  b.e = static_cast<TError>(GetU8(x, TelRdRp::e));
  b.f = GetU16(x, TelRdRp::f);
  b.t = GetU16(x, TelRdRp::t);
  b.n = GetU8(x, TelRdRp::n);
  GetPos(x, TelRdRp::p, b.p);
  GetDT(x, TelRdRp::d, b.d);
  b.r = GetU16(x, TelRdRp::r);
}

void Decode(const uint8_t* x, TWrRqDesc& b) {
  if (GetU8(x, TelHdr::c) == cmdXWrRq) {
    b.f = GetU16(x, TelXWrRq::f);
    b.t = GetU16(x, TelXWrRq::t);
    b.n = GetU8(x, TelXWrRq::n);
    b.x = GetU32(x, TelXWrRq::x);
    GetXPos(x, TelXWrRq::l, TelXWrRq::k, TelXWrRq::g, b.p, b.k);
    GetDT(x, TelXWrRq::d, b.d);
    GetResID(x, TelXWrRq::r, b.r);
    b.xl = true;
    return;
  }
  b.k = true;
  b.xl = false;
  b.f = GetU16(x, TelWrRq::f);
  b.t = GetU16(x, TelWrRq::t);
  b.n = GetU8(x, TelWrRq::n);
  GetPos(x, TelWrRq::p, b.p);
  GetDT(x, TelWrRq::d, b.d);
  GetResID(x, TelWrRq::r, b.r);
  b.x = GetOffer(x, TelWrRq::r);
}

void Decode(const uint8_t* x, TWrRpDesc& b) {
  if (GetU8(x, TelHdr::c) == cmdXWrRp) {
    b.e = static_cast<TError>(GetU8(x, TelXWrRp::e));
    b.f = GetU16(x, TelXWrRp::f);
    b.t = GetU16(x, TelXWrRp::t);
    b.n = GetU8(x, TelXWrRp::n);
    b.x = GetU32(x, TelXWrRp::x);
    b.r = GetU16(x, TelXWrRp::r);
    return;
  }
  b.x = 0;
  b.e = static_cast<TError>(GetU8(x, TelWrRp::e));
  b.f = GetU16(x, TelWrRp::f);
  b.t = GetU16(x, TelWrRp::t);
  b.n = GetU8(x, TelWrRp::n);
  b.r = GetU16(x, TelWrRp::r);
}

void Decode(const uint8_t* x, TDatRqDesc& b) {
  Decode(x, b.h);
  b.s = GetU32(x, TelDatRq::s);
}

void Decode(const uint8_t* x, TDatHdrDesc& b) {
  // Data request and data reply share the place of r and i.
  static_assert(TelDatRq::r == TelDatRp::r && TelDatRq::i == TelDatRp::i);
  b.r = GetU16(x, TelDatRp::r);
  b.i = GetU32(x, TelDatRp::i);
}

void Decode(const uint8_t* x, TCloseDesc& b) {
  b.r = GetU16(x, TelClose::r);
  b.e = static_cast<TError>(GetU8(x, TelClose::e));
}

void Decode(const uint8_t* x, TDgstDesc& b) {
  b.r = GetU16(x, TelDgst::r);
  b.l = GetU64(x, TelDgst::l);
  std::memcpy(b.d, x + TelDgst::g, lenDgst);
}

void Decode(const uint8_t* x, TDgRqDesc& b) { b.r = GetU16(x, TelDgRq::r); }

bool Sound(const uint8_t* x) {
  uint32_t k = 0, g = 0;
  switch (GetU8(x, TelHdr::c)) {
    case cmdXRdRp: k = TelXRdRp::k; g = TelXRdRp::g; break;
    case cmdXWrRq: k = TelXWrRq::k; g = TelXWrRq::g; break;
    default: return true;
  }
  const uint8_t v = GetU8(x, k);
  if (v > 1) return false;
  if (v == 1) return true;
  for (uint32_t j = 0; j < lenDgst; ++j)
    if (x[g + j] != 0) return false;
  return true;
}

bool Receives(uint8_t c, bool server, bool ext) {
  switch (c) {
    case cmdDgst:
    case cmdDgRq:
      return ext;
    case cmdXWrRq:
      return ext && server;
    case cmdXRdRp:
    case cmdXWrRp:
      return ext && !server;
    case cmdDatRq:
    case cmdDatRp:
    case cmdClose:
      return true;
    case cmdRdRq:
    case cmdWrRq:
      return server;
    case cmdRdRp:
    case cmdWrRp:
      return !server;
    default:
      return false;
  }
}

TAccept Accept(const uint8_t* x, uint32_t l, bool server, bool ext) {
  if (l < lenFrmOvr || l > lenMaxTel) return accLen;
  if (!Crc::Ok(x, l)) return accCrc;
  if (GetU32(x, TelHdr::m) != magic) return accMag;
  if (GetU16(x, TelHdr::v) != ver) return accVer;
  if (!Receives(GetU8(x, TelHdr::c), server, ext)) return accCmd;
  return accOk;
}

void InitModule() {
  if (initialised) return;
  initialised = true;
}

void WrConsts(SO::TBuffer& b) {
  SO::WrStr(b, "WISP ver ");
  SO::WrCard(b, ver, 1);
  SO::WrStr(b, " lenMaxTel ");
  SO::WrLngCard(b, lenMaxTel, 1);
  SO::WrStr(b, " lenFrmOvr ");
  SO::WrLngCard(b, lenFrmOvr, 1);
  SO::WrStr(b, " lenMaxVar ");
  SO::WrLngCard(b, lenMaxVar, 1);
  SO::WrStr(b, " lenMaxFgm ");
  SO::WrLngCard(b, lenMaxFgm, 1);
}

}  // namespace WISP
