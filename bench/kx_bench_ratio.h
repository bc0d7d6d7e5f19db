// Side-by-side ratios for Google Benchmark runs: a console reporter that
// remembers each run's time per iteration, and a main that prints, after the
// usual table, "ours / anchor" for every registered pair that ran.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kx_bench {

struct Pair {
  std::string label;
  std::string ours;
  std::string anchor;
};

inline std::vector<Pair> &pairs() {
  static std::vector<Pair> all;
  return all;
}

// Registers a pair by benchmark names (including any "/arg" suffix).
inline int ratio(const char *label, const char *ours, const char *anchor) {
  pairs().push_back({label, ours, anchor});
  return 0;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void printRatios() const {
    printf("\nratio (ours / anchor, time per iteration; < 1 means ours is faster)\n");
    for (const Pair &pair : pairs()) {
      auto ours = times_.find(pair.ours);
      auto anchor = times_.find(pair.anchor);
      if (ours == times_.end() || anchor == times_.end()) continue;
      printf("  %-40s %6.2f\n", pair.label.c_str(), ours->second / anchor->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

inline int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}

}  // namespace kx_bench
