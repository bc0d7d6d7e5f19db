#include "platform_prefs.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr const char *kDomain = "com.kexaro.prefs-test";

class PlatformPrefsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/platform_prefs_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    setenv("KX_CONFIG_DIR", (dir_ + "/nested/kexaro").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KX_CONFIG_DIR");
    fs::remove_all(dir_);
  }
  std::string dir_;
};

std::string valueOf(const char *name) {
  std::string value;
  brerror_t err = platformprefs__read(kDomain, name, &value);
  return err == 0 ? value : "<" + std::to_string(err) + ">";
}

int g_reportFd = -1;

void reportAndWait() {
  char c = 'h';
  if (write(g_reportFd, &c, 1) != 1) _exit(3);
  for (;;) pause();
}

// Runs `body` in a child process; returns its pid.
template <typename F>
pid_t spawn(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

bool exitedCleanly(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST_F(PlatformPrefsTest, FolderFollowsOverrideThenUser) {
  EXPECT_EQ(platformprefs__folder(), dir_ + "/nested/kexaro");
  unsetenv("KX_CONFIG_DIR");
  setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  if (geteuid() == 0) {
    EXPECT_EQ(platformprefs__folder(), "/etc/kexaro");
  } else {
    EXPECT_EQ(platformprefs__folder(), dir_ + "/kexaro");
  }
  unsetenv("XDG_CONFIG_HOME");
}

TEST_F(PlatformPrefsTest, WriteCreatesFolderAndRemovesNames) {
  EXPECT_EQ(valueOf("a"), "<-3>");
  ASSERT_EQ(platformprefs__write(kDomain, "a", "1"), 0);
  ASSERT_EQ(platformprefs__write(kDomain, "b", "2"), 0);
  EXPECT_EQ(valueOf("a"), "1");
  ASSERT_EQ(platformprefs__write(kDomain, "a", nullptr), 0);
  EXPECT_EQ(valueOf("a"), "<-3>");
  EXPECT_EQ(valueOf("b"), "2");
}

TEST_F(PlatformPrefsTest, TwoProcessesWritingDifferentNamesLoseNothing) {
  constexpr int kWrites = 200;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  auto writer = [&](char who) {
    return spawn([&, who] {
      close(gate[1]);
      char c;
      if (read(gate[0], &c, 1) != 0) return 2;
      for (int i = 0; i < kWrites; ++i) {
        std::string name = std::string(1, who) + std::to_string(i);
        if (platformprefs__write(kDomain, name.c_str(), std::to_string(i * 7).c_str()) != 0)
          return 1;
      }
      return 0;
    });
  };
  pid_t first = writer('a');
  pid_t second = writer('b');
  close(gate[0]);
  close(gate[1]);  // both start together
  ASSERT_TRUE(exitedCleanly(first));
  ASSERT_TRUE(exitedCleanly(second));

  int missing = 0;
  for (char who : {'a', 'b'}) {
    for (int i = 0; i < kWrites; ++i) {
      std::string name = std::string(1, who) + std::to_string(i);
      if (valueOf(name.c_str()) != std::to_string(i * 7)) ++missing;
    }
  }
  EXPECT_EQ(missing, 0);
}

TEST_F(PlatformPrefsTest, WriterKilledWhileHoldingLockLeavesOldFile) {
  ASSERT_EQ(platformprefs__write(kDomain, "key", "old"), 0);
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t child = spawn([&] {
    close(report[0]);
    g_reportFd = report[1];
    platformprefs__setBeforeRenameHook(reportAndWait);
    platformprefs__write(kDomain, "key", "new");
    return 4;
  });
  close(report[1]);
  char c;
  ASSERT_EQ(read(report[0], &c, 1), 1);  // the child holds the lock now
  close(report[0]);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  EXPECT_EQ(valueOf("key"), "old");
  // The lock died with its holder.
  ASSERT_EQ(platformprefs__write(kDomain, "key", "after"), 0);
  EXPECT_EQ(valueOf("key"), "after");
}

TEST_F(PlatformPrefsTest, WriterKilledAtAnyPointLeavesWholeFile) {
  const std::string padding(64 * 1024, 'p');
  for (int round = 0; round < 3; ++round) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = spawn([&] {
      close(report[0]);
      for (int i = 0;; ++i) {
        std::string value = std::to_string(i) + ":" + padding;
        if (platformprefs__write(kDomain, "big", value.c_str()) != 0) return 1;
        if (write(report[1], &i, sizeof i) != sizeof i) return 2;
      }
    });
    close(report[1]);
    int last = -1;
    while (last < 10 + round * 5) ASSERT_EQ(read(report[0], &last, sizeof last), 4);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(report[0]);

    const std::string value = valueOf("big");
    const size_t colon = value.find(':');
    ASSERT_NE(colon, std::string::npos) << value.substr(0, 40);
    const int seen = std::stoi(value.substr(0, colon));
    EXPECT_GE(seen, last);
    EXPECT_EQ(value.substr(colon + 1), padding);
  }
}
