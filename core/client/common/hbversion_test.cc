#include "hbversion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brlog_testing.h"

namespace {

class HbVersionTest : public ::testing::Test {
 protected:
  BRLogCapture log_{BRLOG_INFO};
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
  EXPECT_EQ(log_.lines.back(), "IMPORT|8|Parsed Version '1.2.3.4.5': [1.2.3.4]\n");
}

TEST_F(HbVersionTest, StopsAtAnInvalidCharacterWithAWarning) {
  hbversion_t v;
  EXPECT_EQ(hbversion__parse("2.1b", &v), 0);
  EXPECT_EQ(v.parts[0], 2u);
  EXPECT_EQ(v.parts[1], 1u);
  EXPECT_EQ(v.parts[2], 0u);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0], "IMPORT|2|Invalid character in version '2.1b': 'b'\n");
  EXPECT_EQ(log_.lines[1], "IMPORT|8|Parsed Version '2.1b': [2.1.0.0]\n");
}

}  // namespace
