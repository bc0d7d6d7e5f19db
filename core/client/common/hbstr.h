// hbstr: the string objects. IHBStr gives the text; HBStr also answers
// IHBRPCArgumentValue, so a string object can stand as an RPC argument.
//
// HBStrStatic wraps text that outlives it (literals) and ignores reference
// counting; HBStrHeap owns a heap copy (or a heap string it adopts);
// HBStrSA copies into an HBStringAllocator and keeps it alive. The others
// start with a count of 1 and delete themselves at 0 (create them with
// new (std::nothrow)). Counts are atomic; the text never changes.
#pragma once

#include <sys/types.h>

#include "hbobj.h"

class HBStringAllocator;

class IHBStr : public IHBObj {
 public:
  virtual const char *getString() = 0;
};

class IHBRPCArgumentValue : public IHBObj {
 public:
  // *type HBTYPE_ANY is replaced by the value's tag; an unsupported tag
  // gives -6. *out receives the value (no reference for plain values).
  virtual brerror_t getRPCArgumentValue(hbtype_t *type, void **out) = 0;
};

class HBStr : public IHBStr, public IHBRPCArgumentValue {
 public:
  int32_t upref() override;
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;
  const char *getString() override { return text_; }
  // Gives the text as HBTYPE_STRING.
  brerror_t getRPCArgumentValue(hbtype_t *type, void **out) override;

 protected:
  explicit HBStr(const char *text) : text_(text) {}
  ~HBStr() override = default;

  HBRefCount refs_;
  const char *text_;
};

class HBStrStatic : public HBStr {
 public:
  explicit HBStrStatic(const char *text) : HBStr(text) {}
  ~HBStrStatic() override = default;
  int32_t upref() override { return 1; }
  int32_t dnref() override { return 1; }
};

class HBStrHeap : public HBStr {
 public:
  // Copies the text; a null text (or a failed copy) stays null.
  explicit HBStrHeap(const char *text);
  // Takes over a malloc'ed string. Null when the object cannot be had (the
  // string is then freed).
  static HBStrHeap *wrapAllocatedString(char *text);

 protected:
  ~HBStrHeap() override;

 private:
  struct Adopt {};
  HBStrHeap(char *text, Adopt) : HBStr(text) {}
};

class HBStrSA : public HBStr {
 public:
  // Copies `len` bytes (up to the NUL when len < 0) into the allocator and
  // holds one allocator reference until destroyed.
  HBStrSA(HBStringAllocator *allocator, const char *text, ssize_t len);

 protected:
  ~HBStrSA() override;

 private:
  HBStringAllocator *allocator_;
};
