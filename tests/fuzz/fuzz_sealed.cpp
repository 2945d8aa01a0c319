// fuzz_sealed.cpp — libFuzzer target: opening sealed telegrams at the
// server, after a genuine handshake, against a model of the replay window.
//
// Each input meets a server that has just taken a genuine handshake of the
// listed client from peer 0 and sent its reply; the client's end (SecurePeer)
// holds the keys. The input is a list of records:
//   0fffffff len(u16) bytes   a datagram of len bytes (mod 1601) from peer
//                             f & 3; f & 4: the header of a sealed telegram
//                             with the session's index, f & 16: CRC made right
//   1fffffff ctr(u16) k(u8) changes
//                             a genuine sealed telegram from peer f & 3 with
//                             counter base + ctr (f & 4: base jumps by 2^13
//                             first) carrying k bytes, then the changes
//                             (FuzzSecure::Change, f & 16: CRC made right);
//                             f & 8: the server then seals one back
// Keys change every 2^14 telegrams here, so that inputs cross epochs.
// What must hold: a drop keeps nothing; a genuine telegram from the
// session's endpoint opens exactly when the model says its counter is new
// and its key is held (its epoch next to the newest telegram's),
// and gives its telegram back whole; one changed anywhere never opens; what
// the server seals opens at the client's end with the next counter.
#include <cstring>
#include <set>

#include "FuzzSecure.h"

using namespace FuzzSecure;

namespace {
  constexpr uint8_t epochBits = 14;

  // The model: every counter taken; the newest one's epoch and the ones
  // beside it have their keys.
  struct TModel {
    std::set<uint64_t> seen;
    bool Fresh(uint64_t c) const {
      const uint64_t ep = c >> epochBits;
      const uint64_t top = seen.empty() ? 0 : *seen.rbegin() >> epochBits;
      if (ep > top + 1 || ep + 1 < top) return false;
      if (seen.empty() || c > *seen.rbegin()) return true;
      return *seen.rbegin() - c < Seal::winBack && seen.count(c) == 0;
    }
  };
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Restart(epochBits);
  // The handshake, genuine.
  Noise::TState hs;
  const Bytes rq = Request(hs, cli, srv.pub, 0x11223344u, RdRq(1));
  const TGot g = Open(rq, Peer(0));
  Check(g.drop == Seal::drpNone, "the genuine handshake is taken");
  uint8_t t[WISP::lenMaxTel];
  WISP::TRdRpDesc rp{};
  const uint32_t tl = WISP::Encode(t, rp);
  Bytes reply(WISP::lenMaxTel);
  reply.resize(Seal::Send(g.ses, t, tl, reply.data()));
  SecurePeer::TFar far;
  far.epochBits = epochBits;
  uint32_t got = 0;
  Check(Noise::ConsumeReply(hs, cli, reply.data(), static_cast<uint32_t>(reply.size()), t, got, far.aead, far.k) ==
            Noise::resOk,
        "the reply completes the handshake");
  far.peer = hs.peer;

  TModel model;
  uint64_t base = 0, back = 0;
  FuzzFrame::TReader r{data, size};
  uint8_t f = 0;
  for (int steps = 0; steps < 64 && r.Byte(f); ++steps) {
    const UDP0::TDstDesc& src = Peer(f);
    if ((f & 0x80) == 0) {
      Bytes d = Raw(r);
      if ((f & 4) && d.size() >= 11) {
        std::memcpy(d.data(), "WISP\x06\x00\x12", 7);
        WISP::PutU32(d.data(), SecTel::TelSeal::r, far.peer);
      }
      if ((f & 16) && d.size() >= 4) SecurePeer::PutCrc(d);
      Check(Open(d, src).drop != Seal::drpNone, "a datagram no one sealed never opens");
      continue;
    }
    if (f & 4) base += 1u << 13;
    const uint64_t ctr = base + r.U16();
    uint8_t k = 0;
    r.Byte(k);
    Bytes tel(k);
    for (uint32_t j = 0; j < k; ++j) tel[j] = static_cast<uint8_t>(j * 31 + f);
    const Bytes genuine = far.Seal(tel, ctr);
    Bytes d = genuine;
    Change(r, d, f & 16);
    const TGot o = Open(d, src);
    if (d == genuine && (f & 3) == 0) {
      const bool fresh = model.Fresh(ctr);
      Check((o.drop == Seal::drpNone) == fresh, "a genuine telegram opens exactly when its counter is new");
      if (fresh) {
        Check(o.tel == tel && o.ses == g.ses, "the telegram comes out whole, for its session");
        model.seen.insert(ctr);
      } else {
        Check(o.drop == Seal::drpReplay, "an old counter, or one of a key not held, is a replay");
      }
    } else {
      Check(o.drop != Seal::drpNone, "a changed telegram, or one from elsewhere, never opens");
    }
    if ((f & 8) && Seal::Confirmed(g.ses)) {
      Bytes out(WISP::lenMaxTel);
      out.resize(Seal::Send(g.ses, tel.data(), static_cast<uint32_t>(tel.size()), out.data()));
      Bytes in;
      Check(far.Open(out, 0x11223344u, back++, in) && in == tel, "what the server seals opens at the client");
    }
  }
  return 0;
}
