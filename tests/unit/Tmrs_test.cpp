// Software timers: late triggers, one-shot timers, handler order, the
// nearest expiry the event loop sleeps to, and the wrapping tick arithmetic. The timer table is global to the process and
// every Trigger advances all timers, so each test creates its own timers,
// tells its handler calls apart by reference and stops its timers at the end.
// Fewer than 16 timers are created in one run of all tests.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "Lib3.h"
#include "MMSys.h"
#include "Mtxs.h"
#include "Tmr.h"
#include "Tmr0.h"
#include "Tmrs.h"

namespace {

struct Call {
  uint32_t r;
  uint32_t k;
};
std::vector<Call> calls;

void Record(uint32_t k, uint32_t r) { calls.push_back({r, k}); }

// Handler calls of the timer with reference r since the test started.
std::vector<uint32_t> KsOf(uint32_t r) {
  std::vector<uint32_t> ks;
  for (const Call& c : calls)
    if (c.r == r) ks.push_back(c.k);
  return ks;
}

class TmrsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Tmrs::InitModule();
    calls.clear();
  }
  Tmrs::TTmr Make(uint32_t r) {
    Tmrs::TTmr t = Tmrs::New();
    Tmrs::SetHnd(t, Record, r);
    made.push_back(t);
    return t;
  }
  void TearDown() override {
    for (Tmrs::TTmr t : made) Tmrs::Set(t, 0, 0);
  }
  std::vector<Tmrs::TTmr> made;
};

TEST_F(TmrsTest, NewTimerIsStoppedAndNumbered) {
  Tmrs::TTmr a = Tmrs::New();
  Tmrs::TTmr b = Tmrs::New();
  made = {a, b};
  EXPECT_GE(a->i, 1);
  EXPECT_EQ(b->i, a->i + 1);
  EXPECT_EQ(a->n, 0u);
  EXPECT_EQ(a->m, 0u);
  EXPECT_EQ(a->v, 0u);
  EXPECT_EQ(a->h, nullptr);
  Tmrs::Trigger(1000);
  EXPECT_EQ(a->v, 0u);
  EXPECT_EQ(a->n, 0u);
}

TEST_F(TmrsTest, PeriodicTimerKeepsPhaseWhenLate) {
  Tmrs::TTmr t = Make(101);

  Tmrs::Set(t, 5, 10);
  Tmrs::Trigger(3);
  EXPECT_EQ(t->n, 2u);
  EXPECT_TRUE(KsOf(101).empty());
  Tmrs::Trigger(2);   // exactly on time
  EXPECT_EQ(KsOf(101), std::vector<uint32_t>{1});
  EXPECT_EQ(t->n, 10u);

  calls.clear();
  Tmrs::Set(t, 5, 10);
  Tmrs::Trigger(27);   // expiries at 5, 15, 25; next at 35
  EXPECT_EQ(KsOf(101), std::vector<uint32_t>{3});
  EXPECT_EQ(t->n, 8u);

  calls.clear();
  Tmrs::Set(t, 5, 10);
  Tmrs::Trigger(15);   // expiries at 5 and 15; next at 25
  EXPECT_EQ(KsOf(101), std::vector<uint32_t>{2});
  EXPECT_EQ(t->n, 10u);

  calls.clear();
  Tmrs::Trigger(9);
  EXPECT_TRUE(KsOf(101).empty());
  Tmrs::Trigger(1);
  EXPECT_EQ(KsOf(101), std::vector<uint32_t>{1});
  EXPECT_EQ(t->v, 1u + 3u + 2u + 1u);
}

TEST_F(TmrsTest, OneShotFiresOnceHoweverLate) {
  Tmrs::TTmr t = Make(202);
  Tmrs::Set(t, 5, 0);
  Tmrs::Trigger(100);
  EXPECT_EQ(KsOf(202), std::vector<uint32_t>{1});
  EXPECT_EQ(t->n, 0u);
  EXPECT_EQ(t->v, 1u);
  Tmrs::Trigger(5);
  Tmrs::Trigger(1000);
  EXPECT_EQ(KsOf(202).size(), 1u);
  EXPECT_EQ(t->v, 1u);
}

TEST_F(TmrsTest, ZeroTriggerChangesNothing) {
  Tmrs::TTmr t = Make(303);
  Tmrs::Set(t, 1, 1);
  Tmrs::Trigger(0);
  EXPECT_EQ(t->n, 1u);
  EXPECT_EQ(t->v, 0u);
  EXPECT_TRUE(KsOf(303).empty());
  Tmrs::Trigger(1);
  EXPECT_EQ(KsOf(303), std::vector<uint32_t>{1});
}

