#include "hbimg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hbimg_testfixtures.h"

using namespace hbimgtest;

namespace {

HBRef<HBImg> newImage(int32_t w, int32_t h, int32_t depth) {
  HBRef<HBImg> img;
  EXPECT_EQ(HBImg__new(img.out(), w, h, depth, 0), BRERROR_NONE);
  return img;
}

void fillRandom(HBImg *img, uint32_t seed) {
  std::mt19937 rng(seed);
  const int bpp = img->getDepth() / 8;
  for (int32_t y = 0; y < img->getHeight(); y++) {
    for (int32_t x = 0; x < img->getWidth() * bpp; x++) img->getRow(y)[x] = rng() & 0xFF;
  }
}

// The scaler's arithmetic written out pixel by pixel, as plainly as possible.
std::vector<uint8_t> referenceScale(HBImg *src, int x0, int y0, int ww, int wh, int ow, int oh) {
  const int c = src->getDepth() / 8;
  const int64_t stepX = static_cast<int64_t>(ww) * 4096 / ow;
  const int64_t stepY = static_cast<int64_t>(wh) * 4096 / oh;
  std::vector<uint8_t> out(static_cast<size_t>(ow) * oh * c);
  for (int j = 0; j < oh; j++) {
    for (int i = 0; i < ow; i++) {
      for (int ch = 0; ch < c; ch++) {
        uint64_t sum = 0, total = 0;
        for (int sy = 0; sy < wh; sy++) {
          int64_t wy = std::min<int64_t>((j + 1) * stepY, (sy + 1) * 4096LL) -
                       std::max<int64_t>(j * stepY, sy * 4096LL);
          if (wy <= 0) continue;
          for (int sx = 0; sx < ww; sx++) {
            int64_t wx = std::min<int64_t>((i + 1) * stepX, (sx + 1) * 4096LL) -
                         std::max<int64_t>(i * stepX, sx * 4096LL);
            if (wx <= 0) continue;
            sum += static_cast<uint64_t>(wx * wy) * src->getRow(y0 + sy)[(x0 + sx) * c + ch];
            total += static_cast<uint64_t>(wx * wy);
          }
        }
        uint64_t v = total ? sum / total : sum / 4096;
        out[(static_cast<size_t>(j) * ow + i) * c + ch] = static_cast<uint8_t>(std::min<uint64_t>(v, 255));
      }
    }
  }
  return out;
}

std::vector<uint8_t> packed(HBImg *img) {
  const size_t rowBytes = static_cast<size_t>(img->getWidth()) * (img->getDepth() / 8);
  std::vector<uint8_t> out;
  for (int32_t y = 0; y < img->getHeight(); y++) {
    out.insert(out.end(), img->getRow(y), img->getRow(y) + rowBytes);
  }
  return out;
}

}  // namespace

TEST(HBImgTest, PitchCoversRowAndFollowsDepthAlignment) {
  struct Case {
    int32_t width, depth, minPitch, pitch;
  } cases[] = {
      {5, 24, 0, 16},   // 15 bytes up to a multiple of 4
      {4, 24, 0, 12},   // already aligned
      {3, 32, 0, 12},
      {5, 16, 0, 10},
      {5, 15, 11, 12},  // larger minimum, rounded to 2
      {5, 8, 0, 5},     // one byte per pixel: no rounding
      {5, 24, 21, 24},  // larger minimum, rounded to 4
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "px depth " << c.depth);
    HBRef<HBImg> img;
    ASSERT_EQ(HBImg__new(img.out(), c.width, 2, c.depth, c.minPitch), BRERROR_NONE);
    EXPECT_EQ(img->getPitch(), c.pitch);
    EXPECT_EQ(img->getDepth(), c.depth);
  }
}

