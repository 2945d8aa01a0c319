// CliIO.cpp — the server's link over the common core.
#include "CliIO.h"

#include "Cfg.h"
#include "Config.h"
#include "Link.h"

namespace {
  CliIO::THandler hnd = nullptr;
  CliIO::TRefused ref = nullptr;

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

  // A datagram from elsewhere is dropped before anything looks at it, and
  // nothing answers it: to that source the server is not there.
  void OnRx(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t l) {
    if (!Served(d.a)) {
      Link::IncCnt(Link::Cnt().rxf);
      if (ref != nullptr) ref();
    } else if (hnd != nullptr) {
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
    Link::InitModule({.name = "CliIO", .mid = Cfg::midCliIO, .vrb = Config::data.vrb, .la = Config::data.adr,
                      .lp = Config::data.prt, .startLine = "InitSock Listening on ", .rx = OnRx,
                      .flt = Config::data.nnt != 0});
  }

  void Install(THandler h, TRefused f) {
    if (hnd != nullptr) Link::Fatal("Install Called twice");
    hnd = h;
    ref = f;
  }

  void Send(const UDP0::TDstDesc& d, const uint8_t* x, size_t n, uint32_t l) { Link::Send(d, x, n, l); }
  void Runs(uint32_t fpu) { Link::Runs(fpu > Link::runFpu); }

  void Execute() { Link::Execute(); }
}
