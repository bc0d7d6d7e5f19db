// brrbtree: a red-black tree of untyped (key, data) pairs that allows equal
// keys, kept in insertion order among themselves.
//
// The tree owns neither keys nor data; it frees only its nodes, through its
// node allocator (heap by default, an arena, or a fixed pool made by
// brrbtree__preallocator_init). The allocator is referenced, not copied, and
// must outlive the tree. Node pointers are stable handles: a removal moves
// nodes, never copies key or data between them, so handles of the other
// nodes stay valid. Users read `key` and `data` directly. No locking: the
// owner serialises every use.
#pragma once

#include <cstdint>

#include "brerror.h"
#include "brhashtable.h"

enum : int32_t { BRRBTREE_BLACK = 0, BRRBTREE_RED = 1 };

struct brrbtree__node_s {
  void *key;
  void *data;
  brrbtree__node_s *left;
  brrbtree__node_s *right;
  brrbtree__node_s *parent;
  int32_t color;
};

struct brrbtree__node_allocator_s;
typedef brrbtree__node_s *(*brrbtree__alloc_f)(brrbtree__node_allocator_s *allocator, void *data);
typedef void (*brrbtree__release_f)(brrbtree__node_allocator_s *allocator, brrbtree__node_s *node);

struct brrbtree__node_allocator_s {
  brrbtree__alloc_f alloc;
  brrbtree__release_f release;
  void *state;
};

struct brrbtree_s {
  brrbtree__node_s *root;
  brht__compare_f compare;
  uint32_t count;
  brrbtree__node_allocator_s *allocator;
};
typedef brrbtree_s brrbtree_t;

brrbtree__node_allocator_s *brrbtree__getDefaultAllocator();
// A fixed pool over the caller's array: allocation takes the first free node
// (null when none is left), release puts the node back. Never touches the
// heap. The array and the allocator must outlive every tree using them.
void brrbtree__preallocator_init(brrbtree__node_allocator_s *allocator, brrbtree__node_s *nodes,
                                 uint32_t count);

// -15 when the header cannot be had or is null.
brerror_t brrbtree__new(brrbtree_t **out, brht__compare_f compare);
brerror_t brrbtree__newex(brrbtree_t **out, brht__compare_f compare,
                          brrbtree__node_allocator_s *allocator);
brerror_t brrbtree__init(brrbtree_t *tree, brht__compare_f compare,
                         brrbtree__node_allocator_s *allocator);

// The new node, or null when the allocator gives none (tree unchanged). An
// equal key lands after the existing ones.
brrbtree__node_s *brrbtree__insert(brrbtree_t *tree, void *key, void *data);
// Lower bound: the first node in order whose key is not less than `key`
// (among equal keys the earliest inserted); null when every key is less.
brrbtree__node_s *brrbtree__find(brrbtree_t *tree, const void *key);
// As find, but null unless the key compares equal.
brrbtree__node_s *brrbtree__findexact(brrbtree_t *tree, const void *key);
// Among the nodes with an equal key, in order, the first whose data is `data`.
brrbtree__node_s *brrbtree__finddata(brrbtree_t *tree, const void *key, const void *data);
// Removes the node finddata gives; 0, or -3.
brerror_t brrbtree__removedata(brrbtree_t *tree, const void *key, const void *data);

brrbtree__node_s *brrbtree__first(brrbtree_t *tree);
brrbtree__node_s *brrbtree__last(brrbtree_t *tree);
brrbtree__node_s *brrbtree__next(brrbtree_t *tree, brrbtree__node_s *node);
brrbtree__node_s *brrbtree__prev(brrbtree_t *tree, brrbtree__node_s *node);

// Unlinks, rebalances and releases the node; 0.
brerror_t brrbtree__remove(brrbtree_t *tree, brrbtree__node_s *node);

// The callback must not change the tree, except that the post-order walk may
// release the node just handed to it. `reverse` walks right before left.
typedef void (*brrbtree__traverse_f)(brrbtree_t *tree, brrbtree__node_s *node, void *user);
void brrbtree__traverse(brrbtree_t *tree, int reverse, brrbtree__traverse_f callback, void *user);
void brrbtree__traverse_preorder(brrbtree_t *tree, int reverse, brrbtree__traverse_f callback,
                                 void *user);
void brrbtree__traverse_postorder(brrbtree_t *tree, int reverse, brrbtree__traverse_f callback,
                                  void *user);

uint32_t brrbtree__size(brrbtree_t *tree);
// Release every node (post-order) and leave an empty tree.
void brrbtree__removeall(brrbtree_t *tree);
void brrbtree__deinit(brrbtree_t *tree);
// Also frees the header; only for trees made by brrbtree__new/newex.
void brrbtree__destroy(brrbtree_t *tree);
