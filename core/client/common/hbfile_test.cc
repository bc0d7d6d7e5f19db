#include "hbfile.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hbproperties.h"
#include "hbproperties_macos.h"

namespace fs = std::filesystem;

namespace {

class HBFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/hbfile_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  void touch(const std::string &name, const std::string &content = "") const {
    std::ofstream(path(name), std::ios::binary) << content;
  }
  std::string dir_;
};

}  // namespace

TEST(HBFileNamesTest, MakeSafeFilenameReplacesReservedCharactersKeepsUtf8) {
  struct Case {
    const char *source;
    int32_t size;
    const char *expected;
  } cases[] = {
      {"a:b/c", 64, "a_b_c"},
      {"\"*<>?\\|", 64, "_______"},
      {"caf\xC3\xA9:", 64, "caf\xC3\xA9_"},
      {"\xE2\x82\xAC/\xF0\x9F\x98\x80", 64, "\xE2\x82\xAC_\xF0\x9F\x98\x80"},
      {"latin\xE9:1", 64, "latin\xE9_1"},
      {"abcdef", 4, "abc"},
  };
  for (const Case &c : cases) {
    char out[64];
    memset(out, '#', sizeof out);
    brerror_t n = HBFile__makeSafeFilename(c.source, out, c.size);
    EXPECT_STREQ(out, c.expected) << c.source;
    EXPECT_EQ(n, static_cast<brerror_t>(strlen(c.expected)));
  }
}

TEST(HBFileNamesTest, MimeLookupsIgnoreCaseFirstMatchWins) {
  EXPECT_STREQ(HBFile__mimeForFileName("holiday.JPEG"), "image/jpeg");
  EXPECT_STREQ(HBFile__mimeForFileName("clip.m2ts"), "video/mpeg");
  EXPECT_STREQ(HBFile__mimeForFileName("README"), "application/octet-stream");
  EXPECT_STREQ(HBFile__mimeForFileName("archive.tar.xz"), "application/octet-stream");
  EXPECT_STREQ(HBFile__mimeForExt("AAC"), "audio/mp4a-latm");
  EXPECT_STREQ(HBFile__mimeForExt("docx"),
               "application/vnd.openxmlformats-officedocument.wordprocessingml.document");
  EXPECT_STREQ(HBFile__extForMime("video/mpeg"), "mpg");
  EXPECT_STREQ(HBFile__extForMime("video/mp2t"), "ts");
  EXPECT_STREQ(HBFile__extForMime("IMAGE/JPG"), "jpg");
  EXPECT_EQ(HBFile__extForMime("application/x-unknown"), nullptr);
}

TEST(HBFileNamesTest, TokenizeSkipsEmptyPartsUpToMax) {
  char text[] = "/a//b\\c/";
  char *parts[8];
  ASSERT_EQ(HBFile__breakPathApart(text, parts, 8), 3);
  EXPECT_STREQ(parts[0], "a");
  EXPECT_STREQ(parts[1], "b");
  EXPECT_STREQ(parts[2], "c");

  char more[] = "x,y,,z";
  ASSERT_EQ(HBFile__tokenizeString(more, parts, 2, ","), 2);
  EXPECT_STREQ(parts[1], "y");
}

TEST(HBFileNamesTest, CheckTrailingSlash) {
  char fits[8] = "/a/b";
  EXPECT_EQ(HBFile__checkTrailingSlash(fits, sizeof fits), 0);
  EXPECT_STREQ(fits, "/a/b/");
  EXPECT_EQ(HBFile__checkTrailingSlash(fits, sizeof fits), 0);
  EXPECT_STREQ(fits, "/a/b/");
  char full[5] = "/abc";
  EXPECT_EQ(HBFile__checkTrailingSlash(full, sizeof full), BRERROR_NO_SPACE);
  char empty[4] = "";
  EXPECT_EQ(HBFile__checkTrailingSlash(empty, sizeof empty), BRERROR_NO_SPACE);
}

TEST(HBFileNamesTest, ParseSpaceFileID) {
  struct Case {
    const char *text;
    int32_t size;
    brerror_t result;
    const char *prefix;
    int64_t number;
  } cases[] = {
      {"svc_12345", 16, 0, "svc", 12345},
      {"a_b_7", 16, BRERROR_INVALID_ARGUMENT, "", 0},
      {"nounderscore", 16, BRERROR_INVALID_ARGUMENT, "", 0},
      {"svc_", 16, BRERROR_INVALID_ARGUMENT, "", 0},
      {"longprefix_1", 8, BRERROR_NO_SPACE, "", 0},
  };
  for (const Case &c : cases) {
    char prefix[16] = "";
    int64_t number = 0;
    EXPECT_EQ(HBFile__parseSpaceFileID(c.text, prefix, c.size, &number), c.result) << c.text;
    if (c.result == 0) {
      EXPECT_STREQ(prefix, c.prefix);
      EXPECT_EQ(number, c.number);
    }
  }
}

