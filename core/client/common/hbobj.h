// hbobj: the base interface of every framework object and the hbtype_t tags.
//
// Objects are reference counted: created with a count of 1 owned by the
// creator; a reference received through an out-parameter is owned by the
// receiver. Counts change atomically, so references may be taken and dropped
// on any thread. HBRef is the scope holder used inside modules.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "brerror.h"

typedef uint32_t hbtype_t;

// Public interface ids.
constexpr hbtype_t HBTYPE_IID_IHBOBJ = 0x10000000;
constexpr hbtype_t HBTYPE_IID_IHBMAP = 0x10000001;
constexpr hbtype_t HBTYPE_IID_IHBITER = 0x10000002;
constexpr hbtype_t HBTYPE_IID_IHBSTREAM = 0x10000003;
constexpr hbtype_t HBTYPE_IID_IHBSTR = 0x10000008;
constexpr hbtype_t HBTYPE_IID_IHBHTTPCONNPOOL = 0x1000000a;
constexpr hbtype_t HBTYPE_IID_IHBFILESTREAM = 0x1000000c;
constexpr hbtype_t HBTYPE_IID_IHBSEEKABLESTREAM = 0x1000000d;
constexpr hbtype_t HBTYPE_IID_IHBNAMEDARGUMENT = 0x1000000e;
constexpr hbtype_t HBTYPE_IID_IHBRPCSERIALIZABLE = 0x10000011;
constexpr hbtype_t HBTYPE_IID_IHBRPCARGUMENTVALUE = 0x10000018;
constexpr hbtype_t HBTYPE_IID_IHBURI = 0x10000028;
constexpr hbtype_t HBTYPE_IID_IHBURL = 0x10000029;
constexpr hbtype_t HBTYPE_IID_IHBMETADATAFILE = 0x10000043;
constexpr hbtype_t HBTYPE_IID_IHBVFS = 0x10000050;
constexpr hbtype_t HBTYPE_IID_IHBVFSRPC = 0x10000054;

// Secondary interfaces a class offers beside its main one.
constexpr hbtype_t HBTYPE_IID_IHBSTREAMSPACEALLOC = 0x30000005;
constexpr hbtype_t HBTYPE_IID_IHBPOSIXFILESTREAM = 0x3000000c;
constexpr hbtype_t HBTYPE_IID_IHBVFSRPCMETADATA = 0x3000000e;

// Class ids: answered only by objects of exactly that class.
constexpr hbtype_t HBTYPE_CID_HBMAP = 0x38000002;
constexpr hbtype_t HBTYPE_CID_HBLISTITERATOR = 0x38000003;

// Plain values, stored in the value slot itself and carrying no reference.
// Tags from 0x40008000 upward hold numbers (and may be 0); lower ones hold
// pointers.
constexpr hbtype_t HBTYPE_PLAIN_BIT = 0x40000000;
constexpr hbtype_t HBTYPE_NULL = 0x40000000;
constexpr hbtype_t HBTYPE_STRING = 0x40000001;
constexpr hbtype_t HBTYPE_UUID = 0x40000002;
constexpr hbtype_t HBTYPE_INT = 0x40008000;
constexpr hbtype_t HBTYPE_INT32 = 0x4000c000;

// In a request: whatever is stored; the callee writes the stored tag back.
constexpr hbtype_t HBTYPE_ANY = 0xFFFFFFFF;

inline bool hbtype__isPlain(hbtype_t type) {
  return type != HBTYPE_ANY && (type & HBTYPE_PLAIN_BIT) != 0;
}

class IHBObj {
 public:
  virtual int32_t upref() = 0;
  // Destroys the object when the count reaches 0; returns the new count.
  virtual int32_t dnref() = 0;
  // Stores the interface `id` in *out with one new reference (0), or
  // returns -3 and leaves *out unchanged.
  virtual brerror_t getifc(hbtype_t id, void **out) = 0;

 protected:
  virtual ~IHBObj() = default;
};

// The atomic count of a concrete object. `release()` returns the new count;
// the owner deletes itself when it reaches 0.
class HBRefCount {
 public:
  int32_t retain() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t release() { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  int32_t get() const { return count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> count_{1};
};

// Holds one reference and drops it on scope exit.
template <typename T>
class HBRef {
 public:
  HBRef() = default;
  explicit HBRef(T *adopted) : ptr_(adopted) {}
  HBRef(const HBRef &) = delete;
  HBRef &operator=(const HBRef &) = delete;
  HBRef(HBRef &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  HBRef &operator=(HBRef &&other) noexcept {
    if (this != &other) reset(std::exchange(other.ptr_, nullptr));
    return *this;
  }
  ~HBRef() { reset(); }

  void reset(T *adopted = nullptr) {
    if (ptr_) ptr_->dnref();
    ptr_ = adopted;
  }
  // For out-parameters: HBFoo__new(ref.out(), ...).
  T **out() {
    reset();
    return &ptr_;
  }
  T *release() { return std::exchange(ptr_, nullptr); }
  T *get() const { return ptr_; }
  T *operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  T *ptr_ = nullptr;
};
