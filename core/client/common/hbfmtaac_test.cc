#include "hbfmt_testutil.h"

using namespace fmttest;

namespace {

class Mp4Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *tool : {"/usr/bin/ffmpeg", "/usr/bin/exiftool", "/usr/bin/AtomicParsley"}) {
      if (!haveTool(tool)) GTEST_SKIP() << "needs " << tool << " (ffmpeg, libimage-exiftool-perl, atomicparsley)";
    }
  }
  static std::string exif(const std::string &path, const char *tag, bool binary = false) {
    std::string out;
    run({"/usr/bin/exiftool", binary ? "-b" : "-s3", std::string("-") + tag, path}, &out);
    if (!binary && !out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  TempDir dir_;
};

TEST_F(Mp4Fixture, M4aAndMp4TagsCoverAndCreationTimeMatchExiftool) {
  std::string cover = dir_.file("cover.jpg");
  ASSERT_EQ(run({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                 "color=green:size=16x16", "-frames:v", "1", cover}),
            0);
  struct Clip {
    const char *name;
    std::vector<std::string> input;
  } clips[] = {
      {"song.m4a", {"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac"}},
      {"clip.mp4", {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=5", "-t", "1", "-c:v", "mpeg4"}},
  };
  for (const auto &clip : clips) {
    SCOPED_TRACE(clip.name);
    std::string path = dir_.file(clip.name);
    std::vector<std::string> args = {"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
    args.insert(args.end(), clip.input.begin(), clip.input.end());
    args.insert(args.end(), {"-metadata", "title=Song", "-metadata", "artist=Band", "-metadata", "album=Record",
                             "-metadata", "genre=Rock", "-metadata", "creation_time=2013-07-03T13:20:00Z", path});
    ASSERT_EQ(run(args), 0);
    std::string out;
    ASSERT_EQ(run({"/usr/bin/AtomicParsley", path, "--artwork", cover, "--tracknum", "3/12", "--overWrite"}, &out), 0)
        << out;
    Parsed got = parseFile(path);
    EXPECT_EQ(got.state, HBFP_DONE);
    EXPECT_EQ(got.text("title"), exif(path, "Title"));
    EXPECT_EQ(got.text("artist"), exif(path, "Artist"));
    EXPECT_EQ(got.text("album"), exif(path, "Album"));
    EXPECT_EQ(got.text("genre"), exif(path, "Genre"));
    EXPECT_EQ(got.text("originalTrackNumber"), "3/12");  // exiftool: "3 of 12"
    EXPECT_EQ(exif(path, "TrackNumber"), "3 of 12");
    EXPECT_EQ(exif(path, "CreateDate"), "2013:07:03 13:20:00");
    EXPECT_EQ(got.text("EXIF-DateTimeOriginal"), "1372857600000");
    std::vector<uint8_t> picture;
    std::string mime;
    ASSERT_TRUE(got.picture(&picture, &mime));
    EXPECT_EQ(mime, "image/jpeg");
    std::string oracle = exif(path, "CoverArt", true);
    EXPECT_EQ(picture, std::vector<uint8_t>(oracle.begin(), oracle.end()));
  }
}

// Box builders for hand-made files.
std::vector<uint8_t> box(const char *type, const std::vector<uint8_t> &body) {
  uint32_t size = static_cast<uint32_t>(body.size() + 8);
  std::vector<uint8_t> out;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(size >> shift));
  for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(type[i]));
  for (uint8_t b : body) out.push_back(b);
  return out;
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto &p : parts) {
    for (uint8_t b : p) out.push_back(b);
  }
  return out;
}

std::vector<uint8_t> bytes(const char *text) { return std::vector<uint8_t>(text, text + strlen(text)); }

std::vector<uint8_t> data(uint8_t kind, const std::vector<uint8_t> &payload) {
  return box("data", join({{0, 0, 0, kind, 0, 0, 0, 0}, payload}));
}

std::vector<uint8_t> file(const std::vector<uint8_t> &ilst, const std::vector<uint8_t> &mvhd = {}) {
  std::vector<uint8_t> meta = box("meta", join({{0, 0, 0, 0}, box("ilst", ilst)}));
  return join({box("ftyp", bytes("M4A \0\0\0\0")), box("moov", join({mvhd, box("udta", meta)}))});
}

TEST(Mp4, RawItemsAndCreationTimesInBothHeaderVersions) {
  std::vector<uint8_t> ilst = join({
      box("trkn", data(0, {0, 0, 0, 3, 0, 12, 0, 0})),
      box("gnre", data(0, {0, 18})),
      box("plID", data(21, {0, 1, 2, 3, 4, 5, 0xAB, 0xCD})),
  });
  // 3455700000 s after 1904 is 2013-07-03 10:00 UTC.
  std::vector<uint8_t> v0 = box("mvhd", {0, 0, 0, 0, 0xCD, 0xF9, 0xCC, 0x20, 0, 0, 0, 0});
  std::vector<uint8_t> v1 = box("mvhd", {1, 0, 0, 0, 0, 0, 0, 0, 0xCD, 0xF9, 0xCC, 0x20, 0, 0, 0, 0});
  for (const auto &mvhd : {v0, v1}) {
    // Chosen from the data, and with the MP4 factory alone as the video
    // probe uses it: the same items reach the result map.
    for (IHBFormatImplFact *only : {static_cast<IHBFormatImplFact *>(nullptr), HBFmtImplFactAac__get()}) {
      Parsed got = parseBytes(file(ilst, mvhd), only);
      EXPECT_EQ(got.state, HBFP_DONE);
      EXPECT_EQ(got.text("originalTrackNumber"), "3/12");
      EXPECT_EQ(got.text("genre"), "Rock");
      EXPECT_EQ(got.text("EXIF-DateTimeOriginal"), "1372855200000");
      // The hash of the identifier's hexadecimal text "000102030405ABCD".
      EXPECT_EQ(got.text("vqz-UniqueAlbumID"), "PZuqs-5JGXWrv00nOH7OkzSfnKw=");
    }
  }
}

TEST(Mp4, FreeFormItemIsHashedOnlyForTheCddbIdsName) {
  auto item = [](const char *name) {
    return box("----", join({box("mean", join({{0, 0, 0, 0}, bytes("com.apple.iTunes")})),
                             box("name", join({{0, 0, 0, 0}, bytes(name)})), data(1, bytes("abc"))}));
  };
  EXPECT_EQ(parseBytes(file(item("iTunes_CDDB_IDs"))).text("vqz-UniqueAlbumID"), "qZk_NkcGgWq6PiVxeFDCbJzQ2J0=");
  EXPECT_FALSE(parseBytes(file(item("iTunes_CDDB_1"))).has("vqz-UniqueAlbumID"));
}

TEST(Mp4, HostileBoxesEndTheParseWithWhatWasFound) {
  std::vector<uint8_t> title = box("\xA9nam", data(1, bytes("Kept")));
  // A child larger than its parent, a zero-size box, a short track number.
  std::vector<uint8_t> beyond = file(join({title, {0, 0, 0x10, 0, 'c', 'o', 'v', 'r'}}));
  Parsed a = parseBytes(beyond);
  EXPECT_EQ(a.text("title"), "Kept");
  std::vector<uint8_t> zero = file(join({title, {0, 0, 0, 0, 'g', 'n', 'r', 'e'}, box("\xA9" "ART", data(1, bytes("No")))}));
  Parsed b = parseBytes(zero);
  EXPECT_EQ(b.text("title"), "Kept");
  EXPECT_FALSE(b.has("artist"));
  EXPECT_FALSE(parseBytes(file(box("trkn", data(0, {0, 0, 0, 3})))).has("originalTrackNumber"));
  // A box smaller than its own header, and a 64-bit size past the file.
  Parsed c = parseBytes(join({box("ftyp", bytes("isom")), {0, 0, 0, 4, 'm', 'o', 'o', 'v'}}));
  EXPECT_NE(c.state, HBFP_FAILED);
  Parsed d = parseBytes(join({box("ftyp", bytes("isom")),
                              {0, 0, 0, 1, 'm', 'd', 'a', 't', 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));
  EXPECT_NE(d.state, HBFP_FAILED);
}

TEST(Mp4, MovieBoxAfterLargeMediaIsReachedBySeeking) {
  std::vector<uint8_t> mdat(3 << 20, 0x5A);
  std::vector<uint8_t> whole =
      join({box("ftyp", bytes("isom")), box("mdat", mdat), box("moov", box("udta", box("meta", join({{0, 0, 0, 0},
                                                                                                     box("ilst", box("\xA9nam", data(1, bytes("Late"))))}))))});
  Parsed got = parseBytes(whole);
  EXPECT_EQ(got.state, HBFP_DONE);
  EXPECT_EQ(got.text("title"), "Late");
}

}  // namespace
