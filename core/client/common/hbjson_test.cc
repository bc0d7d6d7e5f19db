#include "hbjson.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "brlog_testing.h"
#include "hblistiter.h"
#include "hbmap.h"
#include "hbstr.h"
#include "hbstream_testing.h"

namespace {

using Json = nlohmann::ordered_json;

Json fromValue(hbtype_t type, void *value);

Json fromMap(IHBMap *map) {
  Json out = Json::object();
  IHBIter *keys = nullptr;
  EXPECT_EQ(map->iterateKeys(&keys), 0);
  hbtype_t keyType = HBTYPE_STRING;
  void *key = nullptr;
  while (keys->getNext(&keyType, &key) == 0) {
    hbtype_t type = HBTYPE_ANY;
    void *value = nullptr;
    EXPECT_EQ(map->getAtKey(static_cast<const char *>(key), &type, &value), 0);
    out[static_cast<const char *>(key)] = fromValue(type, value);
    if (!hbtype__isPlain(type)) static_cast<IHBObj *>(value)->dnref();
  }
  keys->dnref();
  return out;
}

Json fromList(IHBIter *iter) {
  Json out = Json::array();
  hbtype_t type = HBTYPE_ANY;
  void *element = nullptr;
  while (iter->getNext(&type, &element) == 0) {
    EXPECT_EQ(type, HBTYPE_IID_IHBOBJ);
    IHBObj *obj = static_cast<IHBObj *>(element);
    void *ifc = nullptr;
    if (obj->getifc(HBTYPE_IID_IHBSTR, &ifc) == 0) {
      out.push_back(fromValue(HBTYPE_IID_IHBSTR, ifc));
    } else if (obj->getifc(HBTYPE_IID_IHBMAP, &ifc) == 0) {
      out.push_back(fromValue(HBTYPE_IID_IHBMAP, ifc));
    } else {
      EXPECT_EQ(obj->getifc(HBTYPE_IID_IHBITER, &ifc), 0);
      out.push_back(fromValue(HBTYPE_IID_IHBITER, ifc));
    }
    static_cast<IHBObj *>(ifc)->dnref();
    obj->dnref();
    type = HBTYPE_ANY;
  }
  HBListIterator *list = nullptr;
  EXPECT_EQ(iter->getifc(HBTYPE_CID_HBLISTITERATOR, reinterpret_cast<void **>(&list)), 0);
  list->reset();
  list->dnref();
  return out;
}

Json fromValue(hbtype_t type, void *value) {
  switch (type) {
    case HBTYPE_STRING: return Json(static_cast<const char *>(value));
    case HBTYPE_IID_IHBSTR: return Json(static_cast<IHBStr *>(value)->getString());
    case HBTYPE_IID_IHBMAP: return fromMap(static_cast<IHBMap *>(value));
    case HBTYPE_IID_IHBITER: return fromList(static_cast<IHBIter *>(value));
    default: ADD_FAILURE() << "unexpected tag " << type; return Json();
  }
}

struct Result {
  brerror_t rc;
  bool finished;
  Json value;
};

// Feeds the document in pieces split at `splits`, keeping what the parser
// hands back after -2 in front of the next piece, as a caller must.
Result parsePieces(const std::string &doc, std::vector<size_t> splits) {
  Result result{0, false, Json()};
  HBJSONParser parser;
  EXPECT_EQ(parser.initParser(nullptr), 0);
  splits.push_back(doc.size());
  std::string kept;
  size_t from = 0;
  for (size_t to : splits) {
    std::string buf = kept + doc.substr(from, to - from);
    from = to;
    int32_t length = static_cast<int32_t>(buf.size());
    result.rc = parser.parseBuffer(buf.data(), &length);
    if (result.rc == BRERROR_TRY_AGAIN) {
      kept.assign(buf.data(), static_cast<size_t>(length));
      continue;
    }
    kept.clear();
    if (result.rc < 0) break;
  }
  result.finished = parser.isFinished();
  result.value = fromMap(parser.getMap());
  return result;
}

Result parseWhole(const std::string &doc) { return parsePieces(doc, {}); }

// nlohmann's reading of a document, with every scalar turned into its text.
Json asStrings(const Json &j) {
  if (j.is_object()) {
    Json out = Json::object();
    for (auto it = j.begin(); it != j.end(); ++it) out[it.key()] = asStrings(it.value());
    return out;
  }
  if (j.is_array()) {
    Json out = Json::array();
    for (const Json &e : j) out.push_back(asStrings(e));
    return out;
  }
  if (j.is_string()) return j;
  return Json(j.dump());
}

// Random documents inside the accepted subset. With `oracleSafe` only forms
// that standard JSON shares: quoted keys, double quotes, plain integers.
class DocGenerator {
 public:
  DocGenerator(unsigned seed, bool oracleSafe) : rng_(seed), safe_(oracleSafe) {}
  std::string make() { return object(0, true); }

