#include "brlist.h"

#include <cstdlib>

namespace {

void *heapAlloc(brlist__node_allocator_t *, void *) { return malloc(sizeof(brlist__node_t)); }
void heapRelease(brlist__node_allocator_t *, void *node) { free(node); }

brlist__node_allocator_t g_heapAllocator = {heapAlloc, heapRelease, nullptr};

brlist__node_t *newNode(brlist_t *list, void *value) {
  auto *node = static_cast<brlist__node_t *>(list->allocator->alloc(list->allocator, value));
  if (node) node->value = value;
  return node;
}

}  // namespace

brlist__node_allocator_t *brlist__getDefaultAllocator() { return &g_heapAllocator; }

void brlist__init(brlist_t *list, brlist__node_allocator_t *allocator) {
  list->first = nullptr;
  list->last = nullptr;
  list->count = 0;
  list->allocator = allocator ? allocator : &g_heapAllocator;
}

brerror_t brlist__new(brlist_t **out) { return brlist__newex(out, nullptr); }

brerror_t brlist__newex(brlist_t **out, brlist__node_allocator_t *allocator) {
  auto *list = static_cast<brlist_t *>(malloc(sizeof(brlist_t)));
  if (!list) return BRERROR_NO_MEMORY;
  brlist__init(list, allocator);
  *out = list;
  return BRERROR_NONE;
}

brerror_t brlist__insertafter(brlist_t *list, brlist__node_t *node, void *value) {
  if (!node) node = list->last;
  brlist__node_t *fresh = newNode(list, value);
  if (!fresh) return BRERROR_NO_MEMORY;
  fresh->prev = node;
  fresh->next = node ? node->next : nullptr;
  if (fresh->next) {
    fresh->next->prev = fresh;
  } else {
    list->last = fresh;
  }
  if (node) {
    node->next = fresh;
  } else {
    list->first = fresh;
  }
  list->count++;
  return BRERROR_NONE;
}

brerror_t brlist__insertbefore(brlist_t *list, brlist__node_t *node, void *value) {
  if (!node) return brlist__insertafter(list, nullptr, value);
  brlist__node_t *fresh = newNode(list, value);
  if (!fresh) return BRERROR_NO_MEMORY;
  fresh->next = node;
  fresh->prev = node->prev;
  if (fresh->prev) {
    fresh->prev->next = fresh;
  } else {
    list->first = fresh;
  }
  node->prev = fresh;
  list->count++;
  return BRERROR_NONE;
}

brerror_t brlist__append(brlist_t *list, void *value) {
  return brlist__insertafter(list, nullptr, value);
}

brerror_t brlist__prepend(brlist_t *list, void *value) {
  if (!list->first) return brlist__insertafter(list, nullptr, value);
  return brlist__insertbefore(list, list->first, value);
}

brerror_t brlist__removenode(brlist_t *list, brlist__node_t *node) {
  if (node->prev) {
    node->prev->next = node->next;
  } else {
    list->first = node->next;
  }
  if (node->next) {
    node->next->prev = node->prev;
  } else {
    list->last = node->prev;
  }
  list->count--;
  list->allocator->release(list->allocator, node);
  return BRERROR_NONE;
}

void *brlist__pop(brlist_t *list) {
  brlist__node_t *node = list->first;
  if (!node) return nullptr;
  void *value = node->value;
  brlist__removenode(list, node);
  return value;
}

brlist__node_t *brlist__find(brlist_t *list, const void *value, brlist__compare_f compare) {
  for (brlist__node_t *node = list->first; node; node = node->next) {
    if (compare ? compare(value, node->value) == 0 : node->value == value) return node;
  }
  return nullptr;
}

brerror_t brlist__remove(brlist_t *list, void *value) {
  brlist__node_t *node = brlist__find(list, value, nullptr);
  if (!node) return BRERROR_NO_ENTRY;
  return brlist__removenode(list, node);
}

void brlist__removeall(brlist_t *list) {
  brlist__node_t *node = list->first;
  while (node) {
    brlist__node_t *next = node->next;
    list->allocator->release(list->allocator, node);
    node = next;
  }
  list->first = nullptr;
  list->last = nullptr;
  list->count = 0;
}

void brlist__destroy(brlist_t *list) {
  if (!list) return;
  brlist__removeall(list);
  free(list);
}
