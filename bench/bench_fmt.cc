// Media parsers against their anchors, in one run:
// - an MP4 of 200 MiB whose "moov" box is at the end: the bytes read through
//   the parser next to the file size (only box headers and "moov" should be
//   read);
// - EXIF of 100 photos: time per photo of HBFmtParser against
//   `exiftool -fast2` reading the same tags of the same files.
// Needs ffmpeg and exiftool; the fixtures go to a temporary folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "hbfmt.h"
#include "hbfork2_posix.h"

namespace {

std::string g_dir;
double g_oursPerPhotoUs = 0, g_exiftoolPerPhotoUs = 0;

int32_t run(std::vector<std::string> args) {
  HBRef<IHBFork2> fork;
  HBFork2__new(0, fork.out());
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  char *envp[] = {const_cast<char *>("PATH=/usr/bin:/bin"), const_cast<char *>("HOME=/tmp"), nullptr};
  if (fork->run(argv.data(), envp) != 0) return -1;
  int32_t status = -1;
  fork->waitExit(-1, &status);
  return status;
}

// A file stream that counts the bytes it delivers.
class CountingFile final : public IHBStream {
 public:
  explicit CountingFile(const std::string &path) : fd_(open(path.c_str(), O_RDONLY)) {}
  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t n = refs_.release();
    if (n == 0) delete this;
    return n;
  }
  brerror_t getifc(hbtype_t, void **) override { return BRERROR_NO_ENTRY; }
  brerror_t read(void *buffer, int32_t size) override {
    ssize_t n = ::read(fd_, buffer, static_cast<size_t>(size));
    if (n > 0) bytesRead += n;
    return n < 0 ? BRERROR_IO : static_cast<brerror_t>(n);
  }
  brerror_t write(const void *, int32_t) override { return BRERROR_UNSUPPORTED; }
  int64_t seek(int64_t offset, int origin) override {
    off_t r = lseek(fd_, offset, origin == HBSEEK_CUR ? SEEK_CUR : origin == HBSEEK_END ? SEEK_END : SEEK_SET);
    return r < 0 ? int64_t{BRERROR_IO} : int64_t{r};
  }
  brerror_t sync() override { return 0; }
  brerror_t close() override { return 0; }
  int64_t sendTo(IHBStream *, int64_t) override { return BRERROR_UNSUPPORTED; }
  int64_t bytesRead = 0;

 private:
  ~CountingFile() override { ::close(fd_); }
  HBRefCount refs_;
  int fd_;
};

void BM_Mp4MoovAtEnd200MiB(benchmark::State &state) {
  std::string path = g_dir + "/big.mp4";
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    // A short clip (moov at the end by default) with 200 MiB of media
    // data in front of its movie box.
    std::string clip = g_dir + "/short.mp4";
    run({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "sine=duration=1",
         "-c:a", "aac", "-metadata", "title=Big", "-metadata", "creation_time=2013-07-03T13:20:00Z", clip});
    FILE *in = fopen(clip.c_str(), "rb");
    std::vector<uint8_t> bytes;
    for (int c; (c = fgetc(in)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    fclose(in);
    // ftyp, then a media data box of 200 MiB, then the clip's other boxes.
    uint32_t ftyp = bytes[0] << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    FILE *out = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, ftyp, out);
    const uint32_t pad = 200u << 20;
    uint8_t header[8] = {static_cast<uint8_t>(pad >> 24), static_cast<uint8_t>(pad >> 16),
                         static_cast<uint8_t>(pad >> 8), static_cast<uint8_t>(pad), 'm', 'd', 'a', 't'};
    fwrite(header, 1, 8, out);
    std::vector<uint8_t> chunk(1 << 20, 0);
    for (uint32_t done = 8; done < pad; done += static_cast<uint32_t>(chunk.size())) {
      fwrite(chunk.data(), 1, std::min<size_t>(chunk.size(), pad - done), out);
    }
    fwrite(bytes.data() + ftyp, 1, bytes.size() - ftyp, out);
    fclose(out);
    stat(path.c_str(), &st);
  }
  int64_t read = 0;
  bool titled = false;
  for (auto _ : state) {
    CountingFile *file = new CountingFile(path);
    HBRef<IHBFormatParser> parser;
    HBFmtParser__new(file, nullptr, parser.out());
    parser->doFPFinishParse();
    HBRef<IHBMap> items;
    titled = parser->getFPResultMap(items.out()) == 0 && items->getStringAtKey("title") != nullptr;
    read = file->bytesRead;
    parser->close();
    parser.reset();
    file->dnref();
  }
  state.counters["file_bytes"] = static_cast<double>(st.st_size);
  state.counters["bytes_read"] = static_cast<double>(read);
  state.counters["read_fraction"] = static_cast<double>(read) / static_cast<double>(st.st_size);
  if (!titled) state.SkipWithError("the title after the media data was not found");
}
BENCHMARK(BM_Mp4MoovAtEnd200MiB)->Unit(benchmark::kMillisecond)->Iterations(5);

