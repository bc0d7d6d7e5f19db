#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "hbimg.h"
#include "hbimg_testfixtures.h"

using namespace hbimgtest;

namespace {

using Rows = std::vector<std::vector<uint8_t>>;

PngOptions greyWithTransparent(png_uint_16 value) {
  PngOptions o = pngLayout(PNG_COLOR_TYPE_GRAY);
  o.greyTrns = true;
  o.greyTrnsValue = value;
  return o;
}

PngOptions paletteWithTransparency() {
  PngOptions o = pngLayout(PNG_COLOR_TYPE_PALETTE, 4);
  o.palette = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  o.trnsAlpha = {0, 128};
  return o;
}

PngOptions interlacedRGB() {
  PngOptions o;
  o.interlaced = true;
  return o;
}

// A 4x2 picture in the given sample layout, with the RGB it must decode to.
struct Kind {
  const char *name;
  PngOptions opt;
  Rows rows;
  std::vector<uint8_t> rgb;  // 4x2 packed, expected
};

std::vector<Kind> kinds() {
  std::vector<Kind> k;
  k.push_back({"rgb 8", {}, {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}},
               {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}});
  k.push_back({"rgba 8: alpha removed",
               pngLayout(PNG_COLOR_TYPE_RGB_ALPHA),
               {{1, 2, 3, 0, 4, 5, 6, 50, 7, 8, 9, 100, 10, 11, 12, 255},
                {13, 14, 15, 0, 16, 17, 18, 0, 19, 20, 21, 0, 22, 23, 24, 0}},
               {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}});
  // 16-bit samples v * 257 reduce exactly to v.
  Rows rgb16(2);
  std::vector<uint8_t> want16;
  for (int y = 0; y < 2; y++) {
    for (int i = 0; i < 12; i++) {
      uint8_t v = static_cast<uint8_t>(20 * (y * 12 + i) % 256);
      rgb16[y].push_back(v);
      rgb16[y].push_back(v);
      want16.push_back(v);
    }
  }
  k.push_back({"rgb 16", pngLayout(PNG_COLOR_TYPE_RGB, 16), rgb16, want16});
  k.push_back({"grey 16 to 8-bit RGB",
               pngLayout(PNG_COLOR_TYPE_GRAY, 16),
               {{0, 0, 0x40, 0x40, 0x80, 0x80, 0xFF, 0xFF}, {0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44}},
               {0, 0, 0, 0x40, 0x40, 0x40, 0x80, 0x80, 0x80, 0xFF, 0xFF, 0xFF,
                0x11, 0x11, 0x11, 0x22, 0x22, 0x22, 0x33, 0x33, 0x33, 0x44, 0x44, 0x44}});
  k.push_back({"grey 1",
               pngLayout(PNG_COLOR_TYPE_GRAY, 1),
               {{0xA0}, {0x50}},
               {255, 255, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0,
                0, 0, 0, 255, 255, 255, 0, 0, 0, 255, 255, 255}});
  k.push_back({"grey 8 with a transparent value",
               greyWithTransparent(9),
               {{9, 10, 11, 12}, {13, 14, 15, 9}},
               {9, 9, 9, 10, 10, 10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15, 9, 9, 9}});
  k.push_back({"palette 4 with transparency",
               paletteWithTransparency(),
               {{0x01, 0x20}, {0x22, 0x10}},
               {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 0, 0, 0, 0, 255, 0, 0, 255, 0, 255, 0, 255, 0, 0}});
  k.push_back({"interlaced rgb",
               interlacedRGB(),
               {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}},
               {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}});
  return k;
}

void fixCRC(std::string *file, size_t chunkStart, uint32_t length) {
  uLong crc = crc32(0, reinterpret_cast<const Bytef *>(file->data() + chunkStart + 4), length + 4);
  for (int i = 0; i < 4; i++) {
    (*file)[chunkStart + 8 + length + i] = static_cast<char>((crc >> (24 - 8 * i)) & 0xFF);
  }
}

// Patches the size in IHDR (the first chunk, at byte 8) and fixes its CRC.
std::string withSize(std::string file, uint32_t w, uint32_t h) {
  for (int i = 0; i < 4; i++) {
    file[16 + i] = static_cast<char>((w >> (24 - 8 * i)) & 0xFF);
    file[20 + i] = static_cast<char>((h >> (24 - 8 * i)) & 0xFF);
  }
  fixCRC(&file, 8, 13);
  return file;
}

}  // namespace

