// CliIO.cpp — the server's link over the common core.
#include "CliIO.h"

#include "Cfg.h"
#include "Config.h"
#include "Link.h"

namespace {
  CliIO::THandler hnd = nullptr;

  void OnRx(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t l) {
    if (hnd != nullptr) {
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
    Link::InitModule({.name = "CliIO", .mid = Cfg::midCliIO, .vrb = Config::data.vrb, .la = Config::data.adr,
                      .lp = Config::data.prt, .startLine = "InitSock Listening on ", .rx = OnRx});
  }

  void Install(THandler h) {
    if (hnd != nullptr) Link::Fatal("Install Called twice");
    hnd = h;
  }

  void Send(const UDP0::TDstDesc& d, const uint8_t* x, size_t n, uint32_t l) { Link::Send(d, x, n, l); }
  void Runs(uint32_t fpu) { Link::Runs(fpu > Link::runFpu); }

  void Execute() { Link::Execute(); }
}
