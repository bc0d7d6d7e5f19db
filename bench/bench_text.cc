// Text utilities against their anchors, in one run:
//  - composing 1 MiB of file names (decomposed accents as macOS writes them,
//    Latin, Greek and Cyrillic, mixed with plain ASCII names) one name at a
//    time, against ICU's NFC (icu::Normalizer2::getNFCInstance, UTF-8 API);
//  - Base64 encoding of 1 MiB against OpenSSL's EVP_EncodeBlock.
// The ratios (ours / anchor, CPU time; below 1 means faster) close the output.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "brunicode.h"
#include "hbbase64.h"

namespace {

constexpr size_t kMiB = 1 << 20;

std::string utf8(uint32_t cp) {
  char b[4];
  int n = brunicode_cptoutf8(cp, b, sizeof b);
  return std::string(b, static_cast<size_t>(n));
}

const std::vector<std::string> &names() {
  static const std::vector<std::string> list = [] {
    const uint32_t letters[] = {'a', 'e', 'i', 'o', 'u', 'n', 'c', 's', 'z', 'A', 'E', 'O',
                                0x3B1, 0x3B5, 0x3B9, 0x3BF, 0x3C9, 0x391, 0x438, 0x435, 0x443,
                                0x418, 0x415};
    const uint32_t marks[] = {0x301, 0x300, 0x308, 0x302, 0x30C, 0x327, 0x306, 0x313, 0x342};
    const char *words[] = {"IMG_", "holiday", "Scan ", "report-", "DSC", ".jpg", ".png", " "};
    std::mt19937 rng(42);
    std::vector<std::string> out;
    size_t total = 0;
    while (total < kMiB) {
      std::string name;
      bool accented = rng() % 2 == 0;
      int pieces = 3 + static_cast<int>(rng() % 6);
      for (int i = 0; i < pieces; i++) {
        if (accented && rng() % 2 == 0) {
          name += utf8(letters[rng() % (sizeof letters / sizeof letters[0])]);
          name += utf8(marks[rng() % (sizeof marks / sizeof marks[0])]);
        } else {
          name += words[rng() % (sizeof words / sizeof words[0])];
          name += std::to_string(rng() % 10000);
        }
      }
      total += name.size();
      out.push_back(std::move(name));
    }
    return out;
  }();
  return list;
}

void BM_ComposeNames_Ours(benchmark::State &state) {
  const auto &list = names();
  std::vector<char> out(4096);
  size_t bytes = 0;
  for (auto _ : state) {
    for (const std::string &name : list) {
      int n = brunicode_normalizec_utf8(name.data(), static_cast<int>(name.size()), out.data(),
                                        out.size());
      benchmark::DoNotOptimize(n);
      bytes += name.size();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ComposeNames_Ours)->Unit(benchmark::kMillisecond);

void BM_ComposeNames_IcuNfc(benchmark::State &state) {
  const auto &list = names();
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2 *nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) {
    state.SkipWithError("no ICU NFC instance");
    return;
  }
  std::string out;
  out.reserve(4096);
  size_t bytes = 0;
  for (auto _ : state) {
    for (const std::string &name : list) {
      out.clear();
      icu::StringByteSink<std::string> sink(&out);
      nfc->normalizeUTF8(0, icu::StringPiece(name.data(), static_cast<int32_t>(name.size())), sink,
                         nullptr, status);
      benchmark::DoNotOptimize(out.data());
      bytes += name.size();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ComposeNames_IcuNfc)->Unit(benchmark::kMillisecond);

const std::vector<unsigned char> &payload() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> d(kMiB);
    std::mt19937 rng(7);
    for (auto &b : d) b = static_cast<unsigned char>(rng());
    return d;
  }();
  return data;
}

void BM_Base64Encode_Ours(benchmark::State &state) {
  const auto &data = payload();
  std::vector<char> out(data.size() / 3 * 4 + 8);
  for (auto _ : state) {
    int n = hbbase64__encode(data.data(), data.size(), out.data(), out.size(), 0);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Base64Encode_Ours)->Unit(benchmark::kMicrosecond);

void BM_Base64Encode_OpenSsl(benchmark::State &state) {
  const auto &data = payload();
  std::vector<unsigned char> out(data.size() / 3 * 4 + 8);
  for (auto _ : state) {
    int n = EVP_EncodeBlock(out.data(), data.data(), static_cast<int>(data.size()));
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Base64Encode_OpenSsl)->Unit(benchmark::kMicrosecond);

// Prints the usual table and remembers each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter()
      : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
      }
    }
  }
  void ratio(const char *what, const char *ours, const char *anchor) const {
    auto a = times_.find(ours), b = times_.find(anchor);
    if (a == times_.end() || b == times_.end()) return;
    std::printf("ratio %s (ours / anchor): %.2f\n", what, a->second / b->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.ratio("compose 1 MiB of names vs ICU NFC", "BM_ComposeNames_Ours",
                 "BM_ComposeNames_IcuNfc");
  reporter.ratio("Base64 encode 1 MiB vs EVP_EncodeBlock", "BM_Base64Encode_Ours",
                 "BM_Base64Encode_OpenSsl");
  benchmark::Shutdown();
  return 0;
}