TEST(HBImgPngTest, EverySampleLayoutDecodesTo8BitRGB) {
  for (const Kind &k : kinds()) {
    SCOPED_TRACE(k.name);
    HBRef<HBImg> img;
    ASSERT_EQ(decodeScaled(encodePng(k.rows, 4, k.opt), 0, 0, 0, &img), BRERROR_NONE);
    ASSERT_EQ(img->getWidth(), 4);
    ASSERT_EQ(img->getHeight(), 2);
    ASSERT_EQ(img->getDepth(), 24);
    std::vector<uint8_t> got;
    for (int y = 0; y < 2; y++) got.insert(got.end(), img->getRow(y), img->getRow(y) + 12);
    EXPECT_EQ(got, k.rgb);
  }
}

TEST(HBImgPngTest, GreyWithAlphaIsRefused) {
  PngOptions opt = pngLayout(PNG_COLOR_TYPE_GRAY_ALPHA);
  HBRef<HBImg> img;
  EXPECT_EQ(decodeScaled(encodePng({{1, 255, 2, 255}, {3, 0, 4, 0}}, 2, opt), 0, 0, 0, &img),
            BRERROR_INVALID_ARGUMENT);
  EXPECT_FALSE(img);
}

TEST(HBImgPngTest, SmallPictureKeepsItsSize) {
  HBRef<HBImg> img;
  ASSERT_EQ(decodeScaled(photoPng(100, 100), 1024, 1024, 0x38, &img), BRERROR_NONE);
  EXPECT_EQ(img->getWidth(), 100);
  EXPECT_EQ(img->getHeight(), 100);
}

// Flag 0x8 keeps what a reducing decoder made; PNG is never reduced, so the
// preview of a large PNG is still scaled to fit instead of sent full size.
TEST(HBImgPngTest, LargePngPreviewIsScaledToFitEvenWhenKeepingDecodedSize) {
  const std::string file = photoPng(3000, 2000);
  HBRef<HBImg> preview;
  ASSERT_EQ(decodeScaled(file, 1024, 1024, 0x38, &preview), BRERROR_NONE);
  ASSERT_EQ(preview->getWidth(), 1024);
  ASSERT_EQ(preview->getHeight(), 683);

  // The same area average as scaling the full picture by hand.
  HBRef<HBImg> full;
  ASSERT_EQ(decodeScaled(file, 0, 0, 0, &full), BRERROR_NONE);
  ASSERT_EQ(full->getWidth(), 3000);
  HBRef<HBImg> scaled;
  ASSERT_EQ(HBImg__copyScaled(scaled.out(), full.get(), 1024, 1024, 0), BRERROR_NONE);
  for (int32_t y = 0; y < 683; y++) {
    ASSERT_EQ(memcmp(preview->getRow(y), scaled->getRow(y), 1024 * 3), 0) << "row " << y;
  }
}

TEST(HBImgPngTest, DamagedAndHostileFilesFail) {
  const std::string good = photoPng(64, 48);
  std::string badCRC = good;
  badCRC[29] ^= 0x55;  // a byte of IHDR's CRC
  size_t idat = good.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  std::string badData = good;
  for (size_t i = idat + 4; i < idat + 40; i++) badData[i] = '\x5A';  // CRC now wrong

  struct Case {
    const char *what;
    std::string file;
    brerror_t want;
  } cases[] = {
      {"bad IHDR CRC", badCRC, BRERROR_UNSPECIFIED},
      {"bad IDAT", badData, BRERROR_UNSPECIFIED},
      {"cut in the header", good.substr(0, 20), BRERROR_UNSPECIFIED},
      {"cut in the data", good.substr(0, idat + 60), BRERROR_UNSPECIFIED},
      {"signature only", good.substr(0, 8), BRERROR_UNSPECIFIED},
      {"20000x20000 declared", withSize(good, 20000, 20000), BRERROR_NO_SPACE},
      {"width beyond the format", withSize(good, 0x80000000u, 10), BRERROR_UNSPECIFIED},
  };
  for (const Case &c : cases) {
    HBRef<HBImg> img;
    EXPECT_EQ(decodeScaled(c.file, 1024, 1024, 0x38, &img), c.want) << c.what;
    EXPECT_FALSE(img) << c.what;
  }
}