 private:
  unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  std::string ws() {
    static const char *w[] = {"", "", " ", "\n  ", "\t", "\r\n"};
    return w[pick(6)];
  }
  std::string str() {
    static const char *pieces[] = {"a", "hello world", "\\\"", "caf\xc3\xa9", "x:y,z", "{[]}",
                                   "'", "0", "\\n", "\\\\"};
    std::string s;
    for (unsigned i = 0, n = pick(4); i < n; i++) {
      const char *p = pieces[pick(10)];
      // Standard JSON decodes "\n" and "\\"; the parser keeps them.
      if (safe_ && (strcmp(p, "\\n") == 0 || strcmp(p, "\\\\") == 0)) p = "b";
      s += p;
    }
    if (!safe_ && pick(4) == 0 && s.find('\'') == std::string::npos) return "'" + s + "'";
    return "\"" + s + "\"";
  }
  std::string token() {
    static const char *tokens[] = {"0", "42", "1234567890", "true", "false", "null", "abc", "x_1"};
    return tokens[pick(safe_ ? 6 : 8)];
  }
  std::string key() {
    if (!safe_ && pick(3) == 0) return token();
    return str();
  }
  std::string value(int depth) {
    unsigned kind = pick(depth < 5 ? 4 : 2);
    if (kind == 0) return str();
    if (kind == 1) return token();
    if (kind == 2) return object(depth + 1, false);
    std::string out = "[" + ws();
    for (unsigned i = 0, n = pick(4); i < n; i++) out += (i ? "," + ws() : "") + value(depth + 1) + ws();
    return out + "]";
  }
  std::string object(int depth, bool root) {
    std::string out = "{" + ws();
    for (unsigned i = 0, n = (root ? 1 : 0) + pick(4); i < n; i++) {
      out += (i ? "," + ws() : "") + key() + ws() + ":" + ws() + value(depth) + ws();
    }
    return out + "}";
  }
  std::mt19937 rng_;
  bool safe_;
};

}  // namespace

TEST(HbJsonParse, StoredForms) {
  struct {
    const char *doc;
    const char *expected;
  } cases[] = {
      {R"({"a":"x"})", R"({"a":"x"})"},
      {R"({ "n" : 42 , "t":true, "z": null })", R"({"n":"42","t":"true","z":"null"})"},
      {R"({key:'single "q"', 'k2':"v"})", R"({"key":"single \"q\"","k2":"v"})"},
      {R"({"q":"say \"hi\"","nl":"a\nb","bs":"c\\d"})",
       R"({"q":"say \"hi\"","nl":"a\\nb","bs":"c\\\\d"})"},
      {R"({"list":[],"m":{}})", R"({"list":[],"m":{}})"},
      {R"({"l":[1,"two",[3],{"f":four}]})", R"({"l":["1","two",["3"],{"f":"four"}]})"},
      {R"({"a":"1","a":"2","b":"3"})", R"({"b":"3","a":"2"})"},
      {R"({"k"})", R"({})"},
      {"{\"t\":\"a\\\\\"}", R"({"t":"a\\\\"})"},
  };
  for (const auto &c : cases) {
    Result r = parseWhole(c.doc);
    EXPECT_EQ(r.rc, 0) << c.doc;
    EXPECT_TRUE(r.finished) << c.doc;
    // Unordered: where a replaced key goes in the order is the map's business.
    EXPECT_EQ(nlohmann::json(r.value), nlohmann::json::parse(c.expected)) << c.doc;
  }
}

