#include "brlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Captured {
  std::vector<std::string> lines;
};

void capture(void *user, const char *tag, int severity, const char *format, va_list args) {
  char message[512];
  vsnprintf(message, sizeof message, format, args);
  char line[600];
  snprintf(line, sizeof line, "%s|%d|%s", tag, severity, message);
  static_cast<Captured *>(user)->lines.push_back(line);
}

class BrLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = brlog_getverbosity();
    brlog__addSink(capture, &global_);
  }
  void TearDown() override {
    brlog__setThreadSink(nullptr, 0, nullptr, nullptr);
    brlog__removeSink(capture, &global_);
    brlog_setverbosity(saved_);
  }
  int saved_ = 0;
  Captured global_;
};

}  // namespace

TEST_F(BrLogTest, ThresholdFiltersMessages) {
  brlog_setverbosity(8);
  brlog("TEST", 8, "kept %d\n", 1);
  brlog("TEST", 16, "dropped\n");
  ASSERT_EQ(global_.lines.size(), 1u);
  EXPECT_EQ(global_.lines[0], "TEST|8|kept 1\n");
}

TEST_F(BrLogTest, ThreadSinkWithHigherThresholdTakesDebugLines) {
  brlog_setverbosity(8);
  Captured mine;
  brlog__setThreadSink(capture, 20, &mine, nullptr);
  brlog("TEST", 16, "debug\n");
  brlog("TEST", 2, "warning\n");
  EXPECT_EQ(mine.lines.size(), 2u);
  ASSERT_EQ(global_.lines.size(), 1u);
  EXPECT_EQ(global_.lines[0], "TEST|2|warning\n");
}

TEST_F(BrLogTest, ReplacingThreadSinkRunsCleanup) {
  static int cleanups;
  cleanups = 0;
  Captured mine;
  brlog__setThreadSink(capture, 20, &mine, [](void *) { cleanups++; });
  brlog__setThreadSink(capture, 20, &mine, nullptr);
  EXPECT_EQ(cleanups, 1);
  brlog__setThreadSink(nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(cleanups, 1);
}

TEST_F(BrLogTest, ThreadSinkIsGoneBeforeItsCleanupRuns) {
  // The clean-up may free what the sink writes to, and may log.
  static Captured *mine;
  static bool cleaned;
  mine = new Captured;
  cleaned = false;
  brlog__setThreadSink(
      [](void *user, const char *tag, int severity, const char *format, va_list args) {
        EXPECT_FALSE(cleaned) << "sink called after its clean-up";
        capture(user, tag, severity, format, args);
      },
      20, mine, [](void *user) {
        cleaned = true;
        delete static_cast<Captured *>(user);
        brlog("TEST", 1, "cleaned up\n");
      });
  brlog__setThreadSink(nullptr, 0, nullptr, nullptr);
  EXPECT_TRUE(cleaned);
  ASSERT_EQ(global_.lines.size(), 1u);
  EXPECT_EQ(global_.lines[0], "TEST|1|cleaned up\n");
}

TEST_F(BrLogTest, RemoveSinkNeedsMatchingPair) {
  int other = 0;
  EXPECT_EQ(brlog__removeSink(capture, &other), -1);
  brlog("TEST", 1, "still here\n");
  EXPECT_EQ(global_.lines.size(), 1u);
}

TEST_F(BrLogTest, HexdumpLines) {
  unsigned char data[20];
  for (int i = 0; i < 20; i++) data[i] = static_cast<unsigned char>('A' + i);
  data[1] = '%';
  data[2] = 0x7f;
  brlog_hexdump("HEX", 8, data, sizeof data, 0x100);
  ASSERT_EQ(global_.lines.size(), 2u);
  EXPECT_EQ(global_.lines[0],
            "HEX|8|00000100: 41 25 7f 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   A..DEFGHIJKLMNOP\n");
  EXPECT_EQ(global_.lines[1],
            "HEX|8|00000110: 51 52 53 54                                       QRST\n");
}

TEST_F(BrLogTest, HexdumpOffsetsPastThirtyTwoBitsKeepEveryColumn) {
  unsigned char data[16];
  for (int i = 0; i < 16; i++) data[i] = static_cast<unsigned char>('a' + i);
  brlog_hexdump("HEX", 8, data, sizeof data, 0xfedcba9876543210ull);
  ASSERT_EQ(global_.lines.size(), 1u);
  EXPECT_EQ(global_.lines[0],
            "HEX|8|fedcba9876543210: 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70   "
            "abcdefghijklmnop\n");
}

TEST_F(BrLogTest, VerifyReportsAFailedConditionAndCarriesOn) {
  int value = 3;
  EXPECT_TRUE(BRVERIFY(value == 3));
  EXPECT_TRUE(global_.lines.empty());
  EXPECT_FALSE(BRVERIFY(value == 4));
  int line = __LINE__ - 1;
  ASSERT_EQ(global_.lines.size(), 1u);
  EXPECT_EQ(global_.lines[0], std::string("VERIFY|1|") + __FILE__ + ":" + std::to_string(line) +
                                  " VERIFY(value == 4) failed!\n");
}

TEST(BrLogDeathTest, AssertLogsAndStops) {
  EXPECT_DEATH(
      {
        brlog__addSink(
            [](void *, const char *tag, int, const char *format, va_list args) {
              fprintf(stderr, "[%s] ", tag);
              vfprintf(stderr, format, args);
            },
            nullptr);
        int *p = nullptr;
        BRASSERT(p != nullptr);
      },
      "\\[ASSERT\\] p != nullptr\n"
      "\\[BRABRT\\] [^\n]*TestBody\\(\\):[0-9]+   \\.ABORTING\\.\n"
      "\\[BRABRT\\] [^\n]*TestBody\\(\\):[0-9]+  \\.\\.ABORTING\\.\\.\n"
      "\\[BRABRT\\] [^\n]*TestBody\\(\\):[0-9]+ \\.\\.\\.ABORTING\\.\\.\\.\n");
}
