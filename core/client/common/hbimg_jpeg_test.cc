#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "hbimg.h"
#include "hbimg_testfixtures.h"
#include "hbstream_testing.h"

using namespace hbimgtest;

namespace {

std::vector<uint8_t> packedRGB(HBImg *img) {
  std::vector<uint8_t> out;
  for (int32_t y = 0; y < img->getHeight(); y++) {
    out.insert(out.end(), img->getRow(y), img->getRow(y) + img->getWidth() * 3);
  }
  return out;
}

// Decodes through the decoder interface, returning the header it filled.
brerror_t decodeWithHeader(const std::string &file, int32_t w, int32_t h, uint32_t flags,
                           HBImgHeader *header, HBRef<HBImg> *out) {
  HBRef<IHBStream> stream = fileStream(file);
  uint8_t first[512];
  brerror_t n = stream->read(first, sizeof first);
  HBRef<IHBImgDecoder> decoder;
  brerror_t err = HBImageDecoder__new(decoder.out(), first, n);
  if (err < 0) return err;
  header->flags = flags;
  if ((err = decoder->decodeHeader(header, first, n, stream.get())) < 0) return err;
  header->requestedWidth = w;
  header->requestedHeight = h;
  return decoder->decodeImage(out->out(), header, stream.get());
}

// Patches the size in the first SOF0 marker.
std::string withFrameSize(std::string file, uint16_t w, uint16_t h) {
  size_t sof = file.find("\xFF\xC0");
  EXPECT_NE(sof, std::string::npos);
  file[sof + 5] = static_cast<char>(h >> 8);
  file[sof + 6] = static_cast<char>(h & 0xFF);
  file[sof + 7] = static_cast<char>(w >> 8);
  file[sof + 8] = static_cast<char>(w & 0xFF);
  return file;
}

}  // namespace

TEST(HBImgJpegTest, PreviewOf4000x3000DecodesAtQuarterScaleAndIsNotScaledAgain) {
  const std::string file = photoJpeg(4000, 3000);
  HBRef<HBImg> preview;
  ASSERT_EQ(decodeScaled(file, 1024, 1024, 0x38, &preview), BRERROR_NONE);
  ASSERT_EQ(preview->getWidth(), 1000);
  ASSERT_EQ(preview->getHeight(), 750);
  EXPECT_EQ(preview->getDepth(), 24);
  // Byte for byte what libjpeg gives at 1/4: no second scaling pass.
  int w = 0, h = 0;
  EXPECT_EQ(packedRGB(preview.get()), referenceJpegDecode(file, 4, &w, &h));
}

TEST(HBImgJpegTest, ScaleDenominatorFollowsBothRules) {
  struct Case {
    int32_t sw, sh, w, h;
    uint32_t flags;
    int32_t denom, dw, dh;
  } cases[] = {
      {6000, 4000, 1024, 1024, 0x38, 8, 750, 500},  // fit: reduce while larger
      {4000, 3000, 1024, 1024, 0x38, 4, 1000, 750},
      {1100, 800, 1024, 1024, 0x20, 2, 550, 400},
      {4000, 3000, 1024, 1024, 0, 2, 2000, 1500},   // stay at least as large
      {4000, 3000, 160, 160, 0, 8, 500, 375},       // never beyond 1/8
      {2000, 1500, 1000, 750, 0, 2, 1000, 750},
      {1000, 750, 1000, 750, 0x20, 1, 1000, 750},   // the request is the size
      {1000, 750, 0, 0, 0x20, 1, 1000, 750},        // no request
      {1000, 750, 300, 0, 0x20, 4, 250, 188},       // width only
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.w << "x" << c.h
                                    << " flags " << c.flags);
    HBImgHeader header;
    HBRef<HBImg> img;
    ASSERT_EQ(decodeWithHeader(photoJpeg(c.sw, c.sh, withQuality(50)), c.w, c.h, c.flags,
                               &header, &img),
              BRERROR_NONE);
    EXPECT_EQ(header.width, c.sw);
    EXPECT_EQ(header.scaleDenom, c.denom);
    EXPECT_EQ(img->getWidth(), c.dw);
    EXPECT_EQ(img->getHeight(), c.dh);
  }
}