TEST(HbJsonParse, Rejections) {
  struct {
    std::string doc;
    brerror_t rc;
  } cases[] = {
      {"{}", BRERROR_INVALID_ARGUMENT},
      {"[1]", BRERROR_INVALID_ARGUMENT},
      {R"({"a":-1})", BRERROR_INVALID_ARGUMENT},
      {R"({"a":1.5})", BRERROR_INVALID_ARGUMENT},
      {R"({"a":[1,]})", BRERROR_INVALID_ARGUMENT},
      {R"({"a":1,})", BRERROR_INVALID_ARGUMENT},
      {R"({"a" "b"})", BRERROR_INVALID_ARGUMENT},
      {R"({"a":1} {"b":2})", BRERROR_BAD_STATE},
      {R"({"a":1}x)", BRERROR_BAD_STATE},
      {"{\"a\":" + std::string(33, '[') + std::string(33, ']') + "}", BRERROR_NO_MEMORY},
      {"{\"a\":" + std::string(31, '[') + std::string(31, ']') + "}", 0},
      {"{\"a\":" + std::string(30, '[') + "1" + std::string(30, ']') + "}", 0},
      {"{\"a\":" + std::string(31, '[') + "1" + std::string(31, ']') + "}", BRERROR_NO_MEMORY},
  };
  for (const auto &c : cases) EXPECT_EQ(parseWhole(c.doc).rc, c.rc) << c.doc;
}

TEST(HbJsonParse, BadCharacterIsLoggedAndSticks) {
  BRLogCapture log(8);
  HBJSONParser parser;
  ASSERT_EQ(parser.initParser(nullptr), 0);
  std::string buf = R"({"a":[{"b":-1}]})";
  int32_t length = static_cast<int32_t>(buf.size());
  EXPECT_EQ(parser.parseBuffer(buf.data(), &length), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(length, 11);
  std::string more = R"("c":"d"})";
  length = static_cast<int32_t>(more.size());
  EXPECT_EQ(parser.parseBuffer(more.data(), &length), BRERROR_INVALID_ARGUMENT);
  // The unfinished list and map were never attached and are released with
  // the parser (the sanitizer run checks for leaks).
  EXPECT_EQ(parser.getMap()->getMapSize(), 0u);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "HBJSON|2|BAD CHARACTER IN STATE 3 - 'MAPVAL': '-' @ 11\n");
}

TEST(HbJsonParse, DepthExceededIsLogged) {
  BRLogCapture log(8);
  Result r = parseWhole("{\"a\":" + std::string(40, '['));
  EXPECT_EQ(r.rc, BRERROR_NO_MEMORY);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "HBJSON|2|DEPTH EXCEEDED IN STATE 32 - 'ARRAYVAL': '[' @ 36\n");
}

TEST(HbJsonParse, StringSplitInTheMiddleIsKeptForTheNextCall) {
  HBJSONParser parser;
  ASSERT_EQ(parser.initParser(nullptr), 0);
  char buf[64] = R"({"name":"Ann )";
  int32_t length = static_cast<int32_t>(strlen(buf));
  ASSERT_EQ(parser.parseBuffer(buf, &length), BRERROR_TRY_AGAIN);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(length)), "\"Ann ");
  strcpy(buf + length, R"(Lee"})");
  length += 5;
  ASSERT_EQ(parser.parseBuffer(buf, &length), 0);
  EXPECT_TRUE(parser.isFinished());
  EXPECT_STREQ(parser.getMap()->getStringAtKey("name"), "Ann Lee");
}

