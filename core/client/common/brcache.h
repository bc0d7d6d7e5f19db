// brcache: a least-recently-used cache with a capacity and an optional
// expiry age, built from two red-black trees (by key, and by last use).
//
// The cache owns its entries but neither keys nor values: the removal
// callback runs for every entry that leaves the cache (eviction, expiry,
// removal, removeall, destroy) so that the owner can release them. Times
// are milliseconds of brthread__getticks unless a clock is injected. Every
// change checks that both trees hold the same entries, and aborts through
// brabort_f when they do not. No locking: the owner serialises every use.
#pragma once

#include <cstdint>

#include "brerror.h"
#include "brhashtable.h"
#include "brrbtree.h"

struct brcache__node_s {
  void *key;
  void *value;
  int64_t lastUse;
  int64_t inserted;
  brrbtree__node_s *keyNode;
  brrbtree__node_s *timeNode;
};

struct brcache_t;
typedef void (*brcache__remove_f)(brcache_t *cache, brcache__node_s *entry, void *user);
typedef int64_t (*brcache__clock_f)(void *user);

struct brcache_t {
  brrbtree_t *keys;
  brrbtree_t *times;
  brht__compare_f compare;
  int32_t capacity;
  brcache__remove_f onRemove;
  void *user;
  int64_t maxAgeMs;
  brcache__clock_f clock;
  void *clockUser;
};

// -15 when allocation fails. brcache__new never expires entries; a maxAgeMs
// of 0 or less does the same.
brerror_t brcache__new(brcache_t **out, brht__compare_f compare, int32_t capacity,
                       brcache__remove_f onRemove, void *user);
brerror_t brcache__newExpiration(brcache_t **out, brht__compare_f compare, int32_t capacity,
                                 brcache__remove_f onRemove, void *user, int64_t maxAgeMs);
// Replaces the tick source (tests drive expiry with it); null restores it.
void brcache__setClock(brcache_t *cache, brcache__clock_f clock, void *user);

// Adds an entry without looking for an equal key (callers look up first).
// Evicts at most one least recently used entry when over capacity, never
// the entry just added, then drops expired entries. Null when out of memory.
brcache__node_s *brcache__insert(brcache_t *cache, void *key, void *value);
// Lower bound as brrbtree__find / exact match; a hit counts as a use.
brcache__node_s *brcache__find(brcache_t *cache, const void *key);
brcache__node_s *brcache__findexact(brcache_t *cache, const void *key);

brerror_t brcache__removenode(brcache_t *cache, brcache__node_s *entry);
void brcache__removeall(brcache_t *cache);
void brcache__destroy(brcache_t *cache);
uint32_t brcache__size(brcache_t *cache);
// " <DUMP>", every entry from least to most recently used, " </DUMP>".
void brcache__logdump(brcache_t *cache, const char *tag, int severity);
