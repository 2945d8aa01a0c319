// DT.h — calendar dates as day numbers since 1 January of year 0 (proleptic
// Gregorian, astronomical years) and times of day as milliseconds.
#pragma once
#include <cstdint>

namespace DT {
  struct TDateTime {
    int32_t d;    // day number
    uint32_t t;   // milliseconds since midnight
  };
  enum TWeekDay : uint8_t { wdMon = 0, wdTue, wdWed, wdThu, wdFri, wdSat, wdSun };

  constexpr int32_t yearMin = -2000000;
  constexpr int32_t yearMax = 1999999;
  constexpr int32_t dayMin = -730485000;
  constexpr int32_t dayMax = 730484999;

  void InitModule();
  bool IsLeapYear(int32_t y);
  uint32_t DaysInMonth(uint32_t m, bool leapYear);
  bool IsValidDate(int32_t y, uint32_t m, uint32_t d);
  int32_t PackDate(int32_t y, uint32_t m, uint32_t d);
  void UnpackDate(int32_t x, int32_t& y, uint32_t& m, uint32_t& d);
  TWeekDay WeekDay(int32_t x);
  bool IsValidTime(uint32_t h, uint32_t m, uint32_t s, uint32_t f);
  uint32_t PackTime(uint32_t h, uint32_t m, uint32_t s, uint32_t f);
  void UnpackTime(uint32_t t, uint32_t& h, uint32_t& m, uint32_t& s, uint32_t& f);

  int32_t MultiplesUntil(int32_t y, int32_t p);
  int32_t LeapYearsUntil(int32_t y);
  int32_t DaysUntil(int32_t y);
  uint32_t DaysInYearUntil(uint32_t m, bool leapYear);
  // Year of day x; r := the day within that year, from 0.
  int32_t FindYear2(int32_t x, int32_t& r);
  // Month 1..12 in which day r (from 0) of a year falls.
  uint8_t FindMonth(int32_t r, bool leapYear);
}
