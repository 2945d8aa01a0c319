// Rcvrs_test.cpp — receivers: the window, which indices one Update asks for,
// the countdowns, the 32-index request split, the slots' wrap at wndMax, the
// error counters; whole transfers through a sender with losses; with -r
// the round-trip estimate and the re-requests it times; and with -c whole
// transfers over a simulated path (a bottleneck with a drop-tail queue, a
// delay, random loss), where the rate and the window follow the path.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "EngineTest.h"
#include "Parts.h"
#include "Rtt.h"

namespace {

using namespace EngineTest;

struct TReq {
  uint32_t f, b, s;
  bool operator==(const TReq& o) const { return f == o.f && b == o.b && s == o.s; }
};
std::vector<TReq> reqs;

void Req(uint32_t f, uint32_t b, uint32_t s) { reqs.push_back({f, b, s}); }

std::ostream& operator<<(std::ostream& o, const TReq& r) {
  return o << "{f " << r.f << " b " << r.b << " s " << std::hex << r.s << std::dec << "}";
}

class RcvrsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Init();
    FreshDir("rcvrs");
    reqs.clear();
  }
  void TearDown() override {
    for (auto& r : rcv)
      if (r != nullptr) Rcvrs::Free(r);
    for (auto& f : fil)
      if (f != nullptr) Files::Close(f);
  }
  // A receiver for a file of len bytes in fragments of l with window w,
  // updated every dtu ms.
  Rcvrs::TRcvr Make(uint32_t len, uint16_t l, uint32_t w, uint32_t dtu = 1) {
    const std::string n = "r" + std::to_string(fil.size());
    Files::TFile f = Files::OpenWr(n.c_str());
    EXPECT_NE(f, nullptr);
    fil.push_back(f);
    Files::TPosDesc t{};
    t.l = len;
    Files::SetTgt(f, t);
    rcv.push_back(Rcvrs::Alloc(l, f, w, dtu));
    return rcv.back();
  }
  void Put(Rcvrs::TRcvr r, uint32_t i, uint32_t len) {
    const std::vector<uint8_t> x(len, static_cast<uint8_t>(i));
    Rcvrs::Receive(r, i, x.data(), len);
  }
  std::vector<Files::TFile> fil;
  std::vector<Rcvrs::TRcvr> rcv;
};

TEST_F(RcvrsTest, AllocChecksAndClamps) {
  Files::TFile f = Files::OpenWr("x");
  fil.push_back(f);
  EXPECT_EQ(Rcvrs::Alloc(0, f, 4), nullptr);
  EXPECT_EQ(Rcvrs::Alloc(1456, f, 4), nullptr);
  EXPECT_EQ(Rcvrs::Alloc(100, nullptr, 4), nullptr);
  Rcvrs::TRcvr a = Make(1000, 1455, 0);
  Rcvrs::TRcvr b = Make(1000, 100, 10000);
  // The largest window a session asks for: 255 fragments per 1 ms update, 25 ms.
  Rcvrs::TRcvr c = Make(1000, 100, 255 * 25);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(a->w.w, 1u);
  EXPECT_EQ(b->w.w, 8192u);
  EXPECT_EQ(c->w.w, 6375u);
  uint32_t n = 0;
  uint16_t l = 0;
  Rcvrs::GetCnt(b, n);
  Rcvrs::GetFgl(b, l);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(l, 100);
}

TEST_F(RcvrsTest, EmptyFileIsCompleteAtOnce) {
  Rcvrs::TRcvr r = Make(0, 100, 8);
  EXPECT_EQ(r->n, 0u);
  Put(r, 0, 100);
  Put(r, 0, 0);
  EXPECT_EQ(r->e[Rcvrs::eWnd], 2u);
  EXPECT_FALSE(Rcvrs::Update(r, 10, 2, Req, 0));
  EXPECT_TRUE(reqs.empty());
}

TEST_F(RcvrsTest, LastFragmentLength) {
  Rcvrs::TRcvr a = Make(200, 100, 8);   // n 2, z 0: the last one is full
  EXPECT_EQ(a->n, 2u);
  EXPECT_EQ(a->z, 0u);
  Rcvrs::Update(a, 10, 2, Req, 0);
  Put(a, 1, 100);
  EXPECT_EQ(a->e[Rcvrs::eNull], 0u);
  Rcvrs::TRcvr b = Make(205, 100, 8);   // n 3, z 5
  EXPECT_EQ(b->n, 3u);
  EXPECT_EQ(b->z, 5u);
  Rcvrs::Update(b, 10, 2, Req, 0);
  Put(b, 2, 100);
  Put(b, 1, 5);
  EXPECT_EQ(b->e[Rcvrs::eLen], 2u);
  Put(b, 2, 5);
  Put(b, 0, 100);
  Put(b, 1, 100);
  EXPECT_EQ(b->e[Rcvrs::eNull], 2u);
  EXPECT_EQ(b->w.n, 3u);
  EXPECT_FALSE(Rcvrs::Update(b, 10, 2, Req, 0));
  Files::TPosDesc p;
  Files::GetPos(b->f, 0, p);
  EXPECT_EQ(p.l, 205u);
}

// Window 4, ten fragments, budget 10: the first Update asks for 0..3; after
// 0 and 1 have arrived the next slides to 2 and asks for 4 and 5.
TEST_F(RcvrsTest, WindowSlidesAndWidens) {
  Rcvrs::TRcvr r = Make(1000, 100, 4);
  EXPECT_TRUE(Rcvrs::Update(r, 10, 2, Req, 9));
  EXPECT_EQ(reqs, (std::vector<TReq>{{9, 0, 0xF}}));
  EXPECT_EQ(r->w.j, 4u);
  Put(r, 0, 100);
  Put(r, 1, 100);
  reqs.clear();
  EXPECT_TRUE(Rcvrs::Update(r, 10, 2, Req, 9));
  EXPECT_EQ(r->w.i, 2u);
  EXPECT_EQ(r->w.j, 6u);
  EXPECT_EQ(reqs, (std::vector<TReq>{{9, 4, 0x3}}));
  EXPECT_EQ(r->e[Rcvrs::eNull], 0u);
  // Not yet asked for, and already passed: both outside the window.
  Put(r, 6, 100);
  Put(r, 1, 100);
  EXPECT_EQ(r->e[Rcvrs::eWnd], 2u);
}

