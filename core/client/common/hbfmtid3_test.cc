#include "hbfmt_testutil.h"

using namespace fmttest;

namespace {

class Id3Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *tool : {"/usr/bin/ffmpeg", "/usr/bin/exiftool", "/usr/bin/id3v2", "/usr/bin/eyeD3"}) {
      if (!haveTool(tool)) GTEST_SKIP() << "needs " << tool << " (ffmpeg, libimage-exiftool-perl, id3v2, eyed3)";
    }
  }
  std::string makeMp3(const char *name) {
    std::string path = dir_.file(name);
    EXPECT_EQ(run({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                   "sine=duration=1", "-c:a", "libmp3lame", path}),
              0);
    return path;
  }
  std::string makeJpeg(const char *name, const char *color) {
    std::string path = dir_.file(name);
    EXPECT_EQ(run({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                   std::string("color=") + color + ":size=16x16", "-frames:v", "1", path}),
              0);
    return path;
  }
  // What exiftool reads: one tag's value, or its binary content.
  static std::string exif(const std::string &path, const char *tag, bool binary = false) {
    std::string out;
    run({"/usr/bin/exiftool", binary ? "-b" : "-s3", std::string("-") + tag, path}, &out);
    if (!binary && !out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  void expectSameAsExiftool(const std::string &path, const Parsed &got) {
    EXPECT_EQ(got.text("title"), exif(path, "Title"));
    EXPECT_EQ(got.text("artist"), exif(path, "Artist"));
    EXPECT_EQ(got.text("album"), exif(path, "Album"));
    EXPECT_EQ(got.text("genre"), exif(path, "Genre"));
    EXPECT_EQ(got.text("originalTrackNumber"), exif(path, "Track"));
  }
  TempDir dir_;
};

TEST_F(Id3Fixture, Version3LatinTagsAndNumericGenre) {
  std::string path = makeMp3("v23.mp3");
  ASSERT_EQ(run({"/usr/bin/id3v2", "-2", "-t", "Plain Title", "-a", "Some Artist", "-A", "An Album", "-T", "3/12",
                 "-g", "17", path}),
            0);
  Parsed got = parseFile(path);
  EXPECT_EQ(got.state, HBFP_DONE);
  EXPECT_EQ(got.text("genre"), "Rock");  // TCON "(17)"
  EXPECT_EQ(got.text("originalTrackNumber"), "3/12");
  expectSameAsExiftool(path, got);
  EXPECT_FALSE(got.has("vqz-tn"));
}

TEST_F(Id3Fixture, Utf16TagsAndOnlyTheFirstPictureInBothVersions) {
  std::string front = makeJpeg("front.jpg", "red");
  std::string back = makeJpeg("back.jpg", "blue");
  for (const char *version : {"--to-v2.3", "--to-v2.4"}) {
    SCOPED_TRACE(version);
    std::string path = makeMp3("utf16.mp3");
    std::string out;
    ASSERT_EQ(run({"/usr/bin/eyeD3", "-Q", version, "--encoding", "utf16", "-t", "T\xC3\xAFtle \xE2\x98\x83",
                   "-a", "\xC3\x84rtist", "-A", "Album", "-n", "3", "-N", "12", "-G", "Rock", "--add-image",
                   front + ":FRONT_COVER", "--add-image", back + ":BACK_COVER", path},
                  &out),
              0)
        << out;
    Parsed got = parseFile(path);
    EXPECT_EQ(got.state, HBFP_DONE);
    EXPECT_EQ(got.text("title"), "T\xC3\xAFtle \xE2\x98\x83");
    expectSameAsExiftool(path, got);
    std::vector<uint8_t> picture;
    std::string mime;
    ASSERT_TRUE(got.picture(&picture, &mime));
    EXPECT_EQ(mime, "image/jpeg");
    // The first picture frame in the file, whichever image it is.
    std::string first = exif(path, "Picture", true);
    EXPECT_EQ(picture, std::vector<uint8_t>(first.begin(), first.end()));
    EXPECT_TRUE(picture == readFile(front) || picture == readFile(back));
  }
}

TEST_F(Id3Fixture, EveryTruncationEndsCleanly) {
  std::string front = makeJpeg("front.jpg", "red");
  std::string path = makeMp3("cut.mp3");
  ASSERT_EQ(run({"/usr/bin/eyeD3", "-Q", "--to-v2.4", "--encoding", "utf16", "-t", "Title", "-a", "Artist",
                 "--add-image", front + ":FRONT_COVER", path}),
            0);
  std::vector<uint8_t> bytes = readFile(path);
  size_t tagEnd = 10 + ((bytes[6] & 0x7F) << 21 | (bytes[7] & 0x7F) << 14 | (bytes[8] & 0x7F) << 7 | (bytes[9] & 0x7F));
  ASSERT_LT(tagEnd, bytes.size());
  for (size_t n = 0; n <= tagEnd; n++) {
    Parsed part = parseBytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(n)));
    if (part.has("title")) {
      EXPECT_EQ(part.text("title"), "Title") << n;
    }
  }
}

