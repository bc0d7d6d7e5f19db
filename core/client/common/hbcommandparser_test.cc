#include "hbcommandparser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hbmap.h"
#include "hbrpc_testing.h"

using hbrpctest::Flat;
using hbrpctest::LogCapture;

namespace {

const HBSoapType_s kFilesList[] = {{"files", HBSOAP_TYPE_LIST}, {nullptr, 0}};

const char kEnvelope[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body>";
const char kEnvelopeEnd[] = "</soapenv:Body></soapenv:Envelope>";

std::string wrap(const std::string &inner) { return kEnvelope + inner + kEnvelopeEnd; }

struct Decoded {
  brerror_t parse = 0;   // first error of parseBuffer
  brerror_t finish = 0;  // finishParser
  Flat flat;
  int32_t leftInWindow = 0;
};

// Feeds `xml` through a 4,096-byte window in pieces of `piece` bytes, the
// way the transport does.
Decoded decode(const char *method, const std::string &xml, const HBSoapType_s *types = nullptr,
               size_t piece = 4096) {
  Decoded d;
  HBMap *map = new HBMap(nullptr, 4096, 4096, nullptr);
  HBCommandParserCore parser;
  EXPECT_EQ(parser.initParser(method, map, types), 0);
  char window[4096];
  int32_t fill = 0;
  size_t at = 0;
  while (at < xml.size() && d.parse == 0) {
    size_t n = std::min(piece, xml.size() - at);
    n = std::min(n, sizeof window - static_cast<size_t>(fill));
    if (n == 0) break;  // the window is full and nothing can be consumed
    memcpy(window + fill, xml.data() + at, n);
    at += n;
    fill += static_cast<int32_t>(n);
    d.parse = parser.parseBuffer(window, &fill);
  }
  d.leftInWindow = fill;
  d.finish = parser.finishParser();
  parser.cleanupParser();
  d.flat = hbrpctest::flatten(map);
  map->dnref();
  return d;
}

struct ListCase {
  const char *what;
  const char *body;
  const HBSoapType_s *types;
  Flat expected;
};

TEST(HBCommandParserTest, ListRulesShapeTheResult) {
  const ListCase cases[] = {
      {"one file with the type list is a list of one map",
       "<listFilesResponse><files><file><name xsi:type=\"xsd:string\">a.jpg</name>"
       "<size>12</size></file></files><count>1</count></listFilesResponse>",
       kFilesList,
       {{"files[0].name", "a.jpg"}, {"files[0].size", "12"}, {"count", "1"}}},
      {"one file without the type list is a map holding 'file'",
       "<listFilesResponse><files><file><name>a.jpg</name></file></files></listFilesResponse>",
       nullptr,
       {{"files.file.name", "a.jpg"}}},
      {"two files with the type list",
       "<listFilesResponse><files><file><name>a</name></file><file><name>b</name></file>"
       "</files></listFilesResponse>",
       kFilesList,
       {{"files[0].name", "a"}, {"files[1].name", "b"}}},
      {"two services at one level become a list of two maps",
       "<listFilesResponse><services><service><name>A</name></service>"
       "<service><name>B</name></service></services></listFilesResponse>",
       nullptr,
       {{"services.service[0].name", "A"}, {"services.service[1].name", "B"}}},
      {"a third repetition joins the same list",
       "<listFilesResponse><tag>a</tag><tag>b</tag><tag>c</tag></listFilesResponse>",
       nullptr,
       {{"tag[0]", "a"}, {"tag[1]", "b"}, {"tag[2]", "c"}}},
      {"'messages' lists its children whatever their names",
       "<listFilesResponse><messages><m>hi</m><x><a>1</a></x><m>yo</m></messages>"
       "</listFilesResponse>",
       nullptr,
       {{"messages[0]", "hi"}, {"messages[1].a", "1"}, {"messages[2]", "yo"}}},
      {"'features' lists its children too",
       "<listFilesResponse><features><f>thumbs</f></features></listFilesResponse>",
       nullptr,
       {{"features[0]", "thumbs"}}},
      {"typed strings keep blanks, others are trimmed, entities decoded",
       "<listFilesResponse><a xsi:type=\"xsd:string\">  a b </a><b>\n  c d \t</b>"
       "<c>&lt;x&amp;y&gt; &#233;</c></listFilesResponse>",
       nullptr,
       {{"a", "  a b "}, {"b", "c d"}, {"c", "<x&y> \xC3\xA9"}}},
      {"empty and blank elements store the empty text",
       "<listFilesResponse><a/><b></b><c>   </c></listFilesResponse>",
       nullptr,
       {{"a", ""}, {"b", ""}, {"c", ""}}},
      {"nothing outside the result is stored",
       "<header><x>1</x></header><listFilesResponse><y>2</y></listFilesResponse><z>3</z>",
       nullptr,
       {{"y", "2"}}},
  };
  for (const ListCase &c : cases) {
    Decoded d = decode("listFiles", wrap(c.body), c.types);
    EXPECT_EQ(d.finish, 0) << c.what;
    EXPECT_EQ(d.flat, c.expected) << c.what << "\n" << hbrpctest::show(d.flat);
  }
}

TEST(HBCommandParserTest, ResultElementMatchesMethodExactlyAndSuffixWithoutCase) {
  const struct {
    const char *element;
    bool starts;
  } cases[] = {
      {"getFileResponse", true}, {"getFileRESULT", true}, {"getFile", true},
      {"ns1:getFileresponse", true}, {"GetFileResponse", false}, {"getFileX", false},
      {"getFil", false},          {"getFileResponses", false},
  };
  for (const auto &c : cases) {
    std::string body = std::string("<") + c.element + "><fileid>7</fileid></" + c.element + ">";
    Decoded d = decode("getFile", wrap(body));
    EXPECT_EQ(d.flat.count("fileid") == 1, c.starts) << c.element;
  }
}

TEST(HBCommandParserTest, FaultDetailGivesErrorKeysAtTheTop) {
  for (const char *element : {"QXError", "VellooError"}) {
    std::string body = std::string(
                           "<soapenv:Fault><faultcode>soapenv:Server</faultcode>"
                           "<faultstring>No such service</faultstring><detail><") +
                       element +
                       "><errorCode>802</errorCode><errorDescription>No such service"
                       "</errorDescription><errorContext>svc 9</errorContext></" +
                       element + "></detail></soapenv:Fault>";
    Decoded d = decode("getService", wrap(body));
    EXPECT_EQ(d.finish, 0);
    EXPECT_EQ(d.flat, (Flat{{"errorCode", "802"},
                            {"errorDescription", "No such service"},
                            {"errorContext", "svc 9"}}))
        << element;
  }
}

// Any split of the reply into blocks decodes to the same result.
TEST(HBCommandParserTest, EverySplitDecodesTheSame) {
  std::string xml = wrap(
      "<listFilesResponse><files><file><name xsi:type=\"xsd:string\"> A &amp; B </name>"
      "<meta><w>640</w><h>480</h></meta></file><file><name>c</name></file></files>"
      "<count>2</count><tag>x</tag><tag>y</tag></listFilesResponse>");
  Decoded whole = decode("listFiles", xml, kFilesList);
  ASSERT_EQ(whole.finish, 0);
  ASSERT_EQ(whole.flat.size(), 7u) << hbrpctest::show(whole.flat);
  for (size_t piece = 1; piece < 40; piece++) {
    Decoded d = decode("listFiles", xml, kFilesList, piece);
    EXPECT_EQ(d.finish, 0) << piece;
    EXPECT_EQ(d.flat, whole.flat) << "pieces of " << piece;
  }
}

TEST(HBCommandParserTest, DeeplyNestedElementsAreSkippedAndSiblingsStillDecode) {
  LogCapture log;
  std::string open, close;
  for (int i = 0; i < 40; i++) {
    open += "<d" + std::to_string(i) + ">";
    close = "</d" + std::to_string(i) + ">" + close;
  }
  // The envelope, body and result take three of the 32 names.
  std::string xml = wrap("<getFileResponse>" + open + "deep" + close + "<after>ok</after>" +
                         "</getFileResponse>");
  Decoded d = decode("getFile", xml);
  EXPECT_EQ(d.finish, 0);
  EXPECT_EQ(d.flat.at("after"), "ok");
  std::string path = "d0";
  for (int i = 1; i < 29; i++) path += ".d" + std::to_string(i);
  EXPECT_EQ(d.flat.at(path), "") << hbrpctest::show(d.flat);
  EXPECT_EQ(d.flat.size(), 2u);
  EXPECT_TRUE(log.has("WOW That is a deeply nested xml fragment."));
}

TEST(HBCommandParserTest, MismatchedEndTagIsLoggedIgnoredAndReportedAtTheEnd) {
  LogCapture log;
  Decoded d = decode("getFile", wrap("<getFileResponse><a>1</b><c>2</c></a></getFileResponse>"));
  EXPECT_TRUE(log.has(" -- ACK We are in element: <a> but end tag is <b>"));
  // The stray end tag changed nothing: <c> became a child of <a>.
  EXPECT_EQ(d.flat, (Flat{{"a.c", "2"}}));
  EXPECT_EQ(d.finish, 0);

  Decoded unbalanced = decode("getFile", "<r><getFileResponse><a>1</a></x></r>");
  EXPECT_EQ(unbalanced.flat, (Flat{{"a", "1"}}));
  EXPECT_EQ(unbalanced.finish, BRERROR_INVALID_ARGUMENT);
}

TEST(HBCommandParserTest, BadRepliesEndWithAnErrorAndKeepWhatWasDecoded) {
  // Not XML at all.
  Decoded text = decode("getFile", "Internal Server Error");
  EXPECT_EQ(text.parse, BRERROR_UNSUPPORTED);
  EXPECT_EQ(text.finish, BRERROR_UNSUPPORTED);
  EXPECT_TRUE(text.flat.empty());

  // Cut short after one value.
  std::string full = wrap("<getFileResponse><a>1</a><b>2</b></getFileResponse>");
  Decoded cut = decode("getFile", full.substr(0, full.find("<b>") + 2));
  EXPECT_EQ(cut.parse, 0);
  EXPECT_EQ(cut.finish, BRERROR_EOF);
  EXPECT_EQ(cut.flat, (Flat{{"a", "1"}}));

  // An empty body is an empty result, not an error.
  Decoded empty = decode("getFile", "");
  EXPECT_EQ(empty.finish, 0);
  EXPECT_TRUE(empty.flat.empty());
}

TEST(HBCommandParserTest, EnormousRepliesStopAtTheLimits) {
  // One text longer than the per-element limit.
  std::string huge = wrap("<getFileResponse><a>1</a><b>" + std::string(HBCMD_MAX_TEXT + 10, 'x') +
                          "</b></getFileResponse>");
  Decoded text = decode("getFile", huge);
  EXPECT_EQ(text.parse, BRERROR_NO_SPACE);
  EXPECT_EQ(text.finish, BRERROR_NO_SPACE);
  EXPECT_EQ(text.flat, (Flat{{"a", "1"}}));

  // Endless repetitions: the stored result stops growing at its limit.
  std::string many = std::string(kEnvelope) + "<getFileResponse>";
  std::string item = "<v>" + std::string(1000, 'y') + "</v>";
  while (many.size() < static_cast<size_t>(HBCMD_MAX_RESULT) + 100000) many += item;
  Decoded big = decode("getFile", many);
  EXPECT_EQ(big.parse, BRERROR_NO_SPACE);
  EXPECT_GT(big.flat.size(), 1000u);
  EXPECT_LT(big.flat.size() * 1000, static_cast<size_t>(HBCMD_MAX_RESULT));
}

TEST(HBCommandParserTest, TagLargerThanTheWindowIsNotConsumed) {
  std::string xml = wrap("<getFileResponse><a" + std::string(5000, ' ') + "x=\"1\">1</a>" +
                         "</getFileResponse>");
  Decoded d = decode("getFile", xml);
  EXPECT_EQ(d.leftInWindow, 4096);
  EXPECT_EQ(d.finish, BRERROR_EOF);
}

TEST(HBCommandParserTest, FaultTextFormatsAndEscapes) {
  char text[512];
  int32_t n = HBCommandParser__faultText(text, sizeof text, 808, "File Exists", "a/b", " (x)");
  EXPECT_STREQ(text,
               "<QXError><errorCode>808</errorCode><errorDescription>File Exists"
               "</errorDescription><errorContext>a/b (x)</errorContext></QXError>");
  EXPECT_EQ(n, static_cast<int32_t>(strlen(text)));

  HBCommandParser__faultText(text, sizeof text, 400, nullptr, nullptr, nullptr);
  EXPECT_STREQ(text,
               "<QXError><errorCode>400</errorCode><errorDescription>Unknown Error"
               "</errorDescription><errorContext></errorContext></QXError>");

  HBCommandParser__faultText(text, sizeof text, 1, "a<b&c", "\"q\"", nullptr);
  EXPECT_NE(strstr(text, "a&lt;b&amp;c"), nullptr);
  EXPECT_NE(strstr(text, "&quot;q&quot;"), nullptr);

  // Measuring and a short buffer give the full length.
  int32_t full = HBCommandParser__faultText(nullptr, 0, 808, "File Exists", "", "");
  char small[10];
  EXPECT_EQ(HBCommandParser__faultText(small, sizeof small, 808, "File Exists", "", ""), full);
  EXPECT_STREQ(small, "<QXError>");
}

}  // namespace