TEST(HbJsonParse, EverySplitPointGivesTheSameResult) {
  std::vector<std::string> docs = {R"({"q":"say \"hi\"", k : [1, 'two', {"x":[]}], "e":{}})"};
  DocGenerator gen(5, false);
  for (int i = 0; i < 30; i++) docs.push_back(gen.make());
  for (const std::string &doc : docs) {
    Result whole = parseWhole(doc);
    ASSERT_EQ(whole.rc, 0) << doc;
    ASSERT_TRUE(whole.finished) << doc;
    for (size_t split = 0; split <= doc.size(); split++) {
      Result r = parsePieces(doc, {split});
      ASSERT_EQ(r.rc, 0) << split << " " << doc;
      ASSERT_TRUE(r.finished) << split << " " << doc;
      ASSERT_EQ(r.value, whole.value) << split << " " << doc;
    }
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < doc.size(); i++) everyByte.push_back(i);
    Result bytes = parsePieces(doc, everyByte);
    EXPECT_EQ(bytes.value, whole.value) << doc;
  }
}

TEST(HbJsonParse, MatchesNlohmannInsideTheSubset) {
  DocGenerator gen(9, true);
  for (int i = 0; i < 300; i++) {
    std::string doc = gen.make();
    Result r = parseWhole(doc);
    ASSERT_EQ(r.rc, 0) << doc;
    Json oracle = asStrings(Json::parse(doc));
    // Duplicate keys keep nlohmann's first position; compare unordered then.
    EXPECT_EQ(nlohmann::json(r.value), nlohmann::json(oracle)) << doc;
  }
}

TEST(HbJsonParse, StateNames) {
  EXPECT_STREQ(HBJSONParser::getStateName(HBJSONParser::TOP), "TOP");
  EXPECT_STREQ(HBJSONParser::getStateName(HBJSONParser::QSTRING), "QSTRING");
  EXPECT_STREQ(HBJSONParser::getStateName(HBJSONParser::FINISHED), "FINISHED");
  EXPECT_STREQ(HBJSONParser::getStateName(12), "UNKNOWN");
  EXPECT_STREQ(HBJSONParser::getStateName(-1), "UNKNOWN");
}

TEST(HbJsonMap, TypedMapShape) {
  HBMap *map = nullptr;
  const std::string original = R"({"s":"x","l":["a",{"k":"v"},[]],"m":{"n":"1"}})";
  std::string doc = original;
  ASSERT_EQ(HBJSON__parseBuffer(&map, doc.data(), static_cast<int32_t>(doc.size())),
            static_cast<brerror_t>(doc.size()));
  HBRef<HBMap> held(map);
  EXPECT_EQ(fromMap(map), Json::parse(original));
  EXPECT_EQ(map->getFlags() & HBMAP_FLAG_INSERTION_ORDER, HBMAP_FLAG_INSERTION_ORDER);
  hbtype_t type = HBTYPE_ANY;
  void *value = nullptr;
  ASSERT_EQ(map->getAtKey("s", &type, &value), 0);
  EXPECT_EQ(type, HBTYPE_STRING);
  type = HBTYPE_ANY;
  ASSERT_EQ(map->getAtKey("m", &type, &value), 0);
  EXPECT_EQ(type, HBTYPE_IID_IHBMAP);
  HBMap *child = nullptr;
  ASSERT_EQ(static_cast<IHBMap *>(value)->getifc(HBTYPE_CID_HBMAP, reinterpret_cast<void **>(&child)), 0);
  EXPECT_EQ(child->getAllocator(), map->getAllocator());
  EXPECT_EQ(child->getFlags() & HBMAP_FLAG_INSERTION_ORDER, HBMAP_FLAG_INSERTION_ORDER);
  child->dnref();
  static_cast<IHBMap *>(value)->dnref();
  // The list is at its first element once the array has closed.
  IHBIter *list = nullptr;
  ASSERT_EQ(map->getAtKey("l", HBTYPE_IID_IHBITER, reinterpret_cast<void **>(&list)), 0);
  IHBStr *first = nullptr;
  ASSERT_EQ(list->getNext(&(type = HBTYPE_IID_IHBSTR), reinterpret_cast<void **>(&first)), 0);
  EXPECT_STREQ(first->getString(), "a");
  first->dnref();
  list->dnref();
}

