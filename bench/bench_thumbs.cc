// The import's picture work, as bench_thumbs.sh times it against
// vipsthumbnail: for each file named, read it, decode the preview (at most
// 1024x1024, flags 0x38), encode it as JPEG quality 80, cut and scale the
// 160x160 thumbnail from the preview, encode that, and write both files.
//
//   bench_thumbs OUTDIR FILE...
//
// Prints one line per phase with the total milliseconds over all files, so
// the caller can time the whole process and still see where the time goes.
#include <chrono>
#include <cstdio>
#include <string>

#include "hbimg.h"
#include "hbimg_teststream.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool readFile(const char *path, std::string *out) {
  FILE *f = fopen(path, "rb");
  if (!f) return false;
  char buf[1 << 16];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
  return true;
}

bool writeFile(const std::string &path, const std::string &data) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s OUTDIR FILE...\n", argv[0]);
    return 2;
  }
  const std::string outdir = argv[1];
  double tRead = 0, tDecode = 0, tEncodePv = 0, tScale = 0, tEncodeTn = 0, tWrite = 0;
  int pw = 0, ph = 0;
  for (int i = 2; i < argc; i++) {
    auto t = Clock::now();
    std::string data;
    if (!readFile(argv[i], &data)) {
      fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    tRead += msSince(t);

    t = Clock::now();
    HBRef<HBImgTestStream> in(new HBImgTestStream(std::move(data)));
    HBRef<HBImg> preview;
    brerror_t err = HBImg__newFromStreamScaled(preview.out(), in.get(), 1024, 1024, 0x38);
    if (err < 0) {
      fprintf(stderr, "decode %s: %d\n", argv[i], err);
      return 1;
    }
    tDecode += msSince(t);
    pw = preview->getWidth();
    ph = preview->getHeight();

    t = Clock::now();
    HBRef<HBImgTestStream> pv(new HBImgTestStream);
    if (HBImg__encodeToStreamJPEG(preview.get(), pv.get(), 80) < 0) return 1;
    tEncodePv += msSince(t);

    t = Clock::now();
    HBRef<HBImg> thumb;
    if (HBImg__copyScaled(thumb.out(), preview.get(), 160, 160, HBIMG_FLAG_CROP) < 0) return 1;
    tScale += msSince(t);

    t = Clock::now();
    HBRef<HBImgTestStream> tn(new HBImgTestStream);
    if (HBImg__encodeToStreamJPEG(thumb.get(), tn.get(), 80) < 0) return 1;
    tEncodeTn += msSince(t);

    t = Clock::now();
    const std::string base = outdir + "/" + std::to_string(i);
    if (!writeFile(base + ".pv.jpg", pv->data()) || !writeFile(base + ".tn.jpg", tn->data())) {
      fprintf(stderr, "cannot write to %s\n", outdir.c_str());
      return 1;
    }
    tWrite += msSince(t);
  }
  const int n = argc - 2;
  printf("files %d  preview %dx%d\n", n, pw, ph);
  printf("  read %.1f  decode %.1f  encode-pv %.1f  thumb-scale %.1f  encode-tn %.1f  write %.1f"
         "  (ms per file)\n",
         tRead / n, tDecode / n, tEncodePv / n, tScale / n, tEncodeTn / n, tWrite / n);
  return 0;
}
