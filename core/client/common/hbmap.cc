#include "hbmap.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "brhashtable.h"
#include "brlog.h"
#include "hbstr.h"
#include "hbstralloc.h"

namespace {

IHBObj *asObj(const void *value) { return static_cast<IHBObj *>(const_cast<void *>(value)); }

bool holdsObject(const HBMapEntry *entry) {
  return !hbtype__isPlain(entry->type) && entry->value;
}

}  // namespace

// Walks the keys of a map it keeps alive, in the map's iteration order.
class HBMapIterator : public HBIterBase {
 public:
  explicit HBMapIterator(HBMap *map) : map_(map), position_(map->first()) { map_->upref(); }

  brerror_t getNext(hbtype_t *type, void **out) override {
    if (type && *type != HBTYPE_ANY && *type != HBTYPE_STRING) return BRERROR_UNSUPPORTED;
    if (!position_) return BRERROR_OUT_OF_RANGE;
    if (type) *type = HBTYPE_STRING;
    if (out) *out = const_cast<char *>(position_->key);
    position_ = map_->next(position_);
    return BRERROR_NONE;
  }

 private:
  ~HBMapIterator() override { map_->dnref(); }

  HBMap *map_;
  const HBMapEntry *position_;
};

HBMap::HBMap(const char *name, size_t size, size_t growSize, IHBObj *parent)
    : flags_(HBMAP_FLAG_OWNS_ALLOCATOR),
      allocator_(new (std::nothrow) HBStringAllocator(size, growSize)) {
  init(name, parent);
}

HBMap::HBMap(const char *name, HBStringAllocator *allocator, IHBObj *parent)
    : flags_(0), allocator_(allocator) {
  if (allocator_) allocator_->saupref();
  init(name, parent);
}

// The name lives on the heap, not in the arena, so that a flush that
// rewinds the arena cannot overwrite it.
void HBMap::init(const char *name, IHBObj *parent) {
  if (name) name_ = strdup(name);
  parent_ = parent;
  if (parent_) parent_->upref();
  brrbtree__init(&tree_, brht__strcmp, allocator_ ? allocator_->treeNodeAllocator() : nullptr);
  brlist__init(&order_, allocator_ ? allocator_->listNodeAllocator() : nullptr);
}

HBMap::~HBMap() {
  if (parent_) parent_->dnref();
  flush();
  if (allocator_) allocator_->sadnref();
  free(name_);
}

int32_t HBMap::upref() { return refs_.retain(); }

int32_t HBMap::dnref() {
  int32_t count = refs_.release();
  if (count == 0) delete this;
  return count;
}

brerror_t HBMap::getifc(hbtype_t id, void **out) {
  return HBNamedArgument__getifc<IHBMap>(this, HBTYPE_IID_IHBMAP, HBTYPE_CID_HBMAP, name_, id, out);
}

HBMapEntry *HBMap::first() const {
  if (flags_ & HBMAP_FLAG_INSERTION_ORDER) {
    return order_.first ? static_cast<HBMapEntry *>(order_.first->value) : nullptr;
  }
  brrbtree__node_s *node = brrbtree__first(const_cast<brrbtree_t *>(&tree_));
  return node ? static_cast<HBMapEntry *>(node->data) : nullptr;
}

HBMapEntry *HBMap::next(const HBMapEntry *entry) const {
  if (flags_ & HBMAP_FLAG_INSERTION_ORDER) {
    brlist__node_t *node = entry->orderNode ? entry->orderNode->next : nullptr;
    return node ? static_cast<HBMapEntry *>(node->value) : nullptr;
  }
  brrbtree__node_s *node = brrbtree__next(const_cast<brrbtree_t *>(&tree_), entry->treeNode);
  return node ? static_cast<HBMapEntry *>(node->data) : nullptr;
}

HBMapEntry *HBMap::getAtKey(const char *key) {
  if (!key) return nullptr;
  brrbtree__node_s *node = brrbtree__findexact(&tree_, key);
  return node ? static_cast<HBMapEntry *>(node->data) : nullptr;
}

brerror_t HBMap::getAtKey(const char *key, hbtype_t *type, void **out) {
  HBMapEntry *entry = getAtKey(key);
  if (!entry) return BRERROR_NO_ENTRY;
  if (!type) return BRERROR_NONE;
  if (*type == HBTYPE_ANY) *type = entry->type;
  if (!out) return BRERROR_NONE;
  if (hbtype__isPlain(entry->type)) {
    if (*type != entry->type) return BRERROR_UNSUPPORTED;
    *out = entry->value;
    return BRERROR_NONE;
  }
  if (!entry->value) {
    *out = nullptr;
    return BRERROR_NONE;
  }
  return asObj(entry->value)->getifc(*type, out);
}

