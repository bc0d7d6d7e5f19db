// Feeds the SOAP reply decoder the input through a 4,096-byte window in
// pieces whose sizes come from the first bytes, as the RPC transport does,
// with and without a type list, then checks that the result map can be
// walked and that the decoder agrees with itself on a whole-input run.
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>

#include "brlog.h"
#include "hbcommandparser.h"
#include "hblistiter.h"
#include "hbmap.h"
#include "hbstr.h"

namespace {

const HBSoapType_s kTypes[] = {{"files", HBSOAP_TYPE_LIST}, {"services", HBSOAP_TYPE_LIST},
                               {nullptr, 0}};

size_t walk(IHBObj *object, int depth);

size_t walkMap(IHBMap *map, int depth) {
  IHBIter *keys = nullptr;
  if (map->iterateKeys(&keys) < 0) return 0;
  size_t count = 0;
  hbtype_t keyType = HBTYPE_STRING;
  void *key;
  while (keys->getNext(&keyType, &key) >= 0) {
    hbtype_t type = HBTYPE_ANY;
    void *value = nullptr;
    if (map->getAtKey(static_cast<const char *>(key), &type, &value) < 0) continue;
    count++;
    if (!hbtype__isPlain(type) && value) {
      count += walk(static_cast<IHBObj *>(value), depth + 1);
      static_cast<IHBObj *>(value)->dnref();
    }
  }
  keys->dnref();
  return count;
}

size_t walk(IHBObj *object, int depth) {
  if (depth > 64) abort();
  void *ifc = nullptr;
  size_t count = 0;
  if (object->getifc(HBTYPE_IID_IHBMAP, &ifc) == 0) {
    count = walkMap(static_cast<IHBMap *>(ifc), depth);
  } else if (object->getifc(HBTYPE_IID_IHBITER, &ifc) == 0) {
    auto *list = static_cast<IHBIter *>(ifc);
    hbtype_t type = HBTYPE_ANY;
    void *item = nullptr;
    while (list->getNext(&type, &item) >= 0) {
      count++;
      if (!hbtype__isPlain(type) && item) {
        count += walk(static_cast<IHBObj *>(item), depth + 1);
        static_cast<IHBObj *>(item)->dnref();
      }
      type = HBTYPE_ANY;
    }
    void *again = nullptr;
    if (list->getifc(HBTYPE_CID_HBLISTITERATOR, &again) == 0) {
      static_cast<HBListIterator *>(again)->reset();
      static_cast<HBListIterator *>(again)->dnref();
    }
  } else if (object->getifc(HBTYPE_IID_IHBSTR, &ifc) == 0) {
    if (!static_cast<IHBStr *>(ifc)->getString()) abort();
  }
  if (ifc) static_cast<IHBObj *>(ifc)->dnref();
  return count;
}

size_t run(const uint8_t *data, size_t size, uint32_t seed, bool types, brerror_t *finish) {
  HBMap *map = new HBMap(nullptr, 4096, 4096, nullptr);
  HBCommandParserCore parser;
  parser.initParser("getFile", map, types ? kTypes : nullptr);
  char window[4096];
  int32_t fill = 0;
  size_t pos = 0;
  while (pos < size) {
    size_t piece = seed == 0 ? size : 1 + (seed % 251);
    seed = seed * 1103515245u + 12345u;
    piece = std::min(piece, size - pos);
    piece = std::min(piece, sizeof window - static_cast<size_t>(fill));
    if (piece == 0) break;
    memcpy(window + fill, data + pos, piece);
    pos += piece;
    fill += static_cast<int32_t>(piece);
    if (parser.parseBuffer(window, &fill) < 0) break;
    if (fill < 0 || fill > static_cast<int32_t>(sizeof window)) abort();
  }
  *finish = parser.finishParser();
  parser.cleanupParser();
  size_t count = walk(static_cast<IHBMap *>(map), 0);
  map->dnref();
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  brlog_setverbosity(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  uint32_t seed = data[0] | (data[1] << 8);
  bool types = data[0] & 1;
  data += 2;
  size -= 2;
  brerror_t pieces, whole;
  size_t a = run(data, size, seed, types, &pieces);
  size_t b = run(data, size, 0, types, &whole);
  // Split or not, an input that fits the window decodes the same.
  if (size <= 4096 && pieces == 0 && whole == 0 && a != b) abort();
  return 0;
}
