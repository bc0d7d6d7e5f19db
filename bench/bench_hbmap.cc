// An RPC-sized HBMap (50 string keys with short values, as in a reply)
// built and read, against std::map<std::string, std::string> on the same
// keys and values.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "hbmap.h"
#include "kx_bench_ratio.h"

namespace {

constexpr int kEntries = 50;

struct Fields {
  std::vector<std::string> keys;
  std::vector<std::string> values;
};

const Fields &fields() {
  static const Fields f = [] {
    const char *stems[] = {"file", "parent", "service", "device", "stream", "mime", "size",
                           "ctime", "mtime", "name"};
    Fields out;
    for (int i = 0; i < kEntries; i++) {
      out.keys.push_back(std::string(stems[i % 10]) + (i < 10 ? "id" : "attr" + std::to_string(i)));
      out.values.push_back("v" + std::to_string(i * 7919));
    }
    return out;
  }();
  return f;
}

HBMap *buildHBMap() {
  const Fields &f = fields();
  auto *map = new HBMap(nullptr, 4096, 4096, nullptr);
  for (int i = 0; i < kEntries; i++) map->setAtKey(f.keys[i].c_str(), f.values[i].c_str(), 0);
  return map;
}

std::map<std::string, std::string> buildStdMap() {
  const Fields &f = fields();
  std::map<std::string, std::string> map;
  for (int i = 0; i < kEntries; i++) map.emplace(f.keys[i].c_str(), f.values[i].c_str());
  return map;
}

void BM_HBMapBuild(benchmark::State &state) {
  for (auto _ : state) {
    HBMap *map = buildHBMap();
    benchmark::DoNotOptimize(map);
    map->dnref();
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

void BM_StdMapBuild(benchmark::State &state) {
  for (auto _ : state) {
    auto map = buildStdMap();
    benchmark::DoNotOptimize(map);
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

// Lookups by C string, as RPC and JSON code does.
void BM_HBMapRead(benchmark::State &state) {
  const Fields &f = fields();
  HBMap *map = buildHBMap();
  for (auto _ : state) {
    for (int i = kEntries - 1; i >= 0; i--) {
      benchmark::DoNotOptimize(map->getStringAtKey(f.keys[i].c_str()));
    }
  }
  map->dnref();
  state.SetItemsProcessed(state.iterations() * kEntries);
}

void BM_StdMapRead(benchmark::State &state) {
  const Fields &f = fields();
  auto map = buildStdMap();
  for (auto _ : state) {
    for (int i = kEntries - 1; i >= 0; i--) {
      auto it = map.find(f.keys[i].c_str());
      benchmark::DoNotOptimize(it->second.c_str());
    }
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

// A reply map reused across calls: flush, then fill again.
void BM_HBMapFlushAndRefill(benchmark::State &state) {
  const Fields &f = fields();
  HBMap *map = buildHBMap();
  for (auto _ : state) {
    map->flush();
    for (int i = 0; i < kEntries; i++) map->setAtKey(f.keys[i].c_str(), f.values[i].c_str(), 0);
    benchmark::DoNotOptimize(map);
  }
  map->dnref();
  state.SetItemsProcessed(state.iterations() * kEntries);
}

void BM_StdMapClearAndRefill(benchmark::State &state) {
  const Fields &f = fields();
  auto map = buildStdMap();
  for (auto _ : state) {
    map.clear();
    for (int i = 0; i < kEntries; i++) map.emplace(f.keys[i].c_str(), f.values[i].c_str());
    benchmark::DoNotOptimize(map);
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

BENCHMARK(BM_HBMapBuild);
BENCHMARK(BM_StdMapBuild);
BENCHMARK(BM_HBMapRead);
BENCHMARK(BM_StdMapRead);
BENCHMARK(BM_HBMapFlushAndRefill);
BENCHMARK(BM_StdMapClearAndRefill);

const int registered[] = {
    kx_bench::ratio("build 50 entries", "BM_HBMapBuild", "BM_StdMapBuild"),
    kx_bench::ratio("read 50 keys", "BM_HBMapRead", "BM_StdMapRead"),
    kx_bench::ratio("flush/clear and refill", "BM_HBMapFlushAndRefill", "BM_StdMapClearAndRefill"),
};

}  // namespace

int main(int argc, char **argv) { return kx_bench::main(argc, argv); }
