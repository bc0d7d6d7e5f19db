#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hbfork2_posix.h"
#include "hbjson.h"
#include "hbmap.h"

namespace {

struct Outcome {
  int32_t status = -1;
  std::string out;
};

// Runs a program to its end with stdout captured and stderr joined to it.
Outcome runProgram(std::vector<std::string> args) {
  Outcome result;
  HBRef<IHBFork2> fork;
  EXPECT_EQ(HBFork2__new(HBFORK2_PIPE_STDOUT | HBFORK2_STDERR_TO_STDOUT, fork.out()), 0);
  fork->setTimeout(60000);
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  char *envp[] = {const_cast<char *>("PATH=/usr/bin:/bin"), nullptr};
  if (fork->run(argv.data(), envp) != 0) return result;
  HBRef<IHBStream> out;
  EXPECT_EQ(fork->getStream(HBFORK2_STREAM_STDOUT, out.out()), 0);
  char buffer[4096];
  brerror_t n;
  while ((n = out->read(buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(fork->waitExit(60000, &result.status), 0);
  return result;
}

class KxxcProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg)";
    char pattern[] = "/tmp/kxxc_probe_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) runProgram({"/bin/rm", "-rf", dir_});
  }

  // A one-second 64x48 clip made by ffmpeg, with extra arguments before the
  // output name; the clip has a sine audio track unless `withAudio` is false.
  std::string makeClip(const std::string &name, std::vector<std::string> extra, bool withAudio = true) {
    std::vector<std::string> args = {"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
                                     "-f", "lavfi", "-i", "testsrc=size=64x48:rate=5"};
    if (withAudio) args.insert(args.end(), {"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac"});
    args.insert(args.end(), {"-t", "1", "-c:v", "mpeg4"});
    args.insert(args.end(), extra.begin(), extra.end());
    std::string path = dir_ + "/" + name;
    args.push_back(path);
    Outcome made = runProgram(args);
    EXPECT_EQ(made.status, 0) << made.out;
    return path;
  }

  // The document as a strict JSON reader sees it; the client's own reader
  // must accept it too.
  nlohmann::json probe(const std::string &path) {
    Outcome probed = runProgram({KXXC_PROBE_PATH, path});
    EXPECT_EQ(probed.status, 0) << probed.out;
    std::string text = probed.out;
    HBRef<HBMap> map;
    EXPECT_GT(HBJSON__parseBuffer(map.out(), text.data(), static_cast<int32_t>(text.size())), 0) << probed.out;
    return nlohmann::json::parse(probed.out, nullptr, false);
  }

  std::string dir_;
};

TEST_F(KxxcProbeTest, Mp4ReportsFormatStreamsAndUtcCreationDate) {
  std::string path = makeClip("clip.mp4", {"-metadata", "creation_time=2013-07-04T12:30:00Z"});
  nlohmann::json doc = probe(path);
  ASSERT_TRUE(doc.is_object());
  const auto &format = doc["format"];
  EXPECT_NE(format["format_name"].get<std::string>().find("mp4"), std::string::npos);
  EXPECT_GT(std::stoll(format["bit_rate"].get<std::string>()), 0);
  EXPECT_EQ(format["metadata"]["date"], "2013-07-04T12:30:00+0000");
  ASSERT_EQ(doc["streams"].size(), 2u);
  const auto &video = doc["streams"][0];
  EXPECT_EQ(video["codec_type"], "video");
  EXPECT_EQ(video["codec_name"], "mpeg4");
  EXPECT_EQ(video["width"], 64);
  EXPECT_EQ(video["height"], 48);
  EXPECT_NEAR(std::stod(video["duration"].get<std::string>()), 1.0, 0.1);
  EXPECT_EQ(doc["streams"][1]["codec_type"], "audio");
  EXPECT_EQ(doc["streams"][1]["codec_name"], "aac");
}

TEST_F(KxxcProbeTest, MovKeepsTheRecordedZone) {
  // A QuickTime creation date carries the camera's zone; without an
  // mvhd-derived creation_time it is the one reported.
  std::string path = makeClip("clip.MOV",
                              {"-metadata", "com.apple.quicktime.creationdate=2013-07-04T12:30:00-0700", "-movflags",
                               "use_metadata_tags"},
                              false);
  nlohmann::json doc = probe(path);
  ASSERT_TRUE(doc.is_object());
  EXPECT_NE(doc["format"]["format_name"].get<std::string>().find("mov"), std::string::npos);
  EXPECT_EQ(doc["format"]["metadata"]["date"], "2013-07-04T12:30:00-0700");
  ASSERT_EQ(doc["streams"].size(), 1u);
  EXPECT_EQ(doc["streams"][0]["codec_type"], "video");
}

TEST_F(KxxcProbeTest, ClipWithoutCreationTimeHasNoDate) {
  std::string path = makeClip("plain.mp4", {}, false);
  nlohmann::json doc = probe(path);
  ASSERT_TRUE(doc.is_object());
  EXPECT_FALSE(doc["format"]["metadata"].contains("date"));
}

TEST_F(KxxcProbeTest, NonMediaFileFailsWithStatusOne) {
  std::string path = dir_ + "/notes.mp4";
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("this is not a movie\n", f);
  fclose(f);
  Outcome probed = runProgram({KXXC_PROBE_PATH, path});
  EXPECT_EQ(probed.status, 1);
  EXPECT_NE(probed.out.find("kxxc_probe:"), std::string::npos);
}

}  // namespace
