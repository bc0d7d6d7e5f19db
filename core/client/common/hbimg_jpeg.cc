// JPEG decoding and encoding on libjpeg-turbo.
//
// libjpeg reports fatal errors by calling error_exit, which must not return.
// Ours longjmps, and every library call runs inside one of the small
// C-style step functions below: each sets its own jump point and holds
// nothing that needs destruction, so a jump never skips a C++ destructor.
// The C++ code around the steps owns the buffers and the images.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_decoder.h"

namespace {

const char kTag[] = "HBIMG";

// Progressive and multi-scan files keep every coefficient of the full-size
// picture inside the library; this caps that memory (and a hostile header
// asking for more fails instead of allocating).
constexpr long kMaxLibraryMemory = 1L << 30;
// A progressive file may carry any number of scans; each costs a pass over
// the coefficients, so a few bytes could otherwise buy minutes of work.
constexpr int kMaxScans = 500;
constexpr size_t kReadBufferSize = 65536;
constexpr size_t kWriteBufferSize = 8192;

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpegFail(j_common_ptr cinfo, const char *text) {
  auto *err = reinterpret_cast<JpegError *>(cinfo->err);
  snprintf(err->message, sizeof err->message, "%s", text);
  longjmp(err->jump, 1);
}

[[noreturn]] void jpegErrorExit(j_common_ptr cinfo) {
  auto *err = reinterpret_cast<JpegError *>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

void jpegOutputMessage(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  brlog(kTag, 16, "libjpeg: %s\n", text);
}

// Damaged entropy-coded data is only a warning to libjpeg, which then fills
// the rest with grey; we would rather refuse the picture than upload that.
void jpegEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  switch (cinfo->err->msg_code) {
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
      jpegErrorExit(cinfo);
    default:
      if (cinfo->err->num_warnings++ == 0) jpegOutputMessage(cinfo);
  }
}

void jpegSetErrorManager(JpegError *err) {
  jpeg_std_error(&err->pub);
  err->pub.error_exit = jpegErrorExit;
  err->pub.output_message = jpegOutputMessage;
  err->pub.emit_message = jpegEmitMessage;
  err->message[0] = '\0';
}

void jpegProgress(j_common_ptr cinfo) {
  if (cinfo->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans) {
    jpegFail(cinfo, "too many scans");
  }
}

// The bytes taken for format detection come first, then the stream. At the
// end of the stream the source hands out an end marker, as libjpeg's own
// sources do: a file that only lacks its final marker decodes whole, and one
// cut inside its data hits the marker where bits are still needed, which is
// fatal (see jpegEmitMessage) and reported as a short read. A failing stream
// suspends the decode and its error is returned.
struct JpegSource {
  jpeg_source_mgr pub;
  IHBStream *stream;
  const uint8_t *prefix;
  size_t prefixLength;
  bool prefixGiven;
  bool ended;
  brerror_t readError;
  JOCTET buffer[kReadBufferSize];
};

void jpegInitSource(j_decompress_ptr) {}
void jpegTermSource(j_decompress_ptr) {}

boolean jpegFillInput(j_decompress_ptr cinfo) {
  auto *src = reinterpret_cast<JpegSource *>(cinfo->src);
  if (!src->prefixGiven) {
    src->prefixGiven = true;
    if (src->prefixLength > 0) {
      src->pub.next_input_byte = src->prefix;
      src->pub.bytes_in_buffer = src->prefixLength;
      return TRUE;
    }
  }
  brerror_t n = src->stream->read(src->buffer, static_cast<int32_t>(sizeof src->buffer));
  if (n < 0) {
    src->readError = n;
    return FALSE;
  }
  if (n == 0) {
    src->ended = true;
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    n = 2;
  }
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = static_cast<size_t>(n);
  return TRUE;
}

void jpegSkipInput(j_decompress_ptr cinfo, long count) {
  auto *src = reinterpret_cast<JpegSource *>(cinfo->src);
  if (count <= 0) return;
  auto left = static_cast<size_t>(count);
  while (left > src->pub.bytes_in_buffer) {
    left -= src->pub.bytes_in_buffer;
    src->pub.bytes_in_buffer = 0;
    // At the end the next fill suspends again and the decode stops.
    if (!jpegFillInput(cinfo)) return;
  }
  src->pub.next_input_byte += left;
  src->pub.bytes_in_buffer -= left;
}

struct JpegDecodeState {
  jpeg_decompress_struct cinfo;
  JpegError err;
  jpeg_progress_mgr progress;
  JpegSource src;
};

// --- decoding steps: setjmp frames without C++ objects ---------------------

int jpegStepReadHeader(JpegDecodeState *s, bool saveMarkers) {
  if (setjmp(s->err.jump)) return BRERROR_UNSPECIFIED;
  jpeg_create_decompress(&s->cinfo);
  s->cinfo.mem->max_memory_to_use = kMaxLibraryMemory;
  s->progress.progress_monitor = jpegProgress;
  s->cinfo.progress = &s->progress;
  s->cinfo.src = &s->src.pub;
  if (saveMarkers) jpeg_save_markers(&s->cinfo, JPEG_APP0 + 2, 0xFFFF);
  int r = jpeg_read_header(&s->cinfo, TRUE);
  return r == JPEG_HEADER_OK ? BRERROR_NONE : BRERROR_EOF;
}

int jpegStepReadICC(JpegDecodeState *s, JOCTET **data, unsigned int *length) {
  if (setjmp(s->err.jump)) return BRERROR_UNSPECIFIED;
  return jpeg_read_icc_profile(&s->cinfo, data, length) ? 1 : 0;
}

int jpegStepStart(JpegDecodeState *s, unsigned int denom) {
  if (setjmp(s->err.jump)) return BRERROR_UNSPECIFIED;
  s->cinfo.scale_num = 1;
  s->cinfo.scale_denom = denom;
  s->cinfo.out_color_space = JCS_RGB;
  return jpeg_start_decompress(&s->cinfo) ? BRERROR_NONE : BRERROR_EOF;
}

int jpegStepReadRows(JpegDecodeState *s, JSAMPARRAY rows) {
  if (setjmp(s->err.jump)) return BRERROR_UNSPECIFIED;
  const JDIMENSION height = s->cinfo.output_height;
  while (s->cinfo.output_scanline < height) {
    JDIMENSION at = s->cinfo.output_scanline;
    if (jpeg_read_scanlines(&s->cinfo, rows + at, height - at) == 0) return BRERROR_EOF;
  }
  return BRERROR_NONE;
}

class HBImageDecoderJPEG final : public HBImgDecoderBase {
 public:
  explicit HBImageDecoderJPEG(JpegDecodeState *state) : s_(state) {
    jpegSetErrorManager(&s_->err);
    s_->cinfo.err = &s_->err.pub;
    s_->src.pub.init_source = jpegInitSource;
    s_->src.pub.fill_input_buffer = jpegFillInput;
    s_->src.pub.skip_input_data = jpegSkipInput;
    s_->src.pub.resync_to_restart = jpeg_resync_to_restart;
    s_->src.pub.term_source = jpegTermSource;
  }
  ~HBImageDecoderJPEG() override {
    // Safe on a struct that was never created: the memory manager is null.
    jpeg_destroy_decompress(&s_->cinfo);
    delete s_;
  }

