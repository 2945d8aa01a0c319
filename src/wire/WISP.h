// WISP.h — the telegram protocol: constants, commands, result codes, the
// byte layout of every telegram and the acceptance test of a datagram.
//
// A telegram is a 7-byte header (magic "WISP", version, command), a body
// chosen by the command and a 4-byte CRC trailer. All multi-byte fields are
// little-endian and packed without gaps; the trailer alone is stored most
// significant byte first (see Crc).
//
// Telegrams are read and written only through the little-endian accessors
// below at the offsets given here, never by laying a struct over the bytes:
// the fields are unaligned and the host's struct layout is not the wire's.
// The plain structs T...Desc hold decoded values; Encode builds a whole
// telegram (zeroed, header, body, trailer) from one and returns its length,
// Decode fills one from an accepted telegram.
#pragma once
#include <cstddef>
#include <cstdint>

#include "DT.h"
#include "SO.h"

namespace WISP {
  // ---- protocol constants ----------------------------------------------
  constexpr uint32_t magic = 0x50534957u;   // "WISP" read as a little-endian u32
  constexpr uint16_t ver = 6;
  constexpr uint32_t lenHdr = 7;            // magic, version, command
  constexpr uint32_t lenTrl = 4;            // CRC trailer
  constexpr uint32_t lenMaxTel = 1472;      // largest telegram
  constexpr uint32_t lenFrmOvr = lenHdr + lenTrl;       // 11
  constexpr uint32_t lenMaxVar = lenMaxTel - lenFrmOvr; // 1461, largest body
  constexpr uint32_t lenMaxFgm = lenMaxVar - 6;         // 1455, largest fragment
  constexpr uint32_t lenResID = 128;
  constexpr uint32_t lenDgst = 16;
  static_assert(lenFrmOvr == 11 && lenMaxVar == 1461 && lenMaxFgm == 1455);
  // A session's time-out, ms: the server forgets a session whose client has
  // sent nothing for this long, and a client in the data phase gives up on a
  // server that has sent nothing for this long.
  constexpr uint32_t tosSes = 30000;

  enum TCommand : uint8_t {
    cmdNull = 0,
    cmdRdRq = 1,   // read request, client to server
    cmdRdRp = 2,   // read reply
    cmdWrRq = 3,   // write request, client to server
    cmdWrRp = 4,   // write reply
    cmdDatRq = 5,  // data request, from the side that writes the file
    cmdDatRp = 6,  // data reply, one fragment
    cmdClose = 7,
    // The extended exchange (-x on both programs). A program without -x
    // receives none of these: they are bad commands to it, as to older ones.
    cmdXRdRp = 8,  // extended read reply
    cmdXWrRq = 9,  // extended write request
    cmdXWrRp = 10, // extended write reply
    cmdDgst = 11,  // the digest of the whole file, from the side that holds it
    cmdDgRq = 12,  // the receiving side asks for that digest
  };

  enum TError : uint8_t {
    errNull = 0,   // no error
    errBsy = 1,    // all session slots of the server are in use
    errRID = 2,    // read: no such file; write: file exists and may not be replaced
    errChk = 3,    // length or MD5 digest of the received file differ
  };

  // ---- decoded records ---------------------------------------------------
  // The resource id (file name as the client typed it). The telegram's field
  // holds 128 characters, 0-terminated only when shorter; the decoded form has
  // one byte more, so that a name that fills the field is kept whole and is
  // still a 0-terminated string.
  using TResID = char[lenResID + 1];
  using TDateTime = DT::TDateTime;

  // File length and MD5 digest of the whole content: 20 bytes in the classic
  // telegrams (the length as a u32), the length as a u64 in the extended
  // ones. No padding in memory, so two of them compare with memcmp.
  struct TPosDesc {
    uint64_t l;
    uint8_t d[lenDgst];
  };
  static_assert(sizeof(TPosDesc) == 24);
  // The longest file the classic telegrams carry.
  constexpr uint64_t lenMaxClassic = 0xFFFFFFFFull;

