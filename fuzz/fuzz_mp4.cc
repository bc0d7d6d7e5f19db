#include "fuzz_fmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzFmt(data, size, HBFmtImplFactAac__get());
  return 0;
}
