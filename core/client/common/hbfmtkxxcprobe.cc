// HBFmtImplKXXCProbe: the capture time of a video, from the external probe
// program "kxxc_probe" run on the file's path, and its cover picture from a
// second parse of the file with the MP4 implementation alone. The bytes fed
// through the parser are not looked at; the probe reads the file itself.
#include <limits.h>
#include <strings.h>
#include <unistd.h>

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "brlog.h"
#include "brthread.h"
#include "hbfmt_impl.h"
#include "hbfork2_posix.h"
#include "hbjson.h"
#include "hbmap.h"
#include "hbobjlog.h"
#include "hbproperties.h"
#include "hbstream_posix.h"
#include "platform_bundle.h"

extern char **environ;

namespace {

const char kTag[] = "KXXC";
const char kProgram[] = "kxxc_probe";
// A probe that has neither finished its output nor exited by then is killed.
constexpr int32_t kProbeTimeoutMs = 10000;
// After SIGTERM; a probe still there then is left to HBFork2's own
// SIGTERM/SIGKILL loop when it is released.
constexpr int32_t kAfterKillMs = 5000;

bool isProgram(const char *path) { return access(path, X_OK) == 0; }

// The path found by the first search, shared by every parser of the
// process; empty when there is no probe. The search runs once, other
// threads wait on the static's guard until it is done.
const char *probeProgram() {
  static const std::string found = [] {
    char path[PATH_MAX];
    std::string result;
    if (hbfmtkxxcprobe__findProgram(path, sizeof path) == BRERROR_NONE) result = path;
    brlog(kTag, 16, "Probe program: '%s'\n", result.c_str());
    return result;
  }();
  return found.empty() ? nullptr : found.c_str();
}

bool hasVideoExtension(const char *fileName) {
  const char *dot = strrchr(fileName, '.');
  if (!dot) return false;
  return strcasecmp(dot + 1, "mov") == 0 || strcasecmp(dot + 1, "mp4") == 0 || strcasecmp(dot + 1, "m4v") == 0;
}

class HBFmtImplKXXCProbe final : public IHBFormatImpl {
 public:
  HBFmtImplKXXCProbe(const char *probe, const char *file) : probe_(probe), file_(file) {}

  brerror_t parseSlice(HBFormatImplInfo_t *info) override {
    info->used = info->avail;
    reportDate(info->sink);
    reportThumbnail(info->sink);
    return BRERROR_OUT_OF_RANGE;
  }

 private:
  // Runs the probe and returns its document, or null.
  HBMap *probe() {
    brlog(kTag, 16, "--- USING KXXC_PROBE:\n");
    brlog(kTag, 16, "    %s\n", probe_.c_str());
    brlog(kTag, 16, "    %s\n", file_.c_str());
    HBRef<IHBFork2> fork;
    if (HBFork2__new(HBFORK2_PIPE_STDOUT, fork.out()) != BRERROR_NONE) return nullptr;
    // One limit for the whole run: the output must be complete and the
    // probe gone within it.
    const int64_t deadline = brthread__getticks() + kProbeTimeoutMs;
    fork->setTimeout(kProbeTimeoutMs);
    char *argv[] = {probe_.data(), file_.data(), nullptr};
    brerror_t rc = fork->run(argv, environ);
    if (rc != BRERROR_NONE) {
      brlog(kTag, 1, "kxxc_probe could not be started: %d\n", rc);
      return nullptr;
    }
    HBMap *document = nullptr;
    HBRef<IHBStream> out;
    if (fork->getStream(HBFORK2_STREAM_STDOUT, out.out()) == BRERROR_NONE) {
      rc = HBJSON__parseStream(&document, out.get());
      if (rc != BRERROR_NONE) {
        brlog(kTag, 2, "kxxc_probe output not read: %d\n", rc);
        document = nullptr;
      }
    }
    int64_t left = deadline - brthread__getticks();
    int32_t status = 0;
    if (fork->waitExit(left > 0 ? static_cast<int32_t>(left) : 0, &status) == BRERROR_TIMED_OUT) {
      fork->kill(SIGTERM);
      fork->waitExit(kAfterKillMs, &status);
    }
    return document;
  }