  // ---- the extensions' bits ------------------------------------------------
  // A client offers extensions by their bits, a server accepts the ones it
  // has: the session runs with the intersection. Unknown bits are ignored.
  constexpr uint32_t extBig = 1u << 0;    // 64-bit lengths, the digest after the data
  constexpr uint32_t extResume = 1u << 1; // kept for resumed transfers
  constexpr uint32_t extKeys = 1u << 2;   // kept for keys and sealed telegrams
  // The bits this build knows; a session runs with what both sides offer of them.
  constexpr uint32_t extKnown = extBig;
  constexpr uint32_t Grant(uint32_t offered, uint32_t own) { return offered & own & extKnown; }

  // Fragments and lengths: the one place a length turns into fragment
  // indices and back. The index is a u32, so a transfer has at most
  // fgmCntMax fragments (6.2 TB at 1455 bytes).
  constexpr uint64_t fgmCntMax = 0xFFFFFFFFull;
  constexpr uint64_t FgmCnt(uint64_t l, uint32_t f) { return l / f + (l % f > 0 ? 1 : 0); }
  constexpr uint64_t FgmAt(uint32_t i, uint32_t f) { return uint64_t(i) * f; }
  // The length of fragment i of a file of l bytes (i below its count).
  constexpr uint32_t FgmLen(uint64_t l, uint32_t i, uint32_t f) {
    return l - FgmAt(i, f) < f ? static_cast<uint32_t>(l - FgmAt(i, f)) : f;
  }

  struct THdrDesc {
    uint32_t m;
    uint16_t v;
    uint8_t c;     // a TCommand, but any byte may arrive
  };

  struct TDatHdrDesc {
    uint16_t r;    // session reference
    uint32_t i;    // fragment index
  };

  // The requests and replies below are one record each for the classic and
  // the extended telegram: x holds the extension bits offered (requests) or
  // accepted (replies), 0 for a classic exchange; k whether p's digest is
  // known (always in a classic telegram). The extended layouts carry the
  // length as a u64.
  struct TRdRqDesc {
    uint16_t f;    // fragment length asked for
    uint16_t t;    // update period, ms
    uint8_t n;     // fragment requests per update
    TResID r;
    uint32_t x;    // offered (in the offer record of the name's field)
  };

  // x != 0: an extended read reply.
  struct TRdRpDesc {
    TError e;
    uint16_t f;
    uint16_t t;
    uint8_t n;
    TPosDesc p;
    TDateTime d;
    uint16_t r;    // session reference
    uint32_t x;
    bool k;
  };

  // x != 0 and xl: the extended write request; x != 0 and not xl: the
  // classic one with the offer record in the name's field.
  struct TWrRqDesc {
    uint16_t f;
    uint16_t t;
    uint8_t n;
    TPosDesc p;
    TDateTime d;
    TResID r;
    uint32_t x;
    bool k;
    bool xl;
  };

  // x != 0: an extended write reply.
  struct TWrRpDesc {
    TError e;
    uint16_t f;
    uint16_t t;
    uint8_t n;
    uint16_t r;
    uint32_t x;
  };

  // The holder's digest of the whole file, and the receiver's request for it.
  struct TDgstDesc {
    uint16_t r;
    uint64_t l;
    uint8_t d[lenDgst];
  };

  struct TDgRqDesc {
    uint16_t r;
  };

  struct TDatRqDesc {
    TDatHdrDesc h; // h.i is the base index
    uint32_t s;    // bit j asks for fragment h.i + j
  };

  // A data reply is header plus data; the data stay where they are in the
  // telegram (TelDatRp::d, length TelDatRp::DataLen(l)).

  struct TCloseDesc {
    uint16_t r;
    TError e;
  };