  brerror_t decodeHeader(HBImgHeader *header, const uint8_t *firstBytes, int32_t count,
                         IHBStream *stream) override;
  brerror_t decodeImage(HBImg **image, HBImgHeader *header, IHBStream *stream) override;

 private:
  JpegDecodeState *s_;
  // A step's failure as the caller sees it: the stream's own error, -24
  // when the data ran out (the end marker we handed out was hit), else -1.
  brerror_t stepError(brerror_t err) const {
    if (s_->src.readError < 0) return s_->src.readError;
    return s_->src.ended ? BRERROR_EOF : err;
  }
  const char *stepMessage(brerror_t err) const {
    return err == BRERROR_UNSPECIFIED ? s_->err.message : "short read";
  }

  std::vector<uint8_t> prefix_;
  bool headerRead_ = false;
};

brerror_t HBImageDecoderJPEG::decodeHeader(HBImgHeader *header, const uint8_t *firstBytes,
                                           int32_t count, IHBStream *stream) {
  if (!header || !stream || count < 0 || headerRead_) return BRERROR_INVALID_ARGUMENT;
  prefix_.assign(firstBytes, firstBytes + count);
  s_->src.stream = stream;
  s_->src.prefix = prefix_.data();
  s_->src.prefixLength = prefix_.size();
  brerror_t err = jpegStepReadHeader(s_, (header->flags & HBIMG_FLAG_KEEPICC) != 0);
  if (err < 0) {
    err = stepError(err);
    brlog(kTag, 2, "Error while decoding JPEG header: %s\n", stepMessage(err));
    return err;
  }
  headerRead_ = true;
  header->width = static_cast<int32_t>(s_->cinfo.image_width);
  header->height = static_cast<int32_t>(s_->cinfo.image_height);
  header->reducible = true;
  return BRERROR_NONE;
}

int64_t reduced(int64_t size, int64_t denom) { return (size + denom - 1) / denom; }

// The library's denominator: with a request other than the full size, doubles
// from 1 (up to 8) while the rule for the request says so or while the
// picture is above the pixel cap. Without one the picture is decoded whole.
unsigned int chooseDenominator(const HBImgHeader &h) {
  const int64_t w = h.width, rw = h.requestedWidth;
  const int64_t ht = h.height, rh = h.requestedHeight;
  const bool requested = (rw > 0 || rh > 0) && (rw != w || rh != ht);
  unsigned int denom = 1;
  while (denom < 8) {
    if (!requested) break;
    const int64_t sw = reduced(w, denom), sh = reduced(ht, denom);
    bool more = sw * sh > HBIMG_MAX_PIXELS;
    if (!more) {
      if (h.flags & HBIMG_FLAG_FITDECODE) {
        more = (rw > 0 && sw > rw) || (rh > 0 && sh > rh);
      } else {
        const int64_t nw = reduced(w, denom * 2), nh = reduced(ht, denom * 2);
        more = (rw <= 0 || nw >= rw) && (rh <= 0 || nh >= rh);
      }
    }
    if (!more) break;
    denom *= 2;
  }
  return denom;
}

brerror_t HBImageDecoderJPEG::decodeImage(HBImg **image, HBImgHeader *header, IHBStream *stream) {
  if (!image || !header || !stream) return BRERROR_INVALID_ARGUMENT;
  if (!headerRead_) return BRERROR_BAD_STATE;
  s_->src.stream = stream;
  const unsigned int denom = chooseDenominator(*header);
  const int64_t sw = reduced(header->width, denom);
  const int64_t sh = reduced(header->height, denom);
  if (sw * sh > HBIMG_MAX_PIXELS) {
    brlog(kTag, 1, "Image too large to decode: %d x %d (scaled %d x %d)\n", header->width,
          header->height, static_cast<int>(sw), static_cast<int>(sh));
    return BRERROR_NO_SPACE;
  }
  header->decodedWidth = static_cast<int32_t>(sw);
  header->decodedHeight = static_cast<int32_t>(sh);
  header->scaleDenom = static_cast<int32_t>(denom);
  brerror_t err = jpegStepStart(s_, denom);
  if (err < 0) {
    err = stepError(err);
    brlog(kTag, 1, "Error while decoding JPEG: %s\n", stepMessage(err));
    return err;
  }
  if (s_->cinfo.output_width != sw || s_->cinfo.output_height != sh ||
      s_->cinfo.output_components != 3) {
    return BRERROR_UNSPECIFIED;
  }

  HBRef<HBImg> out;
  std::vector<uint8_t *> rows;
  err = HBImgDecoder__newImageRows(static_cast<int32_t>(sw), static_cast<int32_t>(sh), &out, &rows);
  if (err < 0) return err;
  if ((err = jpegStepReadRows(s_, rows.data())) < 0) err = stepError(err);
  if (err < 0 && err != BRERROR_UNSPECIFIED) {
    brlog(kTag, 1, "FAILED TO READ SCANLINE!\n");
    return err;
  }
  if (err < 0) {
    brlog(kTag, 1, "Error while decoding JPEG: scan %d of %d\n",
          static_cast<int>(s_->cinfo.output_scanline), static_cast<int>(sh));
    brlog(kTag, 16, "libjpeg: %s\n", s_->err.message);
    return err;
  }

  if (header->flags & HBIMG_FLAG_KEEPICC) {
    JOCTET *icc = nullptr;
    unsigned int length = 0;
    if (jpegStepReadICC(s_, &icc, &length) > 0 && icc) {
      brlog(kTag, 16, "Image has ICC data of length %u\n", length);
      err = out->setICCProfile(icc, length);
      free(icc);
      if (err < 0) return err;
    }
  }
  // The rest of the file (trailing markers, a missing EOI) is of no use.
  jpeg_abort_decompress(&s_->cinfo);
  *image = out.release();
  return BRERROR_NONE;
}

// --- encoding ----------------------------------------------------------------

struct JpegDestination {
  jpeg_destination_mgr pub;
  IHBStream *stream;
  JOCTET buffer[kWriteBufferSize];
};

bool writeAll(IHBStream *stream, const JOCTET *data, size_t length) {
  while (length > 0) {
    brerror_t n = stream->write(data, static_cast<int32_t>(length));
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void jpegInitDestination(j_compress_ptr cinfo) {
  auto *dst = reinterpret_cast<JpegDestination *>(cinfo->dest);
  dst->pub.next_output_byte = dst->buffer;
  dst->pub.free_in_buffer = sizeof dst->buffer;
}

boolean jpegEmptyOutput(j_compress_ptr cinfo) {
  auto *dst = reinterpret_cast<JpegDestination *>(cinfo->dest);
  if (!writeAll(dst->stream, dst->buffer, sizeof dst->buffer)) {
    jpegFail(reinterpret_cast<j_common_ptr>(cinfo), "stream write failed");
  }
  jpegInitDestination(cinfo);
  return TRUE;
}

void jpegTermDestination(j_compress_ptr cinfo) {
  auto *dst = reinterpret_cast<JpegDestination *>(cinfo->dest);
  if (!writeAll(dst->stream, dst->buffer, sizeof dst->buffer - dst->pub.free_in_buffer)) {
    jpegFail(reinterpret_cast<j_common_ptr>(cinfo), "stream write failed");
  }
}

struct JpegEncodeState {
  jpeg_compress_struct cinfo;
  JpegError err;
  JpegDestination dest;
};

struct JpegEncodeJob {
  uint8_t *bits;
  size_t pitch;
  JDIMENSION width, height;
  bool fourBytes;
  int quality;
  const JOCTET *icc;
  unsigned int iccLength;
};

int jpegStepEncode(JpegEncodeState *s, const JpegEncodeJob *job) {
  if (setjmp(s->err.jump)) return BRERROR_UNSPECIFIED;
  jpeg_create_compress(&s->cinfo);
  s->cinfo.dest = &s->dest.pub;
  s->cinfo.image_width = job->width;
  s->cinfo.image_height = job->height;
  s->cinfo.input_components = job->fourBytes ? 4 : 3;
  s->cinfo.in_color_space = job->fourBytes ? JCS_EXT_RGBX : JCS_RGB;
  jpeg_set_defaults(&s->cinfo);
  jpeg_set_quality(&s->cinfo, job->quality, TRUE);
  jpeg_start_compress(&s->cinfo, TRUE);
  if (job->icc) jpeg_write_icc_profile(&s->cinfo, job->icc, job->iccLength);
  JSAMPROW rows[16];
  while (s->cinfo.next_scanline < job->height) {
    JDIMENSION n = 0;
    for (; n < 16 && s->cinfo.next_scanline + n < job->height; n++) {
      rows[n] = job->bits + (s->cinfo.next_scanline + n) * job->pitch;
    }
    jpeg_write_scanlines(&s->cinfo, rows, n);
  }
  jpeg_finish_compress(&s->cinfo);
  return BRERROR_NONE;
}

}  // namespace

brerror_t HBImageDecoderJPEG__new(IHBImgDecoder **decoder) {
  if (!decoder) return BRERROR_INVALID_ARGUMENT;
  auto *state = new (std::nothrow) JpegDecodeState{};
  if (!state) return BRERROR_NO_MEMORY;
  auto *d = new (std::nothrow) HBImageDecoderJPEG(state);
  if (!d) {
    delete state;
    return BRERROR_NO_MEMORY;
  }
  *decoder = d;
  return BRERROR_NONE;
}

brerror_t HBImg__encodeToStreamJPEG(HBImg *image, IHBStream *stream, int32_t quality) {
  if (!image || !stream) return BRERROR_UNSPECIFIED;
  const int32_t depth = image->getDepth();
  if (depth != 24 && depth != 32) return BRERROR_UNSPECIFIED;
  JpegEncodeJob job{};
  job.bits = image->getBits();
  job.pitch = static_cast<size_t>(image->getPitch());
  job.width = static_cast<JDIMENSION>(image->getWidth());
  job.height = static_cast<JDIMENSION>(image->getHeight());
  job.fourBytes = depth == 32;
  job.quality = quality < 1 ? 1 : (quality > 100 ? 100 : quality);
  uint32_t iccLength = 0;
  job.icc = image->getICCProfile(&iccLength);
  job.iccLength = iccLength;

  auto *s = new (std::nothrow) JpegEncodeState{};
  if (!s) return BRERROR_UNSPECIFIED;
  jpegSetErrorManager(&s->err);
  s->cinfo.err = &s->err.pub;
  s->dest.stream = stream;
  s->dest.pub.init_destination = jpegInitDestination;
  s->dest.pub.empty_output_buffer = jpegEmptyOutput;
  s->dest.pub.term_destination = jpegTermDestination;
  brerror_t err = jpegStepEncode(s, &job);
  if (err < 0) {
    brlog(kTag, 1, "Error while encoding JPEG: scanline %d of %d!\n",
          static_cast<int>(s->cinfo.next_scanline), static_cast<int>(job.height));
    brlog(kTag, 16, "libjpeg: %s\n", s->err.message);
  }
  jpeg_destroy_compress(&s->cinfo);
  delete s;
  return err < 0 ? BRERROR_UNSPECIFIED : BRERROR_NONE;
}
