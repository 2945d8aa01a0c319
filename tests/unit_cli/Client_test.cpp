// The client's data phase when the event loop comes late: a timer pass that
// reports k expired update periods does the work of k periods at once (at
// most those that fit in 25 ms): in put mode k x 2 x fpu fragments sent, in
// get mode k x fpu fragments asked for, while the receiver's re-request
// countdowns go down once per pass.
//
// The session module is compiled into this file (as in the fuzz target), so
// the test reaches its receive handler and its session; the timer is driven
// through the timer table, as the event loop drives it. Each test runs in a
// process of its own, so each starts the client once.
#include "../../cli/src/Client.cpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "Args.h"
#include "FuzzFrame.h"
#include "Link.h"
#include "Startup.h"

namespace {
  void Deliver(const uint8_t* x, uint32_t l) {
    uint8_t buf[WISP::lenMaxTel];
    std::memcpy(buf, x, l);
    OnRx(buf, l);
  }

  // Starts the client in a scratch directory with the parameters a, where a
  // peer socket stands for the server (it never answers by itself); false
  // when this process has started it before (the program starts once: ctest
  // runs each test in a process of its own).
  bool Start(std::initializer_list<const char*> a) {
    static bool started = false;
    if (started) return false;
    started = true;
    FuzzFrame::EnterScratchDir("WISPCli.log");
    FILE* f = std::fopen("put.bin", "wb");
    EXPECT_NE(f, nullptr);
    for (int i = 0; f != nullptr && i < 2000 * 100; ++i) std::fputc(i & 0xFF, f);
    if (f != nullptr) std::fclose(f);
    static char port[8];
    std::snprintf(port, sizeof port, "%u", FuzzFrame::OpenPeer());
    static std::vector<char*> argv;
    argv = {const_cast<char*>("WISPCli"), const_cast<char*>("-p"), port};
    for (const char* s : a) argv.push_back(const_cast<char*>(s));
    argv.push_back(nullptr);
    Args::SetArgs(static_cast<int>(argv.size() - 1), argv.data());
    Startup::InitModules(false);
    return true;
  }
}

TEST(ClientTmr, LatePutPassSendsTheFragmentsOfItsPeriods) {
  if (!Start({"put", "put.bin"})) GTEST_SKIP() << "the client starts once per process";
  uint8_t x[WISP::lenMaxTel];
  WISP::TWrRpDesc p{WISP::errNull, 100, 1, 10, 1};   // as asked: 1 ms, 10 per update
  Deliver(x, WISP::Encode(x, p));
  ASSERT_EQ(ses.st, stData);
  for (uint32_t b = 0; b < 1024; b += 32) {
    WISP::TDatRqDesc d{{1, b}, 0xFFFFFFFF};
    Deliver(x, WISP::Encode(x, d));
  }
  ASSERT_EQ(ses.s->r.n, 1024u);
  const uint32_t s0 = Link::Cnt().txn;
  Tmrs::Trigger(5);   // 5 periods: 5 x 2 x 10 fragments
  EXPECT_EQ(ses.s->r.n, 1024u - 100u);
  EXPECT_EQ(Link::Cnt().txn - s0, 100u);
  Tmrs::Trigger(1000);   // a stall of a second: 25 periods
  EXPECT_EQ(ses.s->r.n, 1024u - 100u - 500u);
  Tmrs::Trigger(1);
  EXPECT_EQ(ses.s->r.n, 1024u - 100u - 500u - 20u);
}

TEST(ClientTmr, LateGetPassAsksForTheFragmentsOfItsPeriods) {
  if (!Start({"-u", "2", "get", "get.bin"})) GTEST_SKIP() << "the client starts once per process";
  uint8_t x[WISP::lenMaxTel];
  WISP::TRdRpDesc p{};
  p.f = 100;
  p.t = 2;
  p.n = 10;
  p.p.l = 2000 * 100;
  p.r = 1;
  Deliver(x, WISP::Encode(x, p));
  ASSERT_EQ(ses.st, stData);
  Rcvrs::TRcvr r = ses.r;
  ASSERT_EQ(r->w.w, 125u);   // 10 x 25 / 2
  const uint32_t to = 125 / 2;
  // First expiry after 1 ms, then every 2 ms: 7 ms are 4 periods, 40
  // fragments asked for at once.
  Tmrs::Trigger(7);
  EXPECT_EQ(r->w.j, 40u);
  EXPECT_EQ(r->w.t[0], to);
  // All of them arrive; a stall of a second then counts as the 12 periods of
  // 2 ms that fit in 25 ms: 120 more (the window would allow 125).
  for (uint32_t i = 0; i < 40; ++i) {
    uint8_t d[100];
    std::memset(d, static_cast<int>(i), sizeof d);
    Deliver(x, WISP::EncodeDatRp(x, WISP::TDatHdrDesc{1, i}, d, sizeof d));
  }
  EXPECT_EQ(r->w.n, 40u);
  Tmrs::Trigger(1000);
  EXPECT_EQ(r->w.i, 40u);
  EXPECT_EQ(r->w.j, 160u);
  EXPECT_EQ(r->w.t[40 % Rcvrs::wndMax], to);
  // One more period: up to the window's end (40 + 125), and the countdowns
  // of those asked for before go down by one.
  Tmrs::Trigger(2);
  EXPECT_EQ(r->w.j, 165u);
  EXPECT_EQ(r->w.t[40], to - 1);
  EXPECT_EQ(r->e[Rcvrs::eNull], 0u);
  EXPECT_EQ(ses.st, stData);
}