TEST(HBImgJpegTest, ExactScalingAfterDecodeUnlessKept) {
  struct Case {
    uint32_t flags;
    int32_t w, h;
  } cases[] = {
      {0x30, 550, 400},    // reduced to fit while decoding: nothing more to do
      {0x10, 1024, 745},   // 1100x800 at full size, then fitted exactly
      {0x18, 1100, 800},   // kept as the decoder made it
  };
  const std::string file = photoJpeg(1100, 800);
  for (const Case &c : cases) {
    HBRef<HBImg> img;
    ASSERT_EQ(decodeScaled(file, 1024, 1024, c.flags, &img), BRERROR_NONE);
    EXPECT_EQ(img->getWidth(), c.w) << "flags " << c.flags;
    EXPECT_EQ(img->getHeight(), c.h) << "flags " << c.flags;
  }
}

TEST(HBImgJpegTest, GreyJpegAndSmallReadsDecodeToRGB) {
  const std::string grey = photoJpeg(64, 48, greyJpeg());
  HBRef<HBImg> img;
  ASSERT_EQ(decodeScaled(grey, 0, 0, 0, &img, /*piece=*/7), BRERROR_NONE);
  ASSERT_EQ(img->getWidth(), 64);
  ASSERT_EQ(img->getDepth(), 24);
  for (int32_t y = 0; y < 48; y++) {
    for (int32_t x = 0; x < 64; x++) {
      const uint8_t *p = img->getRow(y) + x * 3;
      ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
    }
  }
}

TEST(HBImgJpegTest, DamagedFilesFailWithoutAPicture) {
  const std::string good = photoJpeg(640, 480);
  std::string badHuffman = good;
  size_t dht = badHuffman.find("\xFF\xC4");
  ASSERT_NE(dht, std::string::npos);
  for (int i = 0; i < 16; i++) badHuffman[dht + 5 + i] = '\xFF';  // counts past 256 codes
  std::string markerInScan = good;
  markerInScan.replace(good.size() / 2, 2, "\xFF\xD9");  // EOI in the middle of the data

  struct Case {
    const char *what;
    std::string file;
    brerror_t want;
  } cases[] = {
      {"cut in the header", good.substr(0, 100), BRERROR_EOF},
      {"cut in the data", good.substr(0, good.size() / 2), BRERROR_EOF},
      {"broken Huffman table", badHuffman, BRERROR_UNSPECIFIED},
      {"marker inside the data", markerInScan, BRERROR_UNSPECIFIED},
      {"SOI only", std::string("\xFF\xD8", 2), BRERROR_EOF},
      {"no frame", std::string("\xFF\xD8\xFF\xD9", 4), BRERROR_UNSPECIFIED},
  };
  for (const Case &c : cases) {
    HBRef<HBImg> img;
    EXPECT_EQ(decodeScaled(c.file, 1024, 1024, 0x38, &img), c.want) << c.what;
    EXPECT_FALSE(img) << c.what;
  }
  // Only the end marker missing: every scanline is there, the picture is whole.
  HBRef<HBImg> img;
  EXPECT_EQ(decodeScaled(good.substr(0, good.size() - 2), 0, 0, 0, &img), BRERROR_NONE);
}

TEST(HBImgJpegTest, PixelCapHoldsBeforeAnyBuffer) {
  // Headers of a tiny file patched to claim huge sizes: whatever happens, the
  // answer is an error and never a buffer beyond the cap.
  const std::string small = photoJpeg(64, 64);
  struct Case {
    uint16_t sw, sh;
    int32_t w, h;
    brerror_t want;
    int32_t denom;
  } cases[] = {
      {65000, 65000, 0, 0, BRERROR_NO_SPACE, 1},         // no request: decoded whole
      {9000, 9000, 9000, 9000, BRERROR_NO_SPACE, 1},     // the request is the size
      {65000, 65000, 1024, 1024, BRERROR_UNSPECIFIED, 8},  // 8125x8125: data runs out
      {20000, 16000, 20000, 15999, BRERROR_UNSPECIFIED, 4},  // cap reduces to 5000x4000
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh);
    HBImgHeader header;
    HBRef<HBImg> img;
    EXPECT_EQ(decodeWithHeader(withFrameSize(small, c.sw, c.sh), c.w, c.h, 0, &header, &img),
              c.want);
    EXPECT_EQ(header.width, c.sw);
    EXPECT_EQ(header.scaleDenom, c.denom);
    EXPECT_FALSE(img);
  }
}

