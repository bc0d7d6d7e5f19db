#include "brlog.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<int> g_threshold{BRLOG_INFO};
std::atomic<brlog_sink_f> g_sink{nullptr};
std::atomic<void *> g_sink_user{nullptr};

struct ThreadSink {
  brlog_sink_f callback = nullptr;
  int threshold = 0;
  void *user = nullptr;
  brlog_cleanup_f cleanup = nullptr;
};

ThreadSink &thread_sink() {
  thread_local ThreadSink sink;
  return sink;
}

std::atomic<int> g_max_thread_threshold{0};

void update_max() {
  int thread_max = g_max_thread_threshold.load(std::memory_order_relaxed);
  int global = g_threshold.load(std::memory_order_relaxed);
  g_brlog_maxthreshold.store(global > thread_max ? global : thread_max,
                             std::memory_order_relaxed);
}

}  // namespace

std::atomic<int> g_brlog_maxthreshold{BRLOG_INFO};

void brlogv(const char *tag, int severity, const char *format, va_list args) {
  ThreadSink &ts = thread_sink();
  if (ts.callback && severity <= ts.threshold) {
    va_list copy;
    va_copy(copy, args);
    ts.callback(ts.user, tag, severity, format, copy);
    va_end(copy);
  }
  if (severity <= g_threshold.load(std::memory_order_relaxed)) {
    brlog_sink_f sink = g_sink.load(std::memory_order_acquire);
    if (sink) sink(g_sink_user.load(std::memory_order_acquire), tag, severity, format, args);
  }
}

void __brlog(const char *tag, int severity, const char *format, ...) {
  ThreadSink &ts = thread_sink();
  if (severity > g_threshold.load(std::memory_order_relaxed) && !(ts.callback && severity <= ts.threshold)) return;
  va_list args;
  va_start(args, format);
  brlogv(tag, severity, format, args);
  va_end(args);
}

int brlog_getverbosity() { return g_threshold.load(std::memory_order_relaxed); }

void brlog_setverbosity(int threshold) {
  g_threshold.store(threshold, std::memory_order_relaxed);
  update_max();
}

brerror_t brlog__addSink(brlog_sink_f callback, void *user) {
  (void)thread_sink();
  g_sink_user.store(user, std::memory_order_release);
  g_sink.store(callback, std::memory_order_release);
  return BRERROR_NONE;
}

brerror_t brlog__removeSink(brlog_sink_f callback, void *user) {
  if (g_sink.load(std::memory_order_acquire) != callback ||
      g_sink_user.load(std::memory_order_acquire) != user) {
    return BRERROR_UNSPECIFIED;
  }
  g_sink.store(nullptr, std::memory_order_release);
  g_sink_user.store(nullptr, std::memory_order_release);
  return BRERROR_NONE;
}

brerror_t brlog__setThreadSink(brlog_sink_f callback, int threshold, void *user,
                               brlog_cleanup_f cleanup) {
  ThreadSink &ts = thread_sink();
  // The old sink leaves before its clean-up runs: the clean-up may free what
  // the sink writes to, and may itself log.
  ThreadSink old = ts;
  ts = ThreadSink{};
  if (old.callback && old.cleanup) old.cleanup(old.user);
  if (callback) {
    ts.callback = callback;
    ts.threshold = threshold;
    ts.user = user;
    ts.cleanup = cleanup;
    int prev = g_max_thread_threshold.load(std::memory_order_relaxed);
    while (threshold > prev &&
           !g_max_thread_threshold.compare_exchange_weak(prev, threshold)) {
    }
    update_max();
  }
  return BRERROR_NONE;
}

void brlog_hexdump(const char *tag, int severity, const void *data, size_t length,
                   uint64_t base) {
  if (severity > g_threshold.load(std::memory_order_relaxed) || length == 0) return;
  static const char kHex[] = "0123456789abcdef";
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < length; i += 16) {
    // Offsets past 32 bits print more than 8 digits: room for all 16.
    char line[16 + 2 + 16 * 3 + 2 + 16 + 2];
    int pos = snprintf(line, sizeof line, "%08llx: ",
                       static_cast<unsigned long long>(base + i));
    for (size_t j = 0; j < 16; j++) {
      if (i + j < length) {
        line[pos++] = kHex[bytes[i + j] >> 4];
        line[pos++] = kHex[bytes[i + j] & 15];
      } else {
        line[pos++] = ' ';
        line[pos++] = ' ';
      }
      line[pos++] = ' ';
    }
    line[pos++] = ' ';
    line[pos++] = ' ';
    for (size_t j = 0; j < 16 && i + j < length; j++) {
      unsigned char c = bytes[i + j];
      line[pos++] = (c < 32 || c > 126 || c == '%') ? '.' : static_cast<char>(c);
    }
    line[pos++] = '\n';
    line[pos] = 0;
    // The line never holds '%', so it is safe as the format.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    __brlog(tag, severity, line);
#pragma GCC diagnostic pop
  }
}

void brabort_f(const char *function_text, int line) {
  __brlog("BRABRT", 1, "%s:%d   .ABORTING.\n", function_text, line);
  __brlog("BRABRT", 1, "%s:%d  ..ABORTING..\n", function_text, line);
  __brlog("BRABRT", 1, "%s:%d ...ABORTING...\n", function_text, line);
  __builtin_trap();
}