// A countdown of `to` asks again at the to-th following update; 0 acts as 1.
TEST_F(RcvrsTest, CountdownFiresAtTheToThUpdate) {
  for (uint32_t to : {0u, 1u, 3u}) {
    Rcvrs::TRcvr r = Make(300, 100, 1);
    reqs.clear();
    Rcvrs::Update(r, 5, to, Req, 0);
    ASSERT_EQ(reqs.size(), 1u);
    const uint32_t every = to == 0 ? 1 : to;
    for (uint32_t u = 1; u <= 2 * every; ++u) {
      reqs.clear();
      Rcvrs::Update(r, 5, to, Req, 0);
      const bool fire = u % every == 0;
      EXPECT_EQ(reqs.size(), fire ? 1u : 0u) << "to " << to << " update " << u;
      if (fire) {
        EXPECT_EQ(reqs[0], (TReq{0, 0, 1}));
      }
    }
    EXPECT_EQ(r->e[Rcvrs::eTO], 2u) << "to " << to;
    EXPECT_EQ(r->e[Rcvrs::eNull], 2u);
  }
}

TEST_F(RcvrsTest, RequestsSplitAt32Indices) {
  Rcvrs::TRcvr r = Make(64 * 10, 10, 64);
  Rcvrs::Update(r, 100, 1, Req, 0);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 0, 0xFFFFFFFF}, {0, 32, 0xFFFFFFFF}}));
  for (uint32_t i = 1; i < 64; ++i)
    if (i != 40) Put(r, i, 10);
  reqs.clear();
  Rcvrs::Update(r, 100, 1, Req, 0);   // 0 and 40 time out
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 0, 1}, {0, 40, 1}}));
  EXPECT_EQ(r->e[Rcvrs::eTO], 2u);
  // 0 and 31 still fit one request, 0 and 32 do not.
  Rcvrs::TRcvr s = Make(64 * 10, 10, 33);
  reqs.clear();
  Rcvrs::Update(s, 33, 1, Req, 0);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 0, 0xFFFFFFFF}, {0, 32, 1}}));
}

// With budget 1 and two fragments timed out only the first is asked for; the
// second's countdown stays as it was.
TEST_F(RcvrsTest, BudgetEndsTheTimeOutPass) {
  Rcvrs::TRcvr r = Make(500, 100, 5);
  Rcvrs::Update(r, 2, 2, Req, 0);   // asks for 0 and 1, countdowns 2
  Rcvrs::Update(r, 0, 2, Req, 0);   // budget 0: nothing visited
  EXPECT_EQ(r->w.t[1], 2u);
  Rcvrs::Update(r, 5, 2, Req, 0);   // countdowns 1, widens 2..4
  reqs.clear();
  Rcvrs::Update(r, 1, 2, Req, 0);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 0, 1}}));
  EXPECT_EQ(r->w.t[0], 2u);
  EXPECT_EQ(r->w.t[1], 1u);
  EXPECT_EQ(r->e[Rcvrs::eTO], 1u);
  reqs.clear();
  Rcvrs::Update(r, 1, 2, Req, 0);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 1, 1}}));
}

TEST_F(RcvrsTest, DuplicatesAndTheSlotWrapAtWndMax) {
  constexpr uint32_t W = Rcvrs::wndMax;
  Rcvrs::TRcvr r = Make(W + 488, 1, W);
  Rcvrs::Update(r, W, 100, Req, 0);
  EXPECT_EQ(reqs.size(), W / 32);
  EXPECT_EQ(r->w.j, W);
  Put(r, 3, 1);
  Put(r, 3, 1);
  EXPECT_EQ(r->e[Rcvrs::eDup], 1u);
  EXPECT_EQ(r->e[Rcvrs::eNull], 1u);
  for (uint32_t i = 0; i < 10; ++i)
    if (i != 3) Put(r, i, 1);
  reqs.clear();
  Rcvrs::Update(r, 10, 100, Req, 0);
  EXPECT_EQ(r->w.i, 10u);
  EXPECT_EQ(r->w.j, W + 10);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, W, 0x3FF}}));
  EXPECT_EQ(r->w.n, 0u);
  Put(r, W, 1);   // slot 0 again, freed by the slide
  EXPECT_EQ(r->e[Rcvrs::eNull], 1u);
  EXPECT_EQ(r->w.d[0] & 1u, 1u);
  Put(r, W, 1);
  EXPECT_EQ(r->e[Rcvrs::eDup], 2u);
  Put(r, 3, 1);       // passed by the window
  Put(r, W + 10, 1);  // not asked for yet
  EXPECT_EQ(r->e[Rcvrs::eWnd], 2u);
  EXPECT_EQ(r->e[Rcvrs::eNull], 4u);
  Files::TPosDesc p;
  Files::GetPos(r->f, 0, p);
  EXPECT_EQ(p.l, W + 1);
  uint8_t b[1];
  ASSERT_EQ(pread(r->f->b, b, 1, W), 1);
  EXPECT_EQ(b[0], static_cast<uint8_t>(W));
}

TEST_F(RcvrsTest, TableAndFreeLine) {
  for (uint32_t k = 0; k < EngineTest::cnt; ++k) {
    Rcvrs::TRcvr r = Make(100, 10, 4);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->i, k + 1);
  }
  EXPECT_EQ(Rcvrs::Alloc(10, fil[0], 4), nullptr);
  Rcvrs::TRcvr r = rcv[1];
  r->e[Rcvrs::eNull] = 0x12345;
  r->e[Rcvrs::eWnd] = 0xABCD;
  r->e[Rcvrs::eTO] = 7;
  Rcvrs::Free(rcv[1]);
  EXPECT_EQ(rcv[1], nullptr);
  Rcvrs::TRcvr s = Rcvrs::Alloc(10, fil[1], 4);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->i, 2u);
  EXPECT_EQ(s->e[Rcvrs::eNull], 0u);
  rcv[1] = s;
  const std::string t = LogText();
  EXPECT_NE(t.find("Rcvrs    M Free rcv 2 ers 2345 ABCD    0    0    7\r\n"), std::string::npos);
  EXPECT_NE(t.find("Rcvrs    M InitModule cntMax " + std::to_string(EngineTest::cnt) +
                   ", SIZE( TRcvrDesc ) = 67665, wndMax 8192"),
            std::string::npos);
  EXPECT_NE(t.find("Rcvrs    M Alloc rcv 16 fgl 10 cnt 10 rem 0 wnd 4"), std::string::npos);
}

