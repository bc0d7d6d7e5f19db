#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "hbfmt_testutil.h"
#include "hbproperties.h"
#include "hbproperties_macos.h"

using namespace fmttest;

namespace {

// The probe path is looked up once per process: every parse in this test
// finds the probe that the build put into its bundle.
const bool kBundleSet = setenv("JADEWELL_BUNDLE", KX_TEST_BUNDLE, 1) == 0;

TEST(KXXCProbeDate, SubtractsTheZoneInHoursAndMinutes) {
  struct Case {
    const char *text;
    bool ok;
    int64_t ms;
  } cases[] = {
      {"2013-07-04T12:30:00+0000", true, 1372941000000},
      {"2013-07-04T12:30:00-0700", true, 1372966200000},
      // Half-hour and 45-minute zones: 5 h 30 min, not 5.3 h.
      {"2013-07-04T12:30:00+0530", true, 1372941000000 - 19800000},
      {"2013-07-04T12:30:00-0930", true, 1372941000000 + 34200000},
      {"2013-07-04T12:30:00+1245", true, 1372941000000 - 45900000},
      {"2013-07-04T12:30:00", false, 0},
      {"2013-07-04T12:30:00+0560", false, 0},
      {"2013-13-04T12:30:00+0000", false, 0},
      {"yesterday", false, 0},
  };
  for (const Case &c : cases) {
    int64_t ms = 0;
    EXPECT_EQ(hbfmtkxxcprobe__parseDate(c.text, &ms), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(ms, c.ms) << c.text;
    }
  }
}

// The search order with stand-in programs: bundle, "installdir", "./".
class KXXCProbeSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hbfmtkxxcprobe_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char *sub : {"/bundle", "/bundle/bin", "/install", "/cwd", "/config"}) {
      ASSERT_EQ(mkdir((root_ + sub).c_str(), 0700), 0);
    }
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir((root_ + "/cwd").c_str()), 0);
    setenv("JADEWELL_BUNDLE", (root_ + "/bundle").c_str(), 1);
    setenv("KX_CONFIG_DIR", (root_ + "/config").c_str(), 1);
    std::string installdir = root_ + "/install";
    const HBPropertyDefault defaults[] = {{"installdir", installdir.c_str()}, {nullptr, nullptr}};
    HBRef<HBProperties> store;
    ASSERT_EQ(HBPropertiesMacOS__new(store.out(), "hbfmtkxxcprobe_test", defaults), 0);
    HBProperties__setInstance(store.get());
  }
  void TearDown() override {
    HBProperties__setInstance(nullptr);
    unsetenv("KX_CONFIG_DIR");
    setenv("JADEWELL_BUNDLE", KX_TEST_BUNDLE, 1);
    EXPECT_EQ(chdir(cwd_), 0);
    run({"/bin/rm", "-rf", root_});
  }
  void makeProgram(const std::string &path) {
    ASSERT_EQ(symlink("/bin/true", path.c_str()), 0) << path;
  }
  std::string found() {
    char path[4096];
    return hbfmtkxxcprobe__findProgram(path, sizeof path) == 0 ? path : "";
  }
  std::string root_;
  char cwd_[4096];
};

TEST_F(KXXCProbeSearch, BundleBeforeInstalldirBeforeWorkingFolder) {
  EXPECT_EQ(found(), "");
  makeProgram(root_ + "/cwd/kxxc_probe");
  EXPECT_EQ(found(), "./kxxc_probe");
  makeProgram(root_ + "/install/kxxc_probe");
  EXPECT_EQ(found(), root_ + "/install/kxxc_probe");
  makeProgram(root_ + "/bundle/bin/kxxc_probe");
  EXPECT_EQ(found(), root_ + "/bundle/bin/kxxc_probe");
}

