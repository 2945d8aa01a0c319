// Sndrs_test.cpp — senders: fragment counts, which indices a request queues,
// the cntMaxReq-entry ring and its wrap, the budget of one Update, the table.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "EngineTest.h"

namespace {

using namespace EngineTest;

struct TSent {
  uint32_t r, i;
  std::vector<uint8_t> d;
};
std::vector<TSent> sent;

void Send(uint32_t r, uint32_t i, const uint8_t* b, uint32_t l) { sent.push_back({r, i, {b, b + l}}); }

std::vector<uint32_t> SentIdx() {
  std::vector<uint32_t> v;
  for (const auto& s : sent) v.push_back(s.i);
  return v;
}

class SndrsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Init();
    FreshDir("sndrs");
    sent.clear();
  }
  void TearDown() override {
    for (auto& s : snd)
      if (s != nullptr) Sndrs::Free(s);
    for (auto& f : fil)
      if (f != nullptr) Files::Close(f);
  }
  // A sender for a fresh file of len random bytes in fragments of l.
  Sndrs::TSndr Make(uint32_t len, uint16_t l) {
    data = RandomBytes(len, len + 1);
    const std::string n = "s" + std::to_string(fil.size());
    PutFile(n, data);
    fil.push_back(Files::OpenRd(n.c_str()));
    EXPECT_NE(fil.back(), nullptr);
    snd.push_back(Sndrs::Alloc(l, fil.back()));
    return snd.back();
  }
  std::vector<Files::TFile> fil;
  std::vector<Sndrs::TSndr> snd;
  std::vector<uint8_t> data;
};

TEST_F(SndrsTest, FragmentLengthAndFile) {
  PutFile("x", {1});
  Files::TFile f = Files::OpenRd("x");
  fil.push_back(f);
  EXPECT_EQ(Sndrs::Alloc(0, f), nullptr);
  EXPECT_EQ(Sndrs::Alloc(1456, f), nullptr);
  EXPECT_EQ(Sndrs::Alloc(100, nullptr), nullptr);
  Sndrs::TSndr s = Sndrs::Alloc(1455, f);
  ASSERT_NE(s, nullptr);
  snd.push_back(s);
  uint16_t l = 0;
  Sndrs::GetFgl(s, l);
  EXPECT_EQ(l, 1455);
}

TEST_F(SndrsTest, FragmentCounts) {
  const struct {
    uint32_t len, m, last;
  } v[] = {{0, 0, 0}, {200, 2, 100}, {201, 3, 1}, {99, 1, 99}};
  for (const auto& c : v) {
    sent.clear();
    Sndrs::TSndr s = Make(c.len, 100);
    ASSERT_NE(s, nullptr);
    uint32_t m = 99;
    Sndrs::GetCnt(s, m);
    EXPECT_EQ(m, c.m) << c.len;
    Sndrs::Receive(s, 0, 0xFFFFFFFF);
    EXPECT_EQ(s->r.n, c.m) << "indices beyond the file are dropped";
    Sndrs::Update(s, 100, Send, 7);
    ASSERT_EQ(sent.size(), c.m);
    if (c.m > 0) {
      EXPECT_EQ(sent.back().d.size(), c.last);
      for (const auto& x : sent) {
        EXPECT_EQ(x.r, 7u);
        EXPECT_EQ(0, std::memcmp(x.d.data(), data.data() + x.i * 100, x.d.size()));
      }
    }
  }
}

// The file changes after it was opened: what grew beyond the announced
// length is never sent; a fragment the file no longer holds whole is not
// sent and ends the sender's run with false, also for the last fragment.
TEST_F(SndrsTest, AFileThatChangesWhileItIsSent) {
  Sndrs::TSndr s = Make(250, 100);   // fragments of 100, 100 and 50
  {
    std::ofstream o("s0", std::ios::binary | std::ios::app);
    o << std::string(300, 'x');
  }
  Sndrs::Receive(s, 0, 0x7);
  EXPECT_TRUE(Sndrs::Update(s, 10, Send, 0));
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].d, std::vector<uint8_t>(data.begin() + 200, data.end()));
  for (uint32_t cut : {250u, 220u, 150u}) {
    sent.clear();
    std::filesystem::resize_file("s0", cut);
    Sndrs::Receive(s, 0, 0x7);
    EXPECT_EQ(Sndrs::Update(s, 10, Send, 0), cut == 250) << cut;
    EXPECT_EQ(sent.size(), cut == 250 ? 3u : cut / 100) << cut;
    s->r = Sndrs::TReqsDesc{0, 0, 0, {}, s->r.m};
  }
  EXPECT_NE(LogText().find("Sndrs    M Update snd " + std::to_string(s->i) + " idx 1 short len 50 of 100"),
            std::string::npos);
}

// What was read ahead goes once the file is written, even at the same
// length: the next update sends what the file holds now.
TEST_F(SndrsTest, ReadAheadLastsWhileTheFileIsUnchanged) {
  Sndrs::TSndr s = Make(1000, 100);
  Sndrs::Receive(s, 0, 0x3);   // in order: the second read takes 200 bytes ahead
  ASSERT_TRUE(Sndrs::Update(s, 10, Send, 0));
  {
    std::fstream o("s0", std::ios::binary | std::ios::in | std::ios::out);
    o.seekp(200);
    o << std::string(100, 'y');
  }
  // As the system stamps it (set here, so that the change shows also where
  // the clock of file times is coarser than this test is fast).
  const std::filesystem::path p("s0");
  std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) + std::chrono::seconds(10));
  sent.clear();
  Sndrs::Receive(s, 2, 0x1);
  ASSERT_TRUE(Sndrs::Update(s, 10, Send, 0));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].d, std::vector<uint8_t>(100, 'y'));
}

