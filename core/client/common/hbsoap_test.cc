#include "hbsoap.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <cstring>
#include <string>
#include <vector>

#include "hblistiter.h"
#include "hbmap.h"
#include "hbrpc_testing.h"
#include "hbstr.h"

using hbrpctest::LogCapture;

namespace {

// Records every write, so that tests see the body and how it was cut.
class RecordingStream : public IHBStream {
 public:
  int32_t upref() override { return 1; }
  int32_t dnref() override { return 1; }
  brerror_t getifc(hbtype_t, void **) override { return BRERROR_NO_ENTRY; }
  brerror_t read(void *, int32_t) override { return BRERROR_NOT_IMPLEMENTED; }
  brerror_t write(const void *data, int32_t size) override {
    if (failAfter >= 0 && static_cast<int>(writes.size()) >= failAfter) return BRERROR_CONNECTION_RESET;
    body.append(static_cast<const char *>(data), static_cast<size_t>(size));
    writes.push_back(size);
    return size;
  }
  int64_t seek(int64_t, int) override { return BRERROR_NOT_IMPLEMENTED; }
  brerror_t sync() override { return 0; }
  brerror_t close() override { return 0; }
  int64_t sendTo(IHBStream *, int64_t) override { return BRERROR_NOT_IMPLEMENTED; }

  std::string body;
  std::vector<int32_t> writes;
  int failAfter = -1;
};

std::string write(const char *method, const HBSoapArg_s *args, int count) {
  RecordingStream out;
  brerror_t rc = HBSoap__writeRequestBody(&out, method, args, count, nullptr);
  EXPECT_EQ(rc, static_cast<brerror_t>(out.body.size()));
  return out.body;
}

std::string writePairs(const char *method, ...) {
  va_list list;
  va_start(list, method);
  RecordingStream out;
  HBSoapArg_s first = {"first", "1", HBTYPE_STRING};
  HBSoap__writeRequestBody(&out, method, &first, 1, &list);
  va_end(list);
  return out.body;
}

TEST(HBSoapTest, HeadersGoInOrder) {
  const char *names[] = {"SoapAction", "Content-Type", "Transfer-Encoding"};
  for (int i = 0; i < 3; i++) EXPECT_STREQ(HBSoap__requestHeaders[i].name, names[i]);
  EXPECT_STREQ(HBSoap__requestHeaders[1].value, "text/xml; charset=\"utf-8\"");
  EXPECT_STREQ(HBSoap__requestHeaders[2].value, "chunked");
  EXPECT_EQ(HBSoap__requestHeaders[3].name, nullptr);
}

TEST(HBSoapTest, EnvelopeWithTextArgumentsIsExact) {
  HBSoapArg_s args[] = {{"valtoken", "demo-token", HBTYPE_STRING},
                        {"filename", "a<b>&\"c\"", 0},
                        {"empty", nullptr, HBTYPE_STRING}};
  EXPECT_EQ(write("getFile", args, 3),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>"
            "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
            " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
            " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
            "<soapenv:Body>"
            "<getFile soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
            "<valtoken xsi:type=\"xsd:string\">demo-token</valtoken>"
            "<filename xsi:type=\"xsd:string\">a&lt;b&gt;&amp;&quot;c&quot;</filename>"
            "<empty xsi:type=\"xsd:string\"></empty>"
            "</getFile></soapenv:Body></soapenv:Envelope>");
  EXPECT_EQ(writePairs("getUser", "valtoken", "t", "x", nullptr, nullptr),
            std::string(write("getUser", nullptr, 0))
                .replace(std::string(write("getUser", nullptr, 0)).find("</getUser>"), 0,
                         "<first xsi:type=\"xsd:string\">1</first>"
                         "<valtoken xsi:type=\"xsd:string\">t</valtoken>"
                         "<x xsi:type=\"xsd:string\"></x>"));
}

// A list of objects that answers no interface the writer knows.
class Opaque : public IHBObj {
 public:
  int32_t upref() override { return 1; }
  int32_t dnref() override { return 1; }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ) return BRERROR_NO_ENTRY;
    *out = this;
    return 0;
  }
};

