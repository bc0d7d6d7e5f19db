#include "brxml.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "brlog_testing.h"
#include "hbstream_testing.h"

namespace {

// Events as text lines; adjacent text runs are merged so that a run reported
// in pieces compares equal to the same run reported at once.
struct Recorder {
  std::vector<std::string> events;
  std::string text;
  bool inDocument = false;
  bool decode = false;  // unescape text and attribute values (oracle form)

  void flushText() {
    if (text.empty()) return;
    events.push_back("T " + (decode ? unescaped(text) : text));
    text.clear();
  }
  static std::string unescaped(std::string s) {
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    int32_t length = static_cast<int32_t>(s.size());
    BRXMLParser__unescape(buf.data(), &length);
    return std::string(buf.data(), static_cast<size_t>(length));
  }
};

Recorder *rec(void *user) { return static_cast<Recorder *>(user); }

const BRXMLCallbacks kRecorder = {
    [](BRXMLParser *, void *u) {
      rec(u)->events.push_back("DOC");
      rec(u)->inDocument = true;
    },
    [](BRXMLParser *, void *u) {
      rec(u)->flushText();
      rec(u)->events.push_back("/DOC");
      rec(u)->inDocument = false;
    },
    [](BRXMLParser *, const char *name, const char **attributes, void *u) {
      Recorder *r = rec(u);
      r->flushText();
      std::string line = std::string("S ") + name;
      for (const char **a = attributes; *a; a += 2) {
        line += std::string(" ") + a[0] + "=" + (r->decode ? Recorder::unescaped(a[1]) : a[1]);
      }
      r->events.push_back(line);
    },
    [](BRXMLParser *, const char *name, void *u) {
      rec(u)->flushText();
      rec(u)->events.push_back(std::string("E ") + name);
    },
    [](BRXMLParser *, const char *text, int32_t length, void *u) {
      EXPECT_EQ(text[length], '\0');
      if (rec(u)->inDocument) rec(u)->text.append(text, static_cast<size_t>(length));
    },
    nullptr,
};

std::vector<std::string> parseWhole(const std::string &doc, bool decode = false) {
  Recorder r;
  r.decode = decode;
  BRXMLParser parser;
  BRXMLParser__init(&parser);
  std::string buf = doc;
  int32_t length = static_cast<int32_t>(buf.size());
  EXPECT_EQ(BRXMLParser__parse_buffer(&parser, buf.data(), &length, &kRecorder, &r), 0);
  r.flushText();
  return r.events;
}

// Offers the document in two pieces, keeping the unconsumed rest as a
// caller of parse_buffer must.
std::vector<std::string> parseSplit(const std::string &doc, size_t split) {
  Recorder r;
  BRXMLParser parser;
  BRXMLParser__init(&parser);
  std::string buf = doc.substr(0, split);
  int32_t length = static_cast<int32_t>(buf.size());
  EXPECT_EQ(BRXMLParser__parse_buffer(&parser, buf.data(), &length, &kRecorder, &r), 0);
  buf = buf.substr(static_cast<size_t>(length)) + doc.substr(split);
  length = static_cast<int32_t>(buf.size());
  EXPECT_EQ(BRXMLParser__parse_buffer(&parser, buf.data(), &length, &kRecorder, &r), 0);
  r.flushText();
  return r.events;
}

void pugiWalk(const pugi::xml_node &node, std::vector<std::string> *events) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_pcdata) {
      events->push_back(std::string("T ") + child.value());
    } else if (child.type() == pugi::node_element) {
      std::string line = std::string("S ") + child.name();
      for (pugi::xml_attribute a : child.attributes()) {
        line += std::string(" ") + a.name() + "=" + a.value();
      }
      events->push_back(line);
      pugiWalk(child, events);
      events->push_back(std::string("E ") + child.name());
    }
  }
}

std::vector<std::string> pugiEvents(const std::string &doc) {
  pugi::xml_document d;
  pugi::xml_parse_result ok =
      d.load_buffer(doc.data(), doc.size(), pugi::parse_default | pugi::parse_ws_pcdata);
  EXPECT_TRUE(ok) << ok.description() << "\n" << doc;
  std::vector<std::string> events = {"DOC"};
  pugiWalk(d, &events);
  events.push_back("/DOC");
  return events;
}

// Random well-formed documents without comments, declarations or CDATA.
class DocGenerator {
 public:
  explicit DocGenerator(unsigned seed) : rng_(seed) {}
  std::string make() {
    std::string out = pick(2) ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" : "";
    element(&out, 0, "root" + std::to_string(pick(1000)));
    return out + (pick(2) ? "\n" : "");
  }

