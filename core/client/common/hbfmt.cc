#include "hbfmt.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "brlog.h"
#include "hbdht.h"
#include "hbfmt_impl.h"
#include "hbmemstream.h"

namespace {

const char kTag[] = "HBFMT";
constexpr int32_t kCarrySize = 256;
constexpr int32_t kBlockSize = 4096;
constexpr size_t kItemsArenaStep = 4096;
constexpr uint32_t kPictureReserveMax = 16u << 20;

// ---------------------------------------------------------------------------
// A stream with a MIME type.

class HBStreamWithMimeType final : public IHBStream, public IHBObjMimeType {
 public:
  HBStreamWithMimeType(IHBStream *stream, const char *mime) : stream_(stream), mime_(mime ? mime : "") {
    stream_->upref();
  }

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t n = refs_.release();
    if (n == 0) delete this;
    return n;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id == HBTYPE_IID_IHBOBJ || id == HBTYPE_IID_IHBSTREAM) {
      *out = static_cast<IHBStream *>(this);
    } else if (id == HBTYPE_IID_IHBOBJMIMETYPE) {
      *out = static_cast<IHBObjMimeType *>(this);
    } else {
      return BRERROR_NO_ENTRY;
    }
    upref();
    return BRERROR_NONE;
  }
  const char *getObjMimeType() override { return mime_.c_str(); }

  brerror_t read(void *buffer, int32_t size) override { return stream_->read(buffer, size); }
  brerror_t write(const void *data, int32_t size) override { return stream_->write(data, size); }
  int64_t seek(int64_t offset, int origin) override { return stream_->seek(offset, origin); }
  brerror_t sync() override { return stream_->sync(); }
  brerror_t close() override { return stream_->close(); }
  int64_t sendTo(IHBStream *destination, int64_t count) override { return stream_->sendTo(destination, count); }

 private:
  ~HBStreamWithMimeType() override { stream_->dnref(); }

  HBRefCount refs_;
  IHBStream *stream_;
  std::string mime_;
};

// ---------------------------------------------------------------------------
// The parser.

