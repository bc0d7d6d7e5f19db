// hbproperties: the process-wide configuration store.
//
// HBProperties is the abstract store; values are UTF-8 texts, integer forms
// are converted at the edges. HBProperties__setInstance installs the one
// process-wide store (taking a reference, dropping the previous one);
// creating a store never installs it. The instance pointer is guarded by a
// mutex; stores themselves are safe to use from several threads.
#pragma once

#include <cstdint>

#include "hbobj.h"

class HBProperties : public IHBObj {
 public:
  // The value's length in bytes (copy cut to size - 1 and NUL-terminated;
  // a null buffer copies nothing); -1 when it cannot be converted, -3 when
  // neither a stored value nor a default exists.
  virtual brerror_t getProperty(const char *name, char *buffer, int32_t size) = 0;
  // A null value removes the stored value; a null name gives -1.
  virtual brerror_t putProperty(const char *name, const char *value) = 0;
  // Base detection: "0x" hexadecimal, a leading "0" octal. -1 when the text
  // is not a number of the type; the read's error is passed on.
  virtual brerror_t getPropertyInt(const char *name, int32_t *out);
  virtual brerror_t putPropertyInt(const char *name, int32_t value);
  virtual brerror_t getPropertyInt64(const char *name, int64_t *out);
  virtual brerror_t putPropertyInt64(const char *name, int64_t value);
};

// One (name, value) default; a table ends with a null name.
struct HBPropertyDefault {
  const char *name;
  const char *value;
};

brerror_t HBProperties__setInstance(HBProperties *store);
// One reference on the instance, or -3 when none is installed.
brerror_t HBProperties__getInstance(HBProperties **out);
// getProperty on the instance, or -3 when none is installed.
brerror_t HBProperites__getProperty(const char *name, char *buffer, int32_t size);
