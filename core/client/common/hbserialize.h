// hbserialize: the interface of objects that travel as an RPC record (file
// metadata, transfer tasks), and the text helpers their field functions use.
//
// A serializable object describes itself by a field table; each field is
// read either as text (plain types) or as an object (other types). The
// helpers write like snprintf: at most size - 1 bytes plus a NUL, and return
// the full length of the text; a null buffer only measures. They keep no
// state and may be called from any thread.
#pragma once

#include <cstdint>

#include "hbobj.h"

// One entry of a field table; the table ends with a null name.
struct HBRPCSerializableField_s {
  const char *name;
  hbtype_t type;
};

class IHBRPCSerializable : public IHBObj {
 public:
  virtual const HBRPCSerializableField_s *getRPCFieldTable() = 0;
  // The text form of a field with a plain type, like the helpers below: the
  // full length, or a negative error.
  virtual brerror_t getRPCFieldText(int index, char *buffer, int32_t size) = 0;
  // The value of a field with an object type, as HBRPCSerialize__objectHelper
  // hands it out (one reference owned by the caller).
  virtual brerror_t getRPCFieldObject(int index, hbtype_t iid, void **out) = 0;
};

int32_t HBRPCSerialize__intHelper(char *buffer, int32_t size, int32_t value);
int32_t HBRPCSerialize__int64Helper(char *buffer, int32_t size, int64_t value);
int32_t HBRPCSerialize__sprintfHelper(char *buffer, int32_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// A null text is the empty text.
int32_t HBRPCSerialize__stringHelper(char *buffer, int32_t size, const char *text);
// `iid` HBTYPE_ANY (-1): the object itself with a new reference; otherwise
// the object's getifc(iid). -3 for a null object.
brerror_t HBRPCSerialize__objectHelper(IHBObj *object, hbtype_t iid, void **out);

// The form of an argument value fit for a log line: "XXXXXXXXXXXX" for a
// name holding "password", the first 4 characters and "…" for a name
// holding "token" (any case), else the value itself (null shows as "").
// The result is `value` or `scratch` (at least 16 bytes).
const char *HBRPCSerialize__loggedValue(const char *name, const char *value, char *scratch,
                                        int32_t size);
