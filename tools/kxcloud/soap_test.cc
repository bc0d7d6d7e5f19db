// SOAP requests as the client writes them, and the replies it decodes.
#include "soap.h"

#include <gtest/gtest.h>

namespace kxcloud {
namespace {

TEST(Soap, ParsesTheClientsRequestForm) {
  std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><soapenv:Envelope "
      "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body><createFile "
      "soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
      "<filename xsi:type=\"xsd:string\">  a &amp; b  </filename>"
      "<plain>  trimmed  </plain>"
      "<props><k>v</k><inner><x>1</x></inner></props>"
      "<tags><item>one</item><item>two</item></tags>"
      "<empty xsi:type=\"xsd:string\"></empty>"
      "</createFile></soapenv:Body></soapenv:Envelope>";
  std::string method, err;
  Args args;
  ASSERT_TRUE(soap_parse_request(body, &method, &args, &err)) << err;
  EXPECT_EQ(method, "createFile");
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(args[0].second.text, "  a & b  ");
  EXPECT_EQ(args[1].second.text, "trimmed");
  EXPECT_EQ(args[2].second.find("inner")->find("x")->text, "1");
  EXPECT_EQ(args[3].second.entries.size(), 2u);
  EXPECT_EQ(args[4].second.text, "");
}

TEST(Soap, RefusesWhatIsNotARequest) {
  std::string method, err;
  Args args;
  for (std::string bad : {"", "<a>", "<x/>", "<Envelope><Body/></Envelope>"})
    EXPECT_FALSE(soap_parse_request(bad, &method, &args, &err)) << bad;
}

TEST(Soap, RepliesNameTheResponseAndHoldListItems) {
  Value r = Value::map();
  Value &l = r.set("files", Value::list());
  Value f = Value::map();
  f.set("name", " <x> ");
  l.items.push_back(f);
  l.items.push_back(f);
  std::string xml = soap_write_reply("listFiles", r);
  EXPECT_NE(xml.find("<listFilesResponse><files><file><name xsi:type=\"xsd:string\"> &lt;x&gt; "
                     "</name></file><file>"),
            std::string::npos)
      << xml;
  std::string fault = soap_write_fault(808, "File Exists", "a\x01");
  EXPECT_NE(fault.find("<QXError><errorCode>808</errorCode><errorDescription>File Exists"
                       "</errorDescription><errorContext>a&#1;</errorContext></QXError>"),
            std::string::npos)
      << fault;
}

}  // namespace
}  // namespace kxcloud
