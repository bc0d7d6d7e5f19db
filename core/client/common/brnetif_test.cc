#include "brnetif.h"

#include <gtest/gtest.h>

#include <string>

#include "brlog_testing.h"

TEST(BrNetif, LogsLoopbackAddressLine) {
  BRLogCapture log;
  EXPECT_EQ(brnetif__logInterfaces(8), 0);
  bool found = false;
  for (const auto &l : log.lines) {
    EXPECT_EQ(l.rfind("BRNETIF|8|IF: ", 0), 0u) << l;
    if (l.find("IF: lo  : ") != std::string::npos && l.find(" IPV4: 127.0.0.1:0\n") != std::string::npos) {
      found = true;
    }
  }
  if (log.lines.empty()) GTEST_SKIP() << "no interface addresses on this machine";
  EXPECT_TRUE(found);
}
