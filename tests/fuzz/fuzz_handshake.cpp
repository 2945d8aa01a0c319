// fuzz_handshake.cpp — libFuzzer target: the server's side of the
// handshake, through the door every datagram passes (Seal::Open).
//
// Each input meets a server that has seen nothing (three entries, one
// listed client) and is a list of records:
//   0fffffff len(u16) bytes   a datagram of len bytes (mod 1601) from peer
//                             f & 3; f & 4: header of a handshake request,
//                             f & 8: mac1 made right, f & 16: CRC made right
//   1fffffff changes          a genuine request from peer f & 3; f & 4: of
//                             the client nobody listed, f & 8: for another
//                             server's key; then the changes (FuzzSecure::
//                             Change, f & 16: the CRC made right, f & 32:
//                             mac1 made right first); f & 64: sent twice
// What must hold: a drop keeps nothing; only a request whose mac1 is right
// for the server's key is ever taken; a genuine request that nobody changed
// is taken once (or finds the table full), and its copy is a replay; a
// request changed anywhere is never taken; the reply is shorter than the
// request.
#include <cstring>

#include "FuzzSecure.h"

using namespace FuzzSecure;

namespace {
  bool Mac1Ok(const Bytes& d) {
    Bytes m = d;
    SecurePeer::PutMac1(m, srv.pub);
    return m == d;
  }

  // What a taken request leads to: the server's reply, shorter than it; the
  // entry is freed now and then, as sessions end.
  void Answer(const TGot& g, const Bytes& rq, uint8_t f) {
    WISP::TRdRpDesc rp{};
    rp.f = 1400;
    uint8_t t[WISP::lenMaxTel];
    const uint32_t tl = WISP::Encode(t, rp);
    uint8_t out[WISP::lenMaxTel];
    const uint32_t n = Seal::Send(g.ses, t, tl, out);
    Check(n == SecTel::TelHsRp::Len(tl) && n < rq.size(), "the reply is shorter than the request");
    Check(SecTel::Accept(out, n, false) == WISP::accOk, "the reply is framed");
    if (f & 1) Seal::Free(g.ses);
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Restart();
  FuzzFrame::TReader r{data, size};
  uint8_t f = 0;
  uint32_t idx = 0;
  for (int steps = 0; steps < 64 && r.Byte(f); ++steps) {
    const UDP0::TDstDesc& src = Peer(f);
    if ((f & 0x80) == 0) {
      Bytes d = Raw(r);
      if ((f & 4) && d.size() >= 7) std::memcpy(d.data(), "WISP\x06\x00\x10", 7);
      if (f & 8) SecurePeer::PutMac1(d, srv.pub);
      if ((f & 16) && d.size() >= 4) SecurePeer::PutCrc(d);
      const TGot g = Open(d, src);
      if (g.drop == Seal::drpNone) {
        Check(d.size() >= 7 && d[6] == SecTel::cmdHsRq && Mac1Ok(d), "taken only with mac1 right");
        Answer(g, d, f);
      }
      continue;
    }
    Noise::TState hs;
    const Bytes tel = RdRq(f);
    const Bytes genuine = Request(hs, (f & 4) ? stranger : cli, (f & 8) ? stranger.pub : srv.pub, ++idx, tel);
    Bytes d = genuine;
    if (f & 32) {
      Change(r, d, false);
      SecurePeer::PutMac1(d, srv.pub);
      if (d.size() >= 4) SecurePeer::PutCrc(d);
    } else {
      Change(r, d, f & 16);
    }
    const bool good = d == genuine && !(f & 4) && !(f & 8);
    for (int k = 0; k < ((f & 64) ? 2 : 1); ++k) {
      const uint32_t inUse = Seal::InUse();
      const TGot g = Open(d, src);
      if (good && k == 0) {
        Check(g.drop == Seal::drpNone || (g.drop == Seal::drpFull && inUse == entries), "a genuine request is taken");
        if (g.drop == Seal::drpNone) Check(g.tel == tel, "the request telegram comes out whole");
      } else if (good) {
        Check(g.drop == Seal::drpStamp, "a copy is a replay");
      } else {
        Check(g.drop != Seal::drpNone, "a changed or foreign request is never taken");
      }
      if (g.drop == Seal::drpNone) Answer(g, d, f);
    }
  }
  return 0;
}
