// brtime: calendar conversion without the C library's time-zone state.
//
// Reentrant; no state.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds since 1970-01-01 00:00 UTC of a broken-down UTC time, from
// tm_year (since 1900), tm_mon (0-11), tm_mday, tm_hour, tm_min and tm_sec.
// Other fields are ignored and nothing is normalised: a month outside 0-11
// adds no days. 64-bit throughout, so any year gives its proleptic
// Gregorian value.
int64_t brmktimegm(const struct tm *tm);