TEST_F(TmrsTest, CountsWithoutHandler) {
  Tmrs::TTmr t = Tmrs::New();
  made.push_back(t);
  Tmrs::Set(t, 1, 4);
  Tmrs::Trigger(1);
  Tmrs::Trigger(9);    // expiries at 5 and 9 of this step
  EXPECT_EQ(t->v, 3u);
  EXPECT_EQ(t->n, 3u);
}

Tmrs::TTmr rearmed = nullptr;
void ReArm(uint32_t k, uint32_t r) {
  Record(k, r);
  Tmrs::Set(rearmed, 7, 0);
}

TEST_F(TmrsTest, NewestFirstAndHandlerMaySetItsTimer) {
  Tmrs::TTmr a = Make(401);
  Tmrs::TTmr b = Make(402);
  Tmrs::Set(a, 3, 0);
  Tmrs::Set(b, 2, 0);
  Tmrs::Trigger(10);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].r, 402u);
  EXPECT_EQ(calls[1].r, 401u);

  // A one-shot timer set again by its own handler runs again.
  calls.clear();
  rearmed = a;
  Tmrs::SetHnd(a, ReArm, 401);
  Tmrs::Set(a, 1, 0);
  Tmrs::Trigger(1);
  EXPECT_EQ(a->n, 7u);
  Tmrs::Trigger(7);
  EXPECT_EQ(KsOf(401), (std::vector<uint32_t>{1, 1}));
}

TEST_F(TmrsTest, NextIsTheNearestRunningExpiry) {
  // Every timer of the earlier tests is stopped again.
  EXPECT_EQ(Tmrs::Next(), Tmrs::none);
  Tmrs::TTmr a = Make(501);
  Tmrs::TTmr b = Make(502);
  Tmrs::Set(a, 7, 10);
  EXPECT_EQ(Tmrs::Next(), 7u);
  Tmrs::Set(b, 3, 0);
  EXPECT_EQ(Tmrs::Next(), 3u);
  Tmrs::Trigger(2);
  EXPECT_EQ(Tmrs::Next(), 1u);
  Tmrs::Trigger(1);    // b fires and stops; a is 4 ms away
  EXPECT_EQ(KsOf(502), std::vector<uint32_t>{1});
  EXPECT_EQ(Tmrs::Next(), 4u);
  Tmrs::Trigger(6);    // a fires 2 ms late and keeps its phase
  EXPECT_EQ(KsOf(501), std::vector<uint32_t>{1});
  EXPECT_EQ(Tmrs::Next(), 8u);
  Tmrs::Set(a, 0, 0);
  EXPECT_EQ(Tmrs::Next(), Tmrs::none);
  // The farthest expiry still counts as a running timer.
  Tmrs::Set(b, 0xFFFFFFFFu, 0);
  EXPECT_EQ(Tmrs::Next(), Tmrs::none - 1);
}

TEST(TmrsDeathTest, SeventeenthTimerStops) {
  EXPECT_EXIT(
      {
        Lib3::InitModule();
        Tmrs::InitModule();
        for (uint32_t k = 0; k <= Tmrs::cntMax; ++k) Tmrs::New();
      },
      ::testing::ExitedWithCode(255), "Tmrs.New: too many timers");
}

TEST(Tmr0, Wraps) {
  EXPECT_EQ(Tmr0::Diff(0xFFFFFFF0u, 0x10u), 0x20u);
  EXPECT_EQ(Tmr0::Add(0xFFFFFFFFu, 2), 1u);
  EXPECT_EQ(Tmr0::Diff(5, 5), 0u);
}

TEST(Tmr, TicksFollowTheClock) {
  MMSys::InitModule();
  Mtxs::InitModule();
  Tmr::InitModule();
  const uint32_t t0 = Tmr::Ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const uint32_t t1 = Tmr::Ticks();
  EXPECT_GE(Tmr0::Diff(t0, t1), 29u);
  EXPECT_LT(Tmr0::Diff(t0, t1), 5000u);

  // The loop's wait up to a tick ends in that tick's millisecond, never before.
  const uint32_t t2 = Tmr::Ticks();
  EXPECT_EQ(Tmr::NsTo(t2), 0u);
  EXPECT_EQ(Tmr::NsTo(t2 - 5), 0u);
  const uint64_t ns = Tmr::NsTo(t2 + 20);
  EXPECT_LE(ns, 20000000u);
  EXPECT_GT(ns, 10000000u);
  std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
  EXPECT_GE(Tmr0::Diff(t2, Tmr::Ticks()), 20u);
}

}  // namespace
