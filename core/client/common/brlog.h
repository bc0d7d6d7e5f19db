// brlog: the one logging call of the system, its severities and sinks,
// the hex dump, and the abort and assertion forms.
//
// A message is emitted when its severity is <= the global threshold (8 by
// default) or <= the calling thread's own sink threshold. The global sink is
// one callback set at start-up (before other threads log): callback and user
// pointer are read separately, so replacing the sink while other threads log
// may pair one sink's callback with the other's pointer. The threshold may
// change at any time. A per-thread sink lives in thread-local storage and is
// only touched by its own thread.
// brlog() costs one comparison and no formatting for a message above every
// threshold in force.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "brerror.h"

enum brlog_severity_e {
  BRLOG_ERROR = 1,
  BRLOG_WARNING = 2,
  BRLOG_INFO = 8,
  BRLOG_DEBUG = 16,
  BRLOG_DEBUG1 = 17,
  BRLOG_DEBUG2 = 18,
  BRLOG_DEBUG3 = 19,
  BRLOG_DEBUG4 = 20,
  BRLOG_TRACE = 32,
  BRLOG_TRACE1 = 33,
  BRLOG_TRACE2 = 34,
  BRLOG_TRACE3 = 35,
};

typedef void (*brlog_sink_f)(void *user, const char *tag, int severity, const char *format,
                             va_list args);
typedef void (*brlog_cleanup_f)(void *user);

// The highest threshold in force anywhere (global or any per-thread sink
// ever installed); the brlog() macro compares against it before any call.
extern std::atomic<int> g_brlog_maxthreshold;

void __brlog(const char *tag, int severity, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void brlogv(const char *tag, int severity, const char *format, va_list args);

#define brlog(tag, severity, ...)                                          \
  do {                                                                     \
    if ((severity) <= g_brlog_maxthreshold.load(std::memory_order_relaxed)) \
      __brlog(tag, severity, __VA_ARGS__);                                 \
  } while (0)

int brlog_getverbosity();
void brlog_setverbosity(int threshold);

// Sets the one global sink, replacing any other.
brerror_t brlog__addSink(brlog_sink_f callback, void *user);
// Clears the global sink when both callback and user match; else -1.
brerror_t brlog__removeSink(brlog_sink_f callback, void *user);
// Installs a sink for the calling thread only; a null callback removes it.
// The clean-up of the sink being replaced runs first.
brerror_t brlog__setThreadSink(brlog_sink_f callback, int threshold, void *user,
                               brlog_cleanup_f cleanup);

// One line per 16 bytes: offset, hex columns, printable characters.
void brlog_hexdump(const char *tag, int severity, const void *data, size_t length,
                   uint64_t base);

// Logs the three ABORTING lines and stops the process at once.
[[noreturn]] void brabort_f(const char *function_text, int line);

#define BRABORT() brabort_f(__PRETTY_FUNCTION__, __LINE__)

// Programming errors only: logs the condition under "ASSERT" and aborts.
#define BRASSERT(cond)                                 \
  do {                                                 \
    if (!(cond)) {                                     \
      __brlog("ASSERT", 1, "%s\n", #cond);             \
      brabort_f(__PRETTY_FUNCTION__, __LINE__);        \
    }                                                  \
  } while (0)

// Reports a failed condition and carries on; evaluates to the condition.
#define BRVERIFY(cond)                                                        \
  ([&]() -> bool {                                                            \
    bool ok_ = static_cast<bool>(cond);                                       \
    if (!ok_) __brlog("VERIFY", 1, "%s:%d VERIFY(%s) failed!\n", __FILE__, __LINE__, #cond); \
    return ok_;                                                               \
  }())
