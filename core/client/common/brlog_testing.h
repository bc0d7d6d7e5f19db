// brlog_testing: keeps the log lines of the calling thread for a test.
//
// While a BRLogCapture lives, every line the constructing thread logs at a
// severity up to `threshold` is kept in `lines` as "TAG|severity|message"
// (the message with its line end). It replaces that thread's own sink and
// removes it again when it dies; other threads log as before. Test-only;
// not part of libhbnode.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "brlog.h"

class BRLogCapture {
 public:
  explicit BRLogCapture(int threshold = 35) {
    brlog__setThreadSink(keep, threshold, this, nullptr);
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
  static void keep(void *user, const char *tag, int severity, const char *format,
                   va_list args) {
    char message[1024];
    vsnprintf(message, sizeof message, format, args);
    static_cast<BRLogCapture *>(user)->lines.push_back(std::string(tag) + "|" +
                                                       std::to_string(severity) + "|" + message);
  }
};
