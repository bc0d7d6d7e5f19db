#include "hblistiter.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"

namespace {

IHBObj *asObj(void *value) { return static_cast<IHBObj *>(value); }

// Object elements answer through getifc; a null element gives null.
brerror_t objectOut(void *element, hbtype_t id, void **out) {
  if (!element) {
    *out = nullptr;
    return BRERROR_NONE;
  }
  return asObj(element)->getifc(id, out);
}

// Drops one element of a private list: a string copy or an object reference.
void dropElement(hbtype_t elementType, void *element) {
  if (elementType == HBTYPE_STRING) {
    free(element);
  } else if (!hbtype__isPlain(elementType) && element) {
    asObj(element)->dnref();
  }
}

void releaseList(hbtype_t elementType, brlist_t *list) {
  for (brlist__node_t *node = list->first; node; node = node->next) {
    dropElement(elementType, node->value);
  }
  brlist__destroy(list);
}

class HBObjIter : public HBIterBase {
 public:
  HBObjIter(hbtype_t elementType, brlist_t *list) : list_(list), elementType_(elementType) {
    position_ = list_->first;
  }

  brerror_t getNext(hbtype_t *type, void **out) override {
    hbtype_t asked = type ? *type : HBTYPE_ANY;
    if (asked != HBTYPE_ANY && asked != elementType_) {
      brlog("OBJITR", 2, "Asked for invalid type %d!=%d\n", static_cast<int>(asked),
            static_cast<int>(elementType_));
      return BRERROR_INVALID_ARGUMENT;
    }
    if (!position_) return BRERROR_OUT_OF_RANGE;
    void *element = position_->value;
    position_ = position_->next;
    if (type) *type = elementType_;
    if (!out) return BRERROR_NONE;
    if (hbtype__isPlain(elementType_)) {
      *out = element;
      return BRERROR_NONE;
    }
    return objectOut(element, elementType_, out);
  }

 private:
  ~HBObjIter() override { releaseList(elementType_, list_); }

  brlist_t *list_;
  brlist__node_t *position_;
  hbtype_t elementType_;
};

// Takes over `list` (freeing its elements on failure).
brerror_t wrapList(IHBIter **out, hbtype_t elementType, brlist_t *list) {
  auto *iter = new (std::nothrow) HBObjIter(elementType, list);
  if (!iter) {
    releaseList(elementType, list);
    return BRERROR_NO_MEMORY;
  }
  *out = iter;
  return BRERROR_NONE;
}

// A copy of one element for a private list: a reference or a string copy.
brerror_t copyElement(hbtype_t elementType, void *value, void **copy) {
  if (elementType == HBTYPE_STRING) {
    *copy = value ? strdup(static_cast<const char *>(value)) : nullptr;
    return (!value || *copy) ? BRERROR_NONE : BRERROR_NO_MEMORY;
  }
  if (value) asObj(value)->upref();
  *copy = value;
  return BRERROR_NONE;
}

}  // namespace

brerror_t hbiter__getManyNext(IHBIter *iter, hbtype_t *types, void **outs, int count) {
  int got = 0;
  for (; got < count; got++) {
    brerror_t rc = iter->getNext(types ? &types[got] : nullptr, outs ? &outs[got] : nullptr);
    if (rc < 0) return got > 0 ? got : rc;
  }
  return got;
}

int32_t HBIterBase::upref() { return refs_.retain(); }

int32_t HBIterBase::dnref() {
  int32_t count = refs_.release();
  if (count == 0) delete this;
  return count;
}

brerror_t HBIterBase::getifc(hbtype_t id, void **out) {
  if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBITER) return BRERROR_NO_ENTRY;
  *out = static_cast<IHBIter *>(this);
  upref();
  return BRERROR_NONE;
}

brerror_t HBIterBase::getManyNext(hbtype_t *types, void **outs, int count) {
  return hbiter__getManyNext(this, types, outs, count);
}

HBListIterator::HBListIterator(brlist_t *list, hbtype_t elementType, uint32_t flags,
                               const char *name)
    : elementType_(elementType), flags_(flags) {
  if (name) name_ = strdup(name);
  if (flags & HBLISTITER_COPY_LIST) {
    if (hbtype__isPlain(elementType)) {
      brabort_f("HBListIterator::HBListIterator(brlist_t *, hbtype_t, bruint_t, const brchar_t *)",
                __LINE__);
    }
    flags_ = (flags_ | HBLISTITER_OWNS_LIST) & ~HBLISTITER_COPY_LIST;
    if (brlist__new(&list_) == BRERROR_NONE && list) {
      for (brlist__node_t *node = list->first; node; node = node->next) {
        if (brlist__append(list_, node->value) != BRERROR_NONE) break;
        if (node->value) asObj(node->value)->upref();
      }
    }
  } else if (list) {
    list_ = list;
  } else {
    flags_ |= HBLISTITER_OWNS_LIST;
    brlist__new(&list_);
  }
  position_ = list_ ? list_->first : nullptr;
}

