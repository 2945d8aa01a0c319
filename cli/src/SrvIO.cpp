// SrvIO.cpp — the client's link: a socket of the server address's family,
// bound to a port the system chooses; only datagrams whose source is exactly
// the configured server endpoint (address, zone and port) reach the session,
// all others are counted in rxe and dropped without a log line.
//
// In the secure mode every datagram passes the sealing door (Seal) both
// ways: the session sees only the telegrams that were opened, and what it
// sends leaves in the handshake request or sealed.
#include "SrvIO.h"

#include "Cfg.h"
#include "Config.h"
#include "Link.h"
#include "Log.h"
#include "Seal.h"
#include "Secure.h"
#include "Tmr.h"
#include "Tmr0.h"
#include "Tmrs.h"

namespace {
  SrvIO::THandler hnd = nullptr;

  // The secure mode: the door's entry for the server (0: plain mode), when
  // the first handshake request left, whether the silence was reported,
  // whether a sealed telegram of the server arrived, and the timer that
  // repeats a put's confirmation until one does.
  constexpr uint32_t silenceMs = 3000;
  constexpr uint32_t confirmMs = 1000;
  uint32_t sk = 0;
  uint32_t hs0 = 0;
  bool hsSent = false;
  bool told = false;
  bool heard = false;
  Tmrs::TTmr ctm = nullptr;

  UDP0::TDstDesc Srv() { return {Config::data.adr, Config::data.prt}; }

  // A put's first step after the reply is to wait for the server's data
  // requests, which the server sends only once the client has shown it holds
  // the session's keys: an empty sealed telegram shows it.
  void Confirm() {
    uint8_t out[WISP::lenMaxTel];
    const uint32_t n = Seal::Confirm(sk, out);
    if (n > 0) Link::Send(Srv(), out, sizeof out, n);
  }

  void OnConfirmTmr(uint32_t, uint32_t) {
    if (heard) return Tmrs::Set(ctm, 0, 0);
    Confirm();
  }

  void OnRxSealed(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t l) {
    uint8_t tel[WISP::lenMaxTel];
    uint32_t tl = 0;
    uint32_t s = 0;
    const bool keyed = Seal::Keyed(sk);
    if (Seal::Open(x, l, d, tel, tl, s) != Seal::drpNone) return Link::IncCnt(Link::Cnt().rxe);
    Link::IncCnt(Link::Cnt().rxn);
    if (WISP::GetU8(x, WISP::TelHdr::c) == SecTel::cmdSeal) {
      heard = true;
    } else if (!keyed && Config::data.wrt) {
      Confirm();
      Tmrs::Set(ctm, confirmMs, confirmMs);
    }
    if (tl > 0) hnd(tel, tl);
  }

  void OnRx(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t l) {
    if (d == Srv() && hnd != nullptr) {
      if (sk != 0) return OnRxSealed(d, x, l);
      Link::IncCnt(Link::Cnt().rxn);
      hnd(x, l);
    } else {
      Link::IncCnt(Link::Cnt().rxe);
    }
  }

  // Before the reply every request is a new handshake. A server that stays
  // silent for a while is not a plain one that refused: the client says what
  // may be wrong, once, and goes on asking.
  void Silence() {
    const uint32_t now = Tmr::Ticks();
    if (!hsSent) {
      hsSent = true;
      hs0 = now;
    } else if (!told && Tmr0::Diff(hs0, now) >= silenceMs) {
      told = true;
      Log::Write(Cfg::midSrvIO, Log::lvlMsg,
                 "No reply from the server: it may be down, not in secure mode, or its key may not match the one listed.",
                 true);
    }
  }
}

namespace SrvIO {
  void InitModule() {
    hnd = nullptr;
    Link::InitModule({.name = "SrvIO", .mid = Cfg::midSrvIO, .vrb = Config::data.vrb,
                      .la = UDP0::Any(Config::data.adr.f), .lp = 0,
                      .startLine = "InitSock Using local socket ", .rx = OnRx});
    sk = 0;
    hsSent = told = heard = false;
    if (Secure::On()) {
      sk = Seal::New(Secure::ServerKey(), Srv());
      if (sk == 0) Link::Fatal("InitModule No secure entry");
      ctm = Tmrs::New();
      Tmrs::SetHnd(ctm, OnConfirmTmr, 0);
    }
  }

  void Install(THandler h) {
    if (hnd != nullptr) Link::Fatal("Install Called twice");
    hnd = h;
  }

  void Send(const uint8_t* x, size_t n, uint32_t l) {
    if (sk == 0) return Link::Send(Srv(), x, n, l);
    if (!Seal::Keyed(sk)) Silence();
    uint8_t out[WISP::lenMaxTel];
    const uint32_t m = Seal::Send(sk, x, l, out);
    if (m > 0) Link::Send(Srv(), out, sizeof out, m);
  }
  void Runs(uint32_t fpu) { Link::Runs(fpu > Link::runFpu); }

  void Execute() { Link::Execute(); }
}