 private:
  unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  std::string name() {
    static const char *names[] = {"a", "soap:Body", "m:getFileResponse", "item", "x_1", "q-q"};
    return names[pick(6)];
  }
  std::string text() {
    static const char *pieces[] = {"hello", " ", "&amp;", "&lt;x&gt;", "\n  ", "caf\xc3\xa9",
                                   "&#x41;", "&#66;", "'", "\"", ">", "&quot;"};
    std::string s;
    for (unsigned i = 0, n = 1 + pick(4); i < n; i++) s += pieces[pick(12)];
    return s;
  }
  std::string value() {
    static const char *pieces[] = {"v", "1 2", "&amp;", "/path/x", "&lt;", ">", "=", "caf\xc3\xa9"};
    std::string s;
    for (unsigned i = 0, n = pick(3); i < n; i++) s += pieces[pick(8)];
    return s;
  }
  void element(std::string *out, int depth, const std::string &tag) {
    *out += "<" + tag;
    for (unsigned i = 0, n = pick(4); i < n; i++) {
      std::string v = value();
      bool single = v.find('\'') == std::string::npos && pick(2);
      *out += (pick(2) ? " " : "  ") + std::string("k") + std::to_string(i) + "=" +
              (single ? "'" + v + "'" : "\"" + v + "\"");
    }
    if (depth > 0 && pick(4) == 0) {
      *out += pick(2) ? "/>" : " />";
      return;
    }
    *out += ">";
    for (unsigned i = 0, n = depth < 4 ? pick(4) : 0; i < n; i++) {
      if (pick(2)) *out += text();
      element(out, depth + 1, name());
    }
    if (pick(2)) *out += text();
    *out += "</" + tag + ">";
  }
  std::mt19937 rng_;
};

const char *kSoapReply =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<soap:Body><m:getUserResponse xmlns:m='urn:svc'>"
    "<return type=\"map\"><name>Ann &amp; Bob</name><quota used=\"12\" total=\"99\"/>"
    "<empty></empty></return></m:getUserResponse></soap:Body></soap:Envelope>\n";

class XmlLog : public ::testing::Test {
 protected:
  BRLogCapture log_;
};

}  // namespace

TEST(BrXmlParse, SoapReplyEvents) {
  std::vector<std::string> expected = {
      "DOC",
      "S soap:Envelope xmlns:soap=http://schemas.xmlsoap.org/soap/envelope/",
      "S soap:Body",
      "S m:getUserResponse xmlns:m=urn:svc",
      "S return type=map",
      "S name",
      "T Ann &amp; Bob",
      "E name",
      "S quota used=12 total=99",
      "E quota",
      "S empty",
      "E empty",
      "E return",
      "E m:getUserResponse",
      "E soap:Body",
      "E soap:Envelope",
      "/DOC",
  };
  EXPECT_EQ(parseWhole(kSoapReply), expected);
}

TEST(BrXmlParse, AttributeForms) {
  std::vector<std::string> expected = {
      "DOC", "S r a=1 b=two c= d=x>y e=", "E r", "/DOC",
  };
  EXPECT_EQ(parseWhole("<r a=1 b='two' c d = \"x>y\" e=''/>"), expected);
}

TEST(BrXmlParse, OnlyFirstFortyNineAttributesAreReported) {
  std::string doc = "<r";
  for (int i = 0; i < 60; i++) doc += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  doc += "/>";
  std::vector<std::string> events = parseWhole(doc);
  ASSERT_EQ(events.size(), 4u);
  std::string expected = "S r";
  for (int i = 0; i < 49; i++) expected += " a" + std::to_string(i) + "=" + std::to_string(i);
  EXPECT_EQ(events[1], expected);
}

TEST(BrXmlParse, SkippedConstructsAndRootEnd) {
  std::vector<std::string> expected = {"DOC", "S a", "S b", "E b", "T x", "E a", "/DOC"};
  EXPECT_EQ(parseWhole("<?xml version='1.0'?>\n<!DOCTYPE a>\n<a><!-- note --><b/>x"
                       "<![CDATA[skipped]]></a>"),
            expected);
}

TEST(BrXmlParse, IncompleteTagIsLeftForTheNextCall) {
  BRXMLParser parser;
  BRXMLParser__init(&parser);
  Recorder r;
  for (const char *piece : {"<a><b x=\"1", "<a><!-- c", "<a></b", "<a><"}) {
    std::string buf = piece;
    int32_t length = static_cast<int32_t>(buf.size());
    BRXMLParser__init(&parser);
    ASSERT_EQ(BRXMLParser__parse_buffer(&parser, buf.data(), &length, &kRecorder, &r), 0);
    EXPECT_EQ(length, 3) << piece;
  }
}

