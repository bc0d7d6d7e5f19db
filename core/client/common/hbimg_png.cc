// PNG decoding on libpng.
//
// libpng reports errors through our error callback, which must not return:
// it longjmps back into one of the small C-style step functions below, each
// with its own jump point and nothing that needs destruction. Text, colour
// profile and other ancillary chunks are skipped unread: previews need none
// of them, and they are where decompression bombs hide.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <png.h>

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_decoder.h"

namespace {

const char kTag[] = "HBIMG";

// A chunk libpng keeps (the palette, transparency) is never this large in a
// well-formed file; the bound stops a hostile one from claiming memory.
constexpr png_alloc_size_t kMaxChunkBytes = 8u << 20;
// libpng asks for data in pieces of at most 8 KB; a file stream would make a
// system call for each.
constexpr size_t kReadBufferSize = 65536;

struct PngState {
  png_structp png;
  png_infop info;
  jmp_buf jump;
  char message[256];
  IHBStream *stream;
  const uint8_t *prefix;
  size_t prefixLength;
  size_t prefixPos;
  size_t bufferPos;
  size_t bufferLength;
  uint8_t buffer[kReadBufferSize];
};

[[noreturn]] void pngError(png_structp png, png_const_charp text) {
  auto *s = static_cast<PngState *>(png_get_error_ptr(png));
  snprintf(s->message, sizeof s->message, "%s", text ? text : "");
  longjmp(s->jump, 1);
}

void pngWarning(png_structp, png_const_charp text) { brlog(kTag, 16, "libpng: %s\n", text); }

// The bytes taken for format detection first, then the stream through our
// buffer; a short stream is an error (libpng cannot suspend).
void pngRead(png_structp png, png_bytep data, size_t length) {
  auto *s = static_cast<PngState *>(png_get_io_ptr(png));
  size_t got = 0;
  while (got < length) {
    const uint8_t *from;
    size_t avail;
    if (s->prefixPos < s->prefixLength) {
      from = s->prefix + s->prefixPos;
      avail = s->prefixLength - s->prefixPos;
    } else {
      if (s->bufferPos == s->bufferLength) {
        brerror_t n = s->stream->read(s->buffer, static_cast<int32_t>(sizeof s->buffer));
        if (n <= 0) pngError(png, "short read");
        s->bufferPos = 0;
        s->bufferLength = static_cast<size_t>(n);
      }
      from = s->buffer + s->bufferPos;
      avail = s->bufferLength - s->bufferPos;
    }
    const size_t n = avail < length - got ? avail : length - got;
    memcpy(data + got, from, n);
    got += n;
    if (s->prefixPos < s->prefixLength) {
      s->prefixPos += n;
    } else {
      s->bufferPos += n;
    }
  }
}

// --- steps: setjmp frames without C++ objects --------------------------------

int pngStepReadInfo(PngState *s) {
  if (setjmp(s->jump)) return BRERROR_UNSPECIFIED;
  s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s, pngError, pngWarning);
  if (!s->png) return BRERROR_NO_MEMORY;
  s->info = png_create_info_struct(s->png);
  if (!s->info) return BRERROR_NO_MEMORY;
  png_set_read_fn(s->png, s, pngRead);
  png_set_chunk_malloc_max(s->png, kMaxChunkBytes);
  static const png_byte kSkipped[] = "iCCP\0iTXt\0tEXt\0zTXt\0sPLT\0eXIf\0tIME\0pCAL\0sCAL\0hIST";
  png_set_keep_unknown_chunks(s->png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
  png_set_keep_unknown_chunks(s->png, PNG_HANDLE_CHUNK_NEVER, kSkipped,
                              static_cast<int>(sizeof kSkipped / 5));
  png_read_info(s->png, s->info);
  return BRERROR_NONE;
}

// Everything becomes 8-bit RGB except grey with an alpha channel, which stays
// one channel and is refused by the caller.
int pngStepTransform(PngState *s, int *bitsPerPixel) {
  if (setjmp(s->jump)) return BRERROR_UNSPECIFIED;
  png_structp png = s->png;
  png_infop info = s->info;
  const int colorType = png_get_color_type(png, info);
  const int bitDepth = png_get_bit_depth(png, info);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY) {
    if (bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    png_set_gray_to_rgb(png);
  }
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (bitDepth == 16) png_set_scale_16(png);
  png_set_strip_alpha(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *bitsPerPixel = png_get_channels(png, info) * png_get_bit_depth(png, info);
  return BRERROR_NONE;
}

int pngStepReadImage(PngState *s, png_bytepp rows) {
  if (setjmp(s->jump)) return BRERROR_UNSPECIFIED;
  png_read_image(s->png, rows);
  return BRERROR_NONE;
}

class HBImageDecoderPNG final : public HBImgDecoderBase {
 public:
  explicit HBImageDecoderPNG(PngState *state) : s_(state) {}
  ~HBImageDecoderPNG() override {
    if (s_->png) png_destroy_read_struct(&s_->png, s_->info ? &s_->info : nullptr, nullptr);
    delete s_;
  }

  brerror_t decodeHeader(HBImgHeader *header, const uint8_t *firstBytes, int32_t count,
                         IHBStream *stream) override;
  brerror_t decodeImage(HBImg **image, HBImgHeader *header, IHBStream *stream) override;

 private:
  PngState *s_;
  std::vector<uint8_t> prefix_;
  bool headerRead_ = false;
};

brerror_t HBImageDecoderPNG::decodeHeader(HBImgHeader *header, const uint8_t *firstBytes,
                                          int32_t count, IHBStream *stream) {
  if (!header || !stream || count < 0 || headerRead_ || s_->png) return BRERROR_INVALID_ARGUMENT;
  prefix_.assign(firstBytes, firstBytes + count);
  s_->stream = stream;
  s_->prefix = prefix_.data();
  s_->prefixLength = prefix_.size();
  s_->prefixPos = 0;
  brerror_t err = pngStepReadInfo(s_);
  if (err < 0) {
    brlog(kTag, 1, "Failed decoding PNG!\n");
    brlog(kTag, 16, "libpng: %s\n", s_->message);
    return err;
  }
  headerRead_ = true;
  header->width = static_cast<int32_t>(png_get_image_width(s_->png, s_->info));
  header->height = static_cast<int32_t>(png_get_image_height(s_->png, s_->info));
  header->reducible = false;
  return BRERROR_NONE;
}

brerror_t HBImageDecoderPNG::decodeImage(HBImg **image, HBImgHeader *header, IHBStream *stream) {
  if (!image || !header || !stream) return BRERROR_INVALID_ARGUMENT;
  if (!headerRead_) return BRERROR_BAD_STATE;
  s_->stream = stream;
  const int64_t w = header->width, h = header->height;
  if (w * h > HBIMG_MAX_PIXELS) {
    brlog(kTag, 1, "Image too large to decode: %d x %d (scaled %d x %d)\n", header->width,
          header->height, header->width, header->height);
    return BRERROR_NO_SPACE;
  }
  int bitsPerPixel = 0;
  brerror_t err = pngStepTransform(s_, &bitsPerPixel);
  if (err < 0) {
    brlog(kTag, 1, "Failed decoding PNG!\n");
    brlog(kTag, 16, "libpng: %s\n", s_->message);
    return err;
  }
  if (bitsPerPixel != 24) {
    brlog(kTag, 1, "Unsupported bit depth: %d\n", bitsPerPixel);
    return BRERROR_INVALID_ARGUMENT;
  }
  HBRef<HBImg> out;
  std::vector<uint8_t *> rows;
  if ((err = HBImgDecoder__newImageRows(header->width, header->height, &out, &rows)) < 0) return err;
  if ((err = pngStepReadImage(s_, rows.data())) < 0) {
    brlog(kTag, 1, "Failed decoding PNG!\n");
    brlog(kTag, 16, "libpng: %s\n", s_->message);
    return err;
  }
  header->decodedWidth = header->width;
  header->decodedHeight = header->height;
  header->scaleDenom = 1;
  *image = out.release();
  return BRERROR_NONE;
}

}  // namespace

brerror_t HBImageDecoderPNG__new(IHBImgDecoder **decoder) {
  if (!decoder) return BRERROR_INVALID_ARGUMENT;
  auto *state = new (std::nothrow) PngState{};
  if (!state) return BRERROR_NO_MEMORY;
  auto *d = new (std::nothrow) HBImageDecoderPNG(state);
  if (!d) {
    delete state;
    return BRERROR_NO_MEMORY;
  }
  *decoder = d;
  return BRERROR_NONE;
}
