// hblistiter: the iterator interface IHBIter, the named-argument interface,
// the getifc helper its implementers share, and the two list iterators.
//
// HBListIterator walks a brlist of elements of one hbtype_t; with a name it
// is how a named array travels as an RPC argument. When it owns its list it
// holds one reference on each object element (or frees plain elements that
// are heap blocks, with HBLISTITER_FREE_PLAIN) and frees the list.
// HBObjIter walks a private list of objects or strings, or one wrapped
// object or string.
//
// getNext ends with -7 and stays at the end. Iterators are not locked: one
// thread at a time; their counts are atomic. Object elements are stored as
// their interface pointer (each interface derives singly from IHBObj).
#pragma once

#include <cstdint>

#include "brlist.h"
#include "hbobj.h"

class IHBIter : public IHBObj {
 public:
  // *type HBTYPE_ANY (or a null type) takes whatever is stored and writes
  // the tag back. Object values come with one new reference. With a null
  // `out` the iterator only advances.
  virtual brerror_t getNext(hbtype_t *type, void **out) = 0;
  // Up to `count` getNext calls: the number obtained, or the first call's
  // error when none was.
  virtual brerror_t getManyNext(hbtype_t *types, void **outs, int count) = 0;
};

class IHBNamedArgument : public IHBObj {
 public:
  virtual const char *getNamedArgumentName() = 0;
};

// getifc of an object that is its `Main` interface and a named argument:
// IHBOBJ and `mainIid` answer `Main`, `classId` the object itself, and
// IHBNAMEDARGUMENT only while `name` is set. One reference on an answer;
// `out` is untouched on -3.
template <class Main, class Self>
brerror_t HBNamedArgument__getifc(Self *self, hbtype_t mainIid, hbtype_t classId, const char *name, hbtype_t id,
                                  void **out) {
  if (id == HBTYPE_IID_IHBOBJ || id == mainIid) {
    *out = static_cast<Main *>(self);
  } else if (id == classId) {
    *out = self;
  } else if (id == HBTYPE_IID_IHBNAMEDARGUMENT && name) {
    *out = static_cast<IHBNamedArgument *>(self);
  } else {
    return BRERROR_NO_ENTRY;
  }
  self->upref();
  return BRERROR_NONE;
}

// The count and the answers of an iterator that offers nothing beside
// IHBIter (the map's key iterator, HBObjIter): IHBOBJ and IHBITER.
class HBIterBase : public IHBIter {
 public:
  int32_t upref() override;
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;
  brerror_t getManyNext(hbtype_t *types, void **outs, int count) override;

 protected:
  ~HBIterBase() override = default;

 private:
  HBRefCount refs_;
};

// HBListIterator flags.
constexpr uint32_t HBLISTITER_OWNS_LIST = 0x1;
constexpr uint32_t HBLISTITER_FREE_PLAIN = 0x2;  // plain elements are malloc'ed blocks
constexpr uint32_t HBLISTITER_COPY_LIST = 0x4;   // objects only

class HBListIterator : public IHBIter, public IHBNamedArgument {
 public:
  // COPY_LIST copies the caller's list with one reference per element and
  // owns the copy (a plain element tag then aborts). Otherwise it uses the
  // caller's list, owning it only with OWNS_LIST; a null list becomes a new,
  // owned, empty one. The name is copied.
  HBListIterator(brlist_t *list, hbtype_t elementType, uint32_t flags, const char *name);

  int32_t upref() override;
  int32_t dnref() override;
  // IHBOBJ, IHBITER, CID_HBLISTITERATOR; IHBNAMEDARGUMENT only with a name.
  brerror_t getifc(hbtype_t id, void **out) override;
  // A plain element tag must be asked for exactly (else -6); object
  // elements go through getifc of the asked interface (a null element
  // gives null and 0). Advances in every case but the end.
  brerror_t getNext(hbtype_t *type, void **out) override;
  brerror_t getManyNext(hbtype_t *types, void **outs, int count) override;
  virtual brerror_t reset();
  const char *getNamedArgumentName() override { return name_; }

  // Appends with one reference; -6 unless the iterator owns its list.
  brerror_t appendChild(IHBObj *obj);
  hbtype_t getElementType() const { return elementType_; }

 protected:
  ~HBListIterator() override;

 private:
  friend void HBListIterator__logIteratorAt(const char *, int, HBListIterator *, int);

  HBRefCount refs_;
  brlist_t *list_ = nullptr;
  brlist__node_t *position_ = nullptr;
  hbtype_t elementType_;
  uint32_t flags_;
  char *name_ = nullptr;
};

// HBObjIter flags: with a list, take it over instead of copying; with one
// value, take over the caller's reference instead of adding one.
constexpr uint32_t HBOBJITER_ADOPT = 0x1;

// Copies the list (a reference per object element, a copy per
// HBTYPE_STRING element; any other plain tag logs "Unsupported
// object-iterator hbtype" and stops copying), or takes it over with
// HBOBJITER_ADOPT (then it must come from brlist__new). -19 when out of
// memory.
brerror_t HBObjIter__new(IHBIter **out, hbtype_t elementType, brlist_t *list, uint32_t flags);
// One object, or one string (copied).
brerror_t HBObjIter__newWithValue(IHBIter **out, hbtype_t elementType, void *value,
                                  uint32_t flags);

// Shared by the iterators: getNext up to `count` times.
brerror_t hbiter__getManyNext(IHBIter *iter, hbtype_t *types, void **outs, int count);
