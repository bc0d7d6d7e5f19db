// soap.h - SOAP 1.1 requests in, SOAP 1.1 replies and faults out.
//
// The request form is what the client writes: an envelope whose body holds one
// element named after the method, with one child per argument (texts marked
// xsi:type="xsd:string", maps and lists as nested elements). Replies are the
// method's "<method>Response" element with one child per result; lists hold one
// element per item. Pure functions, safe from any thread.
#pragma once

#include <string>

#include "value.h"

namespace kxcloud {

// Parses a request body. On success fills the method (namespace prefix
// dropped) and the arguments in document order. A nested element becomes a
// map of its children; a text keeps its blanks only when typed xsd:string.
bool soap_parse_request(const std::string &body, std::string *method, Args *args,
                        std::string *error);

// The reply envelope for a successful call; `result` is a map.
std::string soap_write_reply(const std::string &method, const Value &result);

// The fault envelope: a SOAP Fault whose detail is the QXError element with
// "errorCode", "errorDescription" and "errorContext".
std::string soap_write_fault(int code, const std::string &description,
                             const std::string &context);

// XML text escaping, also used by the sign-in page.
void xml_escape(std::string *out, const std::string &text);

}  // namespace kxcloud