class HBFmtParser final : public IHBFormatParser, public IHBFormatImplSink {
 public:
  HBFmtParser(IHBStream *stream, IHBFormatImplFact *only, HBMap *items) : stream_(stream), only_(only), items_(items) {
    stream_->upref();
    info_.sink = this;
  }

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t n = refs_.release();
    if (n == 0) delete this;
    return n;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBSTREAM) return BRERROR_NO_ENTRY;
    upref();
    *out = static_cast<IHBStream *>(this);
    return BRERROR_NONE;
  }

  brerror_t read(void *buffer, int32_t size) override {
    if (!stream_) return BRERROR_BAD_STATE;
    brerror_t n = stream_->read(buffer, size);
    if (n > 0) {
      int64_t at = streamPos_;
      streamPos_ += n;
      totalRead_ += n;
      feed(static_cast<const uint8_t *>(buffer), n, at);
    }
    return n;
  }
  brerror_t write(const void *data, int32_t size) override {
    return stream_ ? stream_->write(data, size) : BRERROR_BAD_STATE;
  }
  int64_t seek(int64_t offset, int origin) override;
  brerror_t sync() override { return stream_ ? stream_->sync() : BRERROR_BAD_STATE; }
  brerror_t close() override {
    brerror_t rc = stream_ ? stream_->close() : BRERROR_NONE;
    impl_.reset();
    if (items_) items_->dnref();
    items_ = nullptr;
    closed_ = true;
    return rc;
  }
  int64_t sendTo(IHBStream *destination, int64_t count) override {
    return stream_ ? stream_->sendTo(destination, count) : int64_t{BRERROR_BAD_STATE};
  }

  HBFormatParserState_t getFPState() override { return state_; }
  int64_t getFPWantOffset() override { return state_ == HBFP_SEEKING ? target_ : -1; }
  brerror_t getFPResultMap(IHBMap **out) override {
    if (!items_) return BRERROR_NO_ENTRY;
    items_->upref();
    *out = items_;
    return BRERROR_NONE;
  }
  brerror_t doFPFinishParse() override;
  brerror_t releaseStream() override {
    if (stream_) stream_->dnref();
    stream_ = nullptr;
    return BRERROR_NONE;
  }

  void notifyItemFound(const char *key, hbtype_t type, const void *value) override;

  // For HBFmtParser__newWithFmtImplFact: matches the one factory on the
  // stream's first bytes; the bytes it skips are waited for as after a seek.
  brerror_t matchOnly(const uint8_t *head, int32_t length) {
    takeFileName();
    info_.avail = length;
    info_.data = head;
    info_.offset = 0;
    info_.used = 0;
    info_.wantOffset = -1;
    IHBFormatImpl *impl = nullptr;
    brerror_t rc = only_->matchFormat(&info_, &impl);
    if (rc != BRERROR_NONE || !impl) return rc != BRERROR_NONE ? rc : BRERROR_NO_ENTRY;
    impl_.reset(impl);
    int32_t skip = std::clamp(info_.used, 0, length);
    if (skip > 0) {
      target_ = skip;
      state_ = HBFP_SEEKING;
    }
    return BRERROR_NONE;
  }

 private:
  ~HBFmtParser() override {
    if (items_) items_->dnref();
    if (stream_) stream_->dnref();
  }

  bool setState(HBFormatParserState_t next) {
    if (state_ == HBFP_DONE || state_ == HBFP_FAILED || (state_ == HBFP_PARSING && next == HBFP_PARSING)) {
      brlog(kTag, 1, "Invalid FP state change %d ==> %d\n", state_, next);
      return false;
    }
    state_ = next;
    return true;
  }
  void fail(brerror_t rc) {
    brlog(kTag, 16, "[FMT] ERROR: %d\n", rc);
    setState(HBFP_FAILED);
  }
  // The underlying file's path, when it has one, into info_.fileName.
  void takeFileName();
  // The first factory that matches: its implementation and the bytes to
  // skip, or null.
  IHBFormatImpl *match(const uint8_t *data, int32_t length, int64_t offset, int32_t *pos);
  void feed(const uint8_t *data, int32_t length, int64_t offset);

  HBRefCount refs_;
  IHBStream *stream_;
  IHBFormatImplFact *only_;
  HBFormatImplInfo_t info_ = {};
  std::unique_ptr<IHBFormatImpl> impl_;
  HBMap *items_;
  HBFormatParserState_t state_ = HBFP_PARSING;
  uint8_t carry_[kCarrySize];
  int32_t carryLen_ = 0;
  int64_t target_ = -1;
  int64_t streamPos_ = 0;
  int64_t totalRead_ = 0;
  bool closed_ = false;
  char fileName_[4096] = {0};
};

int64_t HBFmtParser::seek(int64_t offset, int origin) {
  if (!stream_) return BRERROR_BAD_STATE;
  int64_t before = streamPos_;
  int64_t now = stream_->seek(offset, origin);
  if (now < 0) return now;
  streamPos_ = now;
  if (state_ == HBFP_PARSING) {
    // Bytes read again after seeking back were seen already; the parse
    // resumes where it stood.
    target_ = before;
    setState(HBFP_SEEKING);
  }
  if (state_ == HBFP_SEEKING) brlog(kTag, 18, "[FMT] Syncing after seek: %lld ...> %lld\n", (long long)now, (long long)target_);
  return now;
}

void HBFmtParser::takeFileName() {
  if (stream_ && !fileName_[0]) {
    void *ifc = nullptr;
    if (stream_->getifc(HBTYPE_IID_IHBFILESTREAM, &ifc) == 0) {
      IHBFileStream *file = static_cast<IHBFileStream *>(ifc);
      if (file->getFilePath(fileName_, sizeof fileName_) < 0) fileName_[0] = '\0';
      file->dnref();
    }
  }
  info_.fileName = fileName_[0] ? fileName_ : nullptr;
}

