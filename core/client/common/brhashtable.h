// brht: a hash table with a bucket count fixed at creation, and the standard
// hash and compare functions (the compare functions also order brrbtree).
//
// Keys and values are untyped pointers that the table does not own; it
// frees only its nodes, which come from a list node allocator (a hash node
// has the list node's three words). The table never grows. No locking: the
// owner serialises every use. The hash and compare functions are pure and
// thread-safe.
#pragma once

#include <cstdint>

#include "brerror.h"
#include "brlist.h"

typedef uint32_t (*brht__hash_f)(const void *key);
// 0 when equal; for tree ordering, negative / positive for lower / higher.
typedef int (*brht__compare_f)(const void *a, const void *b);

struct brht__node_t {
  void *value;
  brht__node_t *next;
  void *key;
};

struct brht {
  uint32_t bucketCount;
  brht__node_t **buckets;
  brht__hash_f hash;
  brht__compare_f compare;
  brlist__node_allocator_t *allocator;
  bool ownsBlock;
};
typedef struct brht brht_t;

// The header and the bucket array in one heap block; the default list
// allocator unless one is given (it must outlive the table).
brerror_t brht__new(brht_t **out, brht__hash_f hash, brht__compare_f compare, uint32_t buckets);
brerror_t brht__newex(brht_t **out, brht__hash_f hash, brht__compare_f compare, uint32_t buckets,
                      brlist__node_allocator_t *allocator);
// Header and bucket array provided by the caller; -15 when either is null.
brerror_t brht__init(brht_t *table, brht__hash_f hash, brht__compare_f compare, uint32_t buckets,
                     brht__node_t **bucketArray, brlist__node_allocator_t *allocator);

// Replaces key and value of an equal key, else adds a node at the head of
// the chain. 0, or -19 when no node can be had (table unchanged).
brerror_t brht__set(brht_t *table, void *key, void *value);
void *brht__lookup(brht_t *table, const void *key);
// 0 with the stored key and value (each output optional), or -3.
brerror_t brht__lookupkey(brht_t *table, const void *key, void **storedKey, void **value);
brerror_t brht__remove(brht_t *table, const void *key, void **storedKey, void **value);

// Visits buckets in index order, each chain from its head. A non-zero
// result from the callback removes that node; a null callback removes all.
// Returns the number of nodes removed.
typedef int (*brht__foreach_f)(void *key, void *value, void *user);
uint32_t brht__foreach(brht_t *table, brht__foreach_f callback, void *user);

void brht__removeall(brht_t *table);
void brht__deinit(brht_t *table);
// Only for tables made by brht__new/newex.
void brht__destroy(brht_t *table);
// Walks every chain.
uint32_t brht__size(brht_t *table);

uint32_t brht__directhash(const void *key);
uint32_t brht__pi64hash(const void *key);
uint32_t brht__uuidhash(const void *key);
uint32_t brht__strhash(const void *key);
uint32_t brht__strcasehash(const void *key);
int brht__directcmp(const void *a, const void *b);
int brht__pi64cmp(const void *a, const void *b);
int brht__uuidcmp(const void *a, const void *b);
int brht__strcmp(const void *a, const void *b);
int brht__strcasecmp(const void *a, const void *b);
