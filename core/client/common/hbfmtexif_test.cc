#include <cmath>
#include <cstdio>

#include "hbfmt_testutil.h"

using namespace fmttest;

namespace {

struct ExifCase {
  const char *order;
  const char *make;
  const char *model;
  double latitude, longitude;
};

class ExifFixture : public ::testing::TestWithParam<ExifCase> {
 protected:
  void SetUp() override {
    if (!haveTool("/usr/bin/exiftool") || !haveTool("/usr/bin/ffmpeg")) {
      GTEST_SKIP() << "needs exiftool and ffmpeg (libimage-exiftool-perl, ffmpeg)";
    }
  }
  // A 16x16 JPEG from ffmpeg with EXIF written by exiftool.
  std::string makePhoto(const ExifCase &c) {
    std::string path = dir_.file("photo.jpg");
    EXPECT_EQ(run({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                   "color=red:size=16x16", "-frames:v", "1", path}),
              0);
    char lat[32], lon[32];
    snprintf(lat, sizeof lat, "%.6f", std::fabs(c.latitude));
    snprintf(lon, sizeof lon, "%.6f", std::fabs(c.longitude));
    std::string out;
    EXPECT_EQ(run({"/usr/bin/exiftool", "-q", "-overwrite_original", std::string("-ExifByteOrder=") + c.order,
                   std::string("-Make=") + c.make, std::string("-Model=") + c.model,
                   "-DateTimeOriginal=2013:07:04 12:30:00", std::string("-GPSLatitude=") + lat,
                   std::string("-GPSLatitudeRef=") + (c.latitude < 0 ? "S" : "N"), std::string("-GPSLongitude=") + lon,
                   std::string("-GPSLongitudeRef=") + (c.longitude < 0 ? "W" : "E"), path},
                  &out),
              0)
        << out;
    return path;
  }
  TempDir dir_;
};

// Make, Model, DateTimeOriginal, GPSLatitude, GPSLongitude as exiftool reads
// them, one per line.
std::vector<std::string> oracle(const std::string &path) {
  std::string out;
  run({"/usr/bin/exiftool", "-n", "-s3", "-Make", "-Model", "-DateTimeOriginal", "-GPSLatitude", "-GPSLongitude",
       path},
      &out);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(out.substr(start, nl - start));
  }
  return lines;
}