TEST(HBImgTest, NewRefusesBadArgumentsAndSizesAboveThePixelCap) {
  struct Case {
    int32_t w, h, depth;
    brerror_t want;
  } cases[] = {
      {0, 10, 24, BRERROR_INVALID_ARGUMENT},
      {10, -1, 24, BRERROR_INVALID_ARGUMENT},
      {10, 10, 12, BRERROR_INVALID_ARGUMENT},
      {8193, 8192, 24, BRERROR_NO_SPACE},     // one column over 0x4000000 pixels
      {65535, 65535, 8, BRERROR_NO_SPACE},
  };
  for (const Case &c : cases) {
    HBImg *img = nullptr;
    EXPECT_EQ(HBImg__new(&img, c.w, c.h, c.depth, 0), c.want) << c.w << "x" << c.h;
    EXPECT_EQ(img, nullptr);
  }
}

TEST(HBImgTest, DecoderIsChosenByTheLeadingBytes) {
  const std::string jpeg = photoJpeg(8, 8);
  const std::string png = photoPng(8, 8);
  struct Case {
    std::string bytes;
    brerror_t want;
    bool reducible;
  } cases[] = {
      {jpeg, BRERROR_NONE, true},
      {png, BRERROR_NONE, false},
      {std::string("\xFF", 1), BRERROR_NO_ENTRY, false},
      {"\x89PN", BRERROR_NO_ENTRY, false},  // "PNG" needs four bytes
      {"GIF89a", BRERROR_NO_ENTRY, false},
  };
  for (const Case &c : cases) {
    HBRef<IHBImgDecoder> decoder;
    const auto *bytes = reinterpret_cast<const uint8_t *>(c.bytes.data());
    int32_t count = static_cast<int32_t>(std::min<size_t>(c.bytes.size(), 512));
    ASSERT_EQ(HBImageDecoder__new(decoder.out(), bytes, count), c.want);
    if (c.want < 0) continue;
    const std::string tail = c.bytes.substr(count);
    HBRef<IHBStream> rest = fileStream(tail);
    HBImgHeader header;
    ASSERT_EQ(decoder->decodeHeader(&header, bytes, count, rest.get()), BRERROR_NONE);
    EXPECT_EQ(header.width, 8);
    EXPECT_EQ(header.reducible, c.reducible);
  }
}

TEST(HBImgTest, EmptyStreamGivesEndOfDataAndUnknownBytesNoEntry) {
  HBRef<HBImg> img;
  EXPECT_EQ(decodeScaled("", 1024, 1024, 0x38, &img), BRERROR_EOF);
  EXPECT_EQ(decodeScaled("BM this is a bitmap, not a photo", 1024, 1024, 0x38, &img),
            BRERROR_NO_ENTRY);
  EXPECT_FALSE(img);
}

TEST(HBImgTest, FitRuleKeepsShapeAndSnapsWithinTwoPixels) {
  struct Case {
    int32_t sw, sh, w, h, ow, oh;
  } cases[] = {
      {3000, 2000, 1024, 1024, 1024, 683},
      {2000, 3000, 1024, 1024, 683, 1024},
      {4000, 3000, 1024, 1024, 1024, 768},
      {1000, 750, 160, 160, 160, 120},
      {8000, 1000, 160, 160, 160, 20},  // 158 wide by the factor, snapped to 160
      {1000, 8000, 160, 160, 20, 160},  // likewise in height
      {10000, 10, 160, 160, 160, 1},    // 0 rows become 1
      {100, 100, 160, 160, 160, 160},   // a smaller picture is enlarged
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.w << "x" << c.h);
    HBRef<HBImg> src = newImage(c.sw, c.sh, 24);
    memset(src->getBits(), 0x80, static_cast<size_t>(src->getPitch()) * c.sh);
    HBRef<HBImg> out;
    ASSERT_EQ(HBImg__copyScaled(out.out(), src.get(), c.w, c.h, 0), BRERROR_NONE);
    EXPECT_EQ(out->getWidth(), c.ow);
    EXPECT_EQ(out->getHeight(), c.oh);
    EXPECT_EQ(out->getDepth(), 24);
  }
}