IHBFormatImpl *HBFmtParser::match(const uint8_t *data, int32_t length, int64_t offset, int32_t *pos) {
  takeFileName();
  IHBFormatImplFact *all[] = {HBFmtImplFactId3__get(), HBFmtImplFactExif__get(), HBFmtImplFactKXXCProbe__get(),
                              HBFmtImplFactAac__get()};
  IHBFormatImplFact *one[] = {only_};
  IHBFormatImplFact **list = only_ ? one : all;
  size_t count = only_ ? 1 : sizeof all / sizeof all[0];
  for (size_t i = 0; i < count; i++) {
    info_.avail = length;
    info_.data = data;
    info_.offset = offset;
    info_.used = 0;
    info_.wantOffset = -1;
    IHBFormatImpl *impl = nullptr;
    if (list[i]->matchFormat(&info_, &impl) == 0 && impl) {
      *pos = std::clamp(info_.used, 0, length);
      brlog(kTag, 16, "[FMT] Using '%s'\n", list[i]->getDesc());
      return impl;
    }
  }
  return nullptr;
}

void HBFmtParser::feed(const uint8_t *data, int32_t length, int64_t offset) {
  if (closed_ || state_ == HBFP_DONE || state_ == HBFP_FAILED) return;
  if (state_ == HBFP_SEEKING) {
    if (offset + length <= target_) return;
    if (offset > target_) {
      // The stream moved past the offset the parse needs.
      fail(BRERROR_BAD_STATE);
      return;
    }
    int32_t skip = static_cast<int32_t>(target_ - offset);
    data += skip;
    length -= skip;
    offset = target_;
    brlog(kTag, 18, "[FMT] Synced after seek: %lld\n", (long long)offset);
    setState(HBFP_PARSING);
  }

  std::vector<uint8_t> joined;
  if (carryLen_ > 0) {
    joined.reserve(static_cast<size_t>(carryLen_ + length));
    joined.assign(carry_, carry_ + carryLen_);
    joined.insert(joined.end(), data, data + length);
    offset -= carryLen_;
    data = joined.data();
    length += carryLen_;
    carryLen_ = 0;
  }

  int32_t pos = 0;
  if (!impl_) {
    impl_.reset(match(data, length, offset, &pos));
    if (!impl_) {
      // A reader taking a few bytes at a time gets its implementation
      // chosen once the carry holds enough of the file's start.
      if (length < kCarrySize) {
        memcpy(carry_, data, static_cast<size_t>(length));
        carryLen_ = length;
      } else {
        fail(BRERROR_NO_ENTRY);
      }
      return;
    }
  }

  while (pos < length && state_ == HBFP_PARSING) {
    info_.avail = length - pos;
    info_.data = data + pos;
    info_.offset = offset + pos;
    info_.used = 0;
    info_.wantOffset = -1;
    brerror_t rc = impl_->parseSlice(&info_);
    int32_t used = std::clamp(info_.used, 0, info_.avail);
    pos += used;
    if (rc == BRERROR_OUT_OF_RANGE) {
      setState(HBFP_DONE);
      return;
    }
    if (rc < 0 && rc != BRERROR_TRY_AGAIN) {
      fail(rc);
      return;
    }
    if (rc == 0 && info_.wantOffset >= 0) {
      int64_t want = info_.wantOffset;
      if (want < offset + pos) {
        fail(BRERROR_BAD_STATE);
        return;
      }
      if (want < offset + length) {
        pos = static_cast<int32_t>(want - offset);
        continue;
      }
      target_ = want;
      setState(HBFP_SEEKING);
      return;
    }
    if (rc == 0 && used > 0) continue;
    // Needs more bytes than this slice holds (or made no progress): carry
    // the rest in front of the next block.
    int32_t rest = length - pos;
    if (rest >= kCarrySize) {
      brlog(kTag, 1, "[FMT] Can't buffer enough!!\n");
      fail(BRERROR_NO_MEMORY);
      return;
    }
    memcpy(carry_, data + pos, static_cast<size_t>(rest));
    carryLen_ = rest;
    return;
  }
}

brerror_t HBFmtParser::doFPFinishParse() {
  if (!stream_) return BRERROR_BAD_STATE;
  std::vector<uint8_t> block(kBlockSize);
  brerror_t rc = BRERROR_NONE;
  while (state_ != HBFP_DONE && state_ != HBFP_FAILED) {
    if (state_ == HBFP_SEEKING && target_ > streamPos_) {
      brlog(kTag, 16, "[FMT] Parser wants offset %lld\n", (long long)target_);
      // A stream that cannot seek is read on; its bytes are ignored until
      // the wanted offset.
      seek(target_, HBSEEK_SET);
    }
    brerror_t n = read(block.data(), kBlockSize);
    if (n <= 0) {
      // A file shorter than the carry never had its implementation chosen:
      // nothing more will come to match it.
      if (n == 0 && !impl_ && state_ == HBFP_PARSING) fail(BRERROR_NO_ENTRY);
      rc = n;
      break;
    }
  }
  brlog(kTag, 16, "[FMT] Done pumping, fpstate=%d, tnr=%lld\n", state_, (long long)totalRead_);
  return rc;
}