std::string trimmed(const std::string &s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

TEST_P(ExifFixture, ReportsWhatExiftoolReads) {
  const ExifCase &c = GetParam();
  std::string path = makePhoto(c);
  std::vector<std::string> want = oracle(path);
  ASSERT_EQ(want.size(), 5u);
  Parsed got = parseFile(path);
  EXPECT_EQ(got.state, HBFP_DONE);
  EXPECT_EQ(got.text("EXIF-Make"), trimmed(want[0]));
  EXPECT_EQ(got.text("EXIF-Model"), trimmed(want[1]));
  int y, mo, d, h, mi, s;
  ASSERT_EQ(sscanf(want[2].c_str(), "%d:%d:%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6);
  int64_t ms;
  ASSERT_TRUE(hbfmt__utcToMs(y, mo, d, h, mi, s, &ms));
  EXPECT_EQ(got.text("EXIF-DateTimeOriginal"), std::to_string(ms));
  EXPECT_EQ(got.text("EXIF-DateTimeOriginal"), "1372941000000");
  double lat = 0, lon = 0;
  ASSERT_EQ(sscanf(got.text("EXIF-GPSCoordinates").c_str(), "%lf,%lf", &lat, &lon), 2)
      << got.text("EXIF-GPSCoordinates");
  EXPECT_NEAR(lat, std::stod(want[3]), 1e-5);
  EXPECT_NEAR(lon, std::stod(want[4]), 1e-5);
  EXPECT_EQ(lat < 0, c.latitude < 0);
  EXPECT_EQ(lon < 0, c.longitude < 0);
}

INSTANTIATE_TEST_SUITE_P(
    BothByteOrders, ExifFixture,
    ::testing::Values(
        // "Canon" has 6 bytes with its terminator: read from its offset.
        ExifCase{"II", "Canon", "Canon EOS 5D", 47.5, 8.25},
        // "Sony" is 5 bytes: still read from its offset; the model has
        // blanks around it that are trimmed.
        ExifCase{"MM", "Sony", "  ILCE-7M3\t", -33.8688, -151.2093},
        // "LG" fits inside its directory entry.
        ExifCase{"MM", "LG", "G6", 51.4778, -0.0015}, ExifCase{"II", "LG", "Nexus 5", -22.9068, 43.1729}));

class ExifBytes : public ExifFixture {};

TEST_F(ExifBytes, EveryTruncationEndsCleanlyWithASubsetOfTheItems) {
  std::vector<uint8_t> photo = readFile(makePhoto({"II", "Canon", "Canon EOS 5D", 47.5, 8.25}));
  ASSERT_GT(photo.size(), 200u);
  Parsed whole = parseBytes(photo);
  for (size_t n = 0; n < photo.size(); n++) {
    Parsed part = parseBytes(std::vector<uint8_t>(photo.begin(), photo.begin() + static_cast<long>(n)));
    for (const char *key : {"EXIF-Make", "EXIF-Model", "EXIF-DateTimeOriginal", "EXIF-GPSCoordinates"}) {
      if (part.has(key)) {
        EXPECT_EQ(part.text(key), whole.text(key)) << key << " at " << n;
      }
    }
  }
}

TEST_F(ExifBytes, ReadingThroughTheParserPassesEveryByteInSmallPieces) {
  std::vector<uint8_t> photo = readFile(makePhoto({"MM", "Sony", "A7", 1.5, 2.5}));
  HBRef<IHBMemStream> mem = memStream(photo);
  HBRef<IHBFormatParser> parser;
  ASSERT_EQ(HBFmtParser__new(mem.get(), "image/jpeg", parser.out()), 0);
  std::vector<uint8_t> seen;
  char piece[7];
  // Seeking back to the start halfway through must not disturb the parse.
  bool rewound = false;
  for (brerror_t n; (n = parser->read(piece, sizeof piece)) > 0;) {
    seen.insert(seen.end(), piece, piece + n);
    if (!rewound && seen.size() > 100) {
      ASSERT_EQ(parser->seek(0, HBSEEK_SET), 0);
      seen.clear();
      rewound = true;
    }
  }
  EXPECT_EQ(seen, photo);
  HBRef<IHBMap> items;
  ASSERT_EQ(parser->getFPResultMap(items.out()), 0);
  EXPECT_STREQ(items->getStringAtKey("EXIF-Make"), "Sony");
  EXPECT_STREQ(items->getStringAtKey("EXIF-GPSCoordinates"), "1.500000,2.500000");
  EXPECT_EQ(parser->close(), 0);
  // The map taken before the close stays the caller's; the parser has none.
  EXPECT_STREQ(items->getStringAtKey("EXIF-Make"), "Sony");
  HBRef<IHBMap> after;
  EXPECT_EQ(parser->getFPResultMap(after.out()), BRERROR_NO_ENTRY);
}

// A hand-made EXIF block: little-endian, one directory whose Exif pointer
// leads to a date of month 0 (an unset camera clock) and whose Make is
// given with a count past the end of the file.
TEST(Exif, UnsetDateAndOutOfFileOffsetsYieldNothing) {
  std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x40, 'E', 'x', 'i', 'f', 0, 0,
                            'I', 'I', 42, 0, 8, 0, 0, 0,
                            2, 0,
                            0x0F, 0x01, 2, 0, 50, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0x7F,  // Make far away
                            0x69, 0x87, 4, 0, 1, 0, 0, 0, 38, 0, 0, 0,              // Exif directory at 38
                            0, 0, 0, 0,
                            1, 0,
                            0x03, 0x90, 2, 0, 20, 0, 0, 0, 56, 0, 0, 0};  // date at 56
  const char date[] = "0000:00:00 00:00:00";
  b.insert(b.end(), date, date + sizeof date);
  Parsed got = parseBytes(b);
  EXPECT_FALSE(got.has("EXIF-DateTimeOriginal"));
  EXPECT_FALSE(got.has("EXIF-Make"));
  EXPECT_NE(got.state, HBFP_DONE);
}

TEST(FmtParser, RefusesMimeTypesItCannotParse) {
  const std::vector<uint8_t> none;
  HBRef<IHBMemStream> mem = memStream(none);
  HBRef<IHBFormatParser> parser;
  EXPECT_EQ(HBFmtParser__new(mem.get(), "image/png", parser.out()), BRERROR_UNSUPPORTED);
  for (const char *mime : {"image/jpeg", "image/jpg", "audio/mpeg", "audio/mpg", "audio/aac", "audio/mp4",
                           "audio/x-m4a", "video/mp4", "video/quicktime"}) {
    EXPECT_EQ(HBFmtParser__new(mem.get(), mime, parser.out()), 0) << mime;
  }
}

TEST(FmtParser, DataNoImplementationKnowsFails) {
  // Longer than the carry, and shorter: both end failed with no items.
  for (size_t size : {5000, 10}) {
    Parsed got = parseBytes(std::vector<uint8_t>(size, 'a'));
    EXPECT_EQ(got.state, HBFP_FAILED) << size;
    ASSERT_TRUE(got.items);
    EXPECT_EQ(HBMap__iterateValues(got.items.get(), nullptr, nullptr), 0);
  }
}

TEST(FmtParser, UtcConversionChecksTheCalendar) {
  int64_t ms = 0;
  EXPECT_TRUE(hbfmt__utcToMs(2013, 7, 4, 12, 30, 0, &ms));
  EXPECT_EQ(ms, 1372941000000);
  EXPECT_TRUE(hbfmt__utcToMs(1970, 1, 1, 0, 0, 0, &ms));
  EXPECT_EQ(ms, 0);
  EXPECT_TRUE(hbfmt__utcToMs(1904, 1, 1, 0, 0, 0, &ms));
  EXPECT_EQ(ms, -2082844800000);
  EXPECT_FALSE(hbfmt__utcToMs(0, 0, 0, 0, 0, 0, &ms));
  EXPECT_FALSE(hbfmt__utcToMs(2013, 13, 1, 0, 0, 0, &ms));
  EXPECT_FALSE(hbfmt__utcToMs(2013, 1, 1, 24, 0, 0, &ms));
}

}  // namespace
