#include "hbjson.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "brlog.h"

namespace {

using Json = nlohmann::ordered_json;

// Builds the document as a JSON value with every scalar a string, the way
// the parser stores it; counts the containers it has alive.
class TreeSink : public HBJSONSink {
 public:
  Json root;
  int alive = 0;

  brerror_t openMap(void *parent, void **out) override {
    if (!parent) {
      root = Json::object();
      *out = &root;
      return 0;
    }
    alive++;
    *out = new Json(Json::object());
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
  brerror_t setString(void *container, const char *key, const char *text,
                      int32_t length) override {
    EXPECT_EQ(text[length], '\0');
    put(container, key, Json(std::string(text, static_cast<size_t>(length))));
    return 0;
  }
  brerror_t setContainer(void *container, const char *key, void *child, bool) override {
    Json *c = static_cast<Json *>(child);
    put(container, key, std::move(*c));
    delete c;
    alive--;
    return 0;
  }
  void closeList(void *) override {}
  void dropContainer(void *container, bool) override {
    delete static_cast<Json *>(container);
    alive--;
  }

 private:
  static void put(void *container, const char *key, Json value) {
    Json *c = static_cast<Json *>(container);
    if (!key) {
      c->push_back(std::move(value));
      return;
    }
    // A later duplicate replaces the earlier one and moves to the end.
    c->erase(key);
    (*c)[key] = std::move(value);
  }
  std::deque<std::string> keys_;
};

struct Result {
  brerror_t rc;
  bool finished;
  Json value;
};

// Feeds the document in pieces split at `splits`, keeping what the parser
// hands back after -2 in front of the next piece, as a caller must.
Result parsePieces(const std::string &doc, std::vector<size_t> splits) {
  TreeSink sink;
  Result result{0, false, Json()};
  {
    HBJSONParser parser;
    parser.initWithSink(&sink);
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
  }
  EXPECT_EQ(sink.alive, 0) << doc;
  result.value = sink.root;
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

struct Lines {
  std::vector<std::string> lines;
};

void captureLine(void *user, const char *tag, int severity, const char *format, va_list args) {
  char message[512];
  vsnprintf(message, sizeof message, format, args);
  static_cast<Lines *>(user)->lines.push_back(std::string(tag) + "|" + std::to_string(severity) +
                                              "|" + message);
}

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
      {R"({"a":"1","a":"2","b":"3"})", R"({"a":"2","b":"3"})"},
      {R"({"k"})", R"({})"},
      {"{\"t\":\"a\\\\\"}", R"({"t":"a\\\\"})"},
  };
  for (const auto &c : cases) {
    Result r = parseWhole(c.doc);
    EXPECT_EQ(r.rc, 0) << c.doc;
    EXPECT_TRUE(r.finished) << c.doc;
    EXPECT_EQ(r.value, Json::parse(c.expected)) << c.doc;
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
  Lines log;
  brlog__setThreadSink(captureLine, 35, &log, nullptr);
  TreeSink sink;
  {
    HBJSONParser parser;
    parser.initWithSink(&sink);
    std::string buf = R"({"a":[{"b":-1}]})";
    int32_t length = static_cast<int32_t>(buf.size());
    EXPECT_EQ(parser.parseBuffer(buf.data(), &length), BRERROR_INVALID_ARGUMENT);
    EXPECT_EQ(length, 11);
    std::string more = R"("c":"d"})";
    length = static_cast<int32_t>(more.size());
    EXPECT_EQ(parser.parseBuffer(more.data(), &length), BRERROR_INVALID_ARGUMENT);
  }
  brlog__setThreadSink(nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(sink.alive, 0);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "HBJSON|2|BAD CHARACTER IN STATE 3 - 'MAPVAL': '-' @ 11\n");
}

TEST(HbJsonParse, DepthExceededIsLogged) {
  Lines log;
  brlog__setThreadSink(captureLine, 35, &log, nullptr);
  Result r = parseWhole("{\"a\":" + std::string(40, '['));
  brlog__setThreadSink(nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(r.rc, BRERROR_NO_MEMORY);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "HBJSON|2|DEPTH EXCEEDED IN STATE 32 - 'ARRAYVAL': '[' @ 36\n");
}

TEST(HbJsonParse, StringSplitInTheMiddleIsKeptForTheNextCall) {
  TreeSink sink;
  HBJSONParser parser;
  parser.initWithSink(&sink);
  char buf[64] = R"({"name":"Ann )";
  int32_t length = static_cast<int32_t>(strlen(buf));
  ASSERT_EQ(parser.parseBuffer(buf, &length), BRERROR_TRY_AGAIN);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(length)), "\"Ann ");
  strcpy(buf + length, R"(Lee"})");
  length += 5;
  ASSERT_EQ(parser.parseBuffer(buf, &length), 0);
  EXPECT_TRUE(parser.isFinished());
  EXPECT_EQ(sink.root, Json::parse(R"({"name":"Ann Lee"})"));
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
