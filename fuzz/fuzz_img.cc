// Arbitrary bytes through the preview path of an import: decode (JPEG or
// PNG) reduced toward 1024x1024, then the 160x160 thumbnail and its JPEG.
#include <cstddef>
#include <cstdint>

#include "brlog.h"
#include "hbimg.h"
#include "hbmemstream.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  brlog_setverbosity(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  HBRef<IHBMemStream> input;
  if (HBMemStream__new(input.out(), const_cast<uint8_t *>(data), static_cast<uint32_t>(size),
                       HBSTREAM_READ) < 0) {
    return 0;
  }
  HBRef<HBImg> preview;
  if (HBImg__newFromStreamScaled(preview.out(), input.get(), 1024, 1024, 0x38) < 0) return 0;
  HBRef<HBImg> thumb;
  if (HBImg__copyScaled(thumb.out(), preview.get(), 160, 160, HBIMG_FLAG_CROP) < 0) return 0;
  HBRef<IHBMemStream> output;
  if (HBMemStream__new(output.out(), nullptr, 8192,
                       HBSTREAM_READ | HBSTREAM_WRITE | HBMEMSTREAM_OWNED | HBMEMSTREAM_GROW |
                           HBMEMSTREAM_ALLOC) < 0) {
    return 0;
  }
  HBImg__encodeToStreamJPEG(thumb.get(), output.get(), 80);
  return 0;
}