TEST_F(XmlLog, TextBeforeFirstElementIsBadInput) {
  BRXMLParser parser;
  BRXMLParser__init(&parser);
  std::string buf = " \n<?xml?>\nHTTP error<a/>";
  int32_t length = static_cast<int32_t>(buf.size());
  EXPECT_EQ(BRXMLParser__parse_buffer(&parser, buf.data(), &length, &kRecorder, nullptr),
            BRERROR_UNSUPPORTED);
  EXPECT_EQ(length, 10);
  ASSERT_EQ(log_.lines.size(), 1u);
  EXPECT_EQ(log_.lines[0], "XML|1|Bad XML input: HTTP error<a/>!\n");
}

TEST(BrXmlParse, EverySplitPointGivesTheSameEvents) {
  std::vector<std::string> docs = {kSoapReply, "<r a=1 b='two' c d = \"x>y\"/>",
                                   "<a>t<!-- c > --><b>u</b>v</a>"};
  DocGenerator gen(7);
  for (int i = 0; i < 20; i++) docs.push_back(gen.make());
  for (const std::string &doc : docs) {
    std::vector<std::string> whole = parseWhole(doc);
    for (size_t split = 0; split <= doc.size(); split++) {
      ASSERT_EQ(parseSplit(doc, split), whole) << "split at " << split << " of\n" << doc;
    }
  }
}

TEST(BrXmlParse, EventsMatchPugixml) {
  std::vector<std::string> docs = {kSoapReply};
  DocGenerator gen(11);
  for (int i = 0; i < 200; i++) docs.push_back(gen.make());
  for (const std::string &doc : docs) {
    ASSERT_EQ(parseWhole(doc, true), pugiEvents(doc)) << doc;
  }
}

TEST(BrXmlStream, ByteByByteStreamGivesTheSameEvents) {
  DocGenerator gen(3);
  for (int i = 0; i < 10; i++) {
    std::string doc = gen.make();
    ScriptedStream *stream = ScriptedStream::create();
    for (char c : doc) stream->data(std::string(1, c));
    Recorder r;
    BRXMLParser parser;
    BRXMLParser__init(&parser);
    EXPECT_EQ(BRXMLParser__parse_stream(&parser, HBStream__xmlReader, stream, &kRecorder, &r), 0);
    r.flushText();
    EXPECT_EQ(r.events, parseWhole(doc)) << doc;
    EXPECT_EQ(parser.buffer, nullptr);
    stream->dnref();
  }
}

TEST(BrXmlStream, ReadErrorIsReturned) {
  ScriptedStream *stream = ScriptedStream::create();
  stream->data("<a><b>").fail(BRERROR_CONNECTION_RESET);
  Recorder r;
  BRXMLParser parser;
  BRXMLParser__init(&parser);
  EXPECT_EQ(BRXMLParser__parse_stream(&parser, HBStream__xmlReader, stream, &kRecorder, &r),
            BRERROR_CONNECTION_RESET);
  std::vector<std::string> expected = {"DOC", "S a", "S b"};
  EXPECT_EQ(r.events, expected);
  stream->dnref();
}

TEST(BrXmlStream, TagLargerThanCallersBufferIsNoSpace) {
  ScriptedStream *stream = ScriptedStream::create();
  stream->data("<a><b attr=\"" + std::string(100, 'x') + "\"/></a>");
  char own[64];
  BRXMLParser parser;
  BRXMLParser__init(&parser);
  parser.buffer = own;
  parser.bufferSize = sizeof own;
  Recorder r;
  EXPECT_EQ(BRXMLParser__parse_stream(&parser, HBStream__xmlReader, stream, &kRecorder, &r),
            BRERROR_NO_SPACE);
  EXPECT_EQ(parser.buffer, own);
  stream->dnref();
}

TEST(BrXmlStream, LongTextRunsPassThroughTheBuffer) {
  std::string body(20000, 'z');
  ScriptedStream *stream = ScriptedStream::create();
  stream->data("<a>" + body + "</a>");
  Recorder r;
  BRXMLParser parser;
  BRXMLParser__init(&parser);
  EXPECT_EQ(BRXMLParser__parse_stream(&parser, HBStream__xmlReader, stream, &kRecorder, &r), 0);
  std::vector<std::string> expected = {"DOC", "S a", "T " + body, "E a", "/DOC"};
  EXPECT_EQ(r.events, expected);
  stream->dnref();
}

