// One libFuzzer input through HBFmtParser over a memory stream, the way an
// upload reads a file; `only` restricts the parse to one implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hbfmt.h"
#include "hbfmt_impl.h"
#include "hbmap.h"
#include "hbmemstream.h"

inline void fuzzFmt(const uint8_t *data, size_t size, IHBFormatImplFact *only) {
  HBRef<IHBMemStream> mem;
  if (HBMemStream__new(mem.out(), const_cast<uint8_t *>(data), static_cast<uint32_t>(size),
                       HBSTREAM_READ | HBMEMSTREAM_BORROWED) != 0) {
    return;
  }
  HBRef<IHBFormatParser> parser;
  if (HBFmtParser__newWithFmtImplFact(mem.get(), only, parser.out()) != 0) return;
  parser->doFPFinishParse();
  HBRef<IHBMap> items;
  if (parser->getFPResultMap(items.out()) == 0) {
    HBRef<IHBStream> picture;
    if (items->getAtKey("vqz-tn", HBTYPE_IID_IHBSTREAM, reinterpret_cast<void **>(picture.out())) == 0) {
      char buffer[512];
      while (picture->read(buffer, sizeof buffer) > 0) {
      }
    }
  }
  parser->releaseStream();
  parser->close();
}