std::vector<uint8_t> tag(int version, const std::vector<uint8_t> &frames) {
  size_t size = frames.size();
  std::vector<uint8_t> out;
  for (uint8_t b : {uint8_t{'I'}, uint8_t{'D'}, uint8_t{'3'}, static_cast<uint8_t>(version), uint8_t{0}, uint8_t{0},
                    static_cast<uint8_t>(size >> 21 & 0x7F), static_cast<uint8_t>(size >> 14 & 0x7F),
                    static_cast<uint8_t>(size >> 7 & 0x7F), static_cast<uint8_t>(size & 0x7F)}) {
    out.push_back(b);
  }
  for (uint8_t b : frames) out.push_back(b);
  return out;
}

std::vector<uint8_t> frame3(const char *id, const std::vector<uint8_t> &body, uint32_t size = UINT32_MAX) {
  if (size == UINT32_MAX) size = static_cast<uint32_t>(body.size());
  std::vector<uint8_t> out;
  for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(id[i]));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(size >> shift));
  out.push_back(0);
  out.push_back(0);
  for (uint8_t b : body) out.push_back(b);
  return out;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto &p : parts) {
    for (uint8_t b : p) out.push_back(b);
  }
  return out;
}

TEST(Id3, GenresCommentsAndCdTocGiveTheirItems) {
  struct Case {
    std::vector<uint8_t> body;
    const char *id;
    const char *key;
    std::string want;
  } cases[] = {
      {{0, '(', '2', '0', '0', ')'}, "TCON", "genre", "Unknown"},
      {{0, 'J', 'a', 'z', 'z', 'y'}, "TCON", "genre", "Jazzy"},
      // UTF-16 big-endian with its mark, and without a terminator.
      {{1, 0xFE, 0xFF, 0, 'H', 0, 'i'}, "TIT2", "title", "Hi"},
      {{2, 0, 'O', 0, 'k', 0, 0, 0, 'x'}, "TIT2", "title", "Ok"},
      // Little-endian with a surrogate pair: one four-byte character.
      {{1, 0xFF, 0xFE, 0x3C, 0xD8, 0xB5, 0xDF}, "TIT2", "title", "\xF0\x9F\x8E\xB5"},
      {{1, 0x12, 0x34, 'a', 0}, "TIT2", "title", ""},
      {{0, 'e', 'n', 'g', 'i', 'T', 'u', 'n', 'e', 's', '_', 'C', 'D', 'D', 'B', '_', '1', 0, 'a', 'b', 'c'},
       "COMM", "vqz-UniqueAlbumID", "qZk_NkcGgWq6PiVxeFDCbJzQ2J0="},
      {{0, 'e', 'n', 'g', 'o', 't', 'h', 'e', 'r', 0, 'a', 'b', 'c'}, "COMM", "vqz-UniqueAlbumID", ""},
      // MCDI bytes "abc" hash as the hexadecimal text "616263".
      {{'a', 'b', 'c'}, "MCDI", "vqz-UniqueAlbumID", "w9i4D5Lq95yQobmfN6YshLFJSjg="},
      {{7, 'x'}, "TIT2", "title", ""},
  };
  for (const auto &c : cases) {
    Parsed got = parseBytes(tag(3, frame3(c.id, c.body)));
    EXPECT_EQ(got.text(c.key), c.want) << c.id << " " << c.want;
  }
}

TEST(Id3, HostileSizesEndTheParseWithWhatWasFound) {
  std::vector<uint8_t> title = frame3("TIT2", {0, 'O', 'n', 'e'});
  // A frame claiming far more than the tag holds, then padding, then a
  // frame after the padding that must not be read.
  Parsed huge = parseBytes(tag(3, cat({title, frame3("TALB", {0, 'A'}, 0x7FFFFFFF)})));
  EXPECT_EQ(huge.text("title"), "One");
  EXPECT_EQ(huge.text("album"), "A");
  std::vector<uint8_t> padded = cat({title, std::vector<uint8_t>(3000, 0), frame3("TPE1", {0, 'X'})});
  Parsed pad = parseBytes(tag(4, padded));
  EXPECT_EQ(pad.state, HBFP_DONE);
  EXPECT_FALSE(pad.has("artist"));
  // A UTF-16 picture description without its terminator is malformed.
  Parsed pic = parseBytes(tag(3, frame3("APIC", {1, 'i', 'm', 'a', 'g', 'e', '/', 'j', 'p', 'e', 'g', 0, 3, 0xFF,
                                                 0xFE, 'a', 0, 'b'})));
  EXPECT_FALSE(pic.has("vqz-tn"));
}

TEST(Id3, Version4FrameSizesAreSynchsafe) {
  // 200 bytes of title: synchsafe 0x01 0x48, which read plainly would be 328.
  std::vector<uint8_t> body = {0};
  body.insert(body.end(), 199, 'x');
  std::vector<uint8_t> frame = {'T', 'I', 'T', '2', 0, 0, 0x01, 0x48, 0, 0};
  for (uint8_t b : body) frame.push_back(b);
  Parsed got = parseBytes(tag(4, cat({frame, frame3("TPE1", {0, 'Y'})})));
  EXPECT_EQ(got.text("title"), std::string(199, 'x'));
  EXPECT_EQ(got.text("artist"), "Y");
}

}  // namespace