  // ---- layout: offsets in the telegram (header included) ----------------
  // len is the whole telegram, body its body (len - 11).
  namespace TelHdr { constexpr uint32_t m = 0, v = 4, c = 6, len = lenHdr; }
  namespace TelRdRq {
    constexpr uint32_t f = 7, t = 9, n = 11, r = 12, body = 133, len = 144;
  }
  namespace TelRdRp {
    constexpr uint32_t e = 7, f = 8, t = 10, n = 12, p = 13, d = 33, r = 41, body = 36, len = 47;
  }
  namespace TelWrRq {
    constexpr uint32_t f = 7, t = 9, n = 11, p = 12, d = 32, r = 40, body = 161, len = 172;
  }
  namespace TelWrRp {
    constexpr uint32_t e = 7, f = 8, t = 10, n = 12, r = 13, body = 8, len = 19;
  }
  namespace TelDatRq {
    constexpr uint32_t r = 7, i = 9, s = 13, body = 10, len = 21;
  }
  namespace TelDatRp {
    constexpr uint32_t r = 7, i = 9, d = 13;
    constexpr uint32_t bodyMin = 7, bodyMax = lenMaxVar;   // at least one data byte
    constexpr uint32_t Len(uint32_t k) { return d + k + lenTrl; }      // 17 + k
    constexpr uint32_t DataLen(uint32_t l) { return l - d - lenTrl; }  // l - 17
  }
  namespace TelClose {
    constexpr uint32_t r = 7, e = 9, body = 3, len = 14;
  }
  // The extended telegrams.
  namespace TelXRdRp {
    constexpr uint32_t e = 7, f = 8, t = 10, n = 12, x = 13, l = 17, k = 25, g = 26, d = 42, r = 50;
    constexpr uint32_t body = 45, len = 56;
  }
  namespace TelXWrRq {
    constexpr uint32_t f = 7, t = 9, n = 11, x = 12, l = 16, k = 24, g = 25, d = 41, r = 49;
    constexpr uint32_t body = 170, len = 181;
  }
  namespace TelXWrRp {
    constexpr uint32_t e = 7, f = 8, t = 10, n = 12, x = 13, r = 17, body = 12, len = 23;
  }
  namespace TelDgst {
    constexpr uint32_t r = 7, l = 9, g = 17, body = 26, len = 37;
  }
  namespace TelDgRq {
    constexpr uint32_t r = 7, body = 2, len = 13;
  }
  // The offer record at the end of a classic request's name field (offsets
  // inside the field): a tag and the bits offered. Only a name that ends
  // with a 0 byte before it leaves room for it.
  namespace FldOffer {
    constexpr uint32_t tag = 120, x = 124, len = 8;
    constexpr uint32_t magic = 0x464F5857u;   // "WXOF" read as a little-endian u32
  }
  static_assert(FldOffer::tag + FldOffer::len == lenResID);
  static_assert(TelXRdRp::r + 2 + lenTrl == TelXRdRp::len && TelXRdRp::g + lenDgst == TelXRdRp::d);
  static_assert(TelXWrRq::r + lenResID + lenTrl == TelXWrRq::len && TelXWrRq::g + lenDgst == TelXWrRq::d);
  static_assert(TelXWrRp::r + 2 + lenTrl == TelXWrRp::len);
  static_assert(TelDgst::g + lenDgst + lenTrl == TelDgst::len);
  static_assert(TelDgRq::r + 2 + lenTrl == TelDgRq::len);
  static_assert(TelXRdRp::body + lenFrmOvr == TelXRdRp::len && TelXWrRq::body + lenFrmOvr == TelXWrRq::len &&
                TelXWrRp::body + lenFrmOvr == TelXWrRp::len && TelDgst::body + lenFrmOvr == TelDgst::len &&
                TelDgRq::body + lenFrmOvr == TelDgRq::len);

  // Inside the compound fields.
  namespace FldPos { constexpr uint32_t l = 0, d = 4, len = 20; }
  namespace FldDT { constexpr uint32_t d = 0, t = 4, len = 8; }

  static_assert(TelRdRq::r + lenResID + lenTrl == TelRdRq::len);
  static_assert(TelRdRp::r + 2 + lenTrl == TelRdRp::len);
  static_assert(TelWrRq::r + lenResID + lenTrl == TelWrRq::len);
  static_assert(TelWrRp::r + 2 + lenTrl == TelWrRp::len);
  static_assert(TelDatRq::s + 4 + lenTrl == TelDatRq::len);
  static_assert(TelClose::e + 1 + lenTrl == TelClose::len);
  static_assert(TelRdRq::body + lenFrmOvr == TelRdRq::len && TelRdRp::body + lenFrmOvr == TelRdRp::len &&
                TelWrRq::body + lenFrmOvr == TelWrRq::len && TelWrRp::body + lenFrmOvr == TelWrRp::len &&
                TelDatRq::body + lenFrmOvr == TelDatRq::len && TelClose::body + lenFrmOvr == TelClose::len);
  static_assert(TelDatRp::Len(lenMaxFgm) == lenMaxTel);

