// The server's timer when the event loop comes late: a timer pass that
// reports k elapsed milliseconds advances every session by k steps (at most
// Server::stepsMax): its time-out and update countdowns go down by k and the
// updates that fell due are done at once, so fragments sent and asked for
// follow the clock and not the number of loop passes. The receiver's
// re-request countdowns go down once per pass.
//
// The session module is compiled into this file (as in the fuzz target), so
// the test reaches its receive handler and its table; the timer is driven
// through the timer table, as the event loop drives it. Each test runs in a
// process of its own and starts the server once.
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

  // The server on a loopback port of its own in a scratch directory; false
  // when this process has started it before (the program starts once: ctest
  // runs each test in a process of its own).
  bool Start() {
    static bool started = false;
    if (started) return false;
    started = true;
    FuzzFrame::EnterScratchDir("WISPSrv.log");
    // Small enough to be hashed at once: the read session starts with its reply.
    WriteFile("a.bin", 150 * 1455);
    static_assert(150 * 1455 <= Dgsts::nowMax);
    static char a0[] = "WISPSrv", a1[] = "-a", a2[] = "127.0.0.1", a3[] = "-p", a4[] = "0";
    static char* argv[] = {a0, a1, a2, a3, a4, nullptr};
    Args::SetArgs(5, argv);
    Startup::InitModules(false);
    return true;
  }

  // A write request from port for a file of len bytes in fragments of 1455,
  // at period t and n per update.
  void WrRq(uint16_t port, const char* name, uint32_t len, uint16_t t, uint8_t n) {
    uint8_t x[WISP::lenMaxTel];
    WISP::TWrRqDesc q{};
    q.f = 1455;
    q.t = t;
    q.n = n;
    q.p.l = len;
    WISP::PutResID(reinterpret_cast<uint8_t*>(q.r), 0, name);
    Deliver(port, x, WISP::Encode(x, q));
  }
}

TEST(ServerTmr, LatePassMakesUpItsStepsUpToTheBound) {
  using namespace Server;
  if (!Start()) GTEST_SKIP() << "the server starts once per process";
  const uint16_t rd = FuzzFrame::OpenPeer(), wr = FuzzFrame::OpenPeer();
  uint8_t x[WISP::lenMaxTel];

  // A read session (1 ms, 10 per update) with all 150 fragments asked for.
  WISP::TRdRqDesc rq{};
  rq.f = 1455;
  rq.t = 1;
  rq.n = 10;
  WISP::PutResID(reinterpret_cast<uint8_t*>(rq.r), 0, "a.bin");
  Deliver(rd, x, WISP::Encode(x, rq));
  for (uint32_t b = 0; b < 150; b += 32) {
    WISP::TDatRqDesc d{{1, b}, 0xFFFFFFFF};
    Deliver(rd, x, WISP::Encode(x, d));
  }
  // A write session granted 3 ms and 4 per update: window 33.
  WrRq(wr, "w.bin", 100 * 1455, 3, 4);
  TSesDesc& r = Ses(1);
  TSesDesc& w = Ses(2);
  ASSERT_EQ(r.i, 1);
  ASSERT_EQ(w.i, 2);
  ASSERT_TRUE(w.x.w);
  ASSERT_NE(r.x.s.s, nullptr);
  ASSERT_EQ(r.x.s.s->r.n, 150u);
  ASSERT_EQ(w.x.r.r->w.w, 33u);

  // 7 ms in one pass: seven steps. The read session sends 7 x 2 x 10; the
  // write session's updates at steps 1, 4 and 7 ask for 3 x 4 fragments at
  // once, in one data request.
  uint32_t s0 = Sent();
  Tmrs::Trigger(7);
  EXPECT_EQ(r.x.s.s->r.n, 10u);
  EXPECT_EQ(w.x.r.r->w.j, 12u);
  EXPECT_EQ(Sent() - s0, 140u + 1u);
  EXPECT_EQ(r.c.t, tos - 7);
  EXPECT_EQ(w.c.t, tos - 7);
  EXPECT_EQ(w.c.u, 3u);   // updated at the last step
  const uint32_t to = dtc / 3;
  EXPECT_EQ(w.x.r.r->w.t[0], to);

  // A stall of a second counts as stepsMax steps: the read session empties
  // its queue, the write session's 8 updates (steps 3, 6, .. 24) fill its
  // window, and the re-request countdowns go down once.
  Tmrs::Trigger(1000);
  EXPECT_EQ(r.x.s.s->r.n, 0u);
  EXPECT_EQ(w.x.r.r->w.j, 33u);
  EXPECT_EQ(w.x.r.r->w.t[0], to - 1);
  EXPECT_EQ(w.x.r.r->w.t[12], to);
  EXPECT_EQ(w.x.r.r->e[Rcvrs::eTO], 0u);
  EXPECT_EQ(r.c.t, tos - 7 - stepsMax);
  EXPECT_EQ(w.c.t, tos - 7 - stepsMax);
  EXPECT_EQ(w.c.u, 2u);

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

// An empty upload is complete at its first update; its close goes out then
// and again every dtc steps, however the steps come in passes.
TEST(ServerTmr, FinishedUploadRepeatsItsCloseByTheClock) {
  using namespace Server;
  if (!Start()) GTEST_SKIP() << "the server starts once per process";
  WrRq(FuzzFrame::OpenPeer(), "e.bin", 0, 1, 10);
  TSesDesc& e = Ses(1);
  ASSERT_TRUE(e.x.w);
  uint32_t s0 = Sent();
  Tmrs::Trigger(1);
  EXPECT_TRUE(e.x.r.c);
  EXPECT_EQ(Sent() - s0, 1u);
  EXPECT_EQ(e.c.u, dtc);
  Tmrs::Trigger(1000);   // counts as stepsMax steps
  EXPECT_EQ(e.c.u, dtc - stepsMax);
  for (uint32_t k = 0; k < 3; ++k) Tmrs::Trigger(stepsMax);
  EXPECT_EQ(e.c.u, stepsMax);
  EXPECT_EQ(Sent() - s0, 1u);
  Tmrs::Trigger(stepsMax + 2);   // due at the 25th step, the last that counts
  EXPECT_EQ(Sent() - s0, 2u);
  EXPECT_EQ(e.c.u, dtc);
  Tmrs::Trigger(dtc - 10);       // 25 steps
  Tmrs::Trigger(10);
  EXPECT_EQ(e.c.u, dtc - stepsMax - 10);
  EXPECT_EQ(Sent() - s0, 2u);
}
