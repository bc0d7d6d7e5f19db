#include "platform_folders.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

// Sets environment variables for one test and restores them afterwards.
class EnvScope {
 public:
  void set(const char *name, const char *value) {
    const char *old = getenv(name);
    saved_.push_back({name, old ? std::string(old) : std::string(), old != nullptr});
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvScope() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->present) {
        setenv(it->name.c_str(), it->value.c_str(), 1);
      } else {
        unsetenv(it->name.c_str());
      }
    }
  }

 private:
  struct Saved {
    std::string name, value;
    bool present;
  };
  std::vector<Saved> saved_;
};

TEST(PlatformFolders, LogsAndCachesFollowXdgRulesOrRoot) {
  struct Case {
    const char *xdg;
    const char *home;
    const char *logs;
    const char *caches;
  };
  const bool root = geteuid() == 0;
  const Case cases[] = {
      {"/x/state", "/home/u", "/x/state", "/x/cache"},
      {nullptr, "/home/u", "/home/u/.local/state", "/home/u/.cache"},
      {"relative/ignored", "/home/u", "/home/u/.local/state", "/home/u/.cache"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.xdg ? c.xdg : "(unset)");
    EnvScope env;
    env.set("XDG_STATE_HOME", c.xdg);
    env.set("XDG_CACHE_HOME",
            c.xdg && c.xdg[0] == '/' ? "/x/cache" : c.xdg);
    env.set("HOME", c.home);
    char logs[256], caches[256];
    ASSERT_EQ(platform__getLogsFolder(logs, sizeof logs), 0);
    ASSERT_EQ(platform__getCachesFolder(caches, sizeof caches), 0);
    EXPECT_STREQ(logs, root ? "/var/log" : c.logs);
    EXPECT_STREQ(caches, root ? "/var/cache" : c.caches);
  }
  char tiny[4];
  EXPECT_EQ(platform__getLogsFolder(tiny, sizeof tiny), BRERROR_NAME_TOO_LONG);
}

TEST(PlatformFolders, MakeFoldersCreatesEveryMissingParent) {
  char base[] = "/tmp/kx-folders-XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  std::string deep = std::string(base) + "/a/b/ZV ZX 4417 Hard Drive Utility";
  ASSERT_EQ(platform__makeFolders(deep.c_str(), 0700), 0);
  struct stat st;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(platform__makeFolders(deep.c_str(), 0700), 0);

  std::string file = std::string(base) + "/file";
  fclose(fopen(file.c_str(), "w"));
  EXPECT_NE(platform__makeFolders((file + "/below").c_str(), 0700), 0);

  rmdir(deep.c_str());
  rmdir((std::string(base) + "/a/b").c_str());
  rmdir((std::string(base) + "/a").c_str());
  unlink(file.c_str());
  rmdir(base);
}

}  // namespace