constexpr int kPhotos = 100;

std::string photo(int i) { return g_dir + "/photos/p" + std::to_string(i) + ".jpg"; }

void makePhotos() {
  std::string dir = g_dir + "/photos";
  mkdir(dir.c_str(), 0700);
  std::string first = photo(0);
  run({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
       "testsrc=size=640x480", "-frames:v", "1", first});
  run({"/usr/bin/exiftool", "-q", "-overwrite_original", "-Make=Canon", "-Model=Canon EOS 5D",
       "-DateTimeOriginal=2013:07:04 12:30:00", "-GPSLatitude=47.5", "-GPSLatitudeRef=N", "-GPSLongitude=8.25",
       "-GPSLongitudeRef=E", first});
  for (int i = 1; i < kPhotos; i++) run({"/bin/cp", first, photo(i)});
}

void BM_ExifPerPhoto_HBFmtParser(benchmark::State &state) {
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPhotos; i++) {
      // Read the way an upload reads a photo: the whole file through the
      // parser, in 4 KiB blocks.
      CountingFile *file = new CountingFile(photo(i));
      HBRef<IHBFormatParser> parser;
      HBFmtParser__new(file, nullptr, parser.out());
      char block[4096];
      while (parser->read(block, sizeof block) > 0) {
      }
      HBRef<IHBMap> items;
      if (parser->getFPResultMap(items.out()) == 0) {
        benchmark::DoNotOptimize(items->getStringAtKey("EXIF-GPSCoordinates"));
      }
      parser->close();
      parser.reset();
      file->dnref();
    }
    g_oursPerPhotoUs = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() /
                       kPhotos;
  }
  state.counters["us_per_photo"] = g_oursPerPhotoUs;
}
BENCHMARK(BM_ExifPerPhoto_HBFmtParser)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ExifPerPhoto_ExiftoolFast2(benchmark::State &state) {
  for (auto _ : state) {
    std::vector<std::string> args = {"/usr/bin/exiftool", "-q", "-q", "-fast2", "-Make", "-Model", "-DateTimeOriginal", "-GPSLatitude",
            "-GPSLongitude"};
    for (int i = 0; i < kPhotos; i++) args.push_back(photo(i));
    auto start = std::chrono::steady_clock::now();
    HBRef<IHBFork2> fork;
    HBFork2__new(HBFORK2_PIPE_STDOUT, fork.out());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char *envp[] = {const_cast<char *>("PATH=/usr/bin:/bin"), const_cast<char *>("HOME=/tmp"), nullptr};
    fork->run(argv.data(), envp);
    HBRef<IHBStream> out;
    fork->getStream(HBFORK2_STREAM_STDOUT, out.out());
    char buffer[4096];
    while (out->read(buffer, sizeof buffer) > 0) {
    }
    int32_t status;
    fork->waitExit(-1, &status);
    g_exiftoolPerPhotoUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kPhotos;
  }
  state.counters["us_per_photo"] = g_exiftoolPerPhotoUs;
}
BENCHMARK(BM_ExifPerPhoto_ExiftoolFast2)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char **argv) {
  if (access("/usr/bin/ffmpeg", X_OK) != 0 || access("/usr/bin/exiftool", X_OK) != 0) {
    fprintf(stderr, "bench_fmt needs ffmpeg and exiftool\n");
    return 1;
  }
  char pattern[] = "/tmp/bench_fmt.XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  g_dir = pattern;
  makePhotos();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_oursPerPhotoUs > 0) {
    printf("EXIF per photo: HBFmtParser %.1f us, exiftool -fast2 %.1f us, ratio %.1fx\n", g_oursPerPhotoUs,
           g_exiftoolPerPhotoUs, g_exiftoolPerPhotoUs / g_oursPerPhotoUs);
  }
  run({"/bin/rm", "-rf", g_dir});
  return 0;
}
