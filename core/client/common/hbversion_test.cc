#include "hbversion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brlog.h"

namespace {

class HbVersionTest : public ::testing::Test {
 protected:
  void SetUp() override { brlog__setThreadSink(capture, 8, &lines_, nullptr); }
  void TearDown() override { brlog__setThreadSink(nullptr, 0, nullptr, nullptr); }
  static void capture(void *user, const char *tag, int severity, const char *format,
                      va_list args) {
    char line[256];
    vsnprintf(line, sizeof line, format, args);
    static_cast<std::vector<std::string> *>(user)->push_back(
        std::string(tag) + "|" + std::to_string(severity) + "|" + line);
  }
  std::vector<std::string> lines_;
};

TEST_F(HbVersionTest, ReadsUpToFourNumbersAfterTheLastBlank) {
  struct {
    const char *text;
    uint32_t parts[4];
  } cases[] = {
      {"Service 4.5.5_14", {4, 5, 5, 14}},
      {"1.2", {1, 2, 0, 0}},
      {"Kexaro Drive 10.0.3", {10, 0, 3, 0}},
      {"", {0, 0, 0, 0}},
      {"1.2.3.4.5", {1, 2, 3, 4}},
  };
  for (const auto &c : cases) {
    hbversion_t v;
    EXPECT_EQ(hbversion__parse(c.text, &v), 0);
    for (int i = 0; i < 4; i++) EXPECT_EQ(v.parts[i], c.parts[i]) << c.text << " part " << i;
  }
  EXPECT_EQ(lines_.back(), "IMPORT|8|Parsed Version '1.2.3.4.5': [1.2.3.4]\n");
}

TEST_F(HbVersionTest, StopsAtAnInvalidCharacterWithAWarning) {
  hbversion_t v;
  EXPECT_EQ(hbversion__parse("2.1b", &v), 0);
  EXPECT_EQ(v.parts[0], 2u);
  EXPECT_EQ(v.parts[1], 1u);
  EXPECT_EQ(v.parts[2], 0u);
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_EQ(lines_[0], "IMPORT|2|Invalid character in version '2.1b': 'b'\n");
  EXPECT_EQ(lines_[1], "IMPORT|8|Parsed Version '2.1b': [2.1.0.0]\n");
}

}  // namespace
