// Cost of a log call. Above the threshold it must be one comparison and no
// formatting; the anchor is an empty loop body. A line written to a sink
// that keeps only the memory ring (flags 0x18) shows what one written line
// costs: formatting, the log lock, the time stamp and the ring copy.
#include <benchmark/benchmark.h>

#include "brlog.h"
#include "hblogsink.h"

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

static void BM_LogToMemoryRing(benchmark::State &state) {
  brlog_setverbosity(8);
  hblogsink__init("bench", nullptr, nullptr, HBLOGSINK_MEMLOG | HBLOGSINK_NOFILE, nullptr);
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    brlog("BENCH", 8, "value %d %s\n", value, "text");
  }
  hblogsink__destroy();
}
BENCHMARK(BM_LogToMemoryRing);

BENCHMARK_MAIN();