TEST(BrXmlEscape, Table) {
  struct {
    const char *in;
    const char *text;
    const char *tag;
  } cases[] = {
      {"a\"b&c'd<e>f", "a&quot;b&amp;c&#x27;d&lt;e&gt;f", "a&quot;b&amp;c&#x27;d&lt;e&gt;f"},
      {"x y\tz\n\r", "x y\tz\n\r", "x_y_z\n\r"},
      {"\x01\x1f\x7f", "__\x7f", "__\x7f"},
      {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"", "", ""},
  };
  for (const auto &c : cases) {
    char out[64];
    EXPECT_EQ(BRXMLParser__escape(c.in, out, sizeof out), static_cast<int>(strlen(c.text)));
    EXPECT_STREQ(out, c.text);
    EXPECT_EQ(BRXMLParser__escapeTag(c.in, out, sizeof out), static_cast<int>(strlen(c.tag)));
    EXPECT_STREQ(out, c.tag);
  }
}

TEST(BrXmlEscape, EntitiesAndNulStayInsideTheOutput) {
  char out[16];
  EXPECT_EQ(BRXMLParser__escape("abc", out, 2), -1);
  EXPECT_STREQ(out, "a");
  // "a&amp;" needs 7 bytes with its NUL: one byte less must fail without
  // writing past the given size.
  memset(out, '#', sizeof out);
  EXPECT_EQ(BRXMLParser__escape("a&", out, 6), -1);
  EXPECT_STREQ(out, "a");
  EXPECT_EQ(out[6], '#');
  EXPECT_EQ(BRXMLParser__escape("a&", out, 7), 6);
  EXPECT_STREQ(out, "a&amp;");
  EXPECT_EQ(BRXMLParser__escape("", out, 1), 0);
  EXPECT_EQ(BRXMLParser__escape("x", out, 0), -1);
}

TEST_F(XmlLog, EscapingNullTextIsRefused) {
  char out[8];
  EXPECT_EQ(BRXMLParser__escape(nullptr, out, sizeof out), -1);
  EXPECT_EQ(BRXMLParser__escapeToStream(nullptr, HBStream__xmlWriter, nullptr), -1);
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0], "BRXML|1|NOT ESCAPING NULL STRING\n");
}

TEST(BrXmlEscape, ToStreamHandsOverPieces) {
  ScriptedStream *stream = ScriptedStream::create();
  EXPECT_EQ(BRXMLParser__escapeTagToStream("ab c&d", HBStream__xmlWriter, stream), 10);
  EXPECT_EQ(stream->written, "ab_c&amp;d");
  EXPECT_EQ(stream->writeSizes, (std::vector<int32_t>{2, 1, 1, 5, 1}));
  stream->writeResults({BRERROR_IO});
  EXPECT_EQ(BRXMLParser__escapeToStream("x<y", HBStream__xmlWriter, stream), BRERROR_IO);
  stream->dnref();
}

TEST_F(XmlLog, UnescapeTable) {
  struct {
    const char *in;
    const char *out;
    brerror_t result;
    size_t logLines;
  } cases[] = {
      {"&#x41;&amp;&foo;", "A&", 0, 1},
      {"&lt;&gt;&quot;&apos;&amp;", "<>\"'&", 0, 0},
      {"&#233;&#x20AC;&#x1F600;", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 0, 0},
      {"keep &amp then", "keep &amp then", -1, 0},
      {"cut &amp", "cut ", 0, 0},
      {"&#;&#xZZ;&#0;x", "x", 0, 3},
      {"plain", "plain", 0, 0},
  };
  for (const auto &c : cases) {
    log_.lines.clear();
    std::string buf = c.in;
    int32_t length = static_cast<int32_t>(buf.size());
    EXPECT_EQ(BRXMLParser__unescape(buf.data(), &length), c.result) << c.in;
    EXPECT_EQ(std::string(buf.c_str()), c.out) << c.in;
    EXPECT_EQ(length, static_cast<int32_t>(strlen(c.out))) << c.in;
    EXPECT_EQ(log_.lines.size(), c.logLines) << c.in;
  }
  log_.lines.clear();
  std::string buf = "x&foo;y";
  int32_t length = 7;
  BRXMLParser__unescape(buf.data(), &length);
  ASSERT_EQ(log_.lines.size(), 1u);
  EXPECT_EQ(log_.lines[0], "BRXML|2|UNHANDLED ESCAPE SEQUENCE: 5 at &foo;\n");
}
