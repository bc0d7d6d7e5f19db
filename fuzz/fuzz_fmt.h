// One libFuzzer input through HBFmtParser over a memory stream, the way an
// upload reads a file; `only` restricts the parse to one implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hbfmt.h"
#include "hbfmt_impl.h"

inline void fuzzFmt(const uint8_t *data, size_t size, IHBFormatImplFact *only) {
  HBRef<IHBSeekableStream> mem;
  hbfmt__newMemStream(data, static_cast<uint32_t>(size), mem.out());
  HBRef<IHBFormatParser> parser;
  if (HBFmtParser__newWithFmtImplFact(mem.get(), only, parser.out()) != 0) return;
  parser->doFPFinishParse();
  hbtype_t type;
  const void *value;
  if (parser->getFPResultItem("vqz-tn", &type, &value) == 0 && type != HBTYPE_STRING) {
    void *ifc = nullptr;
    if (static_cast<IHBObj *>(const_cast<void *>(value))->getifc(HBTYPE_IID_IHBSTREAM, &ifc) == 0) {
      HBRef<IHBStream> s(static_cast<IHBStream *>(ifc));
      char buffer[512];
      while (s->read(buffer, sizeof buffer) > 0) {
      }
    }
  }
  parser->close();
}