TEST(HBSoapTest, MapAndListArgumentsNest) {
  LogCapture log;
  HBRef<HBMap> props(new HBMap(nullptr, 4096, 4096, nullptr));
  props->setAtKey("mimetype", "image/jpeg", 0);
  HBRef<HBMap> inner(props->createChild(nullptr));
  inner->setAtKey("w", "640", 0);
  props->setAtKey("dims", HBTYPE_IID_IHBMAP, static_cast<IHBMap *>(inner.get()), 0);
  HBRef<HBListIterator> tags(new HBListIterator(nullptr, HBTYPE_IID_IHBOBJ, HBLISTITER_OWNS_LIST, "tag"));
  HBRef<HBStrHeap> t1(new HBStrHeap("sea & sun"));
  tags->appendChild(static_cast<IHBStr *>(t1.get()));
  tags->reset();
  props->setAtKey("tags", HBTYPE_IID_IHBITER, static_cast<IHBIter *>(tags.get()), 0);

  HBRef<HBListIterator> items(new HBListIterator(nullptr, HBTYPE_IID_IHBOBJ, HBLISTITER_OWNS_LIST, nullptr));
  HBRef<HBStrHeap> text(new HBStrHeap("x"));
  items->appendChild(static_cast<IHBStr *>(text.get()));
  items->appendChild(static_cast<IHBMap *>(inner.get()));
  static Opaque opaque;  // outlives the list that refers to it
  items->appendChild(&opaque);
  items->reset();

  HBSoapArg_s args[] = {{"props", static_cast<IHBMap *>(props.get()), HBTYPE_IID_IHBMAP},
                        {"items", static_cast<IHBIter *>(items.get()), HBTYPE_IID_IHBITER},
                        {"number", reinterpret_cast<void *>(1), HBTYPE_INT32}};
  std::string body = write("createFile", args, 3);
  EXPECT_NE(body.find("<props><dims><w>640</w></dims><mimetype>image/jpeg</mimetype>"
                      "<tags><tag>sea &amp; sun</tag></tags></props>"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("<items><item>x</item><item><w>640</w></item>"
                      "<item>___OPAQUE___</item></items>"),
            std::string::npos)
      << body;
  EXPECT_EQ(body.find("number"), std::string::npos);
  EXPECT_TRUE(log.has("XML TAG WITHOUT NAME -- USING 'item'"));
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(body.c_str()));
  // The list was rewound: it can be sent again.
  EXPECT_EQ(write("createFile", args, 3), body);
}

TEST(HBSoapTest, SecretsAreMaskedInTheLog) {
  LogCapture log;
  HBSoapArg_s args[] = {{"password", "hunter2", HBTYPE_STRING}};
  std::string body = write("loginUser", args, 1);
  EXPECT_NE(body.find(">hunter2<"), std::string::npos);
  EXPECT_TRUE(log.has("      'password' -> 'XXXXXXXXXXXX'")) << log.all();
  HBSoapArg_s token[] = {{"valtoken", "abcdefgh", HBTYPE_STRING}, {"email", "a@b.c", 0}};
  write("getUser", token, 2);
  EXPECT_TRUE(log.has("      'valtoken' -> 'abcd\xE2\x80\xA6'"));
  EXPECT_TRUE(log.has("      'email' -> 'a@b.c'"));
  EXPECT_EQ(log.all().find("hunter2"), std::string::npos);
  EXPECT_EQ(log.all().find("abcdefgh"), std::string::npos);
}

TEST(HBSoapTest, BodyLeavesInPiecesOfAtMost4096Bytes) {
  std::string big(10000, 'v');
  HBSoapArg_s args[] = {{"data", big.c_str(), HBTYPE_STRING}};
  RecordingStream out;
  ASSERT_GT(HBSoap__writeRequestBody(&out, "updateFile", args, 1, nullptr), 10000);
  ASSERT_EQ(out.writes.size(), 3u);
  EXPECT_EQ(out.writes[0], 4096);
  EXPECT_EQ(out.writes[1], 4096);
  EXPECT_LT(out.writes[2], 4096);

  RecordingStream failing;
  failing.failAfter = 1;
  EXPECT_EQ(HBSoap__writeRequestBody(&failing, "updateFile", args, 1, nullptr),
            BRERROR_CONNECTION_RESET);
}

TEST(HBSoapTest, SelfContainingMapIsRefused) {
  HBRef<HBMap> map(new HBMap(nullptr, 4096, 4096, nullptr));
  HBRef<HBMap> child(map->createChild(nullptr));
  child->setAtKey("loop", HBTYPE_IID_IHBMAP, static_cast<IHBMap *>(map.get()), 0);
  map->setAtKey("child", HBTYPE_IID_IHBMAP, static_cast<IHBMap *>(child.get()), 0);
  HBSoapArg_s args[] = {{"m", static_cast<IHBMap *>(map.get()), HBTYPE_IID_IHBMAP}};
  RecordingStream out;
  EXPECT_EQ(HBSoap__writeRequestBody(&out, "x", args, 1, nullptr), BRERROR_INVALID_ARGUMENT);
  // Break the cycle so that both maps are freed.
  child->removeAtKey("loop");
}

}  // namespace
