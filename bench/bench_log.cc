// Cost of a log call. Above the threshold it must be one comparison and no
// formatting; the anchor is an empty loop body. A line written to a sink
// that keeps only the memory ring (flags 0x18) shows what one written line
// costs: formatting, the log lock, the time stamp and the ring copy; its
// anchor formats the same line with snprintf alone.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "brlog.h"
#include "hblogsink.h"
#include "kx_bench_ratio.h"

namespace {

void BM_EmptyLoop(benchmark::State &state) {
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_EmptyLoop);

void BM_LogAboveThreshold(benchmark::State &state) {
  brlog_setverbosity(8);
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    brlog("BENCH", 16, "value %d %s\n", value, "text");
  }
}
BENCHMARK(BM_LogAboveThreshold);

void BM_SnprintfLine(benchmark::State &state) {
  char message[4096];
  char line[4096 + 64];
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    snprintf(message, sizeof message, "value %d %s\n", value, "text");
    snprintf(line, sizeof line, "[%02d%02d%02d.%03u][%-6.6s][%-6.6s][%02x] %s", 12, 34, 56, 789u,
             "BENCH", "BENCH", 8, message);
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_SnprintfLine);

void BM_LogToMemoryRing(benchmark::State &state) {
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

const int registered[] = {
    kx_bench::ratio("log call above the threshold", "BM_LogAboveThreshold", "BM_EmptyLoop"),
    kx_bench::ratio("line into the memory ring", "BM_LogToMemoryRing", "BM_SnprintfLine"),
};

}  // namespace

int main(int argc, char **argv) { return kx_bench::main(argc, argv); }
