// SecTel.h — the layouts of the secure mode's datagrams: the handshake
// request and reply and the sealed telegram that carries every telegram
// after the handshake.
//
// Each is framed like a classic telegram: the 7-byte header (magic "WISP",
// version 6, a command of its own) and the 4-byte CRC trailer around the
// body. A program that does not know these commands drops them after its
// common acceptance steps as a bad command (eCmd), and answers nothing. The
// CRC only screens out damaged datagrams cheaply; what authenticates them is
// the AEAD tag inside.
//
// Inside the encrypted parts travels a whole classic telegram (header,
// body, trailer): the sessions build and accept exactly the telegrams they
// do without the secure mode, and the layer between the link and the
// sessions (Seal) puts them into these envelopes or takes them out.
//
// All fields are little-endian and read and written through the accessors
// of WISP.h at the offsets given here. Keys and tags are byte strings.
#pragma once
#include <cstdint>

#include "WISP.h"

namespace SecTel {
  // Commands beside the classic ones (1..7), with room below them for other
  // extensions of the same protocol version.
  enum TCommand : uint8_t {
    cmdHsRq = 16,   // handshake request: client to server, carries RdRq or WrRq
    cmdHsRp = 17,   // handshake reply: server to client, carries the reply
    cmdSeal = 18,   // a sealed telegram, both ways
  };

  constexpr uint32_t lenKey = 32;    // X25519 public key
  constexpr uint32_t lenTag = 16;    // AEAD tag
  constexpr uint32_t lenMac = 16;    // the request's mac1
  constexpr uint32_t lenStamp = 8;   // the request's time stamp

  // Sealed telegram:
  //   hdr(7) r u32 (the receiver's session index) c u64 (counter)
  //   ciphertext of the inner telegram, tag(16), CRC(4).
  // The AEAD's associated data are bytes 0..18 (header, index, counter), so
  // none of them can be changed unnoticed; its nonce is the counter.
  namespace TelSeal {
    constexpr uint32_t r = 7, c = 11, x = 19;
    constexpr uint32_t ad = x;                          // associated data: bytes 0..18
    constexpr uint32_t ovr = x + lenTag + WISP::lenTrl;  // 39 bytes around the inner telegram
    constexpr uint32_t Len(uint32_t l) { return l + ovr; }
    constexpr uint32_t InnerLen(uint32_t l) { return l - ovr; }
    constexpr uint32_t Tag(uint32_t l) { return x + l; }   // offset of the tag after l inner bytes
  }

  // Handshake request (the initiator's message of Noise IK: e, es, s, ss):
  //   hdr(7) e[32] (the client's ephemeral key) static[32 + 16] (its static
  //   key, encrypted)
  //   payload: stamp u64, offer u8, i u32 (the client's session index), the
  //   request telegram (l bytes), tag(16)
  //   mac1[16] (keyed by the server's public key, over bytes 0..mac1-1), CRC(4).
  // Everything but the frame is covered by the handshake's AEAD, so a
  // changed bit anywhere fails it.
  namespace TelHsRq {
    constexpr uint32_t e = 7, st = 39, p = 87;
    constexpr uint32_t pStamp = 0, pOffer = 8, pIdx = 9, pTel = 13;   // inside the payload's plain text
    constexpr uint32_t lenPlainHead = pTel;
    constexpr uint32_t Mac1(uint32_t l) { return p + lenPlainHead + l + lenTag; }
    constexpr uint32_t Len(uint32_t l) { return Mac1(l) + lenMac + WISP::lenTrl; }   // l + 136
    constexpr uint32_t InnerLen(uint32_t len) { return len - Len(0); }
  }

  // Handshake reply (the responder's message: e, ee, se):
  //   hdr(7) r u32 (the client's index from the request) e[32] (the server's
  //   ephemeral key)
  //   payload: choice u8 (the AEAD of the sealed telegrams), i u32 (the
  //   server's session index), the reply telegram (l bytes), tag(16), CRC(4).
  // It is always shorter than the request it answers: 68 + l against 136 + l'
  // with a reply telegram l no longer than the request telegram l' (47 or 19
  // bytes against 144 or 172).
  namespace TelHsRp {
    constexpr uint32_t r = 7, e = 11, p = 43;
    constexpr uint32_t pChoice = 0, pIdx = 1, pTel = 5;
    constexpr uint32_t lenPlainHead = pTel;
    constexpr uint32_t Len(uint32_t l) { return p + lenPlainHead + l + lenTag + WISP::lenTrl; }   // l + 68
    constexpr uint32_t InnerLen(uint32_t len) { return len - Len(0); }
  }

  static_assert(TelSeal::ovr == 39);
  static_assert(TelHsRq::Len(0) == 136 && TelHsRp::Len(0) == 68);
  static_assert(TelHsRq::st == TelHsRq::e + lenKey && TelHsRq::p == TelHsRq::st + lenKey + lenTag);
  static_assert(TelHsRp::p == TelHsRp::e + lenKey);
  static_assert(TelHsRp::Len(WISP::TelRdRp::len) < TelHsRq::Len(WISP::TelRdRq::len) &&
                TelHsRp::Len(WISP::TelWrRp::len) < TelHsRq::Len(WISP::TelWrRq::len));

  // The largest fragment a sealed session grants so that its data reply
  // stays within a 1500-byte link: 1472 bytes of UDP payload over IPv4
  // (1416), 1452 over IPv6 (1396). Sealing costs 39 bytes of every
  // datagram.
  constexpr uint32_t lenMaxFgmSeal = WISP::lenMaxTel - TelSeal::ovr - WISP::TelDatRp::Len(0);
  constexpr uint32_t lenMaxFgmSeal6 = WISP::lenMaxFgm6 - TelSeal::ovr;
  static_assert(lenMaxFgmSeal == 1416 && lenMaxFgmSeal6 == 1396);
  static_assert(TelSeal::Len(WISP::TelDatRp::Len(lenMaxFgmSeal)) == WISP::lenMaxTel);

  // The largest inner telegram each envelope can carry within lenMaxTel.
  constexpr uint32_t lenMaxInnerSeal = TelSeal::InnerLen(WISP::lenMaxTel);
  constexpr uint32_t lenMaxInnerHs = TelHsRq::InnerLen(WISP::lenMaxTel);

  // A u64 as two u32, low half first.
  constexpr void PutU64(uint8_t* p, uint32_t off, uint64_t v) {
    WISP::PutU32(p, off, static_cast<uint32_t>(v));
    WISP::PutU32(p, off + 4, static_cast<uint32_t>(v >> 32));
  }
  constexpr uint64_t GetU64(const uint8_t* p, uint32_t off) {
    return static_cast<uint64_t>(WISP::GetU32(p, off)) | (static_cast<uint64_t>(WISP::GetU32(p, off + 4)) << 32);
  }

  // The common acceptance steps of an arriving datagram in the secure mode:
  // length (at least a header and trailer, at most lenMaxTel), CRC, magic,
  // version, and one of the three commands the role receives (the server
  // takes requests and sealed telegrams, the client replies and sealed
  // telegrams). The answer names the counter to raise as WISP::Accept does;
  // a classic command counts as accCmd.
  WISP::TAccept Accept(const uint8_t* x, uint32_t l, bool server);

  // The header of command c, and the CRC trailer of a datagram of len
  // bytes (over its first len - 4); Trail returns len.
  void PutHdr(uint8_t* x, TCommand c);
  uint32_t Trail(uint8_t* x, uint32_t len);
}
