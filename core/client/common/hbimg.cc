#include "hbimg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "brlog.h"

namespace {

const char kTag[] = "HBIMG";

int32_t bytesPerPixel(int32_t depth) {
  switch (depth) {
    case 8: return 1;
    case 15:
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

}  // namespace

void HBImg::FreeDeleter::operator()(void *p) const { free(p); }

HBImg::HBImg(int32_t width, int32_t height, int32_t depth, int32_t pitch, uint8_t *bits)
    : width_(width), height_(height), depth_(depth), pitch_(pitch), bits_(bits) {}

int32_t HBImg::upref() { return refs_.retain(); }

int32_t HBImg::dnref() {
  int32_t left = refs_.release();
  if (left == 0) delete this;
  return left;
}

brerror_t HBImg::getifc(hbtype_t id, void **out) {
  if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBIMG) return BRERROR_NO_ENTRY;
  upref();
  *out = static_cast<IHBImg *>(this);
  return BRERROR_NONE;
}

const uint8_t *HBImg::getICCProfile(uint32_t *length) const {
  *length = iccLength_;
  return icc_.get();
}

brerror_t HBImg::setICCProfile(const uint8_t *data, uint32_t length) {
  if (length == 0) {
    icc_.reset();
    iccLength_ = 0;
    return BRERROR_NONE;
  }
  auto *copy = static_cast<uint8_t *>(malloc(length));
  if (!copy) return BRERROR_NO_MEMORY;
  memcpy(copy, data, length);
  icc_.reset(copy);
  iccLength_ = length;
  return BRERROR_NONE;
}

brerror_t HBImg__new(HBImg **image, int32_t width, int32_t height, int32_t depth,
                     int32_t minPitch) {
  int32_t bpp = bytesPerPixel(depth);
  if (!image || bpp == 0 || width < 1 || height < 1) return BRERROR_INVALID_ARGUMENT;
  if (static_cast<int64_t>(width) * height > HBIMG_MAX_PIXELS) return BRERROR_NO_SPACE;
  int64_t pitch = std::max<int64_t>(static_cast<int64_t>(width) * bpp, minPitch);
  int64_t align = bpp >= 3 ? 4 : bpp;
  pitch = (pitch + align - 1) / align * align;
  if (pitch > INT32_MAX) return BRERROR_NO_SPACE;
  auto *bits = static_cast<uint8_t *>(malloc(static_cast<size_t>(pitch) * height));
  if (!bits) return BRERROR_NO_MEMORY;
  *image = new HBImg(width, height, depth, static_cast<int32_t>(pitch), bits);
  return BRERROR_NONE;
}

brerror_t HBImageDecoder__new(IHBImgDecoder **decoder, const uint8_t *firstBytes, int32_t count) {
  if (count >= 2 && firstBytes[0] == 0xFF && firstBytes[1] == 0xD8) {
    return HBImageDecoderJPEG__new(decoder);
  }
  if (count >= 4 && memcmp(firstBytes + 1, "PNG", 3) == 0) return HBImageDecoderPNG__new(decoder);
  return BRERROR_NO_ENTRY;
}

// ---------------------------------------------------------------------------
// Area-averaging scaler. Positions are in 1/4096 pixel units: output pixel i
// covers [i * step, (i + 1) * step) of the source window, and each source
// pixel contributes with the product of its horizontal and vertical overlap.
// Rows are summed first (one pass over the source, cache friendly), then the
// columns of the summed row; the exact quotient comes from one multiply.
namespace {

constexpr int kUnitShift = 12;

// The source taps of every output position along one axis.
struct Taps {
  int64_t step = 0;
  std::vector<int32_t> first;   // first source index of output i
  std::vector<int32_t> begin;   // index into weight of output i's taps
  std::vector<uint32_t> weight;

