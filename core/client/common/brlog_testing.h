// brlog_testing: what the calling thread logs, for tests that pin log lines.
//
// BRLogCapture installs a thread sink for its lifetime and keeps every line
// up to its threshold as "TAG|severity|text" (the text as formatted, its
// line end included); with a tag it keeps only that tag's lines.
// brlogtest__stderrSink writes the same form between brackets to stderr, so
// that a death test can match what was logged before the abort. Test-only;
// not part of libhbnode.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "brlog.h"

class BRLogCapture {
 public:
  explicit BRLogCapture(int threshold = BRLOG_TRACE3, const char *onlyTag = nullptr)
      : onlyTag_(onlyTag ? onlyTag : "") {
    brlog__setThreadSink(capture, threshold, this, nullptr);
  }
  ~BRLogCapture() { brlog__setThreadSink(nullptr, 0, nullptr, nullptr); }
  BRLogCapture(const BRLogCapture &) = delete;
  BRLogCapture &operator=(const BRLogCapture &) = delete;

  // True when a kept line contains `needle`.
  bool contains(const std::string &needle) const {
    for (const std::string &line : lines) {
      if (line.find(needle) != std::string::npos) return true;
    }
    return false;
  }

  std::vector<std::string> lines;

 private:
  static void capture(void *user, const char *tag, int severity, const char *format,
                      va_list args) {
    auto *self = static_cast<BRLogCapture *>(user);
    if (!self->onlyTag_.empty() && self->onlyTag_ != tag) return;
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    self->lines.push_back(std::string(tag) + "|" + std::to_string(severity) + "|" + text);
  }

  std::string onlyTag_;
};

inline void brlogtest__stderrSink(void *, const char *tag, int severity, const char *format,
                                  va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  fprintf(stderr, "[%s|%d|%s]\n", tag, severity, text);
}