TEST_F(RcvrsTest, DebugLines) {
  EngineTest::SetDbg(true);
  Rcvrs::TRcvr r = Make(250, 10, 25);
  Rcvrs::Update(r, 100, 1, Req, 0);   // 0..24: bases 0 and ... one request
  Put(r, 4, 10);
  Rcvrs::Update(r, 1, 1, Req, 0);     // 0 times out, budget left 0
  const std::string t = LogText();
  EXPECT_NE(t.find("M Update rcv " + std::to_string(r->i) + " idx 0 set 1FFFFFF to 1 wnd 0 25 cnt 75"),
            std::string::npos);
  EXPECT_NE(t.find("M Receive rcv " + std::to_string(r->i) + " idx 4 len 10 to 1 wnd 0 25 don 1"),
            std::string::npos);
  EXPECT_NE(t.find("M Update TO rcv " + std::to_string(r->i) + " idx 0 to 1"), std::string::npos);
  EXPECT_NE(t.find("M Update rcv " + std::to_string(r->i) + " idx 0 set 1 to 1 wnd 0 25 cnt 0"),
            std::string::npos);
}

// Without -d a receiver writes at most one time-out line a second, with the
// number of fragments asked for again since its previous line; with -d one
// line per fragment, as ever.
TEST_F(RcvrsTest, TimeOutLinesAtMostOneASecondWithoutDebug) {
  Rcvrs::TRcvr r = Make(300, 100, 3);
  const std::string id = "M Update TO rcv " + std::to_string(r->i) + " idx ";
  const size_t from = LogText().size();
  const auto lines = [&] {
    std::vector<std::string> v;
    const std::string t = LogText().substr(from);
    for (size_t k = t.find(id); k != std::string::npos; k = t.find(id, k + 1))
      v.push_back(t.substr(k + id.size(), t.find("\r\n", k) - k - id.size()));
    return v;
  };
  const auto t0 = std::chrono::steady_clock::now();
  Rcvrs::Update(r, 3, 1, Req, 0);   // asks for 0..2
  for (int u = 0; u < 50; ++u) Rcvrs::Update(r, 3, 1, Req, 0);   // each asks for all three again
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r->e[Rcvrs::eTO], 150u);
  std::vector<std::string> v = lines();
  ASSERT_GE(v.size(), 1u);
  EXPECT_LE(v.size(), 1u + static_cast<size_t>(secs));
  EXPECT_EQ(v[0], "0 to 1 cnt 1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Rcvrs::Update(r, 3, 1, Req, 0);
  v = lines();
  ASSERT_GE(v.size(), 2u);
  uint32_t sum = 0;
  for (const auto& l : v) {
    ASSERT_EQ(l.rfind("0 to 1 cnt ", 0), 0u) << l;
    sum += static_cast<uint32_t>(std::stoul(l.substr(11)));
  }
  EXPECT_EQ(sum, 151u) << "every fragment asked for again is counted in a line";
  EngineTest::SetDbg(true);
  Rcvrs::Update(r, 3, 1, Req, 0);
  v = lines();
  EXPECT_EQ(std::vector<std::string>(v.end() - 3, v.end()),
            (std::vector<std::string>{"0 to 1", "1 to 1", "2 to 1"}));
}

// Whole transfers: a receiver asks a sender for the fragments over a channel
// that loses and reorders, so they are written in a scattered order; the
// committed file is the source, byte for byte.
struct TChannel {
  Sndrs::TSndr s;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> q;
};
TChannel* chan = nullptr;
std::mt19937 rnd(2026);

void ChanReq(uint32_t, uint32_t b, uint32_t s) {
  if (rnd() % 5 != 0) Sndrs::Receive(chan->s, b, s);
}
void ChanSend(uint32_t, uint32_t i, const uint8_t* b, uint32_t l) {
  if (rnd() % 7 != 0) chan->q.push_back({i, {b, b + l}});
}

TEST_F(RcvrsTest, TransfersThroughALossyChannel) {
  constexpr uint16_t l = 1455;
  std::mt19937& g = rnd;
  for (uint32_t len : {0u, 1u, l - 1u, uint32_t(l), l + 1u, 2u * l, 2u * 1024 * 1024 + 3}) {
    const auto data = RandomBytes(len, len ^ 0x55);
    const std::string src = "src" + std::to_string(len), dst = "dst" + std::to_string(len);
    PutFile(src, data);
    Files::TFile fs = Files::OpenRd(src.c_str());
    Files::TFile fd = Files::OpenWr(dst.c_str());
    ASSERT_NE(fs, nullptr);
    ASSERT_NE(fd, nullptr);
    Files::TPosDesc t;
    Files::GetTgt(fs, t);
    Files::SetTgt(fd, t);
    TChannel c{Sndrs::Alloc(l, fs), {}};
    chan = &c;
    Rcvrs::TRcvr r = Rcvrs::Alloc(l, fd, 64);
    ASSERT_NE(c.s, nullptr);
    ASSERT_NE(r, nullptr);
    uint32_t updates = 0;
    while (Rcvrs::Update(r, 32, 3, ChanReq, 0) && updates < 100000) {
      ++updates;
      Sndrs::Update(c.s, 64, ChanSend, 0);
      std::shuffle(c.q.begin(), c.q.end(), g);
      for (const auto& [i, d] : c.q) Rcvrs::Receive(r, i, d.data(), static_cast<uint32_t>(d.size()));
      c.q.clear();
    }
    EXPECT_LT(updates, 100000u);
    if (len > 100000) {
      EXPECT_GT(r->e[Rcvrs::eTO], 0u) << "losses were asked for again";
    }
    Files::TPosDesc p;
    Files::GetPos(fd, 0, p);
    EXPECT_EQ(std::memcmp(&p, &t, sizeof p), 0) << "length " << len;
    Rcvrs::Free(r);
    Sndrs::Free(c.s);
    EXPECT_TRUE(Files::Commit(fd));
    Files::Close(fd);
    Files::Close(fs);
    EXPECT_TRUE(GetFile(dst) == data) << "length " << len;
  }
}

// A resume (-k): the receiver starts from a partial file that holds an
// in-order prefix and fragments beyond it. Through the same lossy channel,
// with and without cc, it never asks for a held fragment, marks every one
// it writes, and the file's digest (the worker reads the kept prefix back)
// and content come out whole.
std::vector<bool> heldAtStart;
uint32_t askedHeld = 0;
uint32_t ccNow = 0;
uint32_t CcClock() { return ccNow; }
void HeldReq(uint32_t f, uint32_t b, uint32_t s) {
  for (uint32_t j = 0; j < 32; ++j)
    if ((s >> j & 1) != 0 && b + j < heldAtStart.size() && heldAtStart[b + j]) ++askedHeld;
  ChanReq(f, b, s);
}

