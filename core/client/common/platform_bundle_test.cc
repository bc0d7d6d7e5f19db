#include "platform_bundle.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class BundleFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *old = getenv("JADEWELL_BUNDLE");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    char pattern[] = "/tmp/platform_bundle_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (hadOld_) {
      setenv("JADEWELL_BUNDLE", old_.c_str(), 1);
    } else {
      unsetenv("JADEWELL_BUNDLE");
    }
    unlink((dir_ + "/bin/tool").c_str());
    rmdir((dir_ + "/bin").c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, old_;
  bool hadOld_ = false;
};

TEST_F(BundleFolder, NamedByTheEnvironmentWhenItExists) {
  setenv("JADEWELL_BUNDLE", dir_.c_str(), 1);
  char buffer[4096];
  ASSERT_EQ(platform__getBundleFolder(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), dir_);
  char tiny[4];
  EXPECT_EQ(platform__getBundleFolder(tiny, sizeof tiny), BRERROR_NAME_TOO_LONG);
  setenv("JADEWELL_BUNDLE", (dir_ + "/missing").c_str(), 1);
  EXPECT_EQ(platform__getBundleFolder(buffer, sizeof buffer), BRERROR_NO_ENTRY);
}

TEST_F(BundleFolder, ResourceIsFoundOnlyWhenItsFileExists) {
  setenv("JADEWELL_BUNDLE", dir_.c_str(), 1);
  char buffer[4096];
  EXPECT_EQ(platform__getBundleResource("bin", "tool", buffer, sizeof buffer), BRERROR_NO_ENTRY);
  ASSERT_EQ(mkdir((dir_ + "/bin").c_str(), 0700), 0);
  FILE *f = fopen((dir_ + "/bin/tool").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  ASSERT_EQ(platform__getBundleResource("bin", "tool", buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), dir_ + "/bin/tool");
}

}  // namespace
