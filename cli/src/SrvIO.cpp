// SrvIO.cpp — the client's link: bound to a port the system chooses; only
// datagrams whose source is exactly the configured server endpoint reach the
// session, all others are counted in rxe and dropped without a log line.
#include "SrvIO.h"

#include "Cfg.h"
#include "Config.h"
#include "Link.h"

namespace {
  SrvIO::THandler hnd = nullptr;

  void OnRx(uint32_t ra, uint16_t rp, const uint8_t* x, uint32_t l) {
    if (ra == Config::data.adr && rp == Config::data.prt && hnd != nullptr) {
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
    Link::InitModule({.name = "SrvIO", .mid = Cfg::midSrvIO, .vrb = Config::data.vrb, .la = 0, .lp = 0,
                      .startLine = "InitSock Using local socket ", .rx = OnRx});
  }

  void Install(THandler h) {
    if (hnd != nullptr) Link::Fatal("Install Called twice");
    hnd = h;
  }

  void Send(const uint8_t* x, size_t n, uint32_t l) { Link::Send(Config::data.adr, Config::data.prt, x, n, l); }

  void Execute() { Link::Execute(); }
}