  void reportDate(IHBFormatImplSink *sink) {
    HBRef<HBMap> document(probe());
    if (!document) return;
    HBMap__logMap(kTag, 18, document.get());
    HBRef<IHBMap> format, metadata;
    if (document->getAtKey("format", HBTYPE_IID_IHBMAP, reinterpret_cast<void **>(format.out())) != BRERROR_NONE ||
        format->getAtKey("metadata", HBTYPE_IID_IHBMAP, reinterpret_cast<void **>(metadata.out())) !=
            BRERROR_NONE) {
      return;
    }
    const char *date = metadata->getStringAtKey("date");
    int64_t ms;
    if (!date || !hbfmtkxxcprobe__parseDate(date, &ms)) return;
    int year, month, day, hour, minute, second;
    sscanf(date, "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour, &minute, &second);
    char text[32];
    snprintf(text, sizeof text, "%" PRId64, ms);
    brlog(kTag, 16, "KXXCPROBE DateTimeOriginal: '%s' --> %lld --> '%d-%d-%d %d:%d:%d\n", date,
          static_cast<long long>(ms), year, month, day, hour, minute, second);
    sink->notifyItemFound("EXIF-DateTimeOriginal", HBTYPE_STRING, text);
  }

  // The MP4 implementation reads the cover; only its picture is taken, the
  // date above is the probe's.
  void reportThumbnail(IHBFormatImplSink *sink) {
    HBRef<IHBStream> file;
    if (HBStream__newRaw(file.out(), file_.c_str(), HBSTREAM_READ) != BRERROR_NONE) return;
    HBRef<IHBFormatParser> parser;
    if (HBFmtParser__newWithFmtImplFact(file.get(), HBFmtImplFactAac__get(), parser.out()) != BRERROR_NONE) return;
    parser->doFPFinishParse();
    HBRef<IHBMap> items;
    hbtype_t type = HBTYPE_ANY;
    HBRef<IHBObj> picture;
    if (parser->getFPResultMap(items.out()) == BRERROR_NONE &&
        items->getAtKey("vqz-tn", &type, nullptr) == BRERROR_NONE && !hbtype__isPlain(type) &&
        items->getAtKey("vqz-tn", type, reinterpret_cast<void **>(picture.out())) == BRERROR_NONE) {
      HBRef<IHBObjMimeType> typed;
      const char *mime = "";
      if (picture->getifc(HBTYPE_IID_IHBOBJMIMETYPE, reinterpret_cast<void **>(typed.out())) == BRERROR_NONE) {
        mime = typed->getObjMimeType();
      }
      brlog(kTag, 16, "KXXCPROBE (VIA AAC_PARSER) Embedded Thumbnail: '%s' --> '%s'\n", file_.c_str(), mime);
      sink->notifyItemFound("vqz-tn", type, picture.get());
    }
    parser->releaseStream();
    parser->close();
    file->close();
  }

  std::string probe_;
  std::string file_;
};

class HBFmtImplFactKXXCProbe final : public IHBFormatImplFact {
 public:
  brerror_t matchFormat(HBFormatImplInfo_t *info, IHBFormatImpl **impl) override {
    if (!info->fileName || !hasVideoExtension(info->fileName)) return BRERROR_NO_ENTRY;
    const char *probe = probeProgram();
    if (!probe) return BRERROR_NO_ENTRY;
    *impl = new (std::nothrow) HBFmtImplKXXCProbe(probe, info->fileName);
    if (!*impl) return BRERROR_NO_MEMORY;
    info->used = 0;
    return BRERROR_NONE;
  }
  const char *getDesc() override { return "KXXC_PROBE"; }
};

}  // namespace

brerror_t hbfmtkxxcprobe__findProgram(char *out, size_t size) {
  if (platform__getBundleResource("bin", kProgram, out, size) == BRERROR_NONE && isProgram(out)) {
    return BRERROR_NONE;
  }
  char installdir[PATH_MAX];
  if (HBProperites__getProperty("installdir", installdir, sizeof installdir) > 0) {
    int n = snprintf(out, size, "%s/%s", installdir, kProgram);
    if (n > 0 && static_cast<size_t>(n) < size && isProgram(out)) return BRERROR_NONE;
  }
  int n = snprintf(out, size, "./%s", kProgram);
  if (n > 0 && static_cast<size_t>(n) < size && isProgram(out)) return BRERROR_NONE;
  if (size > 0) out[0] = '\0';
  return BRERROR_NO_ENTRY;
}

bool hbfmtkxxcprobe__parseDate(const char *text, int64_t *ms) {
  int year, month, day, hour, minute, second, zone;
  if (sscanf(text, "%d-%d-%dT%d:%d:%d%d", &year, &month, &day, &hour, &minute, &second, &zone) != 7) return false;
  // The zone is ±HHMM read as one number: -0700 is -700 and +0530 is 530,
  // so hours and minutes are taken apart rather than scaled together.
  const int zoneHours = zone / 100, zoneMinutes = zone % 100;
  if (zoneHours < -14 || zoneHours > 14 || zoneMinutes <= -60 || zoneMinutes >= 60) return false;
  int64_t utc;
  if (!hbfmt__utcToMs(year, month, day, hour, minute, second, &utc)) return false;
  *ms = utc - (static_cast<int64_t>(zoneHours) * 3600000 + static_cast<int64_t>(zoneMinutes) * 60000);
  return true;
}

IHBFormatImplFact *HBFmtImplFactKXXCProbe__get() {
  static HBFmtImplFactKXXCProbe factory;
  return &factory;
}
