// Cost of a log call whose severity is above the threshold: it must be one
// comparison and no formatting. The anchor is an empty loop body.
#include <benchmark/benchmark.h>

#include "brlog.h"

static void BM_EmptyLoop(benchmark::State &state) {
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_EmptyLoop);

static void BM_LogAboveThreshold(benchmark::State &state) {
  brlog_setverbosity(8);
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    brlog("BENCH", 16, "value %d %s\n", value, "text");
  }
}
BENCHMARK(BM_LogAboveThreshold);

BENCHMARK_MAIN();
