// hbmap: IHBMap, the typed string-keyed map interface, and HBMap, the map
// that carries RPC arguments and results, parsed JSON, settings and task
// records.
//
// An HBMap keeps its entries in a red-black tree ordered by strcmp of the
// keys, and optionally (HBMAP_FLAG_INSERTION_ORDER) in a list in insertion
// order; replacing a key moves it to the end of that order. Entries, keys,
// string values and tree and list nodes come from the map's
// HBStringAllocator arena (its own, or one shared with child maps). The map
// holds one reference on each object value, on its reference parent and on
// a shared arena. A pointer from getStringAtKey or a raw entry stays valid
// until the entry is replaced or removed or the map is flushed. Changing a
// map while an iterator over it is in use is not allowed.
//
// Not locked: one thread at a time changes a map; readers on other threads
// need the owner's lock. Reference counts are atomic.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "brlist.h"
#include "brrbtree.h"
#include "hblistiter.h"
#include "hbobj.h"

class HBStringAllocator;

class IHBMap : public IHBObj {
 public:
  // -3 when absent. Without `type` only tests presence. *type HBTYPE_ANY
  // is replaced by the stored tag; without `out` stops there. Plain values:
  // another tag than the stored one gives -16. Objects: getifc(*type) of
  // the value (a new reference), or null for a null object.
  virtual brerror_t getAtKey(const char *key, hbtype_t *type, void **out) = 0;
  // The text of an HBTYPE_STRING entry or of an IHBStr value; else null.
  virtual const char *getStringAtKey(const char *key) = 0;
  // A new iterator over the keys (HBTYPE_STRING elements).
  virtual brerror_t iterateKeys(IHBIter **out) = 0;
  // -3 when absent. Plain values: -3 unless `type` is the stored tag.
  // Objects: getifc(type) of the value (a new reference).
  virtual brerror_t getAtKey(const char *key, hbtype_t type, void **out) = 0;
};

// A raw entry; `type` and `value` as stored (no reference taken).
struct HBMapEntry {
  const char *key;
  hbtype_t type;
  void *value;
  brrbtree__node_s *treeNode;
  brlist__node_t *orderNode;
};

// Map flags. Only bits 8 to 15 change after construction.
constexpr uint32_t HBMAP_FLAG_OWNS_ALLOCATOR = 0x1;
constexpr uint32_t HBMAP_FLAG_INSERTION_ORDER = 0x100;
constexpr uint32_t HBMAP_FLAGS_CHANGEABLE = 0xFF00;

// setAtKey flags.
constexpr uint32_t HBMAP_SET_NO_COPY = 0x1;     // key (and string value) outlive the map
constexpr uint32_t HBMAP_SET_NO_REPLACE = 0x2;  // an existing key fails with -23

class HBMap : public IHBMap, public IHBNamedArgument {
 public:
  // With its own arena of those sizes (flags HBMAP_FLAG_OWNS_ALLOCATOR).
  HBMap(const char *name, size_t size, size_t growSize, IHBObj *parent);
  // Shares `allocator` (one reference).
  HBMap(const char *name, HBStringAllocator *allocator, IHBObj *parent);
  HBMap(const HBMap &) = delete;
  HBMap &operator=(const HBMap &) = delete;

  int32_t upref() override;
  int32_t dnref() override;
  // IHBOBJ, IHBMAP, CID_HBMAP; IHBNAMEDARGUMENT only for a named map.
  brerror_t getifc(hbtype_t id, void **out) override;

  brerror_t getAtKey(const char *key, hbtype_t *type, void **out) override;
  const char *getStringAtKey(const char *key) override;
  brerror_t iterateKeys(IHBIter **out) override;
  brerror_t getAtKey(const char *key, hbtype_t type, void **out) override;
  HBMapEntry *getAtKey(const char *key);

  const char *getNamedArgumentName() override { return name_; }

  // -29 for a null value of a pointer tag, -23 for an existing key with
  // HBMAP_SET_NO_REPLACE, -19 when the arena is full, -6 for a null key or
  // HBTYPE_ANY. On failure the map is unchanged.
  brerror_t setAtKey(const char *key, hbtype_t type, const void *value, uint32_t flags);
  brerror_t setAtKey(const char *key, const char *text, uint32_t flags);
  brerror_t removeAtKey(const char *key);
  // The first entry in key order with this value (and tag, unless
  // HBTYPE_ANY); -3 when none. Linear.
  brerror_t removeByValueSlowly(hbtype_t type, const void *value);

  uint32_t getMapSize() const { return tree_.count; }
  uint32_t getFlags() const { return flags_; }
  // Changes bits 8 to 15; switching insertion order on a non-empty map
  // aborts.
  brerror_t setFlags(uint32_t flags);
  // A new, empty map on the same arena with the same bits 8 to 15; null
  // when out of memory.
  HBMap *createChild(const char *name);
  brerror_t setReferenceParent(IHBObj *parent);
  // Drops every entry; an owned arena is rewound too, unless others share
  // it (their strings would be overwritten).
  void flush();

  HBStringAllocator *getAllocator() const { return allocator_; }

 protected:
  ~HBMap() override;

 private:
  friend class HBMapIterator;
  void init(const char *name, IHBObj *parent);
  void unlink(HBMapEntry *entry);
  HBMapEntry *first() const;
  HBMapEntry *next(const HBMapEntry *entry) const;

  HBRefCount refs_;
  char *name_ = nullptr;
  IHBObj *parent_ = nullptr;
  uint32_t flags_;
  HBStringAllocator *allocator_;
  brrbtree_t tree_;
  brlist_t order_;
};

// The text at `key` for any IHBMap: an HBTYPE_STRING value, or the text of
// an IHBStr value (valid only while the map holds that object).
const char *IHBMap__getStringAtKey(IHBMap *map, const char *key);

// With `out`: a new HBListIterator (owning its list) over the values in the
// map's key iteration order, fetched with getAtKey(key, type, ...); with
// HBTYPE_ANY the first value's tag becomes the element tag (written back)
// and values of another kind are skipped, so that the list holds one kind.
// Object elements carry one reference; string elements point into the map.
// Returns the number of values. Without `out`: the number of keys. -6 for a
// null map.
brerror_t HBMap__iterateValues(IHBMap *map, hbtype_t *type, IHBIter **out);
