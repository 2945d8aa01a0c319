// Seal_test.cpp — the handshake between two key sets and what it refuses,
// and the sealing door on either side, whose far end (SecurePeer) is
// written from libsodium's calls and the layouts' offsets, so that the
// envelopes are checked byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Crc.h"
#include "Keys.h"
#include "Noise.h"
#include "Seal.h"
#include "SecTel.h"
#include "SecureTest.h"
#include "../SecurePeer.h"
#include "WISP.h"

namespace {

using Bytes = std::vector<uint8_t>;
using SecureTest::Scratch;
using SecureTest::Text;

// The parties: a server, two listed clients ("dave", "carol"), one not
// listed.
struct Parties {
  Keys::TPair srv = SecureTest::NewPair();
  Keys::TPair cli = SecureTest::NewPair();
  Keys::TPair dave = SecureTest::NewPair();
  Keys::TPair other = SecureTest::NewPair();
  Scratch keys;
  // own: the key pair Keys holds as this program's (the side under test).
  explicit Parties(const Keys::TPair* own = nullptr) {
    keys.Write("clients", Text(dave.pub) + " dave\n" + Text(cli.pub) + " carol\n");
    Keys::InitModule();
    EXPECT_EQ(Keys::LoadClients(keys.dir.c_str()), Keys::errOk);
    if (own == nullptr) own = &srv;
    keys.Write("key", Text(own->prv) + "\n", 0600);
    keys.Write("key.pub", Text(own->pub) + "\n");
    bool wrote = false;
    EXPECT_EQ(Keys::LoadOwn(keys.dir.c_str(), wrote), Keys::errOk);
    Noise::InitModule();
  }
};

Bytes Tel(const WISP::TRdRqDesc& d) {
  Bytes x(WISP::lenMaxTel);
  x.resize(WISP::Encode(x.data(), d));
  return x;
}
Bytes RdRq() {
  WISP::TRdRqDesc d{.f = 1455, .t = 1, .n = 10, .r = {}, .x = 0};
  std::strcpy(d.r, "secret-plans.bin");
  return Tel(d);
}
Bytes RdRp() {
  WISP::TRdRpDesc d{};
  d.f = 1416;
  d.r = 3;
  Bytes x(WISP::lenMaxTel);
  x.resize(WISP::Encode(x.data(), d));
  return x;
}
Bytes DatRq(uint32_t i) {
  Bytes x(WISP::lenMaxTel);
  x.resize(WISP::Encode(x.data(), WISP::TDatRqDesc{{3, i}, 0xFFu}));
  return x;
}

bool Contains(const Bytes& d, const uint8_t* p, size_t n) {
  return std::search(d.begin(), d.end(), p, p + n) != d.end();
}

bool AllZero(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  return std::all_of(b, b + n, [](uint8_t c) { return c == 0; });
}

// A client's handshake request, built by Noise with the given pair.
Bytes Request(Noise::TState& hs, const Keys::TPair& cli, const Keys::TKey& srvPub, uint32_t idx, uint8_t offer = 0,
              const Bytes& tel = RdRq()) {
  Bytes d(WISP::lenMaxTel);
  d.resize(Noise::CreateRequest(hs, cli, srvPub, idx, offer, tel.data(), static_cast<uint32_t>(tel.size()), d.data()));
  return d;
}

using Far = SecurePeer::TFar;
using SecurePeer::PutCrc;
using SecurePeer::PutMac1;

const UDP0::TDstDesc cliAt{UDP0::TAdrDesc{}, 40000};
const UDP0::TDstDesc cliOther{UDP0::TAdrDesc{}, 40001};

// Seal::Open with its results.
struct Got {
  Seal::TDrop drop;
  Bytes tel;
  uint32_t ses;
};
Got Open(const Bytes& d, const UDP0::TDstDesc& src = cliAt) {
  uint8_t t[WISP::lenMaxTel];
  uint32_t tl = 0, ses = 0;
  const Seal::TDrop r = Seal::Open(d.data(), static_cast<uint32_t>(d.size()), src, t, tl, ses);
  return {r, Bytes(t, t + tl), ses};
}
Bytes Send(uint32_t ses, const Bytes& tel) {
  Bytes d(WISP::lenMaxTel);
  d.resize(Seal::Send(ses, tel.data(), static_cast<uint32_t>(tel.size()), d.data()));
  return d;
}

// ---- the handshake --------------------------------------------------------------

TEST(Handshake, TwoKeySetsAgreeAndHideWhatTheyCarry) {
  Parties p;
  for (int round = 0; round < 2; ++round) {
    Noise::TState c{}, s{};
    const Bytes rq = Request(c, p.cli, p.srv.pub, 0xA1B2C3D4u, Noise::offerAes);
    ASSERT_EQ(rq.size(), SecTel::TelHsRq::Len(WISP::TelRdRq::len));
    EXPECT_EQ(SecTel::Accept(rq.data(), static_cast<uint32_t>(rq.size()), true), WISP::accOk);
    // Neither the client's key nor the file's name travels in the clear.
    EXPECT_FALSE(Contains(rq, p.cli.pub, 32));
    EXPECT_FALSE(Contains(rq, reinterpret_cast<const uint8_t*>("secret-plans"), 12));

    uint8_t tel[WISP::lenMaxTel];
    uint32_t tl = 0;
    ASSERT_EQ(Noise::ConsumeRequest(s, p.srv, rq.data(), static_cast<uint32_t>(rq.size()), tel, tl), Noise::resOk);
    EXPECT_EQ(Bytes(tel, tel + tl), RdRq());
    EXPECT_EQ(std::memcmp(s.rs, p.cli.pub, 32), 0);
    EXPECT_STREQ(Keys::ClientName(s.cli), "carol");
    EXPECT_EQ(s.peer, 0xA1B2C3D4u);
    EXPECT_EQ(s.offer, Noise::offerAes);

    const Bytes rp0 = RdRp();
    Bytes rp(WISP::lenMaxTel);
    Noise::TKeys ks{}, kc{};
    rp.resize(Noise::CreateReply(s, 0x55667788u, Noise::aeadAes, rp0.data(), static_cast<uint32_t>(rp0.size()),
                                 rp.data(), ks));
    ASSERT_EQ(rp.size(), SecTel::TelHsRp::Len(WISP::TelRdRp::len));
    EXPECT_LT(rp.size(), rq.size());
    EXPECT_EQ(Noise::ReceiverIndex(rp.data()), 0xA1B2C3D4u);
    EXPECT_EQ(SecTel::Accept(rp.data(), static_cast<uint32_t>(rp.size()), false), WISP::accOk);

    uint8_t choice = 9;
    ASSERT_EQ(Noise::ConsumeReply(c, p.cli, rp.data(), static_cast<uint32_t>(rp.size()), tel, tl, choice, kc),
              Noise::resOk);
    EXPECT_EQ(Bytes(tel, tel + tl), rp0);
    EXPECT_EQ(choice, Noise::aeadAes);
    EXPECT_EQ(c.peer, 0x55667788u);
    EXPECT_EQ(std::memcmp(kc.tx, ks.rx, 32), 0);
    EXPECT_EQ(std::memcmp(kc.rx, ks.tx, 32), 0);
    EXPECT_NE(std::memcmp(kc.tx, kc.rx, 32), 0);
    // Each handshake has keys of its own (fresh ephemeral keys both sides).
    static uint8_t first[32];
    if (round == 0) std::memcpy(first, kc.tx, 32);
    else EXPECT_NE(std::memcmp(first, kc.tx, 32), 0);
  }
}

TEST(Handshake, RefusedRequestsLeaveNothing) {
  Parties p;
  uint8_t tel[WISP::lenMaxTel];
  uint32_t tl = 0;
  auto consume = [&](const Bytes& d) {
    Noise::TState s;
    std::memset(&s, 0xA5, sizeof s);
    const Noise::TRes r = Noise::ConsumeRequest(s, p.srv, d.data(), static_cast<uint32_t>(d.size()), tel, tl);
    if (r != Noise::resOk) {
      EXPECT_TRUE(AllZero(&s, sizeof s)) << "state kept after " << int(r);
      EXPECT_EQ(tl, 0u);
    }
    return r;
  };
  Noise::TState c{};
  // For another server's key; from a client not listed.
  EXPECT_EQ(consume(Request(c, p.cli, p.other.pub, 1)), Noise::resMac);
  EXPECT_EQ(consume(Request(c, p.other, p.srv.pub, 1)), Noise::resPeer);
  // One bit changed anywhere after the frame: mac1 fails; with mac1 made
  // anew (by one who knows the server's public key) the AEAD does.
  const Bytes good = Request(c, p.cli, p.srv.pub, 1);
  const uint32_t mac = SecTel::TelHsRq::Mac1(SecTel::TelHsRq::InnerLen(static_cast<uint32_t>(good.size())));
  for (uint32_t k = WISP::lenHdr; k < mac; ++k) {
    Bytes d = good;
    d[k] ^= static_cast<uint8_t>(1u << (k % 8));
    ASSERT_EQ(consume(d), Noise::resMac) << k;
    PutMac1(d, p.srv.pub);
    ASSERT_EQ(consume(d), Noise::resAuth) << k;
  }
  for (uint32_t k = mac; k < mac + 16; ++k) {
    Bytes d = good;
    d[k] ^= 0x80;
    ASSERT_EQ(consume(d), Noise::resMac) << k;
  }
  // Taken once; the same request again is a replay.
  EXPECT_EQ(consume(good), Noise::resOk);
  EXPECT_EQ(consume(good), Noise::resStamp);

  // Time stamps: per client, strictly newer. The client's own stamps never
  // repeat, so the older requests come from a program started afresh.
  static uint64_t now = 0;
  Noise::InitModule({.clock = [] { return now; }});
  now = 2000;
  const Bytes later = Request(c, p.cli, p.srv.pub, 2);
  Noise::InitModule({.clock = [] { return now; }});
  now = 1000;
  const Bytes earlier = Request(c, p.cli, p.srv.pub, 3);
  const Bytes same = Request(c, p.cli, p.srv.pub, 4);      // 1001
  const Bytes daves = Request(c, p.dave, p.srv.pub, 5);    // 1002
  EXPECT_EQ(consume(same), Noise::resOk);
  EXPECT_EQ(consume(earlier), Noise::resStamp);   // 1000 after 1001
  EXPECT_EQ(consume(later), Noise::resOk);
  EXPECT_EQ(consume(daves), Noise::resOk);        // each client has its own newest
  EXPECT_EQ(consume(same), Noise::resStamp);
}

// ---- the door, server side ----------------------------------------------------

// A server with n entries and a client that finished its handshake through it.
struct ServerSide {
  static constexpr uint32_t cliIdx = 0x01020304u;   // the client's index
  Parties p;
  Far far;
  uint32_t ses = 0;
  explicit ServerSide(uint32_t n = 2, uint8_t offer = 0, uint64_t ctrMax = 0, uint8_t epochBits = 0) {
    Seal::InitModule({.cnt = n, .server = true, .ctrMax = ctrMax, .epochBits = epochBits});
    if (epochBits != 0) far.epochBits = epochBits;
    Noise::TState c{};
    const Got g = Open(Request(c, p.cli, p.srv.pub, cliIdx, offer));
    EXPECT_EQ(g.drop, Seal::drpNone);
    EXPECT_EQ(g.tel, RdRq());
    ses = g.ses;
    EXPECT_EQ(Keys::ClientName(Seal::Client(ses)), std::string("carol"));
    const Bytes rp = Send(ses, RdRp());
    EXPECT_EQ(rp.size(), SecTel::TelHsRp::Len(WISP::TelRdRp::len));
    uint8_t tel[WISP::lenMaxTel];
    uint32_t tl = 0;
    EXPECT_EQ(Noise::ConsumeReply(c, p.cli, rp.data(), static_cast<uint32_t>(rp.size()), tel, tl, far.aead, far.k),
              Noise::resOk);
    far.peer = c.peer;
  }
};

TEST(Seal, ServerOpensAndSealsEachWay) {
  for (uint8_t offer : {uint8_t{0}, Noise::offerAes}) {
    ServerSide t(2, offer);
    const bool aes = offer != 0 && crypto_aead_aes256gcm_is_available();
    EXPECT_EQ(t.far.aead, aes ? Noise::aeadAes : Noise::aeadChaCha);
    EXPECT_EQ(Seal::Aead(t.ses), t.far.aead);
    // Nothing sealed goes out before the client has sealed something.
    EXPECT_TRUE(Send(t.ses, DatRq(0)).empty());
    EXPECT_FALSE(Seal::Confirmed(t.ses));
    const Got g = Open(t.far.Seal(DatRq(7)));
    EXPECT_EQ(g.drop, Seal::drpNone);
    EXPECT_EQ(g.tel, DatRq(7));
    EXPECT_EQ(g.ses, t.ses);
    EXPECT_TRUE(Seal::Confirmed(t.ses));
    // An empty sealed telegram: opened, nothing for the session.
    const Got e = Open(t.far.Seal(Bytes{}));
    EXPECT_EQ(e.drop, Seal::drpNone);
    EXPECT_TRUE(e.tel.empty());
    for (uint64_t c = 0; c < 3; ++c) {
      const Bytes tel = DatRq(static_cast<uint32_t>(100 + c));
      const Bytes d = Send(t.ses, tel);
      ASSERT_EQ(d.size(), tel.size() + SecTel::TelSeal::ovr);
      Bytes in;
      EXPECT_TRUE(t.far.Open(d, ServerSide::cliIdx, c, in));
      EXPECT_EQ(in, tel);
    }
  }
}

TEST(Seal, RefusedDatagramsAreCountedAndKeepNothing) {
  ServerSide t(2);
  Parties& p = t.p;
  auto dropped = [](Seal::TDrop w) { return Seal::Dropped(w); };
  Noise::TState c{};
  // Handshakes: another server's key, a client not listed, a replay; a
  // classic request; noise.
  const Bytes rq = Request(c, p.cli, p.srv.pub, 9);
  const struct {
    Bytes d;
    Seal::TDrop why;
  } bad[] = {
      {Request(c, p.cli, p.other.pub, 9), Seal::drpMac},
      {Request(c, p.other, p.srv.pub, 9), Seal::drpPeer},
      {RdRq(), Seal::drpPlain},
      {Bytes(5, 0), Seal::drpLen},
      {Bytes(200, 0x5A), Seal::drpHdr},
  };
  for (const auto& b : bad) {
    const uint32_t before = dropped(b.why);
    EXPECT_EQ(Open(b.d).drop, b.why);
    EXPECT_EQ(dropped(b.why), before + 1);
    EXPECT_EQ(Seal::InUse(), 1u);
  }
  // Every bit of a sealed telegram counts: with the CRC made anew, a change
  // is an unknown session, a replay or a failed tag; the genuine one still
  // opens afterwards.
  const Bytes s = t.far.Seal(DatRq(1));
  for (uint32_t k = 0; k < s.size() * 8; k += 3) {
    Bytes d = s;
    d[k / 8] ^= static_cast<uint8_t>(1u << (k % 8));
    ASSERT_NE(Open(d).drop, Seal::drpNone) << k;
    if (k / 8 < 7 || k / 8 >= d.size() - 4) continue;
    PutCrc(d);
    const Seal::TDrop w = Open(d).drop;
    ASSERT_TRUE(w == Seal::drpSes || w == Seal::drpReplay || w == Seal::drpAuth) << k << " " << int(w);
  }
  EXPECT_EQ(Open(s).drop, Seal::drpNone);
  // From another endpoint, a replay, the client's own request again.
  EXPECT_EQ(Open(t.far.Seal(DatRq(2)), cliOther).drop, Seal::drpSes);
  EXPECT_EQ(Open(s).drop, Seal::drpReplay);
  const Got again = Open(rq);
  EXPECT_EQ(again.drop, Seal::drpNone);
  EXPECT_EQ(again.ses, t.ses);   // the same client and endpoint: its entry, new keys
  EXPECT_EQ(Open(rq).drop, Seal::drpStamp);
  EXPECT_EQ(Open(t.far.Seal(DatRq(3))).drop, Seal::drpSes);   // old keys, old index
  // A table full of sessions: the next good request finds no entry.
  EXPECT_EQ(Open(Request(c, p.cli, p.srv.pub, 10), cliOther).drop, Seal::drpNone);
  EXPECT_EQ(Open(Request(c, p.cli, p.srv.pub, 11), UDP0::TDstDesc{UDP0::TAdrDesc{}, 40002}).drop, Seal::drpFull);
  Seal::Free(t.ses);
  EXPECT_EQ(Seal::InUse(), 1u);
}

TEST(Seal, ReplayWindowEdges) {
  ServerSide t;
  const Far& f = t.far;
  auto open = [&](uint64_t c) { return Open(f.Seal(DatRq(0), c)).drop; };
  const uint64_t top = 20000;
  ASSERT_EQ(open(5), Seal::drpNone);
  ASSERT_EQ(open(top), Seal::drpNone);
  EXPECT_EQ(open(top), Seal::drpReplay);
  EXPECT_EQ(open(top - Seal::winBack), Seal::drpReplay);       // just out of the window
  EXPECT_EQ(open(top - Seal::winBack + 1), Seal::drpNone);     // its oldest counter
  EXPECT_EQ(open(top - Seal::winBack + 1), Seal::drpReplay);
  EXPECT_EQ(open(top - 1), Seal::drpNone);                     // late, but inside
  EXPECT_EQ(open(top + 1), Seal::drpNone);
  // A jump of the whole ring: counters that share a bit with old ones are new.
  EXPECT_EQ(open(top + 1 + Seal::winBits), Seal::drpNone);
  EXPECT_EQ(open(top + 1 + Seal::winBits - 64), Seal::drpNone);
  EXPECT_EQ(open(top + Seal::winBits), Seal::drpNone);
}

TEST(Seal, CounterLimitEndsSending) {
  ServerSide t(2, 0, 3);
  ASSERT_EQ(Open(t.far.Seal(DatRq(0))).drop, Seal::drpNone);
  for (int k = 0; k < 3; ++k) EXPECT_FALSE(Send(t.ses, DatRq(0)).empty()) << k;
  EXPECT_TRUE(Seal::Spent(t.ses));
  EXPECT_TRUE(Send(t.ses, DatRq(0)).empty());
  EXPECT_EQ(Open(t.far.Seal(DatRq(0), 2)).drop, Seal::drpNone);
  EXPECT_EQ(Open(t.far.Seal(DatRq(0), 3)).drop, Seal::drpReplay);   // past the limit
}

TEST(Seal, KeysChangeEachEpochInStep) {
  for (uint8_t offer : {uint8_t{0}, Noise::offerAes}) {
    ServerSide t(2, offer, 0, 2);   // a key per 4 telegrams
    // Out: counters 0..11 under three keys, each opened with its own.
    ASSERT_EQ(Open(t.far.Seal(DatRq(0), 0)).drop, Seal::drpNone);
    for (uint64_t c = 0; c < 12; ++c) {
      Bytes in;
      EXPECT_TRUE(t.far.Open(Send(t.ses, DatRq(static_cast<uint32_t>(c))), ServerSide::cliIdx, c, in)) << c;
    }
    // In: the epochs before and after the newest telegram's are held.
    const struct {
      uint64_t c;
      Seal::TDrop want;
    } in[] = {{5, Seal::drpNone}, {2, Seal::drpNone}, {9, Seal::drpNone}, {3, Seal::drpReplay},
              {6, Seal::drpNone}, {13, Seal::drpNone}, {24, Seal::drpReplay}, {16, Seal::drpNone},
              {15, Seal::drpNone}};
    for (const auto& x : in) EXPECT_EQ(Open(t.far.Seal(DatRq(1), x.c)).drop, x.want) << x.c;
  }
}

// ---- the door, client side ------------------------------------------------------

TEST(Seal, ClientTakesOnlyTheReplyToItsNewestRequest) {
  Keys::TPair cli = SecureTest::NewPair();
  Parties p(&cli);   // Keys holds the client's pair; its list names it as carol
  p.keys.Write("clients", Text(cli.pub) + " carol\n");
  ASSERT_EQ(Keys::LoadClients(p.keys.dir.c_str()), Keys::errOk);
  Seal::InitModule({.cnt = 1, .server = false});
  const UDP0::TDstDesc srvAt{UDP0::TAdrDesc{}, 667};
  const uint32_t ses = Seal::New(p.srv.pub, srvAt);
  ASSERT_NE(ses, 0u);
  EXPECT_EQ(Seal::New(p.srv.pub, srvAt), 0u);   // one entry
  EXPECT_TRUE(Send(ses, DatRq(0)).empty());     // no keys yet
  const Bytes rq1 = Send(ses, RdRq());
  const Bytes rq2 = Send(ses, RdRq());          // a repetition: a new handshake
  ASSERT_EQ(rq2.size(), SecTel::TelHsRq::Len(WISP::TelRdRq::len));
  auto reply = [&](const Bytes& rq, Noise::TKeys& k) {
    Noise::TState s{};
    uint8_t tel[WISP::lenMaxTel];
    uint32_t tl = 0;
    EXPECT_EQ(Noise::ConsumeRequest(s, p.srv, rq.data(), static_cast<uint32_t>(rq.size()), tel, tl), Noise::resOk);
    const Bytes rp0 = RdRp();
    Bytes rp(WISP::lenMaxTel);
    rp.resize(Noise::CreateReply(s, 0x0BADCAFEu, Noise::aeadChaCha, rp0.data(), static_cast<uint32_t>(rp0.size()),
                                 rp.data(), k));
    return rp;
  };
  Noise::TKeys k1{}, k2{};
  const Bytes rp1 = reply(rq1, k1);
  const Bytes rp2 = reply(rq2, k2);
  EXPECT_EQ(Open(rp1, srvAt).drop, Seal::drpSes);   // to the older request
  Bytes forged = rp2;
  forged[60] ^= 1;
  PutCrc(forged);
  EXPECT_EQ(Open(forged, srvAt).drop, Seal::drpAuth);
  EXPECT_EQ(Open(rp2, cliOther).drop, Seal::drpSes);   // not from the server's endpoint
  const Got g = Open(rp2, srvAt);
  ASSERT_EQ(g.drop, Seal::drpNone);
  EXPECT_EQ(g.tel, RdRp());
  EXPECT_TRUE(Seal::Keyed(ses) && Seal::Confirmed(ses));
  // Sealed both ways with the second handshake's keys.
  Far srv{Noise::aeadChaCha, {}, 0, 0};
  std::memcpy(srv.k.tx, k2.tx, 32);
  std::memcpy(srv.k.rx, k2.rx, 32);
  uint8_t conf[WISP::lenMaxTel];
  const uint32_t n = Seal::Confirm(ses, conf);
  EXPECT_EQ(n, SecTel::TelSeal::ovr);
  Bytes in;
  EXPECT_TRUE(srv.Open(Bytes(conf, conf + n), 0x0BADCAFEu, 0, in));
  EXPECT_TRUE(in.empty());
  EXPECT_TRUE(srv.Open(Send(ses, DatRq(4)), 0x0BADCAFEu, 1, in));
  EXPECT_EQ(in, DatRq(4));
  srv.peer = Noise::ReceiverIndex(rp2.data());   // the client's index
  EXPECT_EQ(Open(srv.Seal(DatRq(5)), srvAt).tel, DatRq(5));
}

}  // namespace
