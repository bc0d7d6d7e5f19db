#include "brhashtable.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(brht__node_t) == sizeof(brlist__node_t),
              "hash nodes come from list node allocators");

namespace {

brht__node_t **chainOf(brht_t *table, const void *key) {
  return &table->buckets[table->hash(key) % table->bucketCount];
}

// The link that points at the node holding `key`, or null.
brht__node_t **findLink(brht_t *table, const void *key) {
  for (brht__node_t **link = chainOf(table, key); *link; link = &(*link)->next) {
    if (table->compare(key, (*link)->key) == 0) return link;
  }
  return nullptr;
}

void release(brht_t *table, brht__node_t *node) { table->allocator->release(table->allocator, node); }

uint32_t strhashWith(const void *key, bool fold) {
  const char *text = static_cast<const char *>(key);
  if (!text || !*text) return 0;
  auto byte = [fold](char c) -> uint32_t {
    if (fold) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  };
  uint32_t hash = byte(*text++);
  for (; *text; text++) hash = hash * 31u + byte(*text);
  return hash;
}

}  // namespace

brerror_t brht__init(brht_t *table, brht__hash_f hash, brht__compare_f compare, uint32_t buckets,
                     brht__node_t **bucketArray, brlist__node_allocator_t *allocator) {
  if (!table || !bucketArray || buckets == 0) return BRERROR_FAULT;
  table->bucketCount = buckets;
  table->buckets = bucketArray;
  table->hash = hash;
  table->compare = compare;
  table->allocator = allocator ? allocator : brlist__getDefaultAllocator();
  table->ownsBlock = false;
  memset(bucketArray, 0, sizeof(*bucketArray) * buckets);
  return BRERROR_NONE;
}

brerror_t brht__new(brht_t **out, brht__hash_f hash, brht__compare_f compare, uint32_t buckets) {
  return brht__newex(out, hash, compare, buckets, nullptr);
}

brerror_t brht__newex(brht_t **out, brht__hash_f hash, brht__compare_f compare, uint32_t buckets,
                      brlist__node_allocator_t *allocator) {
  if (buckets == 0) return BRERROR_INVALID_ARGUMENT;
  void *block = malloc(sizeof(brht_t) + sizeof(brht__node_t *) * static_cast<size_t>(buckets));
  if (!block) return BRERROR_NO_MEMORY;
  auto *table = static_cast<brht_t *>(block);
  auto **bucketArray = reinterpret_cast<brht__node_t **>(table + 1);
  brht__init(table, hash, compare, buckets, bucketArray, allocator);
  table->ownsBlock = true;
  *out = table;
  return BRERROR_NONE;
}

brerror_t brht__set(brht_t *table, void *key, void *value) {
  if (brht__node_t **link = findLink(table, key)) {
    (*link)->key = key;
    (*link)->value = value;
    return BRERROR_NONE;
  }
  auto *node = static_cast<brht__node_t *>(table->allocator->alloc(table->allocator, value));
  if (!node) return BRERROR_NO_MEMORY;
  brht__node_t **chain = chainOf(table, key);
  node->key = key;
  node->value = value;
  node->next = *chain;
  *chain = node;
  return BRERROR_NONE;
}

void *brht__lookup(brht_t *table, const void *key) {
  brht__node_t **link = findLink(table, key);
  return link ? (*link)->value : nullptr;
}

brerror_t brht__lookupkey(brht_t *table, const void *key, void **storedKey, void **value) {
  brht__node_t **link = findLink(table, key);
  if (!link) return BRERROR_NO_ENTRY;
  if (storedKey) *storedKey = (*link)->key;
  if (value) *value = (*link)->value;
  return BRERROR_NONE;
}

brerror_t brht__remove(brht_t *table, const void *key, void **storedKey, void **value) {
  brht__node_t **link = findLink(table, key);
  if (!link) return BRERROR_NO_ENTRY;
  brht__node_t *node = *link;
  *link = node->next;
  if (storedKey) *storedKey = node->key;
  if (value) *value = node->value;
  release(table, node);
  return BRERROR_NONE;
}

uint32_t brht__foreach(brht_t *table, brht__foreach_f callback, void *user) {
  uint32_t removed = 0;
  for (uint32_t i = 0; i < table->bucketCount; i++) {
    brht__node_t **link = &table->buckets[i];
    while (*link) {
      brht__node_t *node = *link;
      if (!callback || callback(node->key, node->value, user) != 0) {
        *link = node->next;
        release(table, node);
        removed++;
      } else {
        link = &node->next;
      }
    }
  }
  return removed;
}

void brht__removeall(brht_t *table) { brht__foreach(table, nullptr, nullptr); }

void brht__deinit(brht_t *table) { brht__removeall(table); }

void brht__destroy(brht_t *table) {
  if (!table) return;
  brht__removeall(table);
  if (table->ownsBlock) free(table);
}

uint32_t brht__size(brht_t *table) {
  uint32_t count = 0;
  for (uint32_t i = 0; i < table->bucketCount; i++) {
    for (brht__node_t *node = table->buckets[i]; node; node = node->next) count++;
  }
  return count;
}

uint32_t brht__directhash(const void *key) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
}

uint32_t brht__pi64hash(const void *key) {
  return static_cast<uint32_t>(*static_cast<const int64_t *>(key));
}

uint32_t brht__uuidhash(const void *key) {
  if (!key) return 0;
  uint32_t words[4];
  memcpy(words, key, sizeof words);
  return words[0] + words[1] + words[2] + words[3];
}

uint32_t brht__strhash(const void *key) { return strhashWith(key, false); }
uint32_t brht__strcasehash(const void *key) { return strhashWith(key, true); }

int brht__directcmp(const void *a, const void *b) {
  auto x = reinterpret_cast<uintptr_t>(a);
  auto y = reinterpret_cast<uintptr_t>(b);
  return x == y ? 0 : (x < y ? -1 : 1);
}

int brht__pi64cmp(const void *a, const void *b) {
  int64_t x = *static_cast<const int64_t *>(a);
  int64_t y = *static_cast<const int64_t *>(b);
  return x == y ? 0 : (x < y ? -1 : 1);
}

int brht__uuidcmp(const void *a, const void *b) { return memcmp(a, b, 16); }

int brht__strcmp(const void *a, const void *b) {
  return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

int brht__strcasecmp(const void *a, const void *b) {
  return strcasecmp(static_cast<const char *>(a), static_cast<const char *>(b));
}