TEST_F(HBFileTest, UnlinkExpandsPatterns) {
  touch("a.tmp");
  touch("b.tmp");
  touch("keep.txt");
  EXPECT_EQ(HBFile__unlink(path("*.tmp").c_str()), 0);
  EXPECT_FALSE(fs::exists(path("a.tmp")));
  EXPECT_FALSE(fs::exists(path("b.tmp")));
  EXPECT_TRUE(fs::exists(path("keep.txt")));
  EXPECT_EQ(HBFile__unlink(path("keep.txt").c_str()), 0);
  EXPECT_EQ(HBFile__unlink(path("keep.txt").c_str()), BRERROR_NO_ENTRY);
}

TEST_F(HBFileTest, RecursiveRmdirDeletesTreeButNotLinkTargets) {
  fs::create_directories(path("outside"));
  touch("outside/precious");
  fs::create_directories(path("tree/sub/deeper"));
  touch("tree/file");
  touch("tree/sub/deeper/file*with*stars");
  fs::create_directory_symlink(path("outside"), path("tree/sub/link"));

  EXPECT_EQ(HBFile__rmdir(path("tree").c_str(), 0), BRERROR_NOT_EMPTY);
  EXPECT_EQ(HBFile__rmdir(path("tree").c_str(), HBFILE_RMDIR_RECURSIVE), 0);
  EXPECT_FALSE(fs::exists(path("tree")));
  EXPECT_TRUE(fs::exists(path("outside/precious")));
}

TEST_F(HBFileTest, MoveFileReportsFailure) {
  touch("from", "x");
  EXPECT_EQ(HBFile__moveFile(path("from").c_str(), path("to").c_str()), 0);
  EXPECT_TRUE(fs::exists(path("to")));
  EXPECT_EQ(HBFile__moveFile(path("from").c_str(), path("again").c_str()), BRERROR_NO_ENTRY);
}

TEST_F(HBFileTest, AttributesMarkDotNamesHidden) {
  touch(".hidden");
  touch("plain");
  fs::create_directories(path(".dir"));
  EXPECT_EQ(HBFile__getFileAttributes(path(".hidden").c_str()), HBFILE_ATTR_HIDDEN);
  EXPECT_EQ(HBFile__getFileAttributes((path(".dir") + "/").c_str()), HBFILE_ATTR_HIDDEN);
  EXPECT_EQ(HBFile__getFileAttributes(path("plain").c_str()), 0);
  EXPECT_EQ(HBFile__getFileAttributes(path("missing").c_str()), -1);
  EXPECT_EQ(HBFile__setFileAttributes(path("plain").c_str(), HBFILE_ATTR_HIDDEN), 0);
}