brerror_t HBMap::getAtKey(const char *key, hbtype_t type, void **out) {
  HBMapEntry *entry = getAtKey(key);
  if (!entry) return BRERROR_NO_ENTRY;
  if (hbtype__isPlain(entry->type)) {
    if (type != entry->type) return BRERROR_NO_ENTRY;
    if (out) *out = entry->value;
    return BRERROR_NONE;
  }
  if (!entry->value) return BRERROR_NO_ENTRY;
  if (!out) return BRERROR_NONE;
  return asObj(entry->value)->getifc(type, out);
}

const char *HBMap::getStringAtKey(const char *key) {
  HBMapEntry *entry = getAtKey(key);
  if (!entry) return nullptr;
  if (entry->type == HBTYPE_STRING) return static_cast<const char *>(entry->value);
  if (!holdsObject(entry)) return nullptr;
  void *str = nullptr;
  if (asObj(entry->value)->getifc(HBTYPE_IID_IHBSTR, &str) != BRERROR_NONE) return nullptr;
  // The map's own reference keeps the text alive.
  const char *text = static_cast<IHBStr *>(str)->getString();
  static_cast<IHBStr *>(str)->dnref();
  return text;
}

brerror_t HBMap::iterateKeys(IHBIter **out) {
  auto *iter = new (std::nothrow) HBMapIterator(this);
  if (!iter) return BRERROR_NO_MEMORY;
  *out = iter;
  return BRERROR_NONE;
}

brerror_t HBMap::setAtKey(const char *key, hbtype_t type, const void *value, uint32_t flags) {
  if (!key || type == HBTYPE_ANY) return BRERROR_INVALID_ARGUMENT;
  if (!value && type != HBTYPE_NULL && type < HBTYPE_INT) return BRERROR_NULL_VALUE;

  // Everything that can fail happens before an old entry goes, so that a
  // failure leaves the map as it was.
  bool copy = (flags & HBMAP_SET_NO_COPY) == 0;
  auto *entry = allocator_ ? static_cast<HBMapEntry *>(allocator_->allocMem(sizeof(HBMapEntry)))
                           : nullptr;
  const char *storedKey = entry && copy ? allocator_->adoptString(key, -1) : key;
  const void *storedValue = value;
  if (entry && storedKey && copy && type == HBTYPE_STRING) {
    storedValue = allocator_->adoptString(static_cast<const char *>(value), -1);
  }
  if (entry && storedKey && (type != HBTYPE_STRING || storedValue)) {
    entry->treeNode = brrbtree__insert(&tree_, const_cast<char *>(storedKey), entry);
  }
  if (!entry || !storedKey || (type == HBTYPE_STRING && !storedValue) || !entry->treeNode) {
    brlog("HBMAP", 1, "OOM in Map allocator: '%s'\n", key);
    return BRERROR_NO_MEMORY;
  }
  // One descent: an equal key lands right after the entry it replaces.
  brrbtree__node_s *before = brrbtree__prev(&tree_, entry->treeNode);
  HBMapEntry *existing =
      before && strcmp(static_cast<const char *>(before->key), key) == 0
          ? static_cast<HBMapEntry *>(before->data)
          : nullptr;
  if (existing && (flags & HBMAP_SET_NO_REPLACE)) {
    brrbtree__remove(&tree_, entry->treeNode);
    brlog("HBMAP", 1, "Collision in Map: '%s'\n", key);
    return BRERROR_EXISTS;
  }
  entry->key = storedKey;
  entry->type = type;
  entry->value = const_cast<void *>(storedValue);
  entry->orderNode = nullptr;
  if (flags_ & HBMAP_FLAG_INSERTION_ORDER) {
    if (brlist__append(&order_, entry) != BRERROR_NONE) {
      brrbtree__remove(&tree_, entry->treeNode);
      brlog("HBMAP", 1, "OOM in Map allocator: '%s'\n", key);
      return BRERROR_NO_MEMORY;
    }
    entry->orderNode = order_.last;
  }
  // The new reference is taken before the old one is dropped: replacing a
  // value with itself must not destroy it on the way.
  if (holdsObject(entry)) asObj(entry->value)->upref();
  if (existing) unlink(existing);
  return BRERROR_NONE;
}

brerror_t HBMap::setAtKey(const char *key, const char *text, uint32_t flags) {
  return setAtKey(key, HBTYPE_STRING, text, flags);
}

void HBMap::unlink(HBMapEntry *entry) {
  brrbtree__remove(&tree_, entry->treeNode);
  if (entry->orderNode) brlist__removenode(&order_, entry->orderNode);
  if (holdsObject(entry)) asObj(entry->value)->dnref();
}

brerror_t HBMap::removeAtKey(const char *key) {
  HBMapEntry *entry = getAtKey(key);
  if (!entry) return BRERROR_NO_ENTRY;
  unlink(entry);
  return BRERROR_NONE;
}