  void build(int32_t window, int32_t out) {
    step = static_cast<int64_t>(window) * 4096 / out;
    first.resize(out);
    begin.resize(out + 1);
    weight.clear();
    for (int32_t i = 0; i < out; i++) {
      begin[i] = static_cast<int32_t>(weight.size());
      int64_t start = i * step;
      int64_t end = start + step;
      first[i] = static_cast<int32_t>(start >> kUnitShift);
      if (step == 0) continue;
      for (int64_t s = start >> kUnitShift; s <= (end - 1) >> kUnitShift; s++) {
        int64_t lo = std::max(start, s << kUnitShift);
        int64_t hi = std::min(end, (s + 1) << kUnitShift);
        weight.push_back(static_cast<uint32_t>(hi - lo));
      }
    }
    begin[out] = static_cast<int32_t>(weight.size());
  }
};

// floor(n / d) for every n below 2^58 as one 128-bit multiply and shift
// (Granlund and Montgomery): m = ceil(2^(58 + l) / d), l = ceil(log2 d).
// Weighted sums stay below 255 x 2^50 because images hold at most 2^26
// pixels, so 58 bits always suffice.
struct ExactDivider {
  uint64_t magic = 0;
  int shift = 0;

  explicit ExactDivider(uint64_t d) {
    int l = 0;
    while ((uint64_t{1} << l) < d) l++;
    shift = 58 + l;
    unsigned __int128 top = static_cast<unsigned __int128>(1) << shift;
    magic = static_cast<uint64_t>((top + d - 1) / d);
  }
  uint64_t divide(uint64_t n) const {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(n) * magic) >> shift);
  }
};

struct Window {
  int32_t x, y, width, height;
};

template <typename Acc, int C>
void scaleArea(HBImg *src, const Window &win, HBImg *dst, const Taps &tx, const Taps &ty) {
  const int32_t outW = dst->getWidth();
  const int32_t outH = dst->getHeight();
  const uint64_t total = static_cast<uint64_t>(tx.step) * static_cast<uint64_t>(ty.step);
  if (total == 0) {
    for (int32_t j = 0; j < outH; j++) memset(dst->getRow(j), 0, static_cast<size_t>(outW) * C);
    return;
  }
  const ExactDivider div(total);
  const size_t span = static_cast<size_t>(win.width) * C;
  std::vector<Acc> acc(span);
  for (int32_t j = 0; j < outH; j++) {
    Acc *a = acc.data();
    for (int32_t t = ty.begin[j]; t < ty.begin[j + 1]; t++) {
      const Acc wy = ty.weight[t];
      const uint8_t *s =
          src->getRow(win.y + ty.first[j] + (t - ty.begin[j])) + static_cast<size_t>(win.x) * C;
      if (t == ty.begin[j]) {
        for (size_t k = 0; k < span; k++) a[k] = wy * s[k];
      } else {
        for (size_t k = 0; k < span; k++) a[k] += wy * s[k];
      }
    }
    uint8_t *d = dst->getRow(j);
    for (int32_t i = 0; i < outW; i++) {
      uint64_t sum[C] = {};
      const Acc *col = a + static_cast<size_t>(tx.first[i]) * C;
      for (int32_t t = tx.begin[i]; t < tx.begin[i + 1]; t++, col += C) {
        const uint64_t wx = tx.weight[t];
#pragma GCC unroll 4
        for (int c = 0; c < C; c++) sum[c] += wx * col[c];
      }
#pragma GCC unroll 4
      for (int c = 0; c < C; c++) {
        d[c] = static_cast<uint8_t>(std::min<uint64_t>(255, div.divide(sum[c])));
      }
      d += C;
    }
  }
}

template <int C>
void scaleAreaFor(HBImg *src, const Window &win, HBImg *dst, const Taps &tx, const Taps &ty) {
  // Row sums fit 32 bits while a column's weights stay below 2^32 / 255.
  if (static_cast<uint64_t>(ty.step) * 255 <= UINT32_MAX) {
    scaleArea<uint32_t, C>(src, win, dst, tx, ty);
  } else {
    scaleArea<uint64_t, C>(src, win, dst, tx, ty);
  }
}

int32_t atLeastOne(int64_t v) { return v < 1 ? 1 : static_cast<int32_t>(v); }

}  // namespace

