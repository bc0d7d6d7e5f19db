// Feeds the JSON parser the input whole and in pieces (sizes drawn from the
// first byte), keeping what it hands back after -2 as a caller must; stops
// when the two runs differ or a container is left unreleased. Then parses
// the input into an HBMap.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>

#include "brlog.h"
#include "hbjson.h"
#include "hbmap.h"

namespace {

using Json = nlohmann::ordered_json;

class Sink : public HBJSONSink {
 public:
  Json root;
  int alive = 0;
  brerror_t openMap(void *parent, void **out) override {
    if (!parent) {
      root = Json::object();
      *out = &root;
    } else {
      alive++;
      *out = new Json(Json::object());
    }
    return 0;
  }
  brerror_t openList(void *, void **out) override {
    alive++;
    *out = new Json(Json::array());
    return 0;
  }
  brerror_t keepKey(void *, const char *text, int32_t length, const char **out) override {
    keys_.emplace_back(text, static_cast<size_t>(length));
    *out = keys_.back().c_str();
    return 0;
  }
  brerror_t setString(void *c, const char *key, const char *text, int32_t length) override {
    put(c, key, Json::binary_t(std::vector<uint8_t>(text, text + length)));
    return 0;
  }
  brerror_t setContainer(void *c, const char *key, void *child, bool) override {
    put(c, key, std::move(*static_cast<Json *>(child)));
    delete static_cast<Json *>(child);
    alive--;
    return 0;
  }
  void closeList(void *) override {}
  void dropContainer(void *c, bool) override {
    delete static_cast<Json *>(c);
    alive--;
  }

 private:
  static void put(void *container, const char *key, Json value) {
    Json *c = static_cast<Json *>(container);
    if (key) {
      (*c)[key] = std::move(value);
    } else {
      c->push_back(std::move(value));
    }
  }
  std::deque<std::string> keys_;
};

struct Outcome {
  brerror_t rc = 0;
  bool finished = false;
  Json value;
};

Outcome run(const uint8_t *data, size_t size, uint32_t seed) {
  Sink sink;
  Outcome o;
  {
    HBJSONParser parser;
    parser.initWithSink(&sink);
    std::string kept;
    size_t pos = 0;
    while (pos < size) {
      size_t piece = seed == 0 ? size : 1 + (seed % 61);
      seed = seed * 1103515245u + 12345u;
      if (piece > size - pos) piece = size - pos;
      std::string buf = kept;
      buf.append(reinterpret_cast<const char *>(data) + pos, piece);
      pos += piece;
      int32_t length = static_cast<int32_t>(buf.size());
      o.rc = parser.parseBuffer(buf.data(), &length);
      kept.clear();
      if (o.rc == BRERROR_TRY_AGAIN) {
        kept.assign(buf.data(), static_cast<size_t>(length));
      } else if (o.rc < 0) {
        break;
      }
    }
    o.finished = parser.isFinished();
  }
  if (sink.alive != 0) abort();
  o.value = sink.root;
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  brlog_setverbosity(0);
  if (size < 1) return 0;
  Outcome whole = run(data + 1, size - 1, 0);
  Outcome pieces = run(data + 1, size - 1, data[0] | 1u);
  if (whole.finished != pieces.finished) abort();
  if (whole.finished && (whole.rc != pieces.rc || whole.value != pieces.value)) abort();
  // The same input into the typed map: it must come back exactly when the
  // state machine finished the document, and release everything.
  std::string copy(reinterpret_cast<const char *>(data) + 1, size - 1);
  HBMap *map = nullptr;
  brerror_t rc = HBJSON__parseBuffer(&map, copy.data(), static_cast<int32_t>(copy.size()));
  bool complete = whole.finished && whole.rc == 0;
  if ((rc > 0) != complete || (rc > 0) != (map != nullptr)) abort();
  if (map) map->dnref();
  return 0;
}
