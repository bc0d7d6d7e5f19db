// Test-only fixtures for the image tests: photo-like pixels, JPEG and PNG
// files written with libjpeg and libpng directly, a reference decode, the
// decode of a file image through a memory stream, and the lookup of a real
// ImageMagick. Fixtures are always valid, so the libraries'
// default error handling (which ends the process) is good enough here.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include "hbimg.h"
#include "hbmemstream.h"
#include "hbstream_testing.h"

namespace hbimgtest {

// Smooth gradients with a little deterministic grain: compresses and scales
// like a photo, unlike flat colour or pure noise.
inline std::vector<uint8_t> photoPixels(int w, int h, int channels = 3, uint32_t seed = 1) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * channels);
  uint32_t r = seed * 2654435761u + 1;
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      r = r * 1664525u + 1013904223u;
      int grain = static_cast<int>((r >> 24) & 15) - 8;
      for (int c = 0; c < channels; c++) {
        int base = c == 0   ? 255 * x / w
                   : c == 1 ? 255 * y / h
                   : c == 2 ? 128 + 100 * ((x / 37 + y / 53) % 2) - 50
                            : 200;
        int v = base + grain;
        px[(static_cast<size_t>(y) * w + x) * channels + c] =
            static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    }
  }
  return px;
}

struct JpegOptions {
  int quality = 90;
  bool grey = false;
  std::string icc;
};
inline JpegOptions withQuality(int quality) {
  JpegOptions o;
  o.quality = quality;
  return o;
}
inline JpegOptions greyJpeg() {
  JpegOptions o;
  o.grey = true;
  return o;
}
inline JpegOptions withICC(std::string icc) {
  JpegOptions o;
  o.icc = std::move(icc);
  return o;
}

// Encodes packed RGB (or grey) rows into a JPEG file image.
inline std::string encodeJpeg(const std::vector<uint8_t> &px, int w, int h,
                              const JpegOptions &opt = {}) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char *out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &out, &size);
  cinfo.image_width = w;
  cinfo.image_height = h;
  cinfo.input_components = opt.grey ? 1 : 3;
  cinfo.in_color_space = opt.grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, opt.quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  if (!opt.icc.empty()) {
    jpeg_write_icc_profile(&cinfo, reinterpret_cast<const JOCTET *>(opt.icc.data()),
                           static_cast<unsigned>(opt.icc.size()));
  }
  const size_t stride = static_cast<size_t>(w) * cinfo.input_components;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<uint8_t *>(px.data()) + cinfo.next_scanline * stride;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string file(reinterpret_cast<char *>(out), size);
  free(out);
  return file;
}

inline std::string photoJpeg(int w, int h, const JpegOptions &opt = {}) {
  return encodeJpeg(photoPixels(w, h, opt.grey ? 1 : 3), w, h, opt);
}

// libjpeg's own RGB decode at 1/denom, packed rows: the reference output.
inline std::vector<uint8_t> referenceJpegDecode(const std::string &file, int denom, int *w,
                                                int *h) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(file.data()), file.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.scale_num = 1;
  cinfo.scale_denom = denom;
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  *w = static_cast<int>(cinfo.output_width);
  *h = static_cast<int>(cinfo.output_height);
  std::vector<uint8_t> px(static_cast<size_t>(*w) * *h * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = px.data() + static_cast<size_t>(cinfo.output_scanline) * *w * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return px;
}

struct PngOptions {
  int colorType = PNG_COLOR_TYPE_RGB;
  int bitDepth = 8;
  bool interlaced = false;
  std::vector<png_color> palette;
  std::vector<png_byte> trnsAlpha;  // palette transparency
  bool greyTrns = false;            // a tRNS chunk naming one grey value
  png_uint_16 greyTrnsValue = 0;
};
inline PngOptions pngLayout(int colorType, int bitDepth = 8) {
  PngOptions o;
  o.colorType = colorType;
  o.bitDepth = bitDepth;
  return o;
}

inline void pngWriteToString(png_structp png, png_bytep data, size_t length) {
  static_cast<std::string *>(png_get_io_ptr(png))->append(reinterpret_cast<char *>(data), length);
}
inline void pngFlushNothing(png_structp) {}

// `rows` holds packed samples as PNG stores them (big-endian 16-bit).
inline std::string encodePng(const std::vector<std::vector<uint8_t>> &rows, int w,
                             const PngOptions &opt) {
  std::string file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &file, pngWriteToString, pngFlushNothing);
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, w, static_cast<png_uint_32>(rows.size()), opt.bitDepth, opt.colorType,
               opt.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!opt.palette.empty()) {
    png_set_PLTE(png, info, opt.palette.data(), static_cast<int>(opt.palette.size()));
  }
  if (!opt.trnsAlpha.empty()) {
    png_set_tRNS(png, info, opt.trnsAlpha.data(), static_cast<int>(opt.trnsAlpha.size()),
                 nullptr);
  }
  if (opt.greyTrns) {
    png_color_16 value{};
    value.gray = opt.greyTrnsValue;
    png_set_tRNS(png, info, nullptr, 0, &value);
  }
  std::vector<png_bytep> pointers;
  for (const auto &row : rows) pointers.push_back(const_cast<png_bytep>(row.data()));
  png_set_rows(png, info, pointers.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return file;
}

inline std::string photoPng(int w, int h) {
  std::vector<uint8_t> px = photoPixels(w, h);
  std::vector<std::vector<uint8_t>> rows(h);
  for (int y = 0; y < h; y++) {
    rows[y].assign(px.begin() + static_cast<size_t>(y) * w * 3,
                   px.begin() + static_cast<size_t>(y + 1) * w * 3);
  }
  return encodePng(rows, w, PngOptions{});
}

// A memory stream over the file image, or with `piece` > 0 a stream that
// hands the file out `piece` bytes per read.
inline HBRef<IHBStream> fileStream(const std::string &file, size_t piece = 0) {
  if (piece > 0) {
    ScriptedStream *s = ScriptedStream::create();
    for (size_t at = 0; at < file.size(); at += piece) s->data(file.substr(at, piece));
    return HBRef<IHBStream>(s);
  }
  IHBMemStream *m = nullptr;
  EXPECT_EQ(HBMemStream__new(&m, const_cast<char *>(file.data()),
                             static_cast<uint32_t>(file.size()), HBSTREAM_READ),
            BRERROR_NONE);
  return HBRef<IHBStream>(m);
}

inline brerror_t decodeScaled(const std::string &file, int32_t w, int32_t h, uint32_t flags,
                              HBRef<HBImg> *out, size_t piece = 0) {
  HBRef<IHBStream> stream = fileStream(file, piece);
  return HBImg__newFromStreamScaled(out->out(), stream.get(), w, h, flags);
}

// A real ImageMagick convert, or empty: /usr/local/bin may hold a stand-in
// that only converts PNG to PPM.
inline std::string findConvert() {
  for (const char *path : {"/usr/bin/convert-im6.q16", "/usr/bin/convert", "/usr/bin/magick"}) {
    if (access(path, X_OK) != 0) continue;
    std::string cmd = std::string(path) + " -version 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) continue;
    char line[256] = {};
    bool real = fgets(line, sizeof line, p) && strstr(line, "ImageMagick");
    pclose(p);
    if (real) return path;
  }
  return {};
}

}  // namespace hbimgtest