brerror_t HBMap::removeByValueSlowly(hbtype_t type, const void *value) {
  for (brrbtree__node_s *node = brrbtree__first(&tree_); node;
       node = brrbtree__next(&tree_, node)) {
    auto *entry = static_cast<HBMapEntry *>(node->data);
    if (entry->value == value && (type == HBTYPE_ANY || entry->type == type)) {
      unlink(entry);
      return BRERROR_NONE;
    }
  }
  return BRERROR_NO_ENTRY;
}

brerror_t HBMap::setFlags(uint32_t flags) {
  uint32_t changed = (flags_ ^ flags) & HBMAP_FLAGS_CHANGEABLE;
  if ((changed & HBMAP_FLAG_INSERTION_ORDER) && tree_.count > 0) {
    brabort_f("brerror_t HBMap::setFlags(bruint_t)", __LINE__);
  }
  flags_ ^= changed;
  return BRERROR_NONE;
}

HBMap *HBMap::createChild(const char *name) {
  if (!allocator_) return nullptr;
  auto *child = new (std::nothrow) HBMap(name, allocator_, nullptr);
  if (child) child->setFlags(flags_ & HBMAP_FLAGS_CHANGEABLE);
  return child;
}

brerror_t HBMap::setReferenceParent(IHBObj *parent) {
  if (parent) parent->upref();
  if (parent_) parent_->dnref();
  parent_ = parent;
  return BRERROR_NONE;
}

void HBMap::flush() {
  for (brrbtree__node_s *node = brrbtree__first(&tree_); node;
       node = brrbtree__next(&tree_, node)) {
    auto *entry = static_cast<HBMapEntry *>(node->data);
    if (holdsObject(entry)) asObj(entry->value)->dnref();
  }
  brrbtree__removeall(&tree_);
  brlist__removeall(&order_);
  if ((flags_ & HBMAP_FLAG_OWNS_ALLOCATOR) && allocator_ &&
      allocator_->getReferenceCount() == 1) {
    allocator_->flushAllocator();
  }
}

const char *IHBMap__getStringAtKey(IHBMap *map, const char *key) {
  void *self = nullptr;
  if (map->getifc(HBTYPE_CID_HBMAP, &self) == BRERROR_NONE) {
    HBRef<HBMap> hbmap(static_cast<HBMap *>(self));
    return hbmap->getStringAtKey(key);
  }
  void *value = nullptr;
  if (map->getAtKey(key, HBTYPE_STRING, &value) == BRERROR_NONE) {
    return static_cast<const char *>(value);
  }
  if (map->getAtKey(key, HBTYPE_IID_IHBSTR, &value) == BRERROR_NONE && value) {
    auto *str = static_cast<IHBStr *>(value);
    const char *text = str->getString();
    str->dnref();
    return text;
  }
  return nullptr;
}

brerror_t HBMap__iterateValues(IHBMap *inMap, hbtype_t *type, IHBIter **out) {
  if (!inMap) {
    brlog("VERIFY", 1, "%s:%d VERIFY(%s) failed!\n", "hbmap", __LINE__,
          "inMap != ((brptrint_t)0)");
    return BRERROR_INVALID_ARGUMENT;
  }
  HBRef<IHBIter> keys;
  brerror_t rc = inMap->iterateKeys(keys.out());
  if (rc != BRERROR_NONE) return rc;
  if (!out) {
    brerror_t count = 0;
    while (keys->getNext(nullptr, nullptr) == BRERROR_NONE) count++;
    return count;
  }

  brlist_t *values = nullptr;
  if (brlist__new(&values) != BRERROR_NONE) return BRERROR_NO_MEMORY;
  hbtype_t elementType = type ? *type : HBTYPE_ANY;
  void *key = nullptr;
  while (keys->getNext(nullptr, &key) == BRERROR_NONE) {
    void *value = nullptr;
    if (inMap->getAtKey(static_cast<const char *>(key), &elementType, &value) != BRERROR_NONE) {
      brlog("HBMAP", 2,
            "HBMap__iterateValues couldn't find value at key: %s. Check for synchronization "
            "issues!\n",
            static_cast<const char *>(key));
      continue;
    }
    if (brlist__append(values, value) != BRERROR_NONE) {
      if (!hbtype__isPlain(elementType) && value) asObj(value)->dnref();
      rc = BRERROR_NO_MEMORY;
      break;
    }
  }
  auto *iter = new (std::nothrow) HBListIterator(values, elementType, HBLISTITER_OWNS_LIST, nullptr);
  if (!iter) {
    for (brlist__node_t *node = values->first; node; node = node->next) {
      if (!hbtype__isPlain(elementType) && node->value) asObj(node->value)->dnref();
    }
    brlist__destroy(values);
    return BRERROR_NO_MEMORY;
  }
  if (rc != BRERROR_NONE) {
    iter->dnref();
    return rc;
  }
  if (type) *type = elementType;
  *out = iter;
  return static_cast<brerror_t>(values->count);
}
