// The client's data phase when the event loop comes late: a timer pass that
// reports k expired update periods does the work of k periods (at most those
// that fit in 25 ms), in put mode (fragments sent) and in get mode (updates
// of the receiver, whose re-request countdowns follow the clock).
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
  // peer socket stands for the server (it never answers by itself).
  void Start(std::initializer_list<const char*> a) {
    FuzzFrame::EnterScratchDir("WISPCli.log");
    FILE* f = std::fopen("put.bin", "wb");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 2000 * 100; ++i) std::fputc(i & 0xFF, f);
    std::fclose(f);
    static char port[8];
    std::snprintf(port, sizeof port, "%u", FuzzFrame::OpenPeer());
    static std::vector<char*> argv;
    argv = {const_cast<char*>("WISPCli"), const_cast<char*>("-p"), port};
    for (const char* s : a) argv.push_back(const_cast<char*>(s));
    argv.push_back(nullptr);
    Args::SetArgs(static_cast<int>(argv.size() - 1), argv.data());
    Startup::InitModules(false);
  }
}

TEST(ClientTmr, LatePutPassSendsTheFragmentsOfItsPeriods) {
  Start({"put", "put.bin"});
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

TEST(ClientTmr, LateGetPassRunsTheUpdatesOfItsPeriods) {
  Start({"-u", "2", "get", "get.bin"});
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
  // First expiry after 1 ms, then every 2 ms: 7 ms are 4 periods, each
  // asking for 10 more fragments.
  Tmrs::Trigger(7);
  EXPECT_EQ(r->w.j, 40u);
  EXPECT_EQ(r->w.t[0], to - 3);
  // A stall of a second counts as the 12 periods of 2 ms that fit in 25 ms:
  // the window fills and fragment 0 is 12 updates nearer to its re-request.
  Tmrs::Trigger(1000);
  EXPECT_EQ(r->w.j, 125u);
  EXPECT_EQ(r->w.t[0], to - 3 - 12);
  EXPECT_EQ(r->e[Rcvrs::eTO], 0u);
  EXPECT_EQ(ses.st, stData);
}