  // The largest fragment the server grants a session with an IPv6 peer: a
  // 1472-byte telegram with the 40-byte IPv6 and the 8-byte UDP header would
  // be 1520 bytes and not fit a 1500-byte link, and IPv6 routers never
  // fragment. So the data reply of an IPv6 session stays within 1500 bytes
  // on the link; IPv4 (also through a dual-stack socket) keeps lenMaxFgm.
  constexpr uint32_t lenLinkMtu = 1500;
  constexpr uint32_t lenIP6Udp = 40 + 8;
  constexpr uint32_t lenMaxFgm6 = lenLinkMtu - lenIP6Udp - TelDatRp::Len(0);
  static_assert(lenMaxFgm6 == 1435);

  // ---- little-endian access at byte offsets --------------------------------
  constexpr uint8_t GetU8(const uint8_t* p, uint32_t off) { return p[off]; }
  constexpr uint16_t GetU16(const uint8_t* p, uint32_t off) {
    return static_cast<uint16_t>(p[off] | (p[off + 1] << 8));
  }
  constexpr uint32_t GetU32(const uint8_t* p, uint32_t off) {
    return static_cast<uint32_t>(p[off]) | (static_cast<uint32_t>(p[off + 1]) << 8) |
           (static_cast<uint32_t>(p[off + 2]) << 16) | (static_cast<uint32_t>(p[off + 3]) << 24);
  }
  constexpr int32_t GetI32(const uint8_t* p, uint32_t off) {
    return static_cast<int32_t>(GetU32(p, off));   // two's complement (C++20)
  }
  constexpr void PutU8(uint8_t* p, uint32_t off, uint8_t v) { p[off] = v; }
  constexpr void PutU16(uint8_t* p, uint32_t off, uint16_t v) {
    p[off] = static_cast<uint8_t>(v);
    p[off + 1] = static_cast<uint8_t>(v >> 8);
  }
  constexpr void PutU32(uint8_t* p, uint32_t off, uint32_t v) {
    p[off] = static_cast<uint8_t>(v);
    p[off + 1] = static_cast<uint8_t>(v >> 8);
    p[off + 2] = static_cast<uint8_t>(v >> 16);
    p[off + 3] = static_cast<uint8_t>(v >> 24);
  }
  constexpr void PutI32(uint8_t* p, uint32_t off, int32_t v) {
    PutU32(p, off, static_cast<uint32_t>(v));
  }
  constexpr uint64_t GetU64(const uint8_t* p, uint32_t off) {
    return static_cast<uint64_t>(GetU32(p, off)) | (static_cast<uint64_t>(GetU32(p, off + 4)) << 32);
  }
  constexpr void PutU64(uint8_t* p, uint32_t off, uint64_t v) {
    PutU32(p, off, static_cast<uint32_t>(v));
    PutU32(p, off + 4, static_cast<uint32_t>(v >> 32));
  }

  // Compound fields at an offset.
  void PutPos(uint8_t* p, uint32_t off, const TPosDesc& v);
  void GetPos(const uint8_t* p, uint32_t off, TPosDesc& v);
  void PutDT(uint8_t* p, uint32_t off, const TDateTime& v);
  void GetDT(const uint8_t* p, uint32_t off, TDateTime& v);
  // Copies at most 128 characters of the 0-terminated s and zero-fills the
  // rest of the 128 bytes: a name of 128 characters fills the field without
  // a terminator, as the telegram allows.
  void PutResID(uint8_t* p, uint32_t off, const char* s);
  // Copies the 128 bytes of the field and terminates them in the 129th byte
  // of r, so all 128 characters of a full field count.
  void GetResID(const uint8_t* p, uint32_t off, TResID& r);
  // The offer record in the name field at off: written only when x != 0
  // and the name ends before it (a longer name goes without the offer);
  // read back as the bits offered, 0 when the field holds none.
  void PutOffer(uint8_t* p, uint32_t off, uint32_t x);
  uint32_t GetOffer(const uint8_t* p, uint32_t off);

