// SrvIO.cpp — the client's link: a socket of the server address's family,
// bound to a port the system chooses; only datagrams whose source is exactly
// the configured server endpoint (address, zone and port) reach the session,
// all others are counted in rxe and dropped without a log line.
#include "SrvIO.h"

#include "Cfg.h"
#include "Config.h"
#include "Link.h"

namespace {
  SrvIO::THandler hnd = nullptr;

  UDP0::TDstDesc Srv() { return {Config::data.adr, Config::data.prt}; }

  void OnRx(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t l) {
    if (d == Srv() && hnd != nullptr) {
      Link::IncCnt(Link::Cnt().rxn);
      hnd(x, l);
    } else {
      Link::IncCnt(Link::Cnt().rxe);
    }
  }
}

namespace SrvIO {
  void InitModule() {
    hnd = nullptr;
    Link::InitModule({.name = "SrvIO", .mid = Cfg::midSrvIO, .vrb = Config::data.vrb,
                      .la = UDP0::Any(Config::data.adr.f), .lp = 0,
                      .startLine = "InitSock Using local socket ", .rx = OnRx});
  }

  void Install(THandler h) {
    if (hnd != nullptr) Link::Fatal("Install Called twice");
    hnd = h;
  }

  void Send(const uint8_t* x, size_t n, uint32_t l) { Link::Send(Srv(), x, n, l); }
  void Runs(uint32_t fpu) { Link::Runs(fpu > Link::runFpu); }

  void Execute() { Link::Execute(); }
}
