// Parser throughput on 1 MiB documents, side by side with the anchors:
// the JSON state machine alone against nlohmann-json's SAX reader (both only
// report items), the JSON parse into an HBMap against nlohmann's DOM, the XML event reader against pugixml
// (which builds its tree). Each iteration parses a fresh copy, since our
// parsers work in place.
#include <benchmark/benchmark.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "brlog.h"
#include "brxml.h"
#include "hbjson.h"
#include "hbmap.h"
#include "kx_bench_ratio.h"

namespace {

constexpr size_t kDocSize = 1 << 20;

const std::string &jsonDoc() {
  static const std::string doc = [] {
    std::string s = "{\"files\":[";
    for (int i = 0; s.size() < kDocSize - 256; i++) {
      if (i) s += ",";
      s += "{\"id\":" + std::to_string(100000 + i) + ",\"name\":\"IMG_" + std::to_string(i) +
           ".JPG\",\"size\":" + std::to_string(i * 7919) +
           ",\"hidden\":false,\"tags\":[\"holiday\",\"beach\"],\"meta\":{\"w\":4032,\"h\":3024}}";
    }
    s += "],\"count\":1}";
    return s;
  }();
  return doc;
}

const std::string &xmlDoc() {
  static const std::string doc = [] {
    std::string s =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><soap:Envelope "
        "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
        "<m:listFilesResponse xmlns:m=\"urn:svc\">";
    for (int i = 0; s.size() < kDocSize - 256; i++) {
      s += "<file id=\"" + std::to_string(100000 + i) + "\" type=\"0\"><name>IMG_" +
           std::to_string(i) + ".JPG</name><size>" + std::to_string(i * 7919) +
           "</size><title>Beach &amp; sea</title></file>";
    }
    s += "</m:listFilesResponse></soap:Body></soap:Envelope>";
    return s;
  }();
  return doc;
}

class CountingSink : public HBJSONSink {
 public:
  int64_t items = 0;
  brerror_t openMap(void *, void **out) override {
    items++;
    *out = this;
    return 0;
  }
  brerror_t openList(void *, void **out) override {
    items++;
    *out = this;
    return 0;
  }
  brerror_t keepKey(void *, const char *text, int32_t, const char **out) override {
    *out = text;
    return 0;
  }
  brerror_t setString(void *, const char *, const char *, int32_t) override {
    items++;
    return 0;
  }
  brerror_t setContainer(void *, const char *, void *, bool) override { return 0; }
  void closeList(void *) override {}
  void dropContainer(void *, bool) override {}
};

struct CountingSax : nlohmann::json_sax<nlohmann::json> {
  int64_t items = 0;
  bool null() override { return ++items; }
  bool boolean(bool) override { return ++items; }
  bool number_integer(number_integer_t) override { return ++items; }
  bool number_unsigned(number_unsigned_t) override { return ++items; }
  bool number_float(number_float_t, const string_t &) override { return ++items; }
  bool string(string_t &) override { return ++items; }
  bool binary(binary_t &) override { return ++items; }
  bool start_object(std::size_t) override { return ++items; }
  bool key(string_t &) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return ++items; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override {
    return false;
  }
};

void BM_JsonOurs(benchmark::State &state) {
  const std::string &doc = jsonDoc();
  std::vector<char> buf(doc.size());
  int64_t items = 0;
  for (auto _ : state) {
    memcpy(buf.data(), doc.data(), doc.size());
    CountingSink sink;
    HBJSONParser parser;
    parser.initWithSink(&sink);
    int32_t length = static_cast<int32_t>(buf.size());
    if (parser.parseBuffer(buf.data(), &length) != 0 || !parser.isFinished()) {
      state.SkipWithError("parse failed");
    }
    items = sink.items;
  }
  state.counters["items"] = static_cast<double>(items);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}

void BM_JsonOursMap(benchmark::State &state) {
  const std::string &doc = jsonDoc();
  std::vector<char> buf(doc.size());
  for (auto _ : state) {
    memcpy(buf.data(), doc.data(), doc.size());
    HBMap *map = nullptr;
    if (HBJSON__parseBuffer(&map, buf.data(), static_cast<int32_t>(buf.size())) <= 0) {
      state.SkipWithError("parse failed");
      break;
    }
    map->dnref();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}

void BM_JsonNlohmannSax(benchmark::State &state) {
  const std::string &doc = jsonDoc();
  std::vector<char> buf(doc.size());
  int64_t items = 0;
  for (auto _ : state) {
    memcpy(buf.data(), doc.data(), doc.size());
    CountingSax sax;
    if (!nlohmann::json::sax_parse(buf.begin(), buf.end(), &sax)) state.SkipWithError("failed");
    items = sax.items;
  }
  state.counters["items"] = static_cast<double>(items);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}

void BM_JsonNlohmannDom(benchmark::State &state) {
  const std::string &doc = jsonDoc();
  std::vector<char> buf(doc.size());
  for (auto _ : state) {
    memcpy(buf.data(), doc.data(), doc.size());
    nlohmann::json j = nlohmann::json::parse(buf.begin(), buf.end());
    benchmark::DoNotOptimize(j);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}

void countEvent(int64_t *n) { ++*n; }

const BRXMLCallbacks kCounting = {
    nullptr,
    nullptr,
    [](BRXMLParser *, const char *, const char **, void *u) { countEvent(static_cast<int64_t *>(u)); },
    [](BRXMLParser *, const char *, void *u) { countEvent(static_cast<int64_t *>(u)); },
    [](BRXMLParser *, const char *, int32_t, void *u) { countEvent(static_cast<int64_t *>(u)); },
    nullptr,
};

void BM_XmlOurs(benchmark::State &state) {
  const std::string &doc = xmlDoc();
  std::vector<char> buf(doc.size());
  int64_t events = 0;
  for (auto _ : state) {
    memcpy(buf.data(), doc.data(), doc.size());
    BRXMLParser parser;
    BRXMLParser__init(&parser);
    events = 0;
    int32_t length = static_cast<int32_t>(buf.size());
    if (BRXMLParser__parse_buffer(&parser, buf.data(), &length, &kCounting, &events) != 0) {
      state.SkipWithError("parse failed");
    }
  }
  state.counters["events"] = static_cast<double>(events);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}

int64_t countNodes(const pugi::xml_node &node) {
  int64_t n = 0;
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_element) n += 2 + countNodes(child);
    if (child.type() == pugi::node_pcdata) n++;
  }
  return n;
}

void BM_XmlPugixml(benchmark::State &state) {
  const std::string &doc = xmlDoc();
  std::vector<char> buf(doc.size());
  int64_t events = 0;
  for (auto _ : state) {
    memcpy(buf.data(), doc.data(), doc.size());
    pugi::xml_document d;
    if (!d.load_buffer_inplace(buf.data(), buf.size())) state.SkipWithError("parse failed");
    events = countNodes(d);
  }
  state.counters["events"] = static_cast<double>(events);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}

BENCHMARK(BM_JsonOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonOursMap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonNlohmannSax)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonNlohmannDom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlPugixml)->Unit(benchmark::kMillisecond);

const int registered[] = {
    kx_bench::ratio("JSON 1 MiB, items only (nlohmann SAX)", "BM_JsonOurs", "BM_JsonNlohmannSax"),
    kx_bench::ratio("JSON 1 MiB into HBMap vs nlohmann DOM", "BM_JsonOursMap",
                    "BM_JsonNlohmannDom"),
    kx_bench::ratio("XML 1 MiB events vs pugixml", "BM_XmlOurs", "BM_XmlPugixml"),
};

}  // namespace

int main(int argc, char **argv) {
  brlog_setverbosity(1);
  return kx_bench::main(argc, argv);
}