TEST(HbJsonMap, InitParserUsesTheGivenMap) {
  HBRef<HBMap> mine(new HBMap(nullptr, 512, 512, nullptr));
  HBJSONParser parser;
  ASSERT_EQ(parser.initParser(mine.get()), 0);
  std::string doc = R"({"a":"b"})";
  int32_t length = static_cast<int32_t>(doc.size());
  ASSERT_EQ(parser.parseBuffer(doc.data(), &length), 0);
  parser.cleanupParser();
  EXPECT_EQ(parser.getMap(), nullptr);
  EXPECT_STREQ(mine->getStringAtKey("a"), "b");
  EXPECT_EQ(mine->getFlags() & HBMAP_FLAG_INSERTION_ORDER, HBMAP_FLAG_INSERTION_ORDER);
}

TEST(HbJsonMap, ParseBufferErrors) {
  struct {
    std::string doc;
    brerror_t rc;
  } cases[] = {
      {R"({"a":"b")", BRERROR_TRY_AGAIN},
      {R"({"a":"b)", BRERROR_TRY_AGAIN},
      {"", BRERROR_TRY_AGAIN},
      {R"({"a":1.5})", BRERROR_INVALID_ARGUMENT},
      {R"({"a":"b"}, )", BRERROR_BAD_STATE},
  };
  for (auto &c : cases) {
    HBMap *map = nullptr;
    EXPECT_EQ(HBJSON__parseBuffer(&map, c.doc.data(), static_cast<int32_t>(c.doc.size())), c.rc)
        << c.doc;
    EXPECT_EQ(map, nullptr);
  }
}

TEST(HbJsonMap, StreamInRandomPiecesMatchesTheBuffer) {
  std::mt19937 rng(4);
  DocGenerator gen(21, false);
  for (int i = 0; i < 20; i++) {
    std::string doc = gen.make();
    ScriptedStream *stream = ScriptedStream::create();
    for (size_t pos = 0; pos < doc.size();) {
      size_t n = 1 + rng() % 40;
      stream->data(doc.substr(pos, n));
      pos += n;
    }
    HBMap *map = nullptr;
    ASSERT_EQ(HBJSON__parseStream(&map, stream), 0) << doc;
    EXPECT_EQ(fromMap(map), parseWhole(doc).value) << doc;
    map->dnref();
    stream->dnref();
  }
}

TEST(HbJsonMap, StreamErrors) {
  BRLogCapture log(8);
  struct Case {
    std::vector<std::string> pieces;
    brerror_t readError;
    brerror_t rc;
  } cases[] = {
      {{R"({"a":"b"})"}, 0, 0},
      {{R"({"a":"b")"}, 0, BRERROR_TRY_AGAIN},
      {{R"({"a":"unterminated)"}, 0, BRERROR_TRY_AGAIN},
      {{R"({"a":["b",)"}, BRERROR_CONNECTION_RESET, BRERROR_CONNECTION_RESET},
      {{"{\"a\":\"" + std::string(5000, 'x') + "\"}"}, 0, BRERROR_NO_SPACE},
      {{"{\"a\":\"" + std::string(4000, 'x') + "\"}"}, 0, 0},
      {{R"({"a":)", "-1}"}, 0, BRERROR_INVALID_ARGUMENT},
  };
  for (const Case &c : cases) {
    ScriptedStream *stream = ScriptedStream::create();
    for (const std::string &p : c.pieces) stream->data(p);
    if (c.readError) stream->fail(c.readError);
    HBMap *map = nullptr;
    EXPECT_EQ(HBJSON__parseStream(&map, stream), c.rc) << c.pieces[0].substr(0, 20);
    if (map) map->dnref();
    EXPECT_EQ(map != nullptr, c.rc == 0);
    stream->dnref();
  }
  bool roomLine = false;
  for (const auto &l : log.lines) roomLine |= l == "HBJSON|1|NOT ENOUGH BUFFER ROOM TO PARSE: 4096\n";
  EXPECT_TRUE(roomLine);
}