TEST(HBImgTest, CropTakesTheMiddleSquare) {
  // A 1000x750 preview whose outer 125-pixel bands (left and right) are red:
  // none of that may reach a 160x160 thumbnail. Likewise for a tall picture.
  struct Case {
    int32_t w, h;
  } cases[] = {{1000, 750}, {750, 1000}, {751, 1000}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    HBRef<HBImg> src = newImage(c.w, c.h, 24);
    const int32_t side = std::min(c.w, c.h);
    const int32_t x0 = (c.w - side) / 2, y0 = (c.h - side) / 2;
    for (int32_t y = 0; y < c.h; y++) {
      for (int32_t x = 0; x < c.w; x++) {
        bool inside = x >= x0 && x < x0 + side && y >= y0 && y < y0 + side;
        uint8_t *p = src->getRow(y) + x * 3;
        p[0] = inside ? 10 : 255;
        p[1] = inside ? 200 : 0;
        p[2] = inside ? 30 : 0;
      }
    }
    HBRef<HBImg> thumb;
    ASSERT_EQ(HBImg__copyScaled(thumb.out(), src.get(), 160, 160, HBIMG_FLAG_CROP),
              BRERROR_NONE);
    ASSERT_EQ(thumb->getWidth(), 160);
    ASSERT_EQ(thumb->getHeight(), 160);
    for (int32_t y = 0; y < 160; y++) {
      for (int32_t x = 0; x < 160; x++) {
        const uint8_t *p = thumb->getRow(y) + x * 3;
        ASSERT_EQ(p[0], 10) << x << "," << y;
        ASSERT_EQ(p[1], 200);
        ASSERT_EQ(p[2], 30);
      }
    }
  }
}

TEST(HBImgTest, AreaAverageWeighsPartialCoverage) {
  // Three grey pixels into two: each output covers one and a half inputs.
  HBRef<HBImg> src = newImage(3, 1, 8);
  const uint8_t values[] = {0, 90, 255};
  memcpy(src->getRow(0), values, 3);
  HBRef<HBImg> out;
  ASSERT_EQ(HBImg__copyScaled(out.out(), src.get(), 2, 1, 0), BRERROR_NONE);
  ASSERT_EQ(out->getWidth(), 2);
  EXPECT_EQ(out->getRow(0)[0], 30);   // (0 x 4096 + 90 x 2048) / 6144
  EXPECT_EQ(out->getRow(0)[1], 200);  // (90 x 2048 + 255 x 4096) / 6144
}

TEST(HBImgTest, ScalerMatchesThePlainAreaAverageExactly) {
  struct Case {
    int32_t depth, sw, sh, w, h;
    uint32_t flags;
  } cases[] = {
      {24, 1000, 750, 160, 160, HBIMG_FLAG_CROP},
      {24, 750, 1001, 160, 160, HBIMG_FLAG_CROP},
      {24, 641, 479, 200, 200, 0},
      {32, 333, 517, 64, 64, 0},   // the fourth channel too
      {8, 97, 61, 40, 40, 0},
      {24, 100, 100, 160, 160, HBIMG_FLAG_CROP},  // enlarging
      {24, 7, 5, 31, 17, 0},
      {24, 4000, 2, 33, 33, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.depth << " bits " << c.sw << "x" << c.sh);
    HBRef<HBImg> src = newImage(c.sw, c.sh, c.depth);
    fillRandom(src.get(), static_cast<uint32_t>(c.sw * 31 + c.sh));
    HBRef<HBImg> out;
    ASSERT_EQ(HBImg__copyScaled(out.out(), src.get(), c.w, c.h, c.flags), BRERROR_NONE);
    ASSERT_EQ(out->getDepth(), c.depth);
    int x0 = 0, y0 = 0, ww = c.sw, wh = c.sh;
    if (c.flags & HBIMG_FLAG_CROP) {
      ww = wh = std::min(c.sw, c.sh);
      x0 = (c.sw - ww) / 2;
      y0 = (c.sh - wh) / 2;
    }
    EXPECT_EQ(packed(out.get()),
              referenceScale(src.get(), x0, y0, ww, wh, out->getWidth(), out->getHeight()));
  }
}