TEST_F(KXXCProbeSearch, AFileThatCannotRunIsNotAProbe) {
  FILE *f = fopen((root_ + "/bundle/bin/kxxc_probe").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(found(), "");
}

// Real clips made by ffmpeg, probed by the built kxxc_probe through
// HBFmtParser the way an upload reads a file.
class KXXCProbeClips : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kBundleSet);
    for (const char *tool : {"/usr/bin/ffmpeg", "/usr/bin/exiftool", "/usr/bin/AtomicParsley"}) {
      if (!haveTool(tool)) GTEST_SKIP() << "needs " << tool << " (ffmpeg, libimage-exiftool-perl, atomicparsley)";
    }
    ASSERT_TRUE(haveTool(KX_TEST_BUNDLE "/bin/kxxc_probe")) << "the build lays the probe out in its bundle";
  }
  // A one-second clip with `metadata` (name=value pairs); QuickTime dates
  // need the muxer to keep Apple's keys.
  std::string makeClip(const std::string &name, std::vector<std::string> metadata, bool appleKeys = false) {
    std::string path = dir_.file(name);
    std::vector<std::string> args = {"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                                     "-i", "testsrc=duration=1:size=320x240:rate=10"};
    for (const auto &m : metadata) args.insert(args.end(), {"-metadata", m});
    if (appleKeys) args.insert(args.end(), {"-movflags", "use_metadata_tags"});
    args.push_back(path);
    std::string out;
    EXPECT_EQ(run(args, &out), 0) << out;
    return path;
  }
  TempDir dir_;
};

TEST_F(KXXCProbeClips, Mp4CreationTimeAndCoverComeThroughTheParser) {
  std::string path = makeClip("clip.mp4", {"creation_time=2013-07-04T12:30:00Z"});
  std::string cover = dir_.file("cover.jpg");
  ASSERT_EQ(run({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                 "color=blue:size=16x16", "-frames:v", "1", cover}),
            0);
  std::string out;
  ASSERT_EQ(run({"/usr/bin/AtomicParsley", path, "--artwork", cover, "--overWrite"}, &out), 0) << out;

  Parsed got = parseFileStream(path);
  EXPECT_EQ(got.state, HBFP_DONE);
  EXPECT_EQ(got.text("EXIF-DateTimeOriginal"), "1372941000000");
  std::vector<uint8_t> picture;
  std::string mime;
  ASSERT_TRUE(got.picture(&picture, &mime));
  EXPECT_EQ(mime, "image/jpeg");
  std::string oracle;
  run({"/usr/bin/exiftool", "-b", "-CoverArt", path}, &oracle);
  EXPECT_EQ(picture, std::vector<uint8_t>(oracle.begin(), oracle.end()));
}

TEST_F(KXXCProbeClips, MovDateIsMovedToUtcByItsZone) {
  struct Case {
    const char *name;
    const char *date;
    const char *utcMs;
  } cases[] = {
      // Upper-case extension; seven hours west of UTC.
      {"west.MOV", "2013-07-04T12:30:00-0700", "1372966200000"},
      // Five and a half hours east: 07:00:00 UTC.
      {"east.mov", "2013-07-04T12:30:00+0530", "1372921200000"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = makeClip(c.name, {std::string("com.apple.quicktime.creationdate=") + c.date}, true);
    Parsed got = parseFileStream(path);
    EXPECT_EQ(got.state, HBFP_DONE);
    EXPECT_EQ(got.text("EXIF-DateTimeOriginal"), c.utcMs);
    EXPECT_FALSE(got.has("vqz-tn"));
  }
}

TEST_F(KXXCProbeClips, NoDateWhenTheClipHasNoneOrTheProbeFails) {
  std::string plain = makeClip("plain.m4v", {});
  Parsed got = parseFileStream(plain);
  EXPECT_EQ(got.state, HBFP_DONE);
  EXPECT_FALSE(got.has("EXIF-DateTimeOriginal"));

  // Not media: the probe exits with status 1 and prints no document.
  std::string fake = dir_.file("notes.mp4");
  writeFile(fake, std::vector<uint8_t>(5000, 'x'));
  got = parseFileStream(fake);
  EXPECT_EQ(got.state, HBFP_DONE);
  EXPECT_FALSE(got.has("EXIF-DateTimeOriginal"));
}

TEST_F(KXXCProbeClips, WithoutAFileNameTheMp4ParserReadsTheClip) {
  // From memory the parser has no path to give the probe: the MP4
  // implementation takes the clip and reports the movie header's time.
  std::string path = makeClip("clip.mp4", {"creation_time=2013-07-04T12:30:00Z"});
  Parsed got = parseFile(path);
  EXPECT_EQ(got.state, HBFP_DONE);
  EXPECT_EQ(got.text("EXIF-DateTimeOriginal"), "1372941000000");
}

}  // namespace
