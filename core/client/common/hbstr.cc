#include "hbstr.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "hbstralloc.h"

int32_t HBStr::upref() { return refs_.retain(); }

int32_t HBStr::dnref() {
  int32_t count = refs_.release();
  if (count == 0) delete this;
  return count;
}

brerror_t HBStr::getifc(hbtype_t id, void **out) {
  switch (id) {
    case HBTYPE_IID_IHBOBJ:
    case HBTYPE_IID_IHBSTR:
      *out = static_cast<IHBStr *>(this);
      break;
    case HBTYPE_IID_IHBRPCARGUMENTVALUE:
      *out = static_cast<IHBRPCArgumentValue *>(this);
      break;
    default:
      return BRERROR_NO_ENTRY;
  }
  upref();
  return BRERROR_NONE;
}

brerror_t HBStr::getRPCArgumentValue(hbtype_t *type, void **out) {
  if (*type == HBTYPE_ANY) *type = HBTYPE_STRING;
  if (*type != HBTYPE_STRING) return BRERROR_INVALID_ARGUMENT;
  *out = const_cast<char *>(text_);
  return BRERROR_NONE;
}

HBStrHeap::HBStrHeap(const char *text) : HBStr(text ? strdup(text) : nullptr) {}

HBStrHeap *HBStrHeap::wrapAllocatedString(char *text) {
  auto *str = new (std::nothrow) HBStrHeap(text, Adopt{});
  if (!str) free(text);
  return str;
}

HBStrHeap::~HBStrHeap() { free(const_cast<char *>(text_)); }

HBStrSA::HBStrSA(HBStringAllocator *allocator, const char *text, ssize_t len)
    : HBStr(allocator->adoptString(text, len)), allocator_(allocator) {
  allocator_->saupref();
}

HBStrSA::~HBStrSA() { allocator_->sadnref(); }
