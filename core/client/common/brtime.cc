#include "brtime.h"

namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Gregorian leap years in [1, year] (negative for years before 1).
int64_t leap_years_through(int64_t year) {
  return floor_div(year, 4) - floor_div(year, 100) + floor_div(year, 400);
}

bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

}  // namespace

int64_t brmktimegm(const struct tm *tm) {
  int64_t year = 1900 + static_cast<int64_t>(tm->tm_year);
  int64_t days = 365 * (year - 1970) + leap_years_through(year - 1) - leap_years_through(1969);
  if (tm->tm_mon >= 0 && tm->tm_mon < 12) {
    days += kDaysBeforeMonth[tm->tm_mon];
    if (tm->tm_mon >= 2 && is_leap(year)) days++;
  }
  days += tm->tm_mday - 1;
  int64_t seconds = days * 86400 + static_cast<int64_t>(tm->tm_hour) * 3600 +
                    static_cast<int64_t>(tm->tm_min) * 60 + tm->tm_sec;
  return seconds * 1000;
}