TEST_F(RcvrsTest, AResumeAsksOnlyForWhatIsMissing) {
  constexpr uint16_t l = 1455;
  constexpr uint32_t n = 3000, len = (n - 1) * l + 77;
  ASSERT_TRUE(Parts::InitModule({.cnt = 2}));
  for (bool cc : {false, true}) {
    SCOPED_TRACE(cc ? "cc" : "window");
    if (cc) SetCc(CcClock);
    const auto data = RandomBytes(len, 77 + cc);
    PutFile("src", data);
    Files::TFile fs = Files::OpenRd("src");
    ASSERT_NE(fs, nullptr);
    Files::TPosDesc t;
    Files::GetTgt(fs, t);
    Parts::TPart p = nullptr;
    ASSERT_EQ(int(Parts::Open("dst", p)), int(Parts::oNew));
    Parts::TSrcDesc sd{};
    std::snprintf(sd.r, sizeof sd.r, "dst");
    sd.l = len;
    sd.f = l;
    ASSERT_EQ(int(Parts::Begin(p, sd)), int(Parts::mNone));
    // Held: fragments 0..999, a run and single ones beyond, the last one.
    heldAtStart.assign(n, false);
    const int h = Parts::Reopen(p);
    ASSERT_GE(h, 0);
    for (uint32_t i = 0; i < n; ++i) {
      if (!(i < 1000 || (i >= 1500 && i < 1700) || i % 97 == 0 || i == n - 1)) continue;
      const uint32_t k = i == n - 1 ? 77 : l;
      ASSERT_EQ(pwrite(h, data.data() + uint64_t(i) * l, k, off_t(i) * l), ssize_t(k));
      ASSERT_TRUE(Parts::Mark(p, i));
      heldAtStart[i] = true;
    }
    close(h);
    Files::TFile fd = Files::OpenWrPart("dst", Parts::Reopen(p), p->pn);
    ASSERT_NE(fd, nullptr);
    Files::SetTgt(fd, t);
    TChannel c{Sndrs::Alloc(l, fs), {}};
    chan = &c;
    askedHeld = 0;
    Rcvrs::TRcvr r = Rcvrs::Alloc(l, fd, 64, 1, 32, p);
    ASSERT_NE(r, nullptr);
    uint32_t updates = 0;
    while (Rcvrs::Update(r, 32, 3, HeldReq, 0) && updates < 100000) {
      ++updates;
      ccNow += 1000;
      Sndrs::Update(c.s, 64, ChanSend, 0);
      std::shuffle(c.q.begin(), c.q.end(), rnd);
      for (const auto& [i, d] : c.q) Rcvrs::Receive(r, i, d.data(), static_cast<uint32_t>(d.size()));
      c.q.clear();
    }
    EXPECT_LT(updates, 100000u);
    EXPECT_EQ(askedHeld, 0u);
    EXPECT_EQ(Parts::Count(p), n);
    Files::TPosDesc q;
    Files::GetPos(fd, 0, q);
    EXPECT_EQ(std::memcmp(&q, &t, sizeof q), 0);
    Rcvrs::Free(r);
    Sndrs::Free(c.s);
    EXPECT_TRUE(Files::Commit(fd));
    Parts::Finish(p);
    Files::Close(fd);
    Files::Close(fs);
    EXPECT_TRUE(GetFile("dst") == data);
    EXPECT_FALSE(std::filesystem::exists("dst.wisp-part"));
    EXPECT_FALSE(std::filesystem::exists("dst.wisp-part.rec"));
    std::filesystem::remove("dst");
  }
  Settings(false, false, false);
}

// ---- -r: re-requests after the learnt round trip -------------------------

// The receivers' microsecond clock in these tests.
uint32_t simNow = 0;
uint32_t SimClock() { return simNow; }

// Bounds and the signs of a loss, step by step on the test's clock: nothing
// is asked for again by time before the first measure; the learnt time is
// never below two update periods and never above 125 ms; a fragment is asked
// for again once a fragment asked for after it has come back, not before the
// learnt time; one that can show no such sign goes as a probe, at most one
// per learnt time. With -d the learnt time gets a line when it moves by more
// than a quarter, not one per fragment.
TEST_F(RcvrsTest, RttReRequestsKeepToTheLearntTimeAndItsBounds) {
  simNow = 1000000;
  EngineTest::SetRtt(SimClock, true);
  const auto lines = [](Rcvrs::TRcvr x) {
    const std::string t = LogText(), id = "M Receive rtt rcv " + std::to_string(x->i) + " ";
    std::vector<std::string> v;
    for (size_t k = t.find(id); k != std::string::npos; k = t.find(id, k + 1))
      v.push_back(t.substr(k + id.size(), t.find("\r\n", k) - k - id.size()));
    return v;
  };
  const uint32_t to = 1000;   // a countdown far off: only the learnt time acts
  Rcvrs::TRcvr r = Make(20 * 100, 100, 20, 1);
  const auto update = [&](uint32_t us) {
    simNow += us;
    reqs.clear();
    Rcvrs::Update(r, 10, to, Req, 0);
  };
  update(0);                        // asks for 0..9 at t0
  ASSERT_EQ(reqs, (std::vector<TReq>{{0, 0, 0x3FF}}));
  update(200000);                   // 200 ms later, no measure yet: nothing again
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 10, 0x3FF}}));   // only 10..19 widen the window
  EXPECT_EQ(r->e[Rcvrs::eTO], 0u);
  // 1 and 12 come back 100 us after their request: far below two periods,
  // so the learnt time is 2 ms. 0 was asked for before 12: lost.
  simNow += 100;
  Put(r, 12, 100);
  EXPECT_EQ(lines(r), std::vector<std::string>{"srtt 100 var 50 to 2000 us"});
  update(1899);                     // 1.999 ms after the request of 10..19
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 0, 0x3FF}})) << "0..9 were asked for before 12";
  update(1);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 10, 0x203}}))
      << "10 and 11 were asked for with 12, at lower indices, two periods ago; 19, the last "
         "fragment, can show no sign: it goes as a probe";
  EXPECT_EQ(r->e[Rcvrs::eTO], 13u);
  // The re-asked 0..11 give no measure when they come.
  for (uint32_t i = 0; i < 12; ++i) Put(r, i, 100);
  EXPECT_EQ(r->rt.n, 1u) << "a fragment asked for twice is no measure";
  // 19 comes back: first asked for after 13..18, so they are lost.
  simNow += 100;
  Put(r, 19, 100);
  update(900);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 13, 0x3F}}));
  // Then the sender stalls: one probe per learnt time, the same fragment
  // until it comes, never the window.
  update(1000);
  EXPECT_TRUE(reqs.empty()) << "asked again within the learnt time";
  update(1000);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 13, 1}}));
  update(1000);
  EXPECT_TRUE(reqs.empty()) << "one probe per learnt time";
  update(1000);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 13, 1}}));
  EXPECT_EQ(r->e[Rcvrs::eTO], 21u);
  // The round trip jumps to 200 ms (fragments asked for once arrive that
  // late): the learnt time grows to its upper bound of 125 ms.
  Rcvrs::TRcvr b = Make(300 * 100, 100, 300, 1);
  reqs.clear();
  Rcvrs::Update(b, 300, to, Req, 0);
  simNow += 200000;
  for (uint32_t i = 0; i < 300; ++i) Put(b, i, 100);
  EXPECT_EQ(lines(b), std::vector<std::string>{"srtt 200000 var 100000 to 125000 us"});
  // A period of 100 ms: two of them are above 125 ms, the bound still holds.
  Rcvrs::TRcvr c = Make(2 * 100, 100, 2, 100);
  reqs.clear();
  Rcvrs::Update(c, 2, to, Req, 0);
  simNow += 50;
  Put(c, 1, 100);
  simNow += 124949;
  reqs.clear();
  Rcvrs::Update(c, 2, to, Req, 0);
  EXPECT_TRUE(reqs.empty());
  simNow += 1;
  Rcvrs::Update(c, 2, to, Req, 0);
  EXPECT_EQ(reqs, (std::vector<TReq>{{0, 0, 1}}));
}

