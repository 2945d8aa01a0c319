// Day numbers and times of day, checked against the standard library's civil
// calendar where it reaches (years -32767..32767) and against the Gregorian
// 400-year period beyond it.
#include <gtest/gtest.h>

#include <chrono>

#include "DT.h"

namespace {

namespace chr = std::chrono;

class DTTest : public ::testing::Test {
 protected:
  void SetUp() override { DT::InitModule(); }
};

constexpr int32_t daysPer400 = 146097;

// chrono counts days from 1970-01-01; ours from 0000-01-01.
int32_t ChronoDays(int32_t y, uint32_t m, uint32_t d) {
  const chr::year_month_day ymd{chr::year{y}, chr::month{m}, chr::day{d}};
  return static_cast<int32_t>(chr::sys_days{ymd}.time_since_epoch().count());
}

// Every day of year y: packs like chrono, unpacks back, and the day after the
// month's last one is invalid.
void CheckYear(int32_t y) {
  const int32_t epoch = DT::PackDate(1970, 1, 1);
  for (uint32_t m = 1; m <= 12; ++m) {
    const unsigned last = static_cast<unsigned>(
        chr::year_month_day_last{chr::year{y}, chr::month_day_last{chr::month{m}}}.day());
    EXPECT_EQ(DT::DaysInMonth(m, DT::IsLeapYear(y)), last) << y << "-" << m;
    for (uint32_t d = 1; d <= last; ++d) {
      ASSERT_TRUE(DT::IsValidDate(y, m, d)) << y << "-" << m << "-" << d;
      const int32_t x = DT::PackDate(y, m, d);
      ASSERT_EQ(x - epoch, ChronoDays(y, m, d)) << y << "-" << m << "-" << d;
      int32_t yy;
      uint32_t mm, dd;
      DT::UnpackDate(x, yy, mm, dd);
      ASSERT_EQ(yy, y);
      ASSERT_EQ(mm, m);
      ASSERT_EQ(dd, d);
    }
    EXPECT_FALSE(DT::IsValidDate(y, m, last + 1)) << y << "-" << m;
    EXPECT_EQ(DT::PackDate(y, m, last + 1), 0) << y << "-" << m;
  }
}

TEST_F(DTTest, ReferenceValues) {
  EXPECT_EQ(DT::PackDate(0, 1, 1), 0);
  EXPECT_EQ(DT::PackDate(1970, 1, 1), 719528);
  EXPECT_EQ(DT::PackDate(1990, 1, 1), 726833);
  EXPECT_EQ(DT::PackDate(2000, 1, 1), 730485);
  EXPECT_EQ(DT::PackDate(2026, 6, 21), 740153);
  EXPECT_EQ(DT::PackDate(-1, 12, 31), -1);
  EXPECT_EQ(DT::PackDate(2024, 2, 29), 739310);
  EXPECT_EQ(DT::PackDate(2023, 2, 29), 0);
  EXPECT_EQ(DT::PackDate(DT::yearMin, 1, 1), DT::dayMin);
  EXPECT_EQ(DT::PackDate(DT::yearMax, 12, 31), DT::dayMax);
  EXPECT_EQ(DT::dayMin, -5000 * daysPer400);
  EXPECT_EQ(DT::PackTime(14, 30, 5, 0), 52205000u);

  EXPECT_EQ(DT::DaysUntil(1), 366);
  EXPECT_EQ(DT::DaysUntil(-1), -365);
  EXPECT_EQ(DT::DaysUntil(-4), -1461);
  EXPECT_EQ(DT::MultiplesUntil(0, 4), 0);
  EXPECT_EQ(DT::MultiplesUntil(-4, 4), -1);
  EXPECT_EQ(DT::LeapYearsUntil(401), 98);
}

TEST_F(DTTest, MonthStartTable) {
  const uint32_t common[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const uint32_t leap[12] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335};
  for (uint32_t m = 1; m <= 12; ++m) {
    EXPECT_EQ(DT::DaysInYearUntil(m, false), common[m - 1]) << m;
    EXPECT_EQ(DT::DaysInYearUntil(m, true), leap[m - 1]) << m;
  }
  EXPECT_EQ(DT::FindMonth(0, false), 1);
  EXPECT_EQ(DT::FindMonth(30, false), 1);
  EXPECT_EQ(DT::FindMonth(31, false), 2);
  EXPECT_EQ(DT::FindMonth(59, false), 3);
  EXPECT_EQ(DT::FindMonth(59, true), 2);
  EXPECT_EQ(DT::FindMonth(333, false), 11);
  EXPECT_EQ(DT::FindMonth(334, false), 12);
  EXPECT_EQ(DT::FindMonth(365, true), 12);
}

TEST_F(DTTest, LeapDays) {
  for (int32_t y : {2000, 0, -400, 2024, -4}) {
    EXPECT_TRUE(DT::IsLeapYear(y)) << y;
    EXPECT_TRUE(DT::IsValidDate(y, 2, 29)) << y;
    EXPECT_EQ(DT::PackDate(y, 3, 1) - DT::PackDate(y, 2, 28), 2) << y;
  }
  for (int32_t y : {1900, 2100, -100, 2023, -1}) {
    EXPECT_FALSE(DT::IsLeapYear(y)) << y;
    EXPECT_FALSE(DT::IsValidDate(y, 2, 29)) << y;
    EXPECT_EQ(DT::PackDate(y, 3, 1) - DT::PackDate(y, 2, 28), 1) << y;
  }
}

TEST_F(DTTest, EveryDayOfSelectedYearsMatchesChrono) {
  for (int32_t y : {-32767, -32766, -401, -400, -399, -101, -100, -5, -4, -3, -2, -1, 0, 1, 2, 3,
                    4, 5, 99, 100, 101, 399, 400, 401, 1600, 1899, 1900, 1970, 1999, 2000, 2001,
                    2023, 2024, 2026, 2100, 2400, 32766, 32767})
    CheckYear(y);
}

TEST_F(DTTest, EveryYearStartAndLeapRuleMatchesChrono) {
  const int32_t epoch = DT::PackDate(1970, 1, 1);
  for (int32_t y = -32767; y <= 32767; ++y) {
    const bool leap = chr::year{y}.is_leap();
    ASSERT_EQ(DT::IsLeapYear(y), leap) << y;
    ASSERT_EQ(DT::IsValidDate(y, 2, 29), leap) << y;
    ASSERT_EQ(DT::PackDate(y, 1, 1) - epoch, ChronoDays(y, 1, 1)) << y;
    ASSERT_EQ(DT::PackDate(y, 3, 1) - epoch, ChronoDays(y, 3, 1)) << y;
    ASSERT_EQ(DT::DaysUntil(y), DT::PackDate(y, 1, 1)) << y;
  }
}

TEST_F(DTTest, StrideOverChronoRangeUnpacksAndWeekDays) {
  const int32_t epoch = DT::PackDate(1970, 1, 1);
  const int32_t first = DT::PackDate(-32767, 1, 1);
  const int32_t last = DT::PackDate(32767, 12, 31);
  // A prime stride visits every position within months and cycles.
  for (int32_t x = first; x <= last; x += 97) {
    const chr::year_month_day ymd{chr::sys_days{chr::days{x - epoch}}};
    int32_t y;
    uint32_t m, d;
    DT::UnpackDate(x, y, m, d);
    ASSERT_EQ(y, static_cast<int>(ymd.year())) << x;
    ASSERT_EQ(m, static_cast<unsigned>(ymd.month())) << x;
    ASSERT_EQ(d, static_cast<unsigned>(ymd.day())) << x;
    ASSERT_EQ(DT::PackDate(y, m, d), x);
    const unsigned iso = chr::weekday{chr::sys_days{chr::days{x - epoch}}}.iso_encoding();
    ASSERT_EQ(static_cast<unsigned>(DT::WeekDay(x)), iso - 1) << x;
  }
}

// Near both ends of the range, compare with the day a whole number of 400-year
// cycles away (inside chrono's range), where the calendar repeats.
TEST_F(DTTest, RangeEndsRepeatTheCalendar) {
  const int32_t shift = 5000 * daysPer400;   // 2000000 years
  for (int32_t x = DT::dayMin; x < DT::dayMin + 800; ++x) {
    int32_t y, y0;
    uint32_t m, d, m0, d0;
    DT::UnpackDate(x, y, m, d);
    DT::UnpackDate(x + shift, y0, m0, d0);
    ASSERT_EQ(y, y0 - 2000000) << x;
    ASSERT_EQ(m, m0);
    ASSERT_EQ(d, d0);
    ASSERT_EQ(DT::PackDate(y, m, d), x);
  }
  for (int32_t x = DT::dayMax - 800; x <= DT::dayMax; ++x) {
    int32_t y, y0;
    uint32_t m, d, m0, d0;
    DT::UnpackDate(x, y, m, d);
    DT::UnpackDate(x - shift, y0, m0, d0);
    ASSERT_EQ(y, y0 + 2000000) << x;
    ASSERT_EQ(m, m0);
    ASSERT_EQ(d, d0);
    ASSERT_EQ(DT::PackDate(y, m, d), x);
  }
}

TEST_F(DTTest, OutOfRange) {
  struct {
    int32_t y;
    uint32_t m, d;
  } const expect[] = {{-2000000, 1, 1}, {1999999, 12, 31}, {-1, 12, 31}};
  const int32_t days[] = {DT::dayMin, DT::dayMax, -1};
  for (int k = 0; k < 3; ++k) {
    int32_t y;
    uint32_t m, d;
    DT::UnpackDate(days[k], y, m, d);
    EXPECT_EQ(y, expect[k].y);
    EXPECT_EQ(m, expect[k].m);
    EXPECT_EQ(d, expect[k].d);
  }
  for (int32_t x : {DT::dayMin - 1, DT::dayMax + 1, INT32_MIN, INT32_MAX}) {
    int32_t y = 7;
    uint32_t m = 7, d = 7;
    DT::UnpackDate(x, y, m, d);
    EXPECT_EQ(y, 0) << x;
    EXPECT_EQ(m, 1u) << x;
    EXPECT_EQ(d, 1u) << x;
  }
  EXPECT_FALSE(DT::IsValidDate(DT::yearMin - 1, 12, 31));
  EXPECT_FALSE(DT::IsValidDate(DT::yearMax + 1, 1, 1));
  EXPECT_EQ(DT::PackDate(DT::yearMax + 1, 1, 1), 0);
  EXPECT_EQ(DT::PackDate(2000, 0, 1), 0);
  EXPECT_EQ(DT::PackDate(2000, 13, 1), 0);
  EXPECT_EQ(DT::PackDate(2000, 1, 0), 0);
  EXPECT_EQ(DT::PackDate(2000, 4, 31), 0);
}

TEST_F(DTTest, WeekDay) {
  EXPECT_EQ(DT::WeekDay(0), DT::wdSat);
  EXPECT_EQ(DT::WeekDay(740153), DT::wdSun);
  EXPECT_EQ(DT::WeekDay(726833), DT::wdMon);
  EXPECT_EQ(DT::WeekDay(-1), DT::wdFri);
  EXPECT_EQ(DT::WeekDay(-7), DT::wdSat);
  EXPECT_EQ(DT::WeekDay(DT::dayMin), DT::wdSat);   // a whole number of weeks before day 0
}

TEST_F(DTTest, Times) {
  EXPECT_EQ(DT::PackTime(0, 0, 0, 0), 0u);
  EXPECT_EQ(DT::PackTime(23, 59, 59, 999), 86399999u);
  EXPECT_EQ(DT::PackTime(24, 0, 0, 0), 0u);
  EXPECT_EQ(DT::PackTime(0, 60, 0, 0), 0u);
  EXPECT_EQ(DT::PackTime(0, 0, 60, 0), 0u);
  EXPECT_EQ(DT::PackTime(0, 0, 0, 1000), 0u);
  EXPECT_FALSE(DT::IsValidTime(24, 0, 0, 0));
  EXPECT_TRUE(DT::IsValidTime(23, 59, 59, 999));

  struct {
    uint32_t t, h, m, s, f;
  } const cases[] = {
      {52205000, 14, 30, 5, 0},
      {86399999, 23, 59, 59, 999},
      {86400000, 0, 0, 0, 0},        // out of range
      {0xFFFFFFFFu, 0, 0, 0, 0},
      {3723004, 1, 2, 3, 4},
  };
  for (const auto& c : cases) {
    uint32_t h = 99, m = 99, s = 99, f = 9999;
    DT::UnpackTime(c.t, h, m, s, f);
    EXPECT_EQ(h, c.h) << c.t;
    EXPECT_EQ(m, c.m) << c.t;
    EXPECT_EQ(s, c.s) << c.t;
    EXPECT_EQ(f, c.f) << c.t;
  }
  // Pack and unpack are inverse over the day, sampled with a prime stride.
  for (uint32_t t = 0; t < 86400000u; t += 9973) {
    uint32_t h, m, s, f;
    DT::UnpackTime(t, h, m, s, f);
    ASSERT_EQ(DT::PackTime(h, m, s, f), t);
  }
}

}  // namespace
