// The red-black tree and the LRU cache against std::multimap on the same
// 100,000 keys: random 64-bit integers and random 16-letter strings.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "brcache.h"
#include "brrbtree.h"
#include "kx_bench_ratio.h"

namespace {

constexpr size_t kKeys = 100000;

const std::vector<int64_t> &intKeys() {
  static const std::vector<int64_t> keys = [] {
    std::mt19937_64 rng(42);
    std::vector<int64_t> out(kKeys);
    for (int64_t &k : out) k = static_cast<int64_t>(rng());
    return out;
  }();
  return keys;
}

const std::vector<std::string> &stringKeys() {
  static const std::vector<std::string> keys = [] {
    std::mt19937_64 rng(43);
    std::vector<std::string> out(kKeys);
    for (std::string &k : out) {
      for (int i = 0; i < 16; i++) k.push_back(static_cast<char>('a' + rng() % 26));
    }
    return out;
  }();
  return keys;
}

// Lookups in an order unrelated to insertion.
std::vector<size_t> probeOrder() {
  std::vector<size_t> order(kKeys);
  for (size_t i = 0; i < kKeys; i++) order[i] = (i * 7919) % kKeys;
  return order;
}

struct StrLess {
  bool operator()(const char *a, const char *b) const { return strcmp(a, b) < 0; }
};

void *keyPtr(const int64_t &k) { return const_cast<int64_t *>(&k); }
void *keyPtr(const std::string &k) { return const_cast<char *>(k.c_str()); }

template <typename K>
brht__compare_f compareFor();
template <>
brht__compare_f compareFor<int64_t>() { return brht__pi64cmp; }
template <>
brht__compare_f compareFor<std::string>() { return brht__strcmp; }

template <typename K>
using Anchor = std::conditional_t<std::is_same_v<K, int64_t>, std::multimap<int64_t, void *>,
                                  std::multimap<const char *, void *, StrLess>>;

int64_t anchorKey(const int64_t &k) { return k; }
const char *anchorKey(const std::string &k) { return k.c_str(); }

template <typename K>
const std::vector<K> &keysFor() {
  if constexpr (std::is_same_v<K, int64_t>) {
    return intKeys();
  } else {
    return stringKeys();
  }
}

template <typename K>
void BM_TreeInsert(benchmark::State &state) {
  const auto &keys = keysFor<K>();
  for (auto _ : state) {
    brrbtree_t tree;
    brrbtree__init(&tree, compareFor<K>(), nullptr);
    for (const K &k : keys) brrbtree__insert(&tree, keyPtr(k), nullptr);
    benchmark::DoNotOptimize(tree.root);
    brrbtree__deinit(&tree);
  }
  state.SetItemsProcessed(state.iterations() * keys.size());
}

template <typename K>
void BM_MultimapInsert(benchmark::State &state) {
  const auto &keys = keysFor<K>();
  for (auto _ : state) {
    Anchor<K> map;
    for (const K &k : keys) map.emplace(anchorKey(k), nullptr);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * keys.size());
}

template <typename K>
void BM_TreeFind(benchmark::State &state) {
  const auto &keys = keysFor<K>();
  brrbtree_t tree;
  brrbtree__init(&tree, compareFor<K>(), nullptr);
  for (const K &k : keys) brrbtree__insert(&tree, keyPtr(k), nullptr);
  std::vector<size_t> order = probeOrder();
  for (auto _ : state) {
    for (size_t i : order) benchmark::DoNotOptimize(brrbtree__findexact(&tree, keyPtr(keys[i])));
  }
  brrbtree__deinit(&tree);
  state.SetItemsProcessed(state.iterations() * keys.size());
}

template <typename K>
void BM_MultimapFind(benchmark::State &state) {
  const auto &keys = keysFor<K>();
  Anchor<K> map;
  for (const K &k : keys) map.emplace(anchorKey(k), nullptr);
  std::vector<size_t> order = probeOrder();
  for (auto _ : state) {
    for (size_t i : order) benchmark::DoNotOptimize(map.find(anchorKey(keys[i])));
  }
  state.SetItemsProcessed(state.iterations() * keys.size());
}

// The cache keeps every key (capacity = key count), so the figures show the
// cost of its two trees rather than of its removal callbacks.
template <typename K>
void BM_CacheInsert(benchmark::State &state) {
  const auto &keys = keysFor<K>();
  for (auto _ : state) {
    brcache_t *cache = nullptr;
    brcache__new(&cache, compareFor<K>(), static_cast<int32_t>(keys.size()), nullptr, nullptr);
    for (const K &k : keys) brcache__insert(cache, keyPtr(k), nullptr);
    benchmark::DoNotOptimize(cache->keys->root);
    brcache__destroy(cache);
  }
  state.SetItemsProcessed(state.iterations() * keys.size());
}

// Every hit moves the entry to the newest end of the time tree.
template <typename K>
void BM_CacheFind(benchmark::State &state) {
  const auto &keys = keysFor<K>();
  brcache_t *cache = nullptr;
  brcache__new(&cache, compareFor<K>(), static_cast<int32_t>(keys.size()), nullptr, nullptr);
  for (const K &k : keys) brcache__insert(cache, keyPtr(k), nullptr);
  std::vector<size_t> order = probeOrder();
  for (auto _ : state) {
    for (size_t i : order) benchmark::DoNotOptimize(brcache__findexact(cache, keyPtr(keys[i])));
  }
  brcache__destroy(cache);
  state.SetItemsProcessed(state.iterations() * keys.size());
}

BENCHMARK(BM_TreeInsert<int64_t>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultimapInsert<int64_t>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeFind<int64_t>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultimapFind<int64_t>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheInsert<int64_t>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheFind<int64_t>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeInsert<std::string>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultimapInsert<std::string>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeFind<std::string>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultimapFind<std::string>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheInsert<std::string>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheFind<std::string>)->Unit(benchmark::kMillisecond);

const int registered[] = {
    kx_bench::ratio("tree insert, int64 keys", "BM_TreeInsert<int64_t>",
                    "BM_MultimapInsert<int64_t>"),
    kx_bench::ratio("tree find, int64 keys", "BM_TreeFind<int64_t>", "BM_MultimapFind<int64_t>"),
    kx_bench::ratio("cache insert, int64 keys", "BM_CacheInsert<int64_t>",
                    "BM_MultimapInsert<int64_t>"),
    kx_bench::ratio("cache find (with use refresh), int64", "BM_CacheFind<int64_t>",
                    "BM_MultimapFind<int64_t>"),
    kx_bench::ratio("tree insert, string keys", "BM_TreeInsert<std::string>",
                    "BM_MultimapInsert<std::string>"),
    kx_bench::ratio("tree find, string keys", "BM_TreeFind<std::string>",
                    "BM_MultimapFind<std::string>"),
    kx_bench::ratio("cache insert, string keys", "BM_CacheInsert<std::string>",
                    "BM_MultimapInsert<std::string>"),
    kx_bench::ratio("cache find (with use refresh), string", "BM_CacheFind<std::string>",
                    "BM_MultimapFind<std::string>"),
};

}  // namespace

int main(int argc, char **argv) { return kx_bench::main(argc, argv); }