// A whole transfer on the test's clock: update periods of 1 ms, the replies
// back 300 us after the sender's update (in order), 5 % of the requests and
// of the replies lost. Without -r every lost fragment waits its countdown of
// 125 updates, as ever; with -r the transfer takes little longer than it
// would without loss, no fragment is asked for again sooner than two update
// periods after its previous request, and copies stay rare. After a jump of
// the round trip to 20 ms in mid-transfer there is no storm of requests.
struct TSim {
  Sndrs::TSndr s;
  std::vector<std::pair<uint32_t, std::pair<uint32_t, std::vector<uint8_t>>>> q;   // due, index, data
  std::vector<uint32_t> last;   // per fragment: when it was last asked for (0: never)
  uint32_t minGap = UINT32_MAX; // shortest time between two requests of one fragment
  uint32_t delay = 300;
  std::mt19937 g{13};
};
TSim* sim = nullptr;

void SimReq(uint32_t, uint32_t b, uint32_t s) {
  for (uint32_t j = 0; j < 32; ++j) {
    if ((s >> j & 1) == 0) continue;
    uint32_t& t = sim->last[b + j];
    if (t != 0 && simNow - t < sim->minGap) sim->minGap = simNow - t;
    t = simNow;
  }
  if (sim->g() % 20 != 0) Sndrs::Receive(sim->s, b, s);
}
void SimSend(uint32_t, uint32_t i, const uint8_t* b, uint32_t l) {
  if (sim->g() % 20 != 0) sim->q.push_back({simNow + sim->delay, {i, {b, b + l}}});
}

TEST_F(RcvrsTest, RttTransferUnderLossAndAJump) {
  constexpr uint16_t l = 100;
  constexpr uint32_t frags = 3000;
  const auto data = RandomBytes(frags * l, 77);
  PutFile("src", data);
  struct TRun { uint32_t updates, twice, minGap; };
  const auto run = [&](bool rtt, bool jump) {
    simNow = 7000000;
    if (rtt) EngineTest::SetRtt(SimClock); else EngineTest::SetDbg(false);
    Files::TFile fs = Files::OpenRd("src");
    Files::TFile fd = Files::OpenWr("dst");
    Files::TPosDesc t;
    Files::GetTgt(fs, t);
    Files::SetTgt(fd, t);
    TSim x{Sndrs::Alloc(l, fs), {}, std::vector<uint32_t>(frags, 0)};
    sim = &x;
    Rcvrs::TRcvr r = Rcvrs::Alloc(l, fd, 10 * 25, 1);
    uint32_t u = 0;
    for (; u < 100000; ++u) {
      simNow += 1000;
      if (jump && u == 100) x.delay = 20000;
      size_t k = 0;
      for (; k < x.q.size() && x.q[k].first <= simNow; ++k)
        Rcvrs::Receive(r, x.q[k].second.first, x.q[k].second.second.data(), l);
      x.q.erase(x.q.begin(), x.q.begin() + static_cast<std::ptrdiff_t>(k));
      if (!Rcvrs::Update(r, 10, 125, SimReq, 0)) break;
      Sndrs::Update(x.s, 20, SimSend, 0);
    }
    const TRun res{u, r->e[Rcvrs::eDup] + r->e[Rcvrs::eWnd], x.minGap};
    Rcvrs::Free(r);
    Sndrs::Free(x.s);
    EXPECT_TRUE(Files::Commit(fd));
    Files::Close(fd);
    Files::Close(fs);
    EXPECT_TRUE(GetFile("dst") == data);
    std::filesystem::remove("dst");
    return res;
  };
  const TRun off = run(false, false);
  EXPECT_EQ(off.minGap, 125000u) << "without -r a fragment is asked for again after 125 updates";
  EXPECT_GT(off.updates, 3 * frags / 10) << "every loss holds the window for 125 ms";
  const TRun on = run(true, false);
  EXPECT_LT(on.updates, frags / 10 * 12 / 10) << "within 1.2 times the loss-free 300 updates";
  EXPECT_GE(on.minGap, 2000u);
  EXPECT_LT(on.twice, frags / 100) << "copies below 1 % of the fragments";
  const TRun jump = run(true, true);
  EXPECT_GE(jump.minGap, 2000u);
  EXPECT_LT(jump.twice, frags / 100) << "a jump of the round trip brings no storm of requests";
  EXPECT_LT(jump.updates, off.updates);
}

// ---- -c: the rate and the window follow the path ------------------------

