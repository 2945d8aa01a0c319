// FuzzSecure.h — what the secure mode's fuzz targets share: a server's key
// directory with fixed key pairs (from seeds, so that runs repeat), the
// door started afresh for each input, a client's genuine handshake request,
// and changes an input makes to a genuine datagram.
#pragma once
#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "../SecurePeer.h"
#include "FuzzFrame.h"
#include "Keys.h"
#include "Noise.h"
#include "Seal.h"
#include "SecTel.h"

namespace FuzzSecure {
  using SecurePeer::Bytes;

  inline Keys::TPair srv, cli, stranger;   // stranger: listed nowhere
  constexpr uint32_t entries = 3;

  inline Keys::TPair Seeded(uint8_t s) {
    uint8_t seed[crypto_box_SEEDBYTES];
    std::memset(seed, s, sizeof seed);
    Keys::TPair p;
    crypto_box_seed_keypair(p.pub, p.prv, seed);
    return p;
  }

  inline void Check(bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "fuzz: invariant broken: %s\n", what);
      std::abort();
    }
  }

  // The scratch directory with the server's key files and its list of
  // clients ("carol" is cli).
  inline void Setup() {
    FuzzFrame::EnterScratchDir("WISPSrv.log");
    Keys::InitModule({.prg = "WISPSrv"});
    srv = Seeded(1);
    cli = Seeded(2);
    stranger = Seeded(3);
    char t[Keys::lenKeyTxt + 1];
    sodium_bin2base64(t, sizeof t, srv.prv, Keys::lenKey, sodium_base64_VARIANT_ORIGINAL);
    std::ofstream("key") << t << "\n";
    std::filesystem::permissions("key", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    sodium_bin2base64(t, sizeof t, cli.pub, Keys::lenKey, sodium_base64_VARIANT_ORIGINAL);
    std::ofstream("clients") << "# fuzz\n" << t << " carol\n";
    bool wrote = false;
    Check(Keys::LoadOwn(".", wrote) == Keys::errOk && Keys::LoadClients(".") == Keys::errOk, "key set-up");
  }

  // Each input meets a server that has seen nothing.
  inline void Restart(uint8_t epochBits = 0) {
    Noise::InitModule();
    Seal::InitModule({.cnt = entries, .server = true, .epochBits = epochBits});
  }

  inline const UDP0::TDstDesc& Peer(uint32_t k) {
    static const UDP0::TDstDesc at[4] = {{UDP0::TAdrDesc{}, 5000}, {UDP0::TAdrDesc{}, 5001},
                                         {UDP0::TAdrDesc{}, 5002}, {UDP0::TAdrDesc{}, 5003}};
    return at[k & 3];
  }

  struct TGot {
    Seal::TDrop drop;
    Bytes tel;
    uint32_t ses;
  };
  inline TGot Open(const Bytes& d, const UDP0::TDstDesc& src) {
    uint8_t t[WISP::lenMaxTel];
    std::memset(t, 0xEE, sizeof t);
    uint32_t tl = 0, ses = 0;
    const uint32_t before = Seal::InUse();
    const Seal::TDrop r = Seal::Open(d.data(), static_cast<uint32_t>(d.size()), src, t, tl, ses);
    Check(r < Seal::drpCnt, "drop reason in range");
    Check(tl <= WISP::lenMaxTel, "telegram within the buffer");
    if (r != Seal::drpNone) Check(Seal::InUse() == before && tl == 0 && ses == 0, "a drop keeps nothing");
    else Check(Seal::InUse() <= entries && (tl == 0 || ses != 0), "an opened datagram has its entry");
    return {r, Bytes(t, t + tl), ses};
  }

  // A raw datagram record: len (u16, mod 1601) and its bytes, of which the
  // link would hand over at most lenMaxTel.
  inline Bytes Raw(FuzzFrame::TReader& r) {
    FuzzFrame::TDatagram dg;
    FuzzFrame::ReadDatagram(r, r.U16() % 1601, false, false, dg);
    return Bytes(dg.x, dg.x + (dg.l < WISP::lenMaxTel ? dg.l : WISP::lenMaxTel));
  }

  inline Bytes RdRq(uint8_t n) {
    WISP::TRdRqDesc d{.f = 1400, .t = 1, .n = n, .r = {}, .x = 0};
    std::snprintf(d.r, sizeof d.r, "file-%u.bin", n);
    Bytes x(WISP::lenMaxTel);
    x.resize(WISP::Encode(x.data(), d));
    return x;
  }

  // A genuine request of client c to server key s, carrying tel.
  inline Bytes Request(Noise::TState& hs, const Keys::TPair& c, const Keys::TKey& s, uint32_t idx, const Bytes& tel) {
    Bytes d(WISP::lenMaxTel);
    d.resize(Noise::CreateRequest(hs, c, s, idx, Noise::offerAes, tel.data(), static_cast<uint32_t>(tel.size()),
                                  d.data()));
    return d;
  }

  // Up to 7 changes of the input's choice: position, bits to flip; then
  // the CRC made right again when fixCrc.
  inline void Change(FuzzFrame::TReader& r, Bytes& d, bool fixCrc) {
    uint8_t n = 0;
    r.Byte(n);
    for (uint8_t k = 0; k < (n & 7) && !d.empty(); ++k) {
      const uint16_t pos = r.U16();
      uint8_t x = 0;
      r.Byte(x);
      d[pos % d.size()] ^= x;
    }
    if (fixCrc && d.size() >= 4) SecurePeer::PutCrc(d);
  }
}
