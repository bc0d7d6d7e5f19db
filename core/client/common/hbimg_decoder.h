// hbimg_decoder: what the JPEG and PNG decoders share, kept out of hbimg.h
// because only the decoder sources use it.
//
// HBImgDecoderBase holds a decoder's reference count and answers getifc for
// IHBOBJ and IHBIMGDECODER. HBImgDecoder__newImageRows makes the 24-bit
// image a decoder fills and the table of its row pointers that a library's
// row-reading step writes through.
//
// Both own C++ objects, so they stay outside the steps that run library
// calls and may long-jump; a step only receives the raw row table.
// Ownership and thread-safety as in hbimg.h.
#pragma once

#include <cstdint>
#include <vector>

#include "hbimg.h"
#include "hbobj.h"

class HBImgDecoderBase : public IHBImgDecoder {
 public:
  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBIMGDECODER) return BRERROR_NO_ENTRY;
    upref();
    *out = static_cast<IHBImgDecoder *>(this);
    return BRERROR_NONE;
  }

 protected:
  ~HBImgDecoderBase() override = default;

 private:
  HBRefCount refs_;
};

// A new width x height 24-bit image in *image and its rows, top to bottom,
// in *rows; HBImg__new's error otherwise, with both left empty.
inline brerror_t HBImgDecoder__newImageRows(int32_t width, int32_t height, HBRef<HBImg> *image,
                                            std::vector<uint8_t *> *rows) {
  brerror_t err = HBImg__new(image->out(), width, height, 24, 0);
  if (err < 0) return err;
  rows->resize(static_cast<size_t>(height));
  for (int32_t y = 0; y < height; y++) (*rows)[y] = (*image)->getRow(y);
  return BRERROR_NONE;
}
