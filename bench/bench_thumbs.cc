// The import's picture work, as bench_thumbs.sh times it against
// vipsthumbnail: for each file named, read it, decode the preview (at most
// 1024x1024, flags 0x38), encode it as JPEG quality 80, cut and scale the
// 160x160 thumbnail from the preview, encode that, and write both files.
//
//   bench_thumbs OUTDIR FILE...
//
// Prints the milliseconds per file of each phase, so that the caller can time
// the whole process and still see where the time goes.
#include <chrono>
#include <cstdio>
#include <string>

#include "hbimg.h"
#include "hbstream_posix.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

brerror_t encodeToFile(HBImg *image, const std::string &path) {
  HBRef<IHBStream> out;
  brerror_t err = HBStream__newRaw(out.out(), path.c_str(),
                                   HBSTREAM_WRITE | HBSTREAM_CREATE | HBSTREAM_TRUNCATE);
  if (err < 0) return err;
  return HBImg__encodeToStreamJPEG(image, out.get(), 80);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s OUTDIR FILE...\n", argv[0]);
    return 2;
  }
  const std::string outdir = argv[1];
  double tDecode = 0, tPreview = 0, tScale = 0, tThumb = 0;
  int pw = 0, ph = 0;
  for (int i = 2; i < argc; i++) {
    // The photo is read through a file stream, as an import reads it.
    auto t = Clock::now();
    HBRef<IHBStream> in;
    HBRef<HBImg> preview;
    brerror_t err = HBStream__newRaw(in.out(), argv[i], HBSTREAM_READ);
    if (err >= 0) err = HBImg__newFromStreamScaled(preview.out(), in.get(), 1024, 1024, 0x38);
    if (err < 0) {
      fprintf(stderr, "decode %s: %d\n", argv[i], err);
      return 1;
    }
    tDecode += msSince(t);
    pw = preview->getWidth();
    ph = preview->getHeight();

    const std::string base = outdir + "/" + std::to_string(i);
    t = Clock::now();
    if (encodeToFile(preview.get(), base + ".pv.jpg") < 0) return 1;
    tPreview += msSince(t);

    t = Clock::now();
    HBRef<HBImg> thumb;
    if (HBImg__copyScaled(thumb.out(), preview.get(), 160, 160, HBIMG_FLAG_CROP) < 0) return 1;
    tScale += msSince(t);

    t = Clock::now();
    if (encodeToFile(thumb.get(), base + ".tn.jpg") < 0) return 1;
    tThumb += msSince(t);
  }
  const int n = argc - 2;
  printf("files %d  preview %dx%d\n", n, pw, ph);
  printf("  read+decode %.1f  preview-jpeg %.1f  thumb-scale %.2f  thumb-jpeg %.2f  (ms per file)\n",
         tDecode / n, tPreview / n, tScale / n, tThumb / n);
  return 0;
}
