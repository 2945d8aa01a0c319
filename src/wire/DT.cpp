// DT.cpp — calendar dates as day numbers since 1 January of year 0 and times
// of day as milliseconds. Divisions of days and years are floor divisions, so
// negative years follow the same rules as positive ones.
#include "DT.h"

#include "FIOStd.h"
#include "Lib3.h"
#include "SO.h"

namespace DT {

namespace {

bool initialised = false;

// Days of the year before the first of month m, per leap year (no, yes);
// index 0 unused.
uint32_t daysInYearUntil[2][13];

constexpr int32_t daysPer400 = 146097;
constexpr int32_t daysPer100 = 36524;   // a century without its leap century year
constexpr int32_t daysPer4 = 1461;
constexpr int32_t daysPer1 = 365;

// Floor division (n > 0): rounds towards minus infinity.
constexpr int32_t Div(int32_t x, int32_t n) {
  const int32_t q = x / n;
  return (x % n != 0 && x < 0) ? q - 1 : q;
}

void InitDaysInYearUntil() {
  for (int leap = 0; leap < 2; ++leap) {
    uint32_t sum = 0;
    daysInYearUntil[leap][0] = 0;
    for (uint32_t m = 1; m <= 12; ++m) {
      daysInYearUntil[leap][m] = sum;
      sum += DaysInMonth(m, leap != 0);
    }
  }
}

[[noreturn]] void Check_Fail(const char* name) {
  char s[64];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "DT.Check: ");
  SO::WrStr(b, name);
  SO::WrStr(b, " inconsistency");
  FIOStd::WrStrLn(FIOStd::chOut, s);
  Lib3::Stop();
}

void Check_Date(const char* name, int32_t y, uint32_t m, uint32_t d, int32_t x) {
  if (!IsValidDate(y, m, d) || PackDate(y, m, d) != x) Check_Fail(name);
}

// The reference day and both ends of the range must pack to their known day
// numbers, and 1 January 1990 must be a Monday.
void Check() {
  Check_Date("ref", 0, 1, 1, 0);
  Check_Date("min", yearMin, 1, 1, dayMin);
  Check_Date("max", yearMax, 12, 31, dayMax);
  if (WeekDay(PackDate(1990, 1, 1)) != wdMon) Check_Fail("WeekDay");
}

void Test() {}

}  // namespace

void InitModule() {
  if (initialised) return;
  initialised = true;
  InitDaysInYearUntil();
  Check();
  Test();
}

bool IsLeapYear(int32_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

uint32_t DaysInMonth(uint32_t m, bool leapYear) {
  if (m == 2) return leapYear ? 29 : 28;
  return 31 - (((m - 1) % 7) & 1);
}

bool IsValidDate(int32_t y, uint32_t m, uint32_t d) {
  return y >= yearMin && y <= yearMax && m >= 1 && m <= 12 && d >= 1 &&
         d <= DaysInMonth(m, IsLeapYear(y));
}

int32_t MultiplesUntil(int32_t y, int32_t p) {
  return Div(y - 1, p) + 1;
}

int32_t LeapYearsUntil(int32_t y) {
  return MultiplesUntil(y, 4) - MultiplesUntil(y, 100) + MultiplesUntil(y, 400);
}

int32_t DaysUntil(int32_t y) {
  return 365 * y + LeapYearsUntil(y);
}

uint32_t DaysInYearUntil(uint32_t m, bool leapYear) {
  return (m >= 1 && m <= 12) ? daysInYearUntil[leapYear ? 1 : 0][m] : 0;
}

int32_t PackDate(int32_t y, uint32_t m, uint32_t d) {
  if (!IsValidDate(y, m, d)) return 0;
  return DaysUntil(y) + static_cast<int32_t>(DaysInYearUntil(m, IsLeapYear(y))) +
         static_cast<int32_t>(d) - 1;
}

// Splits x into 400-year cycles, centuries, four-year groups and single years.
// A cycle starts with a leap century year, so its first century is one day
// longer than the others, and in the later centuries the first four-year
// group is one day short.
int32_t FindYear2(int32_t x, int32_t& r) {
  const int32_t y400 = Div(x, daysPer400);
  x = x - y400 * daysPer400;
  int32_t y100 = Div(x - 1, daysPer100);
  int32_t y4;
  int32_t y1;
  if (y100 > 0) {
    x = x - (y100 * daysPer100 + 1);
    y4 = Div(x + 1, daysPer4);
    if (y4 != 0) {
      x = x - (y4 * daysPer4 - 1);
      y1 = Div(x - 1, daysPer1);
      if (y1 > 0) {
        x = x - (y1 * daysPer1 + 1);
      } else {
        y1 = 0;
      }
    } else {
      y1 = Div(x, daysPer1);
      x = x - y1 * daysPer1;
    }
  } else {
    y100 = 0;
    y4 = Div(x, daysPer4);
    x = x - y4 * daysPer4;
    y1 = Div(x - 1, daysPer1);
    if (y1 > 0) {
      x = x - (y1 * daysPer1 + 1);
    } else {
      y1 = 0;
    }
  }
  r = x;
  return y400 * 400 + y100 * 100 + y4 * 4 + y1;
}

// Halving search for the last month whose first day is not after r.
uint8_t FindMonth(int32_t r, bool leapYear) {
  const uint32_t* start = daysInYearUntil[leapYear ? 1 : 0];
  uint32_t a = 1;
  uint32_t b = 13;
  while (a < b) {
    const uint32_t mid = (b - a) / 2 + a;
    if (static_cast<int64_t>(start[mid]) > r) {
      b = mid;
    } else {
      a = mid + 1;
    }
  }
  return static_cast<uint8_t>(a - 1);
}

void UnpackDate(int32_t x, int32_t& y, uint32_t& m, uint32_t& d) {
  if (x < dayMin || x > dayMax) {
    y = 0;
    m = 1;
    d = 1;
    return;
  }
  int32_t r;
  y = FindYear2(x, r);
  const bool leap = IsLeapYear(y);
  m = FindMonth(r, leap);
  d = static_cast<uint32_t>(r) - DaysInYearUntil(m, leap) + 1;
}

TWeekDay WeekDay(int32_t x) {
  const int64_t v = (static_cast<int64_t>(x) + 5) % 7;
  return static_cast<TWeekDay>(v < 0 ? v + 7 : v);
}

bool IsValidTime(uint32_t h, uint32_t m, uint32_t s, uint32_t f) {
  return h < 24 && m < 60 && s < 60 && f < 1000;
}

uint32_t PackTime(uint32_t h, uint32_t m, uint32_t s, uint32_t f) {
  if (!IsValidTime(h, m, s, f)) return 0;
  return ((h * 60 + m) * 60 + s) * 1000 + f;
}

void UnpackTime(uint32_t t, uint32_t& h, uint32_t& m, uint32_t& s, uint32_t& f) {
  if (t > 86399999) t = 0;
  f = t % 1000;
  s = (t / 1000) % 60;
  m = (t / 60000) % 60;
  h = t / 3600000;
}

}  // namespace DT
