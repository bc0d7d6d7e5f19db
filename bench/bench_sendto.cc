// Copy throughput of HBStream__sendTo (the 128 KiB read/write loop) on a
// 256 MiB file, side by side with `cp` of the same file in the same run.
// The files live in a fresh temporary folder that is removed at the end.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "hbstream_posix.h"

extern char **environ;

namespace {

constexpr int64_t kFileSize = 256LL << 20;
std::string g_source, g_destination;

void BM_SendTo(benchmark::State &state) {
  for (auto _ : state) {
    HBRef<IHBStream> source, destination;
    if (HBStream__newRaw(source.out(), g_source.c_str(), HBSTREAM_READ) != 0 ||
        HBStream__newRaw(destination.out(), g_destination.c_str(),
                         HBSTREAM_WRITE | HBSTREAM_CREATE | HBSTREAM_TRUNCATE) != 0) {
      state.SkipWithError("open failed");
      return;
    }
    if (source->sendTo(destination.get(), -1) != kFileSize) {
      state.SkipWithError("short copy");
      return;
    }
    destination->close();
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_Cp(benchmark::State &state) {
  for (auto _ : state) {
    pid_t pid;
    const char *argv[] = {"cp", g_source.c_str(), g_destination.c_str(), nullptr};
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
      state.SkipWithError("cannot run cp");
      return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("cp failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

BENCHMARK(BM_Cp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_SendTo)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Keeps the console output and remembers each benchmark's real time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char **argv) {
  char folder[] = "/tmp/bench_sendto_XXXXXX";
  if (!mkdtemp(folder)) return 1;
  g_source = std::string(folder) + "/source";
  g_destination = std::string(folder) + "/destination";
  {
    std::ofstream out(g_source, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 13);
    for (int64_t i = 0; i < kFileSize / static_cast<int64_t>(block.size()); ++i) {
      block[0] = static_cast<char>(i);
      out.write(block.data(), block.size());
    }
  }

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove_all(folder);

  const auto cp = reporter.times.find("BM_Cp/iterations:5/real_time");
  const auto ours = reporter.times.find("BM_SendTo/iterations:5/real_time");
  if (cp != reporter.times.end() && ours != reporter.times.end() && cp->second > 0)
    printf("sendTo / cp time ratio: %.2f (sendTo %.1f ms, cp %.1f ms per 256 MiB copy)\n",
           ours->second / cp->second, ours->second, cp->second);
  return 0;
}
