// SecTel.cpp — framing and acceptance of the secure mode's datagrams.
#include "SecTel.h"

#include "Crc.h"

namespace SecTel {

WISP::TAccept Accept(const uint8_t* x, uint32_t l, bool server) {
  if (l < WISP::lenFrmOvr || l > WISP::lenMaxTel) return WISP::accLen;
  if (!Crc::Ok(x, l)) return WISP::accCrc;
  if (WISP::GetU32(x, WISP::TelHdr::m) != WISP::magic) return WISP::accMag;
  if (WISP::GetU16(x, WISP::TelHdr::v) != WISP::ver) return WISP::accVer;
  const uint8_t c = WISP::GetU8(x, WISP::TelHdr::c);
  const bool ok = c == cmdSeal || c == (server ? cmdHsRq : cmdHsRp);
  return ok ? WISP::accOk : WISP::accCmd;
}

void PutHdr(uint8_t* x, TCommand c) {
  WISP::PutU32(x, WISP::TelHdr::m, WISP::magic);
  WISP::PutU16(x, WISP::TelHdr::v, WISP::ver);
  WISP::PutU8(x, WISP::TelHdr::c, c);
}

uint32_t Trail(uint8_t* x, uint32_t len) { return Crc::AppendCrc(x, len - WISP::lenTrl); }

}  // namespace SecTel
