#include "brnetif.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "brlog.h"

namespace {

void capture(void *user, const char *tag, int, const char *format, va_list args) {
  char message[256];
  vsnprintf(message, sizeof message, format, args);
  static_cast<std::vector<std::string> *>(user)->push_back(std::string(tag) + "|" + message);
}

}  // namespace

TEST(BrNetif, LogsLoopbackAddressLine) {
  std::vector<std::string> lines;
  brlog__setThreadSink(capture, 35, &lines, nullptr);
  EXPECT_EQ(brnetif__logInterfaces(8), 0);
  brlog__setThreadSink(nullptr, 0, nullptr, nullptr);
  bool found = false;
  for (const auto &l : lines) {
    EXPECT_EQ(l.rfind("BRNETIF|IF: ", 0), 0u) << l;
    if (l.find("IF: lo  : ") != std::string::npos && l.find(" IPV4: 127.0.0.1:0\n") != std::string::npos) {
      found = true;
    }
  }
  if (lines.empty()) GTEST_SKIP() << "no interface addresses on this machine";
  EXPECT_TRUE(found);
}
