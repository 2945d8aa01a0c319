// CliIO.cpp — the server's link over the common core, and in the secure
// mode its door (Seal).
#include "CliIO.h"

#include "Cfg.h"
#include "Config.h"
#include "Keys.h"
#include "Link.h"
#include "Seal.h"
#include "SecTel.h"
#include "Secure.h"
#include "WISP.h"

namespace {
  CliIO::THandler hnd = nullptr;
  CliIO::TRefused ref = nullptr;

  // The secure mode: the entry of the datagram being handled, and the
  // entries the sessions hold (by entry number).
  constexpr uint32_t entMax = Cfg::cntMax + 1;
  uint32_t cur = 0;
  bool held[entMax + 1];

  // Whether the server talks to the address a: every address without -n,
  // otherwise those of the networks given.
  bool Served(const UDP0::TAdrDesc& a) {
    const Config::TDataDesc& c = Config::data;
    if (c.nnt == 0) return true;
    for (uint32_t k = 0; k < c.nnt; ++k) {
      if (UDP0::InNet(a, c.net[k])) return true;
    }
    return false;
  }

  // Only what the door opens reaches the session: a plain telegram, a
  // request that does not prove it knows our key, a client not listed, a
  // replay or a forgery is counted by Seal and gets no answer. An entry
  // that no session took after its datagram was handled is given back.
  void OnRxSealed(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t l) {
    uint8_t tel[WISP::lenMaxTel];
    uint32_t tl = 0;
    uint32_t k = 0;
    if (Seal::Open(x, l, d, tel, tl, k) != Seal::drpNone) return Link::IncCnt(Link::Cnt().rxe);
    Link::IncCnt(Link::Cnt().rxn);
    if (tl == 0) return;   // the client's confirmation
    cur = k;
    CliIO::TRxInfDesc r{d};
    hnd(r, tel, tl);
    cur = 0;
    if (k <= entMax && !held[k]) Seal::Free(k);
  }

  // A datagram from elsewhere is dropped before anything looks at it, and
  // nothing answers it: to that source the server is not there.
  void OnRx(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t l) {
    if (!Served(d.a)) {
      Link::IncCnt(Link::Cnt().rxf);
      if (ref != nullptr) ref();
    } else if (hnd != nullptr) {
      if (Secure::On()) return OnRxSealed(d, x, l);
      Link::IncCnt(Link::Cnt().rxn);
      CliIO::TRxInfDesc r{d};
      hnd(r, x, l);
    } else {
      Link::IncCnt(Link::Cnt().rxe);
    }
  }
}

namespace CliIO {
  void InitModule() {
    hnd = nullptr;
    ref = nullptr;
    cur = 0;
    for (bool& h : held) h = false;
    Link::InitModule({.name = "CliIO", .mid = Cfg::midCliIO, .vrb = Config::data.vrb, .la = Config::data.adr,
                      .lp = Config::data.prt, .startLine = "InitSock Listening on ", .rx = OnRx,
                      .flt = Config::data.nnt != 0});
  }

  void Install(THandler h, TRefused f) {
    if (hnd != nullptr) Link::Fatal("Install Called twice");
    hnd = h;
    ref = f;
  }

  void Send(const UDP0::TDstDesc& d, const uint8_t* x, size_t n, uint32_t l, uint32_t k) {
    if (!Secure::On()) return Link::Send(d, x, n, l);
    uint8_t out[WISP::lenMaxTel];
    const uint32_t m = Seal::Send(k != 0 ? k : cur, x, l, out);
    if (m > 0) Link::Send(d, out, sizeof out, m);
  }
  void Runs(uint32_t fpu) { Link::Runs(fpu > Link::runFpu); }

  void Execute() { Link::Execute(); }

  uint32_t Cur() { return cur; }

  uint32_t Take() {
    if (cur != 0 && cur <= entMax) held[cur] = true;
    return cur;
  }

  bool Ready(uint32_t k) { return !Secure::On() || Seal::Confirmed(k); }

  void Drop(uint32_t k) {
    if (k == 0 || k > entMax) return;
    held[k] = false;
    Seal::Free(k);
  }

  uint16_t FglMax(const UDP0::TDstDesc& d) {
    const bool v6 = d.a.f == UDP0::famV6;
    if (Secure::On()) return static_cast<uint16_t>(v6 ? SecTel::lenMaxFgmSeal6 : SecTel::lenMaxFgmSeal);
    return static_cast<uint16_t>(v6 ? WISP::lenMaxFgm6 : WISP::lenMaxFgm);
  }

  void WrClient(SO::TBuffer& b, uint32_t k) {
    if (!Secure::On()) return;
    SO::WrStr(b, " cli '");
    SO::WrStr(b, Keys::ClientName(Seal::Client(k)));
    SO::WrChar(b, '\'');
  }
}
