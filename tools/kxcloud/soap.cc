#include "soap.h"

#include <pugixml.hpp>

#include <cstring>

namespace kxcloud {
namespace {

const char *local_name(const char *name) {
  const char *colon = std::strchr(name, ':');
  return colon ? colon + 1 : name;
}

bool has_element_children(const pugi::xml_node &node) {
  for (auto c = node.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element) return true;
  return false;
}

std::string trim(const std::string &s) {
  const char *ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

bool typed_string(const pugi::xml_node &node) {
  for (auto a = node.first_attribute(); a; a = a.next_attribute())
    if (std::strcmp(local_name(a.name()), "type") == 0)
      return std::strcmp(local_name(a.value()), "string") == 0;
  return false;
}

Value element_value(const pugi::xml_node &node, int depth) {
  if (depth < 32 && has_element_children(node)) {
    Value m = Value::map();
    for (auto c = node.first_child(); c; c = c.next_sibling())
      if (c.type() == pugi::node_element)
        m.entries.emplace_back(local_name(c.name()), element_value(c, depth + 1));
    return m;
  }
  std::string text;
  for (auto c = node.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) text += c.value();
  return Value(typed_string(node) ? text : trim(text));
}

// A list item element is named after the list, singular ("files" -> "file").
std::string item_name(const std::string &list_name) {
  if (list_name.size() > 1 && list_name.back() == 's')
    return list_name.substr(0, list_name.size() - 1);
  return "item";
}

void write_value(std::string *out, const std::string &name, const Value &v) {
  switch (v.kind) {
    case Value::Kind::Text:
      *out += '<' + name + " xsi:type=\"xsd:string\">";
      xml_escape(out, v.text);
      *out += "</" + name + '>';
      break;
    case Value::Kind::Map:
      *out += '<' + name + '>';
      for (auto &e : v.entries) write_value(out, e.first, e.second);
      *out += "</" + name + '>';
      break;
    case Value::Kind::List: {
      *out += '<' + name + '>';
      std::string item = item_name(name);
      for (auto &i : v.items) write_value(out, item, i);
      *out += "</" + name + '>';
      break;
    }
  }
}

const char kEnvelopeStart[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body>";
const char kEnvelopeEnd[] = "</soapenv:Body></soapenv:Envelope>";

}  // namespace

void xml_escape(std::string *out, const std::string &text) {
  for (unsigned char c : text) {
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      case '\'': *out += "&apos;"; break;
      default:
        // Control characters cannot appear raw in XML; a character reference
        // keeps names that hold them intact for parsers that accept it.
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          *out += "&#" + std::to_string(c) + ';';
        } else {
          *out += static_cast<char>(c);
        }
    }
  }
}

bool soap_parse_request(const std::string &body, std::string *method, Args *args,
                        std::string *error) {
  pugi::xml_document doc;
  pugi::xml_parse_result r = doc.load_buffer(body.data(), body.size(),
                                             pugi::parse_default | pugi::parse_ws_pcdata_single);
  if (!r) {
    *error = std::string("malformed XML: ") + r.description();
    return false;
  }
  pugi::xml_node env = doc.document_element();
  if (std::strcmp(local_name(env.name()), "Envelope") != 0) {
    *error = "no SOAP envelope";
    return false;
  }
  pugi::xml_node bodyel;
  for (auto c = env.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && std::strcmp(local_name(c.name()), "Body") == 0) bodyel = c;
  pugi::xml_node call;
  for (auto c = bodyel.first_child(); c && !call; c = c.next_sibling())
    if (c.type() == pugi::node_element) call = c;
  if (!call) {
    *error = "no method element in the SOAP body";
    return false;
  }
  *method = local_name(call.name());
  args->clear();
  for (auto c = call.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element) args->emplace_back(local_name(c.name()), element_value(c, 1));
  return true;
}

std::string soap_write_reply(const std::string &method, const Value &result) {
  std::string out(kEnvelopeStart);
  out += '<' + method + "Response>";
  for (auto &e : result.entries) write_value(&out, e.first, e.second);
  out += "</" + method + "Response>";
  out += kEnvelopeEnd;
  return out;
}

std::string soap_write_fault(int code, const std::string &description,
                             const std::string &context) {
  std::string out(kEnvelopeStart);
  out += "<soapenv:Fault><faultcode>soapenv:Server</faultcode><faultstring>";
  xml_escape(&out, description);
  out += "</faultstring><detail><QXError><errorCode>" + std::to_string(code) +
         "</errorCode><errorDescription>";
  xml_escape(&out, description);
  out += "</errorDescription><errorContext>";
  xml_escape(&out, context);
  out += "</errorContext></QXError></detail></soapenv:Fault>";
  out += kEnvelopeEnd;
  return out;
}

}  // namespace kxcloud