// A path on the test's clock: requests travel the delay to the sender, which
// answers at its update every millisecond; replies pass a bottleneck that
// serialises `rate` fragments a millisecond behind a drop-tail queue of
// `queue` fragments, then the delay back. Random loss each way. Its figures:
// fragments delivered per 100 ms, sent and dropped at the queue, the waits
// in the queue, the shortest time between two requests of one fragment,
// the requests sent, and the fragments asked for again although neither
// their last request nor its reply was lost (`spurious`).
struct TPath {
  double rate = 8;           // fragments per ms (8.6 are 100 Mbit/s of 1455 bytes)
  uint32_t delay = 25000;    // one way, us
  uint32_t queue = 800;      // fragments
  uint32_t lossPm = 0;       // per mille, each way
  uint32_t stall = 0;        // the receiver takes nothing in before this time, us
  std::mt19937 g{5};
  Sndrs::TSndr s = nullptr;
  std::deque<std::pair<uint32_t, std::pair<uint32_t, uint32_t>>> rq;            // due, base, set
  std::deque<std::pair<uint32_t, std::pair<uint32_t, std::vector<uint8_t>>>> rp;   // due, index, data
  double free = 0;           // when the bottleneck is next free, us
  std::vector<uint32_t> last, bins, waits;
  std::vector<uint8_t> lost;  // per fragment: its last request or reply was lost
  uint32_t sent = 0, dropped = 0, minGap = UINT32_MAX, t0 = 0, asks = 0, spurious = 0;
  bool Lose() { return lossPm != 0 && g() % 1000 < lossPm; }
};
TPath* path = nullptr;

void PathReq(uint32_t, uint32_t b, uint32_t s) {
  path->asks++;
  const bool lose = path->Lose();
  for (uint32_t j = 0; j < 32; ++j) {
    if ((s >> j & 1) == 0 || b + j >= path->last.size()) continue;
    uint32_t& t = path->last[b + j];
    if (t != 0 && simNow - t < path->minGap) path->minGap = simNow - t;
    if (t != 0 && !path->lost[b + j]) path->spurious++;
    t = simNow;
    path->lost[b + j] = lose;
  }
  if (!lose) path->rq.push_back({simNow + path->delay, {b, s}});
}
void PathSend(uint32_t, uint32_t i, const uint8_t* b, uint32_t l) {
  TPath& p = *path;
  p.sent++;
  if (p.Lose()) {
    p.lost[i] = 1;
    return;
  }
  const double now = simNow, start = p.free > now ? p.free : now;
  if ((start - now) * p.rate / 1000 >= p.queue) {
    p.dropped++;
    p.lost[i] = 1;
    return;
  }
  p.free = start + 1000 / p.rate;
  p.waits.push_back(static_cast<uint32_t>(start - now));
  p.rp.push_back({static_cast<uint32_t>(p.free) + p.delay, {i, {b, b + l}}});
}

class CcTest : public RcvrsTest {
 protected:
  static constexpr uint16_t l = 100;
  // Runs a get of frags fragments over p for at most ms milliseconds, with
  // a grant of fpu fragments per 1 ms update; at(t) may change the path at
  // each millisecond t. true when the file arrived whole and verified.
  template <typename F>
  bool Run(TPath& p, uint32_t frags, uint32_t ms, F at, uint32_t fpu = 255) {
    const auto data = RandomBytes(frags * l, frags);
    PutFile("src", data);
    Files::TFile fs = Files::OpenRd("src");
    Files::TFile fd = Files::OpenWr("dst");
    Files::TPosDesc t;
    Files::GetTgt(fs, t);
    Files::SetTgt(fd, t);
    p.s = Sndrs::Alloc(l, fs);
    p.last.assign(frags, 0);
    p.lost.assign(frags, 0);
    path = &p;
    simNow = p.t0 = 50000000;
    r = Rcvrs::Alloc(l, fd, fpu * 25, 1, fpu);
    bool more = true;
    for (uint32_t u = 0; u < ms && more; ++u) {
      at(u);
      const uint32_t end = simNow + 1000;
      while (!p.rp.empty() && std::max(p.rp.front().first, p.stall) <= end) {
        auto& x = p.rp.front();
        if (std::max(x.first, p.stall) > simNow) simNow = std::max(x.first, p.stall);
        const uint32_t b = (simNow - p.t0) / 100000;
        if (p.bins.size() <= b) p.bins.resize(b + 1);
        p.bins[b]++;
        Rcvrs::Receive(r, x.second.first, x.second.second.data(), l);
        p.rp.pop_front();
        if (firstArr == 0) firstArr = simNow - p.t0;
        if (firstMeas == 0 && r->rt.n > 0) firstMeas = simNow - p.t0;
        maxFly = std::max(maxFly, Rcvrs::Flying(r));
        maxSpan = std::max(maxSpan, Rcvrs::Span(r));
      }
      simNow = end;
      more = Rcvrs::Update(r, fpu, 125, PathReq, 0);
      if (u >= visFrom) maxVis = std::max(maxVis, Rcvrs::Visited(r));
      while (!p.rq.empty() && p.rq.front().first <= simNow) {
        Sndrs::Receive(p.s, p.rq.front().second.first, p.rq.front().second.second);
        p.rq.pop_front();
      }
      Sndrs::Update(p.s, 2 * fpu, PathSend, 0);
    }
    model = *Rcvrs::Model(r);
    twice = r->e[Rcvrs::eDup] + r->e[Rcvrs::eWnd];
    Rcvrs::Free(r);
    Sndrs::Free(p.s);
    const bool whole = !more && Files::Commit(fd);
    Files::Close(fd);
    Files::Close(fs);
    const bool same = whole && GetFile("dst") == data;
    std::filesystem::remove("dst");
    return same;
  }
  // Fragments delivered per ms over the 100 ms bins [a, b).
  static double Rate(const TPath& p, size_t a, size_t b) {
    uint64_t n = 0;
    for (size_t k = a; k < b && k < p.bins.size(); ++k) n += p.bins[k];
    return b > a ? n / (100.0 * (b - a)) : 0;
  }
  static uint32_t Median(std::vector<uint32_t> v, size_t from) {
    if (from >= v.size()) return 0;
    std::nth_element(v.begin() + from, v.begin() + from + (v.size() - from) / 2, v.end());
    return v[from + (v.size() - from) / 2];
  }
  Rcvrs::TRcvr r = nullptr;
  Path::TPathDesc model{};
  uint32_t maxFly = 0, maxSpan = 0, twice = 0;
  uint32_t firstArr = 0, firstMeas = 0;            // when the first fragment and the first measure came, us
  uint32_t visFrom = UINT32_MAX, maxVis = 0;       // the most slots one update looked at, from update visFrom on
};

