#include "brcache.h"

#include <cstdlib>

#include "brlog.h"
#include "brthread.h"

namespace {

int64_t now(brcache_t *cache) {
  return cache->clock ? cache->clock(cache->clockUser) : brthread__getticks();
}

void logEntry(brcache_t *cache, const char *tag, int severity, char mark,
              brcache__node_s *entry, int64_t ticks) {
  long long age = static_cast<long long>(ticks - entry->lastUse);
  if (cache->compare == brht__strcmp || cache->compare == brht__strcasecmp) {
    brlog(tag, severity, " %c [+%lld] {%p} %s\n", mark, age, static_cast<void *>(entry),
          static_cast<const char *>(entry->key));
  } else {
    brlog(tag, severity, " %c [+%lld] {%p} %p\n", mark, age, static_cast<void *>(entry),
          entry->key);
  }
}

void sanitycheck(brcache_t *cache) {
  uint32_t keys = brrbtree__size(cache->keys);
  uint32_t times = brrbtree__size(cache->times);
  if (keys != times) {
    brlog("BRCACHE", 1, "Tree Size Mismatch! %d != %d\n", static_cast<int>(keys),
          static_cast<int>(times));
    brabort_f("void brcache__sanitycheck(brcache_t *)", __LINE__);
  }
}

brcache__node_s *use(brcache_t *cache, brcache__node_s *entry) {
  if (!entry) return nullptr;
  int64_t ticks = now(cache);
  brrbtree__remove(cache->times, entry->timeNode);
  logEntry(cache, "BRCACHE", 18, '^', entry, ticks);
  entry->lastUse = ticks;
  entry->timeNode = brrbtree__insert(cache->times, &entry->lastUse, entry);
  // The node just released is reused at once by the default allocator; a
  // custom allocator that fails here leaves the trees out of step, which the
  // check turns into an abort rather than a dangling entry.
  sanitycheck(cache);
  return entry;
}

void collectEntry(brrbtree_t *, brrbtree__node_s *node, void *user) {
  auto *cache = static_cast<brcache_t *>(user);
  auto *entry = static_cast<brcache__node_s *>(node->data);
  if (cache->onRemove) cache->onRemove(cache, entry, cache->user);
  free(entry);
}

}  // namespace

brerror_t brcache__new(brcache_t **out, brht__compare_f compare, int32_t capacity,
                       brcache__remove_f onRemove, void *user) {
  return brcache__newExpiration(out, compare, capacity, onRemove, user, 0);
}

brerror_t brcache__newExpiration(brcache_t **out, brht__compare_f compare, int32_t capacity,
                                 brcache__remove_f onRemove, void *user, int64_t maxAgeMs) {
  auto *cache = static_cast<brcache_t *>(calloc(1, sizeof(brcache_t)));
  if (!cache) return BRERROR_FAULT;
  if (brrbtree__new(&cache->keys, compare) != BRERROR_NONE) {
    free(cache);
    return BRERROR_FAULT;
  }
  if (brrbtree__new(&cache->times, brht__pi64cmp) != BRERROR_NONE) {
    brrbtree__destroy(cache->keys);
    free(cache);
    return BRERROR_FAULT;
  }
  cache->compare = compare;
  cache->capacity = capacity;
  cache->onRemove = onRemove;
  cache->user = user;
  cache->maxAgeMs = maxAgeMs;
  *out = cache;
  return BRERROR_NONE;
}

void brcache__setClock(brcache_t *cache, brcache__clock_f clock, void *user) {
  cache->clock = clock;
  cache->clockUser = user;
}

brcache__node_s *brcache__insert(brcache_t *cache, void *key, void *value) {
  auto *entry = static_cast<brcache__node_s *>(malloc(sizeof(brcache__node_s)));
  if (!entry) return nullptr;
  int64_t ticks = now(cache);
  entry->key = key;
  entry->value = value;
  entry->lastUse = ticks;
  entry->inserted = ticks;
  entry->keyNode = brrbtree__insert(cache->keys, key, entry);
  if (!entry->keyNode) {
    free(entry);
    return nullptr;
  }
  entry->timeNode = brrbtree__insert(cache->times, &entry->lastUse, entry);
  if (!entry->timeNode) {
    brrbtree__remove(cache->keys, entry->keyNode);
    free(entry);
    return nullptr;
  }
  logEntry(cache, "BRCACHE", 17, '+', entry, ticks);
  sanitycheck(cache);

  if (static_cast<int64_t>(brrbtree__size(cache->keys)) > cache->capacity) {
    auto *oldest = static_cast<brcache__node_s *>(brrbtree__first(cache->times)->data);
    // With a capacity below 1 the new entry may be the oldest; evicting it
    // would hand the caller a freed entry.
    if (oldest != entry) {
      brlog("BRCACHE", 16, "Cache Full (%d) -- Killing Oldest Node\n",
            static_cast<int>(brrbtree__size(cache->keys)));
      brcache__removenode(cache, oldest);
    }
  }
  if (cache->maxAgeMs > 0) {
    for (;;) {
      auto *oldest = static_cast<brcache__node_s *>(brrbtree__first(cache->times)->data);
      if (oldest == entry || oldest->lastUse >= ticks - cache->maxAgeMs) break;
      brlog("BRCACHE", 16, "Removing Old Node: %lld\n", static_cast<long long>(oldest->lastUse));
      brcache__removenode(cache, oldest);
    }
  }
  sanitycheck(cache);
  return entry;
}

brcache__node_s *brcache__find(brcache_t *cache, const void *key) {
  brrbtree__node_s *node = brrbtree__find(cache->keys, key);
  return use(cache, node ? static_cast<brcache__node_s *>(node->data) : nullptr);
}

brcache__node_s *brcache__findexact(brcache_t *cache, const void *key) {
  brrbtree__node_s *node = brrbtree__findexact(cache->keys, key);
  return use(cache, node ? static_cast<brcache__node_s *>(node->data) : nullptr);
}

brerror_t brcache__removenode(brcache_t *cache, brcache__node_s *entry) {
  logEntry(cache, "BRCACHE", 17, '-', entry, now(cache));
  if (cache->onRemove) cache->onRemove(cache, entry, cache->user);
  brrbtree__remove(cache->keys, entry->keyNode);
  brrbtree__remove(cache->times, entry->timeNode);
  free(entry);
  sanitycheck(cache);
  return BRERROR_NONE;
}

void brcache__removeall(brcache_t *cache) {
  sanitycheck(cache);
  brrbtree__removeall(cache->keys);
  brrbtree__traverse_postorder(cache->times, 0, collectEntry, cache);
  brrbtree__removeall(cache->times);
}

void brcache__destroy(brcache_t *cache) {
  if (!cache) return;
  brcache__removeall(cache);
  brrbtree__destroy(cache->keys);
  brrbtree__destroy(cache->times);
  free(cache);
}

uint32_t brcache__size(brcache_t *cache) {
  sanitycheck(cache);
  return brrbtree__size(cache->keys);
}

void brcache__logdump(brcache_t *cache, const char *tag, int severity) {
  int64_t ticks = now(cache);
  brlog(tag, severity, " <DUMP>\n");
  for (brrbtree__node_s *node = brrbtree__first(cache->times); node;
       node = brrbtree__next(cache->times, node)) {
    logEntry(cache, tag, severity, ' ', static_cast<brcache__node_s *>(node->data), ticks);
  }
  brlog(tag, severity, " </DUMP>\n");
}