void HBFmtParser::notifyItemFound(const char *key, hbtype_t type, const void *value) {
  if (closed_) {
    brlog(kTag, 16, "notifyItemFound: CLOSED\n");
    return;
  }
  if (!key || !value) return;
  brerror_t rc;
  if (type != HBTYPE_STRING) {
    rc = items_->setAtKey(key, type, value, 0);
  } else {
    const char *text = static_cast<const char *>(value);
    const char *end = text + strlen(text);
    while (*text == ' ' || *text == '\t') text++;
    while (end > text && (end[-1] == ' ' || end[-1] == '\t')) end--;
    if (end == text) return;
    std::string trimmed(text, end);
    rc = items_->setAtKey(key, trimmed.c_str(), 0);
  }
  if (rc != BRERROR_NONE) brlog(kTag, 2, "notifyItemFound: '%s' not stored: %d\n", key, rc);
}



// A parser with its empty result map; null when memory runs out.
HBFmtParser *newParser(IHBStream *stream, IHBFormatImplFact *only) {
  HBMap *items = new (std::nothrow) HBMap("FMTITEMS", kItemsArenaStep, kItemsArenaStep, nullptr);
  if (!items) return nullptr;
  if (!items->getAllocator()) {
    items->dnref();
    return nullptr;
  }
  HBFmtParser *parser = new (std::nothrow) HBFmtParser(stream, only, items);
  if (!parser) items->dnref();
  return parser;
}

}  // namespace

brerror_t HBFmtParser__new(IHBStream *stream, const char *mime, IHBFormatParser **out) {
  static const char *const accepted[] = {"image/jpeg", "image/jpg",   "audio/mpeg", "audio/mpg",      "audio/aac",
                                         "audio/mp4",  "audio/x-m4a", "video/mp4",  "video/quicktime"};
  if (mime) {
    bool known = false;
    for (const char *m : accepted) known = known || strcmp(m, mime) == 0;
    if (!known) return BRERROR_UNSUPPORTED;
  }
  if (!stream || !out) return BRERROR_INVALID_ARGUMENT;
  HBFmtParser *parser = newParser(stream, nullptr);
  if (!parser) return BRERROR_NO_MEMORY;
  *out = parser;
  return BRERROR_NONE;
}

brerror_t HBFmtParser__newWithFmtImplFact(IHBStream *stream, IHBFormatImplFact *factory, IHBFormatParser **out) {
  if (!stream || !factory || !out) return BRERROR_INVALID_ARGUMENT;
  int64_t start = stream->seek(0, HBSEEK_SET);
  if (start < 0) return static_cast<brerror_t>(start);
  std::vector<uint8_t> head(kBlockSize);
  int32_t got = 0;
  while (got < kBlockSize) {
    brerror_t n = stream->read(head.data() + got, kBlockSize - got);
    if (n < 0) return n;
    if (n == 0) break;
    got += n;
  }
  int64_t back = stream->seek(0, HBSEEK_SET);
  if (back < 0) return static_cast<brerror_t>(back);
  HBRef<HBFmtParser> parser(newParser(stream, factory));
  if (!parser) return BRERROR_NO_MEMORY;
  brerror_t rc = parser->matchOnly(head.data(), got);
  if (rc != BRERROR_NONE) return rc;
  *out = parser.release();
  return BRERROR_NONE;
}

brerror_t HBStreamWithMimeType__new(IHBStream *stream, const char *mimeType, IHBStream **out) {
  if (!stream || !out) return BRERROR_INVALID_ARGUMENT;
  *out = new HBStreamWithMimeType(stream, mimeType);
  return BRERROR_NONE;
}