// The start-up finds the bottleneck and the steady state keeps to it: 0.9
// of the rate within 10 round trips and 0.5 s, the rate and the floor
// estimated within a few per cent, next to no drops and a short queue; and
// the same with a grant below the path's rate, which is never exceeded.
TEST_F(CcTest, StartUpFindsTheBottleneckAndKeepsItsQueueShort) {
  SetCc(SimClock);
  TPath p;
  ASSERT_TRUE(Run(p, 40000, 20000, [](uint32_t) {}));
  const size_t n = p.bins.size();
  ASSERT_GT(n, 30u);
  EXPECT_GE(Rate(p, 10, 11), 0.9 * p.rate) << "at 10 round trips + 0.5 s";
  EXPECT_GE(Rate(p, 10, n - 1), 0.95 * p.rate);
  EXPECT_LT(p.dropped, p.sent / 50) << "drops at most 2 % of what was sent";
  EXPECT_LE(Median(p.waits, p.waits.size() / 5), 10000u) << "median wait in the queue after the start-up";
  EXPECT_EQ(model.st, Path::stProbeBW);
  EXPECT_NEAR(Path::Bw(model) * 1000, p.rate, 0.1 * p.rate);
  EXPECT_GE(model.minRtt, 50000u);
  EXPECT_LE(model.minRtt, 52000u);
  EXPECT_LT(twice, 40000u / 200) << "copies";
  // A grant of 4 fragments per update on the same path: the receiver asks
  // for no more, and the path is still used up to the grant.
  SetCc(SimClock);
  TPath q;
  ASSERT_TRUE(Run(q, 20000, 20000, [](uint32_t) {}, 4));
  EXPECT_LE(Rate(q, 2, q.bins.size() - 1), 4.0 * 1.001);
  EXPECT_GE(Rate(q, 10, q.bins.size() - 1), 0.95 * 4);
  EXPECT_EQ(q.dropped, 0u);
  // 300 ms with 5 % lost each way and a queue of a third of the path: the
  // first window's spacing shows the bottleneck, so the start-up is there
  // within four round trips (doubling alone takes six); it ends while its
  // first long round is still under way, so the queue drops less than a
  // sixth of what was sent (a fifth when it waits for the round's end).
  // The file still verifies, its last fragments within 4.8 s.
  SetCc(SimClock);
  TPath w;
  w.delay = 150000;
  w.lossPm = 50;
  ASSERT_TRUE(Run(w, 20000, 30000, [](uint32_t) {}));
  EXPECT_GE(Rate(w, 12, 15), 0.85 * w.rate) << "from four round trips on";
  EXPECT_LT(w.dropped, w.sent / 6) << "dropped at the queue";
  EXPECT_GE(model.minRtt, 300000u);
  EXPECT_NEAR(Path::Bw(model) * 1000, w.rate, 0.1 * w.rate);
  EXPECT_NEAR(model.trainBw * 1000, w.rate, 0.05 * w.rate) << "the train's measure";
  EXPECT_LE(w.bins.size(), 48u) << "the file's last fragments wait no round trip longer than they must";
  // The receiver stalls while the first quarter of that window comes in,
  // and takes those fragments in at once: the train still shows the
  // bottleneck, not a third more.
  SetCc(SimClock);
  TPath v;
  v.delay = 150000;
  v.stall = 50000000 + 300000 + 4000;
  ASSERT_TRUE(Run(v, 5000, 30000, [](uint32_t) {}));
  EXPECT_NEAR(model.trainBw * 1000, v.rate, 0.05 * v.rate) << "the train's measure after a stall";
}

// The path changes under a transfer: the bottleneck's rate halves, then the
// round trip jumps from 50 to 150 ms. The estimate follows the rate down
// within 2 s without filling the queue for long, and the jump brings no storm
// of requests; the transfer goes on at the path's rate and verifies. Random
// loss of 1 % each way at 200 ms is no congestion: the estimate stays at the
// bottleneck's rate, and no fragment is asked for again within the round
// trip (the 125 ms of the countdown play no part).
TEST_F(CcTest, FollowsARateDropAndARoundTripJumpAndIgnoresRandomLoss) {
  SetCc(SimClock);
  TPath p;
  p.rate = 4;
  p.queue = 400;
  double before = 0, after = 0;
  ASSERT_TRUE(Run(p, 60000, 60000, [&](uint32_t u) {
    if (u == 4000) p.rate = 2;
    if (u == 6000) after = Path::Bw(*Rcvrs::Model(r)) * 1000;
    if (u == 6000) before = p.dropped;
    if (u == 8000) p.delay = 75000;
  }));
  EXPECT_NEAR(after, 2.0, 0.5) << "the estimate 2 s after the rate halved";
  EXPECT_LT(p.dropped - before, 200u) << "drops after the estimate followed";
  EXPECT_GE(Rate(p, 140, p.bins.size() - 1), 0.85 * 2) << "after the jump";
  EXPECT_LT(twice, 60000u / 100) << "no storm of requests at the jump";
  EXPECT_GE(p.minGap, 50000u);
  // 200 ms and 1 % each way.
  SetCc(SimClock);
  TPath q;
  q.delay = 100000;
  q.lossPm = 10;
  q.queue = 400;
  ASSERT_TRUE(Run(q, 40000, 60000, [](uint32_t) {}));
  EXPECT_NEAR(Path::Bw(model) * 1000, q.rate, 0.1 * q.rate) << "loss taken for congestion";
  EXPECT_GE(Rate(q, 20, q.bins.size() - 1), 0.9 * q.rate);
  EXPECT_GE(q.minGap, 200000u) << "asked again within the round trip";
  EXPECT_LT(twice, 40000u / 100);
}

// Round trips above the learnt time's start value of a second: the first
// answers give the first measure, whatever the round trip; before them a
// second passes without an answer, which asks for one fragment more and no
// fragment again; nothing is asked for again that was not lost, and the
// start-up takes the transfer to the path's rate within a few round trips.
TEST_F(CcTest, ARoundTripOverASecondIsMeasuredFromTheFirstAnswers) {
  for (uint32_t rtt : {1020000u, 1500000u}) {
    SetCc(SimClock);
    TPath p;
    p.delay = rtt / 2;
    firstArr = firstMeas = 0;
    ASSERT_TRUE(Run(p, 60000, 40000, [](uint32_t) {})) << "round trip " << rtt;
    EXPECT_NEAR(firstArr, rtt, 2000);
    EXPECT_EQ(firstMeas, firstArr) << "the first answers give the first measure";
    EXPECT_EQ(p.spurious, 0u) << "asked for again although not lost";
    EXPECT_LT(twice, 60000u / 100);
    // The 7.5 s the file takes at the path's rate, and five round trips.
    EXPECT_LE(p.bins.size(), 75 + 5 * rtt / 100000) << "100 ms bins until the last fragment came";
  }
}