TEST_F(SndrsTest, RequestSetQueuesInBitOrder) {
  Sndrs::TSndr s = Make(100 * 50, 100);
  Sndrs::Receive(s, 10, 0);
  EXPECT_EQ(s->r.n, 0u);
  Sndrs::Receive(s, 10, 0x80000001);
  Sndrs::Receive(s, 3, 0x5);
  Sndrs::Receive(s, 41, 1);   // no duplicate detection
  Sndrs::Update(s, 100, Send, 0);
  EXPECT_EQ(SentIdx(), (std::vector<uint32_t>{10, 41, 3, 5, 41}));
  // Beyond 32 bits is beyond the file too.
  Sndrs::Receive(s, 0xFFFFFFF0u, 0xFFFFFFFF);
  EXPECT_EQ(s->r.n, 0u);
}

TEST_F(SndrsTest, BudgetOfOneUpdate) {
  Sndrs::TSndr s = Make(100 * 64, 100);
  Sndrs::Update(s, 5, Send, 0);
  EXPECT_TRUE(sent.empty()) << "empty queue";
  Sndrs::Receive(s, 0, 0xFF);
  Sndrs::Update(s, 0, Send, 0);
  EXPECT_TRUE(sent.empty()) << "budget 0";
  Sndrs::Update(s, 3, Send, 0);
  EXPECT_EQ(SentIdx(), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(s->r.n, 5u);
  Sndrs::Update(s, 10, Send, 0);
  EXPECT_EQ(sent.size(), 8u);
  EXPECT_EQ(s->r.n, 0u);
}

// The queue holds a whole receiver's window.
TEST_F(SndrsTest, RingOfCntMaxReqWrapsAndDropsWhenFull) {
  constexpr uint32_t Q = Sndrs::cntMaxReq;
  static_assert(Q >= Rcvrs::wndMax);
  Sndrs::TSndr s = Make(Q + 488, 1);   // one-byte fragments
  for (uint32_t b = 0; b < Q; b += 32) Sndrs::Receive(s, b, 0xFFFFFFFF);
  EXPECT_EQ(s->r.n, Q);
  EXPECT_EQ(s->r.w, 0u);
  Sndrs::Receive(s, Q + 88, 0x3);   // full: dropped
  EXPECT_EQ(s->r.n, Q);
  Sndrs::Update(s, 10, Send, 0);
  EXPECT_EQ(s->r.r, 10u);
  Sndrs::Receive(s, Q + 88, 0x3);   // written at positions 0 and 1
  EXPECT_EQ(s->r.w, 2u);
  EXPECT_EQ(s->r.a[0], Q + 88);
  EXPECT_EQ(s->r.a[1], Q + 89);
  sent.clear();
  Sndrs::Update(s, 2 * Q, Send, 0);
  ASSERT_EQ(sent.size(), Q - 8);
  EXPECT_EQ(sent[Q - 11].i, Q - 1);
  EXPECT_EQ(sent[Q - 10].i, Q + 88);
  EXPECT_EQ(sent[Q - 9].i, Q + 89);
  EXPECT_EQ(sent[Q - 9].d[0], data[Q + 89]);
  EXPECT_EQ(s->r.r, 2u);
}

TEST_F(SndrsTest, TableReusesTheLowestFreeSlot) {
  for (uint32_t k = 0; k < EngineTest::cnt; ++k) {
    Sndrs::TSndr s = Make(10, 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->i, k + 1);
  }
  PutFile("extra", {1});
  Files::TFile f = Files::OpenRd("extra");
  if (f != nullptr) fil.push_back(f);   // the file table may be full as well
  EXPECT_EQ(Sndrs::Alloc(5, fil[0]), nullptr);
  Sndrs::Free(snd[6]);
  EXPECT_EQ(snd[6], nullptr);
  Sndrs::Free(snd[2]);
  Sndrs::TSndr s = Sndrs::Alloc(5, fil[0]);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->i, 3u);
  EXPECT_EQ(s->r.n, 0u);
  snd[2] = s;
}

TEST_F(SndrsTest, LogLines) {
  EngineTest::SetDbg(true);
  Sndrs::TSndr s = Make(300, 100);
  Sndrs::Receive(s, 1, 0x80000003);
  Sndrs::Update(s, 1, Send, 0);
  Sndrs::Free(snd[0]);
  const std::string t = LogText();
  const std::string id = "Sndrs    M ";
  EXPECT_NE(t.find(id + "InitModule cntMax " + std::to_string(EngineTest::cnt) +
                   ", SIZE( TSndrDesc ) = 32791, cntMaxReq 8192"),
            std::string::npos);
  EXPECT_NE(t.find(id + "Alloc snd 1 fgl 100 cnt 3"), std::string::npos);
  EXPECT_NE(t.find(id + "Receive snd 1 idx 1 set 80000003 rqs 2"), std::string::npos);
  EXPECT_NE(t.find(id + "Update snd 1 idx 1 len 100 rqs 1 cnt 0"), std::string::npos);
  EXPECT_NE(t.find(id + "Free snd 1 fgl 100 cnt 3"), std::string::npos);
}

}  // namespace
