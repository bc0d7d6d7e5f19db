// Feeds the XML parser the input whole and in pieces (sizes drawn from the
// first byte), as a caller of parse_buffer does, and stops when the two
// runs report different events.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "brlog.h"
#include "brxml.h"

namespace {

struct Events {
  std::vector<std::string> list;
  std::string text;
  void flush() {
    if (!text.empty()) list.push_back("T" + text);
    text.clear();
  }
};

Events *ev(void *u) { return static_cast<Events *>(u); }

const BRXMLCallbacks kCallbacks = {
    [](BRXMLParser *, void *u) { ev(u)->flush(), ev(u)->list.push_back("D"); },
    [](BRXMLParser *, void *u) { ev(u)->flush(), ev(u)->list.push_back("/D"); },
    [](BRXMLParser *, const char *name, const char **attributes, void *u) {
      ev(u)->flush();
      std::string line = std::string("S") + name;
      for (const char **a = attributes; *a; a += 2) line += std::string(" ") + a[0] + "=" + a[1];
      ev(u)->list.push_back(line);
    },
    [](BRXMLParser *, const char *name, void *u) {
      ev(u)->flush(), ev(u)->list.push_back(std::string("E") + name);
    },
    [](BRXMLParser *, const char *text, int32_t length, void *u) {
      ev(u)->text.append(text, static_cast<size_t>(length));
    },
    nullptr,
};

brerror_t run(const uint8_t *data, size_t size, uint32_t seed, Events *events) {
  BRXMLParser parser;
  BRXMLParser__init(&parser);
  std::string pending;
  size_t pos = 0;
  brerror_t rc = 0;
  while (pos < size && rc == 0) {
    size_t piece = seed == 0 ? size : 1 + (seed % 97);
    seed = seed * 1103515245u + 12345u;
    if (piece > size - pos) piece = size - pos;
    pending.append(reinterpret_cast<const char *>(data) + pos, piece);
    pos += piece;
    std::vector<char> buf(pending.begin(), pending.end());
    int32_t length = static_cast<int32_t>(buf.size());
    rc = BRXMLParser__parse_buffer(&parser, buf.data(), &length, &kCallbacks, events);
    pending.assign(pending, static_cast<size_t>(length));
  }
  events->flush();
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  brlog_setverbosity(0);
  if (size < 1) return 0;
  uint32_t seed = data[0] | 1u;
  Events whole, pieces;
  brerror_t a = run(data + 1, size - 1, 0, &whole);
  brerror_t b = run(data + 1, size - 1, seed, &pieces);
  if (a != b || whole.list != pieces.list) abort();
  return 0;
}