  // ---- building telegrams --------------------------------------------------
  // Writes magic, version and command into the first 7 bytes of x.
  void PutHdr(uint8_t* x, TCommand c);
  // Zeroes the first len bytes of x and writes the header: the first step of
  // building any telegram of record length len.
  void NewTel(uint8_t* x, uint32_t len, TCommand c);

  // Each builds the whole telegram into x (which must hold the record's
  // length, lenMaxTel always fits), trailer included, and returns its
  // length: 144, 47, 172, 19, 21, 14; with x set 56 (XRdRp), 181 (XWrRq
  // with xl), 23 (XWrRp), and 37 (Dgst), 13 (DgRq).
  uint32_t Encode(uint8_t* x, const TRdRqDesc& b);
  uint32_t Encode(uint8_t* x, const TRdRpDesc& b);
  uint32_t Encode(uint8_t* x, const TWrRqDesc& b);
  uint32_t Encode(uint8_t* x, const TWrRpDesc& b);
  uint32_t Encode(uint8_t* x, const TDatRqDesc& b);
  uint32_t Encode(uint8_t* x, const TCloseDesc& b);
  uint32_t Encode(uint8_t* x, const TDgstDesc& b);
  uint32_t Encode(uint8_t* x, const TDgRqDesc& b);
  // A data reply with the k bytes at d (k <= lenMaxFgm): returns 17 + k.
  uint32_t EncodeDatRp(uint8_t* x, const TDatHdrDesc& h, const uint8_t* d, uint32_t k);

  // ---- reading telegrams ---------------------------------------------------
  // Read the fields of a telegram that passed Accept and whose body length
  // the caller has checked against the record; nothing is validated here.
  // The request and reply records are read from the classic and the
  // extended telegram alike (by the command in the header).
  void Decode(const uint8_t* x, THdrDesc& b);
  void Decode(const uint8_t* x, TRdRqDesc& b);
  void Decode(const uint8_t* x, TRdRpDesc& b);
  void Decode(const uint8_t* x, TWrRqDesc& b);
  void Decode(const uint8_t* x, TWrRpDesc& b);
  void Decode(const uint8_t* x, TDatRqDesc& b);
  // The header (r, i) of a data request or data reply.
  void Decode(const uint8_t* x, TDatHdrDesc& b);
  void Decode(const uint8_t* x, TCloseDesc& b);
  void Decode(const uint8_t* x, TDgstDesc& b);
  void Decode(const uint8_t* x, TDgRqDesc& b);
  // An extended record's fields that cannot be (beyond what the sessions
  // judge): a digest-known flag other than 0 and 1, a digest where none is
  // known. false: count it and drop it.
  bool Sound(const uint8_t* x);

  // ---- acceptance of an arriving datagram ----------------------------------
  // The checks common to both programs, in their fixed order; the first that
  // fails names the error counter to raise (eLen, eCrc, eMag, eVer, eCmd) and
  // the datagram is dropped. After accOk the body length is l - lenFrmOvr and
  // the command handler checks it.
  enum TAccept : uint8_t { accOk = 0, accLen, accCrc, accMag, accVer, accCmd };
  // Whether the server's (server = true) or the client's role receives c;
  // the extended commands only with ext (-x).
  bool Receives(uint8_t c, bool server, bool ext = false);
  TAccept Accept(const uint8_t* x, uint32_t l, bool server, bool ext = false);
  constexpr uint32_t BodyLen(uint32_t l) { return l - lenFrmOvr; }

  void InitModule();
  // "WISP ver 6 lenMaxTel 1472 lenFrmOvr 11 lenMaxVar 1461 lenMaxFgm 1455":
  // the protocol's constants as both programs log them at start-up.
  void WrConsts(SO::TBuffer& b);
}
