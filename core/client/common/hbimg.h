// hbimg: the in-memory picture, the JPEG and PNG decoders, the area-averaging
// scaler with its square crop, and the JPEG encoder that make the preview and
// the thumbnail of every uploaded photo.
//
// Ownership: images and decoders are reference counted (created with one
// reference); a reference received through an out-parameter is owned by the
// caller. Images keep their own copy of the pixels and of the ICC profile.
// Streams passed in are borrowed for the length of the call.
//
// Thread-safety: an image is immutable once made and may be read from any
// number of threads; a decoder is used by one thread at a time. The free
// functions keep no shared state.
//
// Hostile input is expected: every decode path returns an error instead of
// faulting, and no pixel buffer above HBIMG_MAX_PIXELS is ever allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "hbobj.h"
#include "hbstream.h"

constexpr hbtype_t HBTYPE_IID_IHBIMG = 0x10000070;
constexpr hbtype_t HBTYPE_IID_IHBIMGDECODER = 0x10000071;

// Decode and scale flags.
enum : uint32_t {
  HBIMG_FLAG_CROP = 0x4,        // scaler: cut the largest middle square first
  HBIMG_FLAG_KEEPSIZE = 0x8,    // keep the size a reducing decoder produced
  HBIMG_FLAG_KEEPICC = 0x10,    // keep the source's ICC profile
  HBIMG_FLAG_FITDECODE = 0x20,  // JPEG: reduce while decoding until it fits
};

// No image of more pixels is ever allocated.
constexpr int64_t HBIMG_MAX_PIXELS = 0x4000000;

class IHBImg : public IHBObj {
 public:
  virtual int32_t getWidth() = 0;
  virtual int32_t getHeight() = 0;
  virtual int32_t getPitch() = 0;
  virtual int32_t getDepth() = 0;
};

// Rows top to bottom, RGB byte order (a fourth byte for 32 bits).
class HBImg final : public IHBImg {
 public:
  int32_t upref() override;
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;
  int32_t getWidth() override { return width_; }
  int32_t getHeight() override { return height_; }
  int32_t getPitch() override { return pitch_; }
  int32_t getDepth() override { return depth_; }

  uint8_t *getBits() { return bits_.get(); }
  uint8_t *getRow(int32_t y) { return bits_.get() + static_cast<size_t>(y) * pitch_; }
  // The profile bytes (null and 0 without one); valid while the image lives.
  const uint8_t *getICCProfile(uint32_t *length) const;
  brerror_t setICCProfile(const uint8_t *data, uint32_t length);

 private:
  friend brerror_t HBImg__new(HBImg **, int32_t, int32_t, int32_t, int32_t);
  struct FreeDeleter {
    void operator()(void *p) const;
  };
  HBImg(int32_t width, int32_t height, int32_t depth, int32_t pitch, uint8_t *bits);
  ~HBImg() override = default;

  HBRefCount refs_;
  int32_t width_;
  int32_t height_;
  int32_t depth_;
  int32_t pitch_;
  std::unique_ptr<uint8_t, FreeDeleter> bits_;
  std::unique_ptr<uint8_t, FreeDeleter> icc_;
  uint32_t iccLength_ = 0;
};

// A new image with uninitialised pixels. Depth 8, 15, 16, 24 or 32; the pitch
// is at least width x bytes per pixel and at least `minPitch`, rounded up to a
// multiple of 4 (24, 32 bits) or 2 (15, 16 bits). -6 for a bad depth or a
// size below 1, -12 above HBIMG_MAX_PIXELS, -19 when memory runs out.
brerror_t HBImg__new(HBImg **image, int32_t width, int32_t height, int32_t depth,
                     int32_t minPitch);

// Filled by decodeHeader (source size, `reducible`) and by the caller (the
// request and flags); decodeImage sets the decoded size and scale.
struct HBImgHeader {
  int32_t requestedWidth = 0;  // 0: no limit in that dimension
  int32_t requestedHeight = 0;
  int32_t width = 0;  // the picture's own size
  int32_t height = 0;
  int32_t decodedWidth = 0;
  int32_t decodedHeight = 0;
  int32_t scaleDenom = 1;  // the decoder's reduction: 1, 2, 4 or 8
  uint32_t flags = 0;
  bool reducible = false;  // the decoder can reduce while decoding (JPEG)
};

class IHBImgDecoder : public IHBObj {
 public:
  // `firstBytes` are the bytes already taken from the start of `stream`.
  virtual brerror_t decodeHeader(HBImgHeader *header, const uint8_t *firstBytes, int32_t count,
                                 IHBStream *stream) = 0;
  virtual brerror_t decodeImage(HBImg **image, HBImgHeader *header, IHBStream *stream) = 0;
};

// FF D8 at the start: JPEG; "PNG" at bytes 1 to 3 (of at least 4): PNG;
// anything else -3.
brerror_t HBImageDecoder__new(IHBImgDecoder **decoder, const uint8_t *firstBytes, int32_t count);
brerror_t HBImageDecoderJPEG__new(IHBImgDecoder **decoder);
brerror_t HBImageDecoderPNG__new(IHBImgDecoder **decoder);

// Decodes a JPEG or PNG from the stream, reduced toward width x height (0 for
// no limit), then scaled to fit it exactly unless it already fits. Flag 0x8
// keeps what a reducing (JPEG) decoder produced; a PNG that does not fit is
// scaled in any case. -24 for an empty stream, -3 for an unknown format.
brerror_t HBImg__newFromStreamScaled(HBImg **image, IHBStream *stream, int32_t width,
                                     int32_t height, uint32_t flags);

// A new image of the same depth (8, 24 or 32 bits; others -16) made by area
// averaging: with HBIMG_FLAG_CROP the middle square scaled to exactly
// width x height, else the whole picture fitted inside width x height. The
// ICC profile is carried over.
brerror_t HBImg__copyScaled(HBImg **image, HBImg *source, int32_t width, int32_t height,
                            uint32_t flags);

// Writes a baseline JPEG of the 24- or 32-bit image (the ICC profile, when
// there is one, right after the start); -1 on failure.
brerror_t HBImg__encodeToStreamJPEG(HBImg *image, IHBStream *stream, int32_t quality);