// Step by step on the test's clock: a fragment asked for again after a later
// one has arrived (its first reply was lost, not late) answers its last
// request, so its reply is a measure, though not one that lowers the floor;
// a fragment asked for again by time alone could answer either request and
// gives none (a small file: nothing new to ask for after a second of
// silence, so the second takes the whole window for lost).
TEST_F(CcTest, AFragmentAskedForAgainMeasuresOnlyWhenItsFirstReplyWasLost) {
  simNow = 10000000;
  SetCc(SimClock);
  Rcvrs::TRcvr x = Make(300 * 100, 100, 255 * 25);
  simNow += 1000;
  Rcvrs::Update(x, 255, 125, Req, 0);   // 0..127
  simNow += 100000;
  for (uint32_t i = 1; i < 128; ++i) Put(x, i, 100);
  EXPECT_EQ(x->rt.n, 127u);
  simNow += 12000;                      // 9/8 of the round trip since 0 was asked for: not yet
  reqs.clear();
  Rcvrs::Update(x, 255, 125, Req, 0);
  EXPECT_EQ(x->e[Rcvrs::eTO], 0u);
  simNow += 1000;
  reqs.clear();
  Rcvrs::Update(x, 255, 125, Req, 0);
  EXPECT_EQ(x->e[Rcvrs::eTO], 1u);
  ASSERT_FALSE(reqs.empty());
  EXPECT_EQ(reqs[0], (TReq{0, 0, 1}));
  simNow += 50000;
  Put(x, 0, 100);
  EXPECT_EQ(x->rt.n, 128u) << "the reply of a fragment lost once is a measure";
  EXPECT_LT(x->rt.srtt, 100000u);
  EXPECT_EQ(Rcvrs::Model(x)->minRtt, 100000u) << "the floor stays with fragments asked for once";
  Rcvrs::TRcvr y = Make(100 * 100, 100, 255 * 25);
  simNow += 1000;
  Rcvrs::Update(y, 255, 125, Req, 0);   // 0..99, all of the file
  simNow += 999000;
  Rcvrs::Update(y, 255, 125, Req, 0);
  EXPECT_EQ(y->e[Rcvrs::eTO], 0u);
  simNow += 1000;
  Rcvrs::Update(y, 255, 125, Req, 0);   // the room of what was on its way before: 28 now
  simNow += 1000;
  Rcvrs::Update(y, 255, 125, Req, 0);
  EXPECT_EQ(y->e[Rcvrs::eTO], 100u) << "a second with no answer and nothing new to ask for";
  simNow += 500000;
  for (uint32_t i = 0; i < 100; ++i) Put(y, i, 100);
  EXPECT_EQ(y->rt.n, 0u) << "a reply to either of two requests is no measure";
}

// The window grows with what the path holds and stops at its limit: at 1
// Gbit/s (86 fragments a millisecond) and 300 ms the span reaches the limit
// of 131072 fragments and never passes it, and what is on its way stays
// within the start-up's limit of 2.885 times the path. Then the peer goes
// quiet and sends only a fragment outside the window once a second: an
// update still looks at a handful of slots, not at the window, and the peer
// gets a request per round of silence, each round twice as long as the one
// before, not the window per learnt time.
TEST_F(CcTest, TheWindowGrowsToWhatThePathHoldsAndStopsAtItsLimit) {
  SetCc(SimClock);
  TPath p;
  p.rate = 86;
  p.delay = 150000;
  p.queue = 4300;
  constexpr uint32_t frags = 400000, quiet = 3500;
  uint32_t asks = 0;
  visFrom = quiet + 1000;   // what was on its way when the peer went quiet has come
  Run(p, frags, quiet + 20000, [&](uint32_t u) {
    if (u == quiet) p.lossPm = 1000;
    if (u == visFrom) asks = p.asks;
    if (u > quiet && u % 1000 == 0) {
      const std::vector<uint8_t> x(l, 0);
      Rcvrs::Receive(r, frags - 1, x.data(), l);
    }
  });
  EXPECT_EQ(maxSpan, Rcvrs::wndCc);
  const uint32_t bdp = 86 * 300;
  EXPECT_GE(maxFly, bdp) << "at least the path on its way";
  EXPECT_LE(maxFly, 3 * bdp) << "the start-up's 2.885 times the path at most";
  EXPECT_GE(Rate(p, 30, 35), 0.9 * 86);
  EXPECT_LE(maxVis, 32u) << "slots one update looked at while the peer was quiet";
  EXPECT_LE(p.asks - asks, 8u) << "requests to the quiet peer in 19 s";
  EXPECT_GE(p.asks - asks, 3u) << "a quiet peer is still asked";
}

}  // namespace

// The round-trip estimate behind -r: it settles on a jittery round trip
// above the jitter, follows a jump up within a few samples and one down
// within a few dozen, and its time-out keeps to its bounds.
TEST(RttTest, SettlesFollowsAJumpAndKeepsToItsBounds) {
  Rtt::TRttDesc r;
  Rtt::Init(r);
  EXPECT_EQ(Rtt::Timeout(r, 2000, 125000), 125000u) << "no measure yet: the longest wait";
  // 300 µs ± 50 µs.
  for (uint32_t k = 0; k < 200; ++k) Rtt::Sample(r, 250 + (k * 37) % 101);
  EXPECT_NEAR(r.srtt, 300, 30);
  EXPECT_LT(r.rttvar, 60u);
  EXPECT_GT(r.rttvar, 10u);
  const uint32_t settled = Rtt::Timeout(r, 0, 125000);
  EXPECT_GE(settled, r.srtt);
  EXPECT_LE(settled, 600u);
  EXPECT_GT(settled, 350u) << "the jitter itself would be taken for losses";
  // The round trip jumps to 20 ms: the time-out covers it after a few samples.
  uint32_t k = 0;
  while (Rtt::Timeout(r, 0, 125000) < 20000 && k < 100) {
    Rtt::Sample(r, 20000);
    ++k;
  }
  EXPECT_GE(k, 1u);
  EXPECT_LE(k, 6u) << "slow to follow a jump";
  for (k = 0; k < 100; ++k) Rtt::Sample(r, 20000);
  EXPECT_NEAR(r.srtt, 20000, 200);
  // Bounds: never below two update periods, never above 125 ms.
  EXPECT_EQ(Rtt::Timeout(r, 50000, 125000), 50000u);
  EXPECT_EQ(Rtt::Timeout(r, 0, 10000), 10000u);
  // And back to 300 us: the time-out comes down within a few dozen samples.
  k = 0;
  while (Rtt::Timeout(r, 0, 125000) > 1000 && k < 200) {
    Rtt::Sample(r, 300);
    ++k;
  }
  EXPECT_LE(k, 50u) << "slow to come back down";
  Rtt::Init(r);
  Rtt::Sample(r, 0);
  EXPECT_EQ(Rtt::Timeout(r, 2000, 125000), 2000u);
}
