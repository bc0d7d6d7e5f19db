// brlist: a doubly linked list of untyped pointers, and the node allocator
// shape shared with the hash table.
//
// The list stores values without owning them; it frees only its own nodes,
// through its node allocator (the heap by default, or an arena). The
// allocator is referenced, not copied: it must outlive the list. No locking:
// the owner serialises every use. Walk a list directly: `first`, then `next`
// until null.
#pragma once

#include <cstdint>

#include "brerror.h"

struct brlist__node_t {
  void *value;
  brlist__node_t *next;
  brlist__node_t *prev;
};

struct brlist__node_allocator_t;
// Returns a node of three pointers, or null when none can be had. `value` is
// the value about to be stored; the default allocator ignores it.
typedef void *(*brlist__alloc_f)(brlist__node_allocator_t *allocator, void *value);
typedef void (*brlist__release_f)(brlist__node_allocator_t *allocator, void *node);

struct brlist__node_allocator_t {
  brlist__alloc_f alloc;
  brlist__release_f release;
  void *state;
};

struct brlist_t {
  brlist__node_t *first;
  brlist__node_t *last;
  uint32_t count;
  brlist__node_allocator_t *allocator;
};

// Heap nodes, freed on release. Shared and stateless.
brlist__node_allocator_t *brlist__getDefaultAllocator();

brerror_t brlist__new(brlist_t **out);
brerror_t brlist__newex(brlist_t **out, brlist__node_allocator_t *allocator);
// Sets up a list header that the caller provides.
void brlist__init(brlist_t *list, brlist__node_allocator_t *allocator);

// Insertions return 0, or -19 when the allocator gives no node (the list is
// then unchanged). insertafter/insertbefore with a null node append.
brerror_t brlist__append(brlist_t *list, void *value);
brerror_t brlist__prepend(brlist_t *list, void *value);
brerror_t brlist__insertafter(brlist_t *list, brlist__node_t *node, void *value);
brerror_t brlist__insertbefore(brlist_t *list, brlist__node_t *node, void *value);

// Removes the first node and returns its value; null on an empty list.
void *brlist__pop(brlist_t *list);
brerror_t brlist__removenode(brlist_t *list, brlist__node_t *node);
// Removes the first node holding `value` (pointer equality); -3 when none.
brerror_t brlist__remove(brlist_t *list, void *value);

// compare(value, node value) == 0 marks a match; without compare, pointer
// equality. Returns the first matching node from the front, or null.
typedef int (*brlist__compare_f)(const void *a, const void *b);
brlist__node_t *brlist__find(brlist_t *list, const void *value, brlist__compare_f compare);

// Release every node; neither touches the stored values.
void brlist__removeall(brlist_t *list);
// Only for headers made by brlist__new/newex.
void brlist__destroy(brlist_t *list);