TEST(HBImgTest, CopyScaledCarriesTheICCProfileAndRefusesPackedDepths) {
  HBRef<HBImg> src = newImage(40, 30, 24);
  fillRandom(src.get(), 3);
  const uint8_t profile[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(src->setICCProfile(profile, sizeof profile), BRERROR_NONE);
  HBRef<HBImg> out;
  ASSERT_EQ(HBImg__copyScaled(out.out(), src.get(), 16, 16, HBIMG_FLAG_CROP), BRERROR_NONE);
  uint32_t length = 0;
  const uint8_t *icc = out->getICCProfile(&length);
  ASSERT_EQ(length, sizeof profile);
  EXPECT_EQ(memcmp(icc, profile, length), 0);

  HBRef<HBImg> packed16 = newImage(40, 30, 16);
  EXPECT_EQ(HBImg__copyScaled(out.out(), packed16.get(), 16, 16, 0), BRERROR_UNSUPPORTED);
  EXPECT_EQ(HBImg__copyScaled(out.out(), src.get(), 0, 16, 0), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(HBImg__copyScaled(out.out(), src.get(), 100000, 100000, HBIMG_FLAG_CROP),
            BRERROR_NO_SPACE);
}

// --- against ImageMagick ------------------------------------------------------

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern = testing::TempDir() + "hbimgXXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    path = mkdtemp(buf.data()) ? buf.data() : "";
  }
  ~TempDir() {
    if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
  }
};

bool run(const std::string &cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writePPM(HBImg *img, const std::string &path) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << img->getWidth() << " " << img->getHeight() << "\n255\n";
  std::vector<uint8_t> px = packed(img);
  out.write(reinterpret_cast<const char *>(px.data()), static_cast<std::streamsize>(px.size()));
}

double psnr(const std::vector<uint8_t> &a, const std::string &b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); i++) {
    double d = static_cast<double>(a[i]) - static_cast<uint8_t>(b[i]);
    se += d * d;
  }
  double mse = se / static_cast<double>(a.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

TEST(HBImgOracleTest, ThumbnailMatchesImageMagickBoxFilterOnPhotos) {
  const std::string convert = findConvert();
  if (convert.empty()) GTEST_SKIP() << "ImageMagick (convert) is not installed";
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  // Photo-like pictures of several shapes, made by ImageMagick; the JPEG one
  // goes through decoder reduction (4000x3000 at 1/4) like a camera photo.
  struct Photo {
    const char *name, *make;
  } photos[] = {
      {"plasma.png", "-size 1000x750 -seed 7 plasma:fractal -blur 0x1"},
      {"portrait.png", "-size 683x1024 -seed 11 plasma:green-blue +noise Gaussian"},
      {"gradient.png",
       "-size 1024x683 gradient:navy-orange -seed 3 -attenuate 0.6 +noise Gaussian"},
      {"camera.jpg", "-size 4000x3000 -seed 5 plasma:fractal -quality 92"},
      {"odd.png", "-size 901x517 -seed 9 plasma:red-yellow -swirl 90"},
  };
  for (const Photo &p : photos) {
    SCOPED_TRACE(p.name);
    const std::string file = dir.path + "/" + p.name;
    ASSERT_TRUE(run(convert + " " + p.make + " " + file)) << "convert failed for " << p.name;
    HBRef<HBImg> preview;
    ASSERT_EQ(decodeScaled(readFile(file), 1024, 1024, 0x38, &preview), BRERROR_NONE);
    HBRef<HBImg> thumb;
    ASSERT_EQ(HBImg__copyScaled(thumb.out(), preview.get(), 160, 160, HBIMG_FLAG_CROP),
              BRERROR_NONE);

    const int32_t w = preview->getWidth(), h = preview->getHeight(), side = std::min(w, h);
    const std::string ppm = dir.path + "/preview.ppm", rgb = dir.path + "/oracle.rgb";
    writePPM(preview.get(), ppm);
    char crop[64];
    snprintf(crop, sizeof crop, "%dx%d+%d+%d", side, side, (w - side) / 2, (h - side) / 2);
    ASSERT_TRUE(run(convert + " " + ppm + " -crop " + crop +
                    " +repage -filter box -resize 160x160! -depth 8 rgb:" + rgb));
    double db = psnr(packed(thumb.get()), readFile(rgb));
    RecordProperty(p.name, std::to_string(db));
    EXPECT_GE(db, 35.0) << "PSNR " << db << " dB";
  }
}
