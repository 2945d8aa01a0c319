// The client's data phase when the event loop comes late: a timer pass that
// reports k expired update periods does the work of k periods at once (at
// most those that fit in 25 ms; the data phase's first pass does one): in
// put mode k x 2 x fpu fragments sent, in get mode k x fpu fragments asked
// for, while the receiver's re-request countdowns go down once per pass.
//
// The session module is compiled into this file (as in the fuzz target), so
// a case reaches its receive handler and its session and drives the timer
// through the timer table, as the event loop does. Each case runs the
// client's start-up in a child process of its own, in a scratch directory.
#include "../../cli/src/Client.cpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <vector>

#include "../ChildCase.h"
#include "Args.h"
#include "Link.h"
#include "MD5.h"
#include "Startup.h"

namespace {
  using ChildCase::End;
  using ChildCase::Sent;
  using ChildCase::Want;

  void Deliver(const uint8_t* x, uint32_t l) {
    uint8_t buf[WISP::lenMaxTel];
    std::memcpy(buf, x, l);
    OnRx(buf, l);
  }

  // The client started in a fresh scratch directory with put.bin (2000
  // fragments of 100 bytes) and the parameters a; a loopback socket of the
  // case stands for the server (nothing reads it).
  void StartClient(std::initializer_list<const char*> a) {
    ChildCase::EnterScratch();
    {
      std::ofstream f("put.bin", std::ios::binary);
      for (int k = 0; k < 2000 * 100; ++k) f.put(static_cast<char>(k));
    }
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof sa;
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&sa), &l) != 0)
      _exit(90);
    static char port[8];
    std::snprintf(port, sizeof port, "%u", ntohs(sa.sin_port));
    static std::vector<char*> argv;
    argv = {const_cast<char*>("WISPCli"), const_cast<char*>("-p"), port};
    for (const char* w : a) argv.push_back(const_cast<char*>(w));
    argv.push_back(nullptr);
    Args::SetArgs(static_cast<int>(argv.size() - 1), argv.data());
    Startup::InitModules(false);
  }

  void LatePut() {
    StartClient({"put", "put.bin"});
    uint8_t x[WISP::lenMaxTel];
    Deliver(x, WISP::Encode(x, WISP::TWrRpDesc{WISP::errNull, 100, 1, 10, 1, 0}));   // 1 ms, 10 per update
    Want(ses.st == stData, 1, "the data phase");
    for (uint32_t b = 0; b < 1024; b += 32) Deliver(x, WISP::Encode(x, WISP::TDatRqDesc{{1, b}, 0xFFFFFFFF}));
    Want(ses.s->r.n == 1024, 2, "1024 fragments queued");
    // The data phase's first pass does one period however late it is: the
    // time it reports began before the reply came.
    Tmrs::Trigger(5);
    Want(ses.s->r.n == 1024 - 20, 3, "20 sent");
    const uint32_t s0 = Sent();
    Tmrs::Trigger(5);   // 5 periods: 5 x 2 x 10 fragments
    Want(ses.s->r.n == 1024 - 20 - 100 && Sent() - s0 == 100, 4, "100 sent");
    Tmrs::Trigger(1000);   // a stall of a second: 25 periods
    Want(ses.s->r.n == 1024 - 20 - 100 - 500, 5, "500 more sent");
    Tmrs::Trigger(1);
    Want(ses.s->r.n == 1024 - 20 - 100 - 500 - 20, 6, "20 more sent");
    End(0);
  }

  void LateGet() {
    StartClient({"-u", "2", "get", "get.bin"});
    uint8_t x[WISP::lenMaxTel];
    WISP::TRdRpDesc p{};
    p.f = 100;
    p.t = 2;
    p.n = 10;
    p.p.l = 2000 * 100;
    p.r = 1;
    Deliver(x, WISP::Encode(x, p));
    Want(ses.st == stData && ses.r->w.w == 125, 1, "the data phase, window 10 x 25 / 2");
    Rcvrs::TRcvr r = ses.r;
    const uint32_t to = 125 / 2;
    // First expiry after 1 ms, then every 2 ms. The first pass does one
    // period however late; then 6 ms are 3 periods, 30 fragments asked for
    // at once, and the countdowns of those asked for before go down once.
    Tmrs::Trigger(7);
    Want(r->w.j == 10 && r->w.t[0] == to, 2, "10 asked for");
    Tmrs::Trigger(6);
    Want(r->w.j == 40 && r->w.t[0] == to - 1 && r->w.t[10] == to, 3, "30 more asked for");
    // All of them arrive; a stall of a second then counts as the 12 periods of
    // 2 ms that fit in 25 ms: 120 more (the window would allow 125).
    for (uint32_t i = 0; i < 40; ++i) {
      uint8_t d[100];
      std::memset(d, static_cast<int>(i), sizeof d);
      Deliver(x, WISP::EncodeDatRp(x, WISP::TDatHdrDesc{1, i}, d, sizeof d));
    }
    Want(r->w.n == 40, 4, "40 arrived");
    Tmrs::Trigger(1000);
    Want(r->w.i == 40 && r->w.j == 160 && r->w.t[40] == to, 5, "120 more asked for");
    // One more period: up to the window's end (40 + 125), and the countdowns
    // of those asked for before go down by one.
    Tmrs::Trigger(2);
    Want(r->w.j == 165 && r->w.t[40] == to - 1, 6, "the window filled, countdowns once per pass");
    Want(r->e[Rcvrs::eNull] == 0 && ses.st == stData, 7, "no error, still in the data phase");
    End(0);
  }

  // A get with -x: the server's extended reply without the digest, every
  // fragment, and the client asks for the digest every Ext::askMs; a digest
  // of another length is bad. With come, the right digest ends the get as a
  // success; without, 30 s of no digest end it like a silent server (the
  // wait's start set back here), whatever else arrives.
  void ExtGet(bool come) {
    StartClient({"-x", "-u", "2", "get", "get.bin"});
    uint8_t x[WISP::lenMaxTel];
    std::vector<uint8_t> v(2000 * 100);
    for (size_t k = 0; k < v.size(); ++k) v[k] = static_cast<uint8_t>(k * 13);
    WISP::TRdRpDesc p{};
    p.f = 100;
    p.t = 2;
    p.n = 10;
    p.p.l = v.size();
    p.r = 1;
    p.x = WISP::extBig;
    p.k = false;
    Deliver(x, WISP::Encode(x, p));
    Want(ses.st == stData && ses.x == WISP::extBig && !ses.g.k, 1, "the extended data phase");
    for (int k = 0; k < 100 && ses.r->w.i < 2000; ++k) {
      Tmrs::Trigger(25);   // asks for the window's next ones
      for (uint32_t i = ses.r->w.i; i < ses.r->w.j; ++i)
        Deliver(x, WISP::EncodeDatRp(x, WISP::TDatHdrDesc{1, i}, v.data() + 100 * i, 100));
    }
    for (int k = 0; k < 4 && !ses.g.on; ++k) Tmrs::Trigger(2);
    Want(ses.st == stClose && ses.g.on, 2, "every fragment: waiting for the digest");
    const uint32_t s0 = Sent();
    for (int k = 0; k < 70; ++k) {
      usleep(2000);
      Tmrs::Trigger(2);
    }
    Want(Sent() - s0 >= 1 && Sent() - s0 <= 3, 3, "asked again after Ext::askMs");
    WISP::TDgstDesc g{0, v.size() - 1, {}};
    MD5::TCtxDesc c;
    MD5::Init(c);
    MD5::Update(c, v.data(), static_cast<uint32_t>(v.size()));
    MD5::Final(c, g.d);
    Deliver(x, WISP::Encode(x, g));
    Want(err[Client::eXVal] == 1 && !ses.g.k, 4, "a digest of another length is bad");
    if (!come) {
      ses.g.t = Tmr::Ticks() - WISP::tosSes;
      Tmrs::Trigger(2);
      End(1);   // not reached: the timer pass stops the client
    }
    g.l = v.size();
    Deliver(x, WISP::Encode(x, g));
    for (int k = 0; k < 5000; ++k) {
      usleep(1000);
      Tmrs::Trigger(2);   // the success ends the process with 0
    }
    End(1);
  }

  // A put with -x starts its data phase before its digest (the worker held
  // here). A request for the digest that comes before the digest is known
  // is kept: the digest goes out once, as soon as the worker has it, with
  // no second request.
  void ExtPut() {
    Jobs::Hold(true);
    StartClient({"-x", "put", "put.bin"});
    uint8_t x[WISP::lenMaxTel];
    Deliver(x, WISP::Encode(x, WISP::TWrRpDesc{WISP::errNull, 100, 1, 10, 1, WISP::extBig}));
    Want(ses.st == stData && ses.x == WISP::extBig && !ses.h.k, 1, "the extended data phase, no digest yet");
    Deliver(x, WISP::Encode(x, WISP::TDgRqDesc{1}));
    const uint32_t s0 = Sent();
    Tmrs::Trigger(2);
    Want(Sent() == s0, 2, "nothing to give yet");
    Jobs::Hold(false);
    for (int k = 0; k < 2000 && Sent() == s0; ++k) {
      usleep(500);
      Tmrs::Trigger(1);
    }
    Want(ses.h.k && Sent() == s0 + 1, 3, "the digest as soon as it is known");
    Tmrs::Trigger(2);
    Want(Sent() == s0 + 1, 4, "given once");
    End(0);
  }
}

TEST(ClientExt, PutGivesTheDigestAskedForBeforeItWasKnown) {
  if (!Jobs::Hold(false)) GTEST_SKIP() << "built without the test seams (WISP_FAULTS)";
  EXPECT_EXIT(ExtPut(), ::testing::ExitedWithCode(0), "");
}

TEST(ClientExt, GetAsksForTheDigestAndSucceedsWhenItComes) {
  EXPECT_EXIT(ExtGet(true), ::testing::ExitedWithCode(0), "");
}

TEST(ClientExt, GetWhoseDigestNeverComesFailsLikeASilentServer) {
  EXPECT_EXIT(ExtGet(false), ::testing::ExitedWithCode(255), "");
}

TEST(ClientTmr, LatePutPassSendsTheFragmentsOfItsPeriods) {
  EXPECT_EXIT(LatePut(), ::testing::ExitedWithCode(0), "");
}

TEST(ClientTmr, LateGetPassAsksForTheFragmentsOfItsPeriods) {
  EXPECT_EXIT(LateGet(), ::testing::ExitedWithCode(0), "");
}