HBListIterator::~HBListIterator() {
  if ((flags_ & HBLISTITER_OWNS_LIST) && list_) {
    for (brlist__node_t *node = list_->first; node; node = node->next) {
      if (!hbtype__isPlain(elementType_)) {
        if (node->value) asObj(node->value)->dnref();
      } else if (flags_ & HBLISTITER_FREE_PLAIN) {
        free(node->value);
      }
    }
    brlist__destroy(list_);
  }
  free(name_);
}

int32_t HBListIterator::upref() { return refs_.retain(); }

int32_t HBListIterator::dnref() {
  int32_t count = refs_.release();
  if (count == 0) delete this;
  return count;
}

brerror_t HBListIterator::getifc(hbtype_t id, void **out) {
  return HBNamedArgument__getifc<IHBIter>(this, HBTYPE_IID_IHBITER, HBTYPE_CID_HBLISTITERATOR, name_, id, out);
}

brerror_t HBListIterator::getNext(hbtype_t *type, void **out) {
  if (!position_) return BRERROR_OUT_OF_RANGE;
  void *element = position_->value;
  hbtype_t asked = type ? *type : HBTYPE_ANY;
  position_ = position_->next;
  if (asked == HBTYPE_ANY) {
    if (type) *type = elementType_;
    if (!out) return BRERROR_NONE;
    if (!hbtype__isPlain(elementType_) && element) asObj(element)->upref();
    *out = element;
    return BRERROR_NONE;
  }
  if (hbtype__isPlain(elementType_)) {
    if (asked != elementType_) return BRERROR_INVALID_ARGUMENT;
    if (out) *out = element;
    return BRERROR_NONE;
  }
  if (!out) return BRERROR_NONE;
  return objectOut(element, asked, out);
}

brerror_t HBListIterator::getManyNext(hbtype_t *types, void **outs, int count) {
  return hbiter__getManyNext(this, types, outs, count);
}

brerror_t HBListIterator::reset() {
  position_ = list_ ? list_->first : nullptr;
  return BRERROR_NONE;
}

brerror_t HBListIterator::appendChild(IHBObj *obj) {
  if (!(flags_ & HBLISTITER_OWNS_LIST) || !list_) return BRERROR_INVALID_ARGUMENT;
  brerror_t rc = brlist__append(list_, obj);
  if (rc != BRERROR_NONE) return rc;
  if (obj) obj->upref();
  // An iterator that had run off the end picks the new element up.
  if (!position_) position_ = list_->last;
  return BRERROR_NONE;
}

brerror_t HBObjIter__new(IHBIter **out, hbtype_t elementType, brlist_t *list, uint32_t flags) {
  if (flags & HBOBJITER_ADOPT) {
    if (!list && brlist__new(&list) != BRERROR_NONE) return BRERROR_NO_MEMORY;
    return wrapList(out, elementType, list);
  }
  brlist_t *copy = nullptr;
  if (brlist__new(&copy) != BRERROR_NONE) return BRERROR_NO_MEMORY;
  for (brlist__node_t *node = list ? list->first : nullptr; node; node = node->next) {
    if (hbtype__isPlain(elementType) && elementType != HBTYPE_STRING) {
      brlog("OBJITR", 1, "Unsupported object-iterator hbtype: %d\n", static_cast<int>(elementType));
      break;
    }
    void *element = nullptr;
    brerror_t rc = copyElement(elementType, node->value, &element);
    if (rc == BRERROR_NONE && brlist__append(copy, element) != BRERROR_NONE) {
      rc = BRERROR_NO_MEMORY;
      dropElement(elementType, element);
    }
    if (rc != BRERROR_NONE) {
      releaseList(elementType, copy);
      return rc;
    }
  }
  return wrapList(out, elementType, copy);
}

brerror_t HBObjIter__newWithValue(IHBIter **out, hbtype_t elementType, void *value,
                                  uint32_t flags) {
  if (hbtype__isPlain(elementType) && elementType != HBTYPE_STRING) {
    brlog("OBJITR", 1, "Unsupported object-iterator hbtype: %d\n", static_cast<int>(elementType));
    return BRERROR_INVALID_ARGUMENT;
  }
  void *element = value;
  if (elementType == HBTYPE_STRING || !(flags & HBOBJITER_ADOPT)) {
    brerror_t rc = copyElement(elementType, value, &element);
    if (rc != BRERROR_NONE) return rc;
  }
  brlist_t *list = nullptr;
  if (brlist__new(&list) != BRERROR_NONE || brlist__append(list, element) != BRERROR_NONE) {
    dropElement(elementType, element);
    brlist__destroy(list);
    return BRERROR_NO_MEMORY;
  }
  return wrapList(out, elementType, list);
}
