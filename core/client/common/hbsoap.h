// hbsoap: the SOAP 1.1 form of an RPC request: the argument and type-list
// records shared by both encodings, the request headers, and the writer of
// the request body.
//
// The body goes out through a 4,096-byte buffer, so a chunked HTTP body
// leaves in chunks of at most 4,096 bytes. Argument values are logged under
// "SOAP" at debug level with secrets masked. The writer takes no reference
// on the arguments; list arguments that are HBListIterators are rewound
// after being written so that the caller may read them again. Stateless:
// any thread may write, one request per call.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "hbobj.h"
#include "hbstream.h"

// One argument of a call: a text (type HBTYPE_STRING, or 0), an IHBMap
// (HBTYPE_IID_IHBMAP) or an IHBIter (HBTYPE_IID_IHBITER). Entries of other
// kinds are skipped.
struct HBSoapArg_s {
  const char *name;
  const void *value;
  hbtype_t type;
};

// One entry of a decoder type list, ended by a null name. Kind 1 marks an
// element whose value is always a list.
struct HBSoapType_s {
  const char *name;
  int kind;
};

constexpr int HBSOAP_TYPE_LIST = 1;

// Nesting of map and list arguments deeper than this is refused (-6).
constexpr int HBSOAP_MAX_DEPTH = 32;

// The request headers in the order they are sent, ended by a null name.
// "SoapAction" carries the method name, given here as null.
struct HBSoapHeader_s {
  const char *name;
  const char *value;
};
extern const HBSoapHeader_s HBSoap__requestHeaders[];

// Writes the envelope for `method` with the array arguments and then the
// name/value text pairs of `pairs` (up to a null name; may be null) to
// `out`. The bytes written, or the first write error; -6 for a nesting
// deeper than HBSOAP_MAX_DEPTH.
brerror_t HBSoap__writeRequestBody(IHBStream *out, const char *method, const HBSoapArg_s *args,
                                   int count, va_list *pairs);
