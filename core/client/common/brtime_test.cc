#include "brtime.h"

#include <gtest/gtest.h>

#include <random>

namespace {

struct tm make_tm(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = mon;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return t;
}

TEST(BrTime, MktimegmGivesUtcMilliseconds) {
  struct {
    struct tm when;
    int64_t ms;
  } cases[] = {
      {make_tm(1970, 0, 1), 0},
      {make_tm(2012, 2, 1), 1330560000000},
      {make_tm(2012, 1, 29, 23, 59, 59), 1330559999000},
      {make_tm(2038, 0, 19, 3, 14, 8), 2147483648000},
      {make_tm(2100, 2, 1), 4107542400000},  // 2100 is not a leap year
      {make_tm(2400, 2, 1), 13574649600000},  // 2400 is
      {make_tm(1969, 11, 31, 23, 59, 59), -1000},
  };
  for (const auto &c : cases) {
    struct tm t = c.when;
    EXPECT_EQ(brmktimegm(&t), c.ms) << t.tm_year + 1900 << "-" << t.tm_mon + 1;
  }
}

TEST(BrTime, MktimegmAgreesWithTimegmAndIgnoresOtherFields) {
  std::mt19937 rng(1);
  for (int i = 0; i < 2000; i++) {
    struct tm t = make_tm(1970 + static_cast<int>(rng() % 400), static_cast<int>(rng() % 12),
                          1 + static_cast<int>(rng() % 28), static_cast<int>(rng() % 24),
                          static_cast<int>(rng() % 60), static_cast<int>(rng() % 60));
    t.tm_wday = 9;
    t.tm_isdst = 1;
    struct tm copy = t;
    int64_t expected = static_cast<int64_t>(timegm(&copy)) * 1000;
    ASSERT_EQ(brmktimegm(&t), expected) << t.tm_year + 1900;
  }
  struct tm bad = make_tm(2012, 12, 1);
  struct tm january = make_tm(2012, 0, 1);
  EXPECT_EQ(brmktimegm(&bad), brmktimegm(&january)) << "a month outside 0-11 adds no days";
}

}  // namespace