brerror_t hbfmt__newPictureStream(uint32_t expected, IHBMemStream **out) {
  // Sizes come from the file: a header that claims gigabytes must not
  // reserve them before a byte of the picture has arrived.
  const uint32_t reserve = std::min(expected, kPictureReserveMax);
  return HBMemStream__new(out, nullptr, reserve,
                          HBSTREAM_READ | HBSTREAM_WRITE | HBMEMSTREAM_ALLOC | HBMEMSTREAM_GROW);
}

bool hbfmt__utcToMs(int year, int month, int day, int hour, int minute, int second, int64_t *ms) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return false;
  }
  // Days from 1970-01-01 of a proleptic Gregorian date (era arithmetic).
  int64_t y = year - (month <= 2 ? 1 : 0);
  int64_t era = y / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = era * 146097 + doe - 719468;
  *ms = ((days * 24 + hour) * 60 + minute) * 60000 + static_cast<int64_t>(second) * 1000;
  return true;
}

brerror_t hbfmt__at(HBFormatImplInfo_t *info, int64_t at, int32_t need, const uint8_t **p) {
  if (at < info->offset) return BRERROR_BAD_STATE;
  int64_t index = at - info->offset;
  if (index >= info->avail) {
    info->wantOffset = at;
    return 1;
  }
  int32_t i = static_cast<int32_t>(index);
  if (need > info->avail - i) {
    info->used = i;
    return BRERROR_TRY_AGAIN;
  }
  *p = info->data + i;
  info->used = i + need;
  return BRERROR_NONE;
}

brerror_t hbfmt__span(HBFormatImplInfo_t *info, int64_t at, const uint8_t **p, int32_t *count) {
  if (at < info->offset) return BRERROR_BAD_STATE;
  int64_t index = at - info->offset;
  if (index >= info->avail) {
    info->wantOffset = at;
    return 1;
  }
  *p = info->data + index;
  *count = info->avail - static_cast<int32_t>(index);
  return BRERROR_NONE;
}

namespace {

// Hands the slice's bytes from *pos up to file offset `end` to take(p, n)
// piece by piece, moving *pos and info->used past each piece it accepts:
// 1 at `end` or when take refuses a piece, else parseSlice's answer.
template <typename Take>
brerror_t consumeUpTo(HBFormatImplInfo_t *info, int64_t *pos, int64_t end, Take take) {
  while (*pos < end) {
    const uint8_t *p;
    int32_t n;
    brerror_t rc = hbfmt__span(info, *pos, &p, &n);
    if (rc != 0) return rc == 1 ? 0 : rc;
    int32_t count = end - *pos < n ? static_cast<int32_t>(end - *pos) : n;
    if (!take(p, count)) return 1;
    *pos += count;
    info->used = static_cast<int32_t>(*pos - info->offset);
  }
  return 1;
}

}  // namespace

brerror_t hbfmt__gather(HBFormatImplInfo_t *info, int64_t *pos, int64_t end, std::vector<uint8_t> *out) {
  return consumeUpTo(info, pos, end, [out](const uint8_t *p, int32_t n) {
    out->insert(out->end(), p, p + n);
    return true;
  });
}

brerror_t hbfmt__fillPicture(HBFormatImplInfo_t *info, int64_t *pos, int64_t end, IHBMemStream **picture) {
  return consumeUpTo(info, pos, end, [picture](const uint8_t *p, int32_t n) {
    if ((*picture)->write(p, n) == n) return true;
    // A picture that cannot be stored is dropped.
    (*picture)->dnref();
    *picture = nullptr;
    return false;
  });
}

void hbfmt__reportPicture(IHBFormatImplSink *sink, IHBMemStream *picture, const char *mime) {
  IHBStream *withType = nullptr;
  if (picture->seek(0, HBSEEK_SET) == 0 && HBStreamWithMimeType__new(picture, mime, &withType) == 0) {
    sink->notifyItemFound("vqz-tn", HBTYPE_IID_IHBSTREAM, static_cast<IHBObj *>(withType));
    withType->dnref();
  }
}

void hbfmt__reportAlbumHash(IHBFormatImplSink *sink, const std::string &text) {
  char hash[32];
  HBDHT__generateHash(reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()), hash,
                      sizeof hash, 0);
  sink->notifyItemFound("vqz-UniqueAlbumID", HBTYPE_STRING, hash);
}
