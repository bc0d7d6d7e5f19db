// brthread: thread records and names, thread-local slots, locks, clocks and
// atomic counters.
//
// Intervals and time-outs are measured with brthread__getticks (monotonic);
// time stamps shown to people or stored use brthread__getnowtime (wall clock).
#pragma once

#include <cstdint>

#include "brerror.h"

// Milliseconds of a monotonic clock that ignores wall-clock changes.
int64_t brthread__getticks();
// Wall-clock milliseconds since 1970, or -1.
int64_t brthread__getnowtime();