brerror_t HBImg__copyScaled(HBImg **image, HBImg *source, int32_t width, int32_t height,
                            uint32_t flags) {
  if (!image || !source || width < 1 || height < 1) return BRERROR_INVALID_ARGUMENT;
  const int32_t depth = source->getDepth();
  if (depth != 8 && depth != 24 && depth != 32) return BRERROR_UNSUPPORTED;
  const int32_t sw = source->getWidth();
  const int32_t sh = source->getHeight();

  Window win{0, 0, sw, sh};
  int32_t outW = width;
  int32_t outH = height;
  if (flags & HBIMG_FLAG_CROP) {
    if (sw > sh) {
      win = {(sw - sh) / 2, 0, sh, sh};
    } else {
      win = {0, (sh - sw) / 2, sw, sw};
    }
  } else {
    // The factor in 1/4096 units; sizes round to the nearest pixel so that a
    // 3000x2000 picture fitted into 1024x1024 keeps its 3:2 shape (1024x683).
    int64_t f = std::min(static_cast<int64_t>(width) * 4096 / sw,
                         static_cast<int64_t>(height) * 4096 / sh);
    int64_t fitW = (sw * f + 2048) / 4096;
    int64_t fitH = (sh * f + 2048) / 4096;
    if (fitW + 2 >= width) {
      outW = width;
      outH = atLeastOne(fitH);
    } else {
      outW = atLeastOne(fitW);
      outH = fitH + 2 >= height ? height : atLeastOne(fitH);
    }
  }

  HBImg *out = nullptr;
  brerror_t err = HBImg__new(&out, outW, outH, depth, 0);
  if (err < 0) return err;
  HBRef<HBImg> holder(out);
  uint32_t iccLength = 0;
  const uint8_t *icc = source->getICCProfile(&iccLength);
  if (icc && (err = out->setICCProfile(icc, iccLength)) < 0) return err;

  Taps tx, ty;
  tx.build(win.width, outW);
  ty.build(win.height, outH);
  switch (depth) {
    case 8: scaleAreaFor<1>(source, win, out, tx, ty); break;
    case 24: scaleAreaFor<3>(source, win, out, tx, ty); break;
    default: scaleAreaFor<4>(source, win, out, tx, ty); break;
  }
  *image = holder.release();
  return BRERROR_NONE;
}

namespace {

// Reads up to `size` bytes, across short reads; the error only when nothing
// was read.
brerror_t readPrefix(IHBStream *stream, uint8_t *buffer, int32_t size) {
  int32_t got = 0;
  while (got < size) {
    brerror_t n = stream->read(buffer + got, size - got);
    if (n < 0) return got > 0 ? got : n;
    if (n == 0) break;
    got += n;
  }
  return got;
}

// The other dimension of a one-sided request, keeping the picture's shape.
int32_t proportional(int32_t given, int32_t from, int32_t to) {
  return atLeastOne((static_cast<int64_t>(given) * to + from - 1) / from);
}

}  // namespace

brerror_t HBImg__newFromStreamScaled(HBImg **image, IHBStream *stream, int32_t width,
                                     int32_t height, uint32_t flags) {
  if (!image || !stream) return BRERROR_INVALID_ARGUMENT;
  uint8_t first[512];
  brerror_t count = readPrefix(stream, first, sizeof first);
  if (count < 0) return count;
  if (count == 0) return BRERROR_EOF;

  HBRef<IHBImgDecoder> decoder;
  brerror_t err = HBImageDecoder__new(decoder.out(), first, count);
  if (err < 0) return err;
  HBImgHeader header;
  header.flags = flags;
  if ((err = decoder->decodeHeader(&header, first, count, stream)) < 0) return err;
  const bool requested = width > 0 || height > 0;
  if (requested) {
    header.requestedWidth = std::max(width, 0);
    header.requestedHeight = std::max(height, 0);
  }
  HBImg *decoded = nullptr;
  if ((err = decoder->decodeImage(&decoded, &header, stream)) < 0) return err;
  HBRef<HBImg> holder(decoded);

  const int32_t w = decoded->getWidth();
  const int32_t h = decoded->getHeight();
  const bool fits = (width <= 0 || w <= width) && (height <= 0 || h <= height);
  // Keeping the decoded size only makes sense for a decoder that already
  // reduced toward the request; a PNG is never reduced, and sending it at
  // full size would make a "preview" of any size.
  const bool keep = (flags & HBIMG_FLAG_KEEPSIZE) && header.reducible;
  if (!requested || fits || keep) {
    *image = holder.release();
    return BRERROR_NONE;
  }
  const int32_t toW = width > 0 ? width : proportional(height, h, w);
  const int32_t toH = height > 0 ? height : proportional(width, w, h);
  brlog(kTag, 16, "NEED TO POST-DECODE SCALE -- %dx%d -> %dx%d\n", w, h, toW, toH);
  return HBImg__copyScaled(image, decoded, toW, toH, flags);
}