TEST_F(HBFileTest, FullPathNameResolves) {
  fs::create_directories(path("a/b"));
  char buffer[HBFILE_MAX_PATH + 1];
  const std::string expected = fs::canonical(dir_).string() + "/a";
  EXPECT_EQ(HBFile__getFullPathName((path("a/b") + "/../.").c_str(), buffer, sizeof buffer),
            static_cast<brerror_t>(expected.size()));
  EXPECT_EQ(buffer, expected);
  EXPECT_EQ(HBFile__canonicalizePath(path("missing/x").c_str(), buffer, sizeof buffer),
            BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(HBFile__getFullPathName(path("a").c_str(), buffer, 4), BRERROR_NO_SPACE);
}

TEST_F(HBFileTest, StatRecordsSizesAndTimes) {
  touch("f", std::string(5000, 'x'));
  struct timeval times[2] = {{1600000000, 0}, {1700000000, 250000}};
  ASSERT_EQ(HBFile__utimes(path("f").c_str(), times), 0);
  HBFileStat fixed{}, broken{};
  ASSERT_EQ(HBFile__stat_fixed(path("f").c_str(), &fixed), 0);
  ASSERT_EQ(HBFile__stat_broken(path("f").c_str(), &broken), 0);
  EXPECT_EQ(fixed.isDirectory, 0);
  EXPECT_EQ(fixed.size, 5000);
  EXPECT_GT(fixed.blockSize, 0);
  EXPECT_EQ(fixed.mtime, 1700000000250LL);
  EXPECT_EQ(broken.mtime, 1700000000);
  EXPECT_GT(fixed.ctime, 0);
  ASSERT_EQ(HBFile__truncate(path("f").c_str(), 10), 0);
  ASSERT_EQ(HBFile__stat_fixed(dir_.c_str(), &fixed), 0);
  EXPECT_EQ(fixed.isDirectory, 1);
  EXPECT_EQ(fs::file_size(path("f")), 10u);
  EXPECT_EQ(HBFile__stat_fixed(path("missing").c_str(), &fixed), BRERROR_NO_ENTRY);

  HBFileStatFS vfs{};
  ASSERT_EQ(HBFile__statFS(dir_.c_str(), &vfs), 0);
  EXPECT_EQ(vfs.unit, 1024);
  EXPECT_GT(vfs.totalBlocks, 0);
  EXPECT_LE(vfs.availBlocks, vfs.totalBlocks);
}

TEST_F(HBFileTest, SetOwnershipFixesExecuteBits) {
  touch("file");
  fs::create_directories(path("dir"));
  HBFileOwner owner{getuid(), getgid(), 0755};
  EXPECT_EQ(HBFile__setOwnership(path("file").c_str(), &owner, 8), -1);
  if (geteuid() != 0) {
    EXPECT_EQ(HBFile__setOwnership(path("file").c_str(), &owner, sizeof owner), -1);
    GTEST_SKIP() << "changing ownership needs the super-user";
  }
  ASSERT_EQ(HBFile__setOwnership(path("file").c_str(), &owner, sizeof owner), 0);
  owner.mode = 0604;
  ASSERT_EQ(HBFile__setOwnership(path("dir").c_str(), &owner, sizeof owner), 0);
  struct stat st;
  ASSERT_EQ(stat(path("file").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(stat(path("dir").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0714u);
}

TEST_F(HBFileTest, TempDirComesFromSettingsThenDefault) {
  const char *saved = getenv("KX_CONFIG_DIR");
  std::string savedValue = saved ? saved : "";
  setenv("KX_CONFIG_DIR", path("config").c_str(), 1);

  char buffer[256];
  HBProperties__setInstance(nullptr);
  EXPECT_EQ(HBFile__getTempDir(buffer, sizeof buffer), 4);
  EXPECT_STREQ(buffer, "/tmp");

  HBRef<HBProperties> store;
  ASSERT_EQ(HBPropertiesMacOS__new(store.out(), "com.kexaro.test", nullptr), 0);
  HBProperties__setInstance(store.get());
  store->putProperty("tempdir", "/var/tmp/second");
  EXPECT_GT(HBFile__getTempDir(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "/var/tmp/second");
  store->putProperty("tmpdir", "/var/tmp/first");
  EXPECT_GT(HBFile__getTempDir(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "/var/tmp/first");
  EXPECT_EQ(HBFile__getTempDir(buffer, 8), BRERROR_NO_SPACE);
  HBProperties__setInstance(nullptr);

  if (saved) {
    setenv("KX_CONFIG_DIR", savedValue.c_str(), 1);
  } else {
    unsetenv("KX_CONFIG_DIR");
  }
}

TEST_F(HBFileTest, CreateDirectoryCanonicalisesAndMakesParents) {
  const mode_t saved = umask(022);
  EXPECT_EQ(HBFile__createDirectory(path("a/b/c").c_str(), 0), BRERROR_NO_ENTRY);
  EXPECT_EQ(HBFile__createDirectory(path("x/./y//../a/b/c/").c_str(), HBFILE_MKDIR_PARENTS), 0);
  EXPECT_TRUE(fs::is_directory(path("x/a/b/c")));
  EXPECT_FALSE(fs::exists(path("x/y")));
  EXPECT_EQ(HBFile__createDirectory(path("x/a/b/c").c_str(), 0), 0);

  EXPECT_EQ(HBFile__createDirectory(path("private").c_str(), HBFILE_MKDIR_MODE | (0700u << 16)),
            0);
  struct stat st;
  ASSERT_EQ(stat(path("private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(path("x/a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  umask(saved);

  touch("file");
  EXPECT_EQ(HBFile__createDirectory(path("file").c_str(), 0), BRERROR_EXISTS);
  EXPECT_EQ(HBFile__createDirectory(path("file/sub").c_str(), HBFILE_MKDIR_PARENTS),
            BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(HBFile__createDirectory("../../escape", 0), BRERROR_INVALID_ARGUMENT);
}