TEST(HBImgJpegTest, ICCProfileSurvivesDecodeAndEncode) {
  // Larger than one APP2 marker holds, so it spans several.
  std::string profile(70000, '\0');
  for (size_t i = 0; i < profile.size(); i++) profile[i] = static_cast<char>(i * 7 + i / 251);
  const std::string file = photoJpeg(320, 240, withICC(profile));

  HBRef<HBImg> plain;
  ASSERT_EQ(decodeScaled(file, 0, 0, 0, &plain), BRERROR_NONE);
  uint32_t length = 0;
  EXPECT_EQ(plain->getICCProfile(&length), nullptr);  // not asked for

  HBRef<HBImg> img;
  ASSERT_EQ(decodeScaled(file, 1024, 1024, 0x38, &img), BRERROR_NONE);
  const uint8_t *icc = img->getICCProfile(&length);
  ASSERT_EQ(length, profile.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(icc), length), profile);

  HBRef<ScriptedStream> out(ScriptedStream::create());
  ASSERT_EQ(HBImg__encodeToStreamJPEG(img.get(), out.get(), 80), BRERROR_NONE);
  // Written right after the start: SOI, the JFIF APP0, then APP2.
  const std::string &jpeg = out->written;
  ASSERT_GT(jpeg.size(), 24u);
  EXPECT_EQ(jpeg.substr(0, 4), "\xFF\xD8\xFF\xE0");
  size_t app0 = 4 + ((static_cast<uint8_t>(jpeg[4]) << 8) | static_cast<uint8_t>(jpeg[5]));
  EXPECT_EQ(jpeg.substr(app0, 2), "\xFF\xE2");
  EXPECT_EQ(jpeg.substr(app0 + 4, 12), std::string("ICC_PROFILE\0", 12));

  HBRef<HBImg> again;
  ASSERT_EQ(decodeScaled(jpeg, 0, 0, HBIMG_FLAG_KEEPICC, &again), BRERROR_NONE);
  icc = again->getICCProfile(&length);
  ASSERT_EQ(length, profile.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(icc), length), profile);
}

TEST(HBImgJpegTest, EncoderWritesThrough8KBufferAndReportsFailure) {
  const int32_t w = 400, h = 300;
  for (int32_t depth : {24, 32}) {
    SCOPED_TRACE(depth);
    HBRef<HBImg> img;
    ASSERT_EQ(HBImg__new(img.out(), w, h, depth, 0), BRERROR_NONE);
    const int c = depth / 8;
    std::vector<uint8_t> px = photoPixels(w, h, c);
    for (int32_t y = 0; y < h; y++) memcpy(img->getRow(y), &px[y * w * c], w * c);

    HBRef<ScriptedStream> out(ScriptedStream::create());
    ASSERT_EQ(HBImg__encodeToStreamJPEG(img.get(), out.get(), 80), BRERROR_NONE);
    const std::vector<int32_t> &writes = out->writeSizes;
    ASSERT_GE(writes.size(), 2u);
    for (size_t i = 0; i + 1 < writes.size(); i++) EXPECT_EQ(writes[i], 8192);
    EXPECT_LE(writes.back(), 8192);
    // A stream that takes less per write still gets every byte.
    HBRef<ScriptedStream> shortWrites(ScriptedStream::create());
    shortWrites->writeLimit = 5000;
    ASSERT_EQ(HBImg__encodeToStreamJPEG(img.get(), shortWrites.get(), 80), BRERROR_NONE);
    EXPECT_EQ(shortWrites->written, out->written);

    HBRef<HBImg> back;
    ASSERT_EQ(decodeScaled(out->written, 0, 0, 0, &back), BRERROR_NONE);
    ASSERT_EQ(back->getWidth(), w);
    ASSERT_EQ(back->getHeight(), h);
    double se = 0;
    for (int32_t y = 0; y < h; y++) {
      for (int32_t x = 0; x < w; x++) {
        for (int ch = 0; ch < 3; ch++) {
          double d = double(back->getRow(y)[x * 3 + ch]) - px[(y * w + x) * c + ch];
          se += d * d;
        }
      }
    }
    EXPECT_GT(10 * std::log10(255.0 * 255 * w * h * 3 / se), 30.0);
  }

  HBRef<HBImg> img;
  ASSERT_EQ(HBImg__new(img.out(), 64, 64, 24, 0), BRERROR_NONE);
  memset(img->getBits(), 100, static_cast<size_t>(img->getPitch()) * 64);
  HBRef<ScriptedStream> broken(ScriptedStream::create());
  broken->writeResults({BRERROR_IO});
  EXPECT_EQ(HBImg__encodeToStreamJPEG(img.get(), broken.get(), 80), BRERROR_UNSPECIFIED);
}
