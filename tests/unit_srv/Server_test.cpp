// The server's timer when the event loop comes late: a timer pass that
// reports k elapsed milliseconds advances every session by k steps (at most
// Server::stepsMax), so updates, fragments sent, time-outs and update
// countdowns follow the clock and not the number of loop passes.
//
// The session module is compiled into this file (as in the fuzz target), so
// the test reaches its receive handler and its table; the timer is driven
// through the timer table, as the event loop drives it.
#include "../../srv/src/Server.cpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "Args.h"
#include "FuzzFrame.h"
#include "Link.h"
#include "Startup.h"

namespace {
  void Deliver(uint16_t port, const uint8_t* x, uint32_t l) {
    CliIO::TRxInfDesc r{{FuzzFrame::Loopback(), port}};
    Server::OnRx(r, x, l);
  }

  void WriteFile(const char* n, size_t len) {
    FILE* f = std::fopen(n, "wb");
    ASSERT_NE(f, nullptr);
    for (size_t i = 0; i < len; ++i) std::fputc(static_cast<int>(i & 0xFF), f);
    std::fclose(f);
  }

  uint32_t Sent() { return Link::Cnt().txn; }
}

TEST(ServerTmr, LatePassMakesUpItsStepsUpToTheBound) {
  using namespace Server;
  FuzzFrame::EnterScratchDir("WISPSrv.log");
  WriteFile("a.bin", 200 * 1455);
  static char a0[] = "WISPSrv", a1[] = "-a", a2[] = "127.0.0.1", a3[] = "-p", a4[] = "0";
  static char* argv[] = {a0, a1, a2, a3, a4, nullptr};
  Args::SetArgs(5, argv);
  Startup::InitModules(false);
  const uint16_t rd = FuzzFrame::OpenPeer(), wr = FuzzFrame::OpenPeer();
  uint8_t x[WISP::lenMaxTel];

  // A read session (1 ms, 10 per update) with all 200 fragments asked for.
  WISP::TRdRqDesc rq{};
  rq.f = 1455;
  rq.t = 1;
  rq.n = 10;
  WISP::PutResID(reinterpret_cast<uint8_t*>(rq.r), 0, "a.bin");
  Deliver(rd, x, WISP::Encode(x, rq));
  for (uint32_t b = 0; b < 200; b += 32) {
    WISP::TDatRqDesc d{{1, b}, 0xFFFFFFFF};
    Deliver(rd, x, WISP::Encode(x, d));
  }
  // A write session granted 3 ms and 4 per update: window 33.
  WISP::TWrRqDesc wq{};
  wq.f = 1455;
  wq.t = 3;
  wq.n = 4;
  wq.p.l = 100 * 1455;
  WISP::PutResID(reinterpret_cast<uint8_t*>(wq.r), 0, "w.bin");
  Deliver(wr, x, WISP::Encode(x, wq));
  TSesDesc& r = Ses(1);
  TSesDesc& w = Ses(2);
  ASSERT_EQ(r.i, 1);
  ASSERT_EQ(w.i, 2);
  ASSERT_TRUE(w.x.w);
  ASSERT_EQ(r.x.s.s->r.n, 200u);
  ASSERT_EQ(w.x.r.r->w.w, 33u);

  // 7 ms in one pass: seven steps. The read session sends 7 x 2 x 10; the
  // write session updates at steps 1, 4 and 7 and asks for 4 fragments each
  // time (one data request per update).
  uint32_t s0 = Sent();
  Tmrs::Trigger(7);
  EXPECT_EQ(r.x.s.s->r.n, 60u);
  EXPECT_EQ(w.x.r.r->w.j, 12u);
  EXPECT_EQ(Sent() - s0, 140u + 3u);
  EXPECT_EQ(r.c.t, tos - 7);
  EXPECT_EQ(w.c.t, tos - 7);
  EXPECT_EQ(w.c.u, 3u);   // updated at the last step

  // A stall of a second counts as stepsMax steps: the read session empties
  // its queue, the write session fills its window, each fragment asked for
  // has been through 8 more updates, and no time-out has fired.
  Tmrs::Trigger(1000);
  EXPECT_EQ(r.x.s.s->r.n, 0u);
  EXPECT_EQ(w.x.r.r->w.j, 33u);
  EXPECT_EQ(w.x.r.r->w.t[0], 125u / 3 - 2 - 8);
  EXPECT_EQ(w.x.r.r->e[Rcvrs::eTO], 0u);
  EXPECT_EQ(r.c.t, tos - 7 - stepsMax);
  EXPECT_EQ(w.c.t, tos - 7 - stepsMax);
  EXPECT_EQ(w.c.u, 2u);   // updates at steps 3, 6, .. 24 of the 25

  // The time-out follows the elapsed steps too: 5 left, then 6 ms in one
  // pass end the session at its sixth step.
  r.c.t = 5;
  Tmrs::Trigger(5);
  EXPECT_EQ(r.i, 1);
  EXPECT_EQ(r.c.t, 0u);
  Tmrs::Trigger(1);
  EXPECT_EQ(r.i, 0);
  EXPECT_EQ(w.i, 2);
  EXPECT_EQ(ses.n, 1u);
}
