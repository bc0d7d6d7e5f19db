// HBFmtImplAac: creation time, music tags and cover picture from the boxes
// of an MP4 file. Only the path moov > mvhd and moov > udta > meta > ilst >
// item > data/mean/name is entered; every other box is skipped by asking the
// parser for the offset after it, so a large "mdat" is never read.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "brlog.h"
#include "hbfmt_impl.h"

namespace {

const char kTag[] = "MP4";
constexpr int kMaxDepth = 9;
constexpr size_t kTextSize = 4096;
constexpr int64_t kMp4EpochOffset = 2082844800;  // seconds from 1904 to 1970

enum Step { kBoxHeader, kLeaf, kGather, kImage };

uint32_t fourcc(const char *t) {
  return static_cast<uint32_t>(static_cast<uint8_t>(t[0])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(t[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(t[2])) << 8 | static_cast<uint8_t>(t[3]);
}

const uint32_t kMoov = fourcc("moov"), kMvhd = fourcc("mvhd"), kUdta = fourcc("udta"), kMeta = fourcc("meta"),
               kIlst = fourcc("ilst"), kData = fourcc("data"), kMean = fourcc("mean"), kName = fourcc("name"),
               kNam = fourcc("\xA9nam"), kArt = fourcc("\xA9" "ART"), kAlb = fourcc("\xA9" "alb"),
               kGen = fourcc("\xA9gen"), kGnre = fourcc("gnre"), kTrkn = fourcc("trkn"), kPlid = fourcc("plID"),
               kCovr = fourcc("covr"), kFree = fourcc("----");

bool isItem(uint32_t t) {
  return t == kNam || t == kArt || t == kAlb || t == kGen || t == kGnre || t == kTrkn || t == kPlid || t == kCovr ||
         t == kFree;
}

struct Box {
  int64_t start;
  int64_t end;
  uint32_t type;
};

class HBFmtImplAac final : public IHBFormatImpl {
 public:
  HBFmtImplAac(int64_t start, IHBFormatImplSink *sink) : sink_(sink), pos_(start) {}
  ~HBFmtImplAac() override {
    if (picture_) picture_->dnref();
  }

  brerror_t parseSlice(HBFormatImplInfo_t *info) override {
    for (;;) {
      brerror_t rc;
      switch (step_) {
        case kBoxHeader:
          rc = boxHeader(info);
          break;
        case kLeaf:
          rc = leaf(info);
          break;
        case kGather:
          rc = gather(info);
          break;
        case kImage:
          rc = image(info);
          break;
      }
      if (rc != 1) return rc;
    }
  }

 private:
  int depth() const { return static_cast<int>(stack_.size()); }
  uint32_t parentType() const { return stack_.empty() ? 0 : stack_.back().type; }

  // Each step returns 1 to go on in this slice, or parseSlice's answer.
  brerror_t boxHeader(HBFormatImplInfo_t *info) {
    while (!stack_.empty() && pos_ >= stack_.back().end) {
      bool moovDone = stack_.back().type == kMoov;
      stack_.pop_back();
      // Nothing outside the movie box is read: the parse is complete.
      if (moovDone) return BRERROR_OUT_OF_RANGE;
    }
    const uint8_t *p;
    brerror_t rc = hbfmt__at(info, pos_, 8, &p);
    if (rc != 0) return rc == 1 ? 0 : rc;
    uint64_t size = hbfmt__be32(p);
    uint32_t type = hbfmt__be32(p + 4);
    int64_t header = 8;
    if (size == 0) return BRERROR_OUT_OF_RANGE;
    if (size == 1) {
      if ((rc = hbfmt__at(info, pos_, 16, &p)) != 0) return rc == 1 ? 0 : rc;
      size = hbfmt__be64(p + 8);
      header = 16;
    }
    const int64_t parentEnd = stack_.empty() ? INT64_MAX : stack_.back().end;
    if (size < static_cast<uint64_t>(header) || size > static_cast<uint64_t>(parentEnd - pos_)) {
      brlog(kTag, 16, "[%d]Box Check: Beyond end of parent box! [%d]%lld < [%d]%lld\n", depth(), depth(),
            (long long)parentEnd, depth() + 1, (long long)(pos_ + static_cast<int64_t>(size)));
      return BRERROR_OUT_OF_RANGE;
    }
    box_ = {pos_, pos_ + static_cast<int64_t>(size), type};
    content_ = pos_ + header;
    const uint32_t parent = parentType();
    bool descend = (depth() == 0 && type == kMoov) || (parent == kMoov && type == kUdta) ||
                   (parent == kUdta && type == kMeta) || (parent == kMeta && type == kIlst) ||
                   (parent == kIlst && isItem(type));
    bool leaf = (parent == kMoov && type == kMvhd) ||
                (isItem(parent) && (type == kData || ((type == kMean || type == kName) && parent == kFree)));
    if (descend) {
      if (depth() >= kMaxDepth) {
        brlog(kTag, 16, "[%d]Box Push: Too deep!\n", depth());
        return BRERROR_NO_SPACE;
      }
      if (type == kFree) meanMatched_ = nameMatched_ = false;
      stack_.push_back(box_);
      // "meta" is a full box: its version and flags come before its children.
      pos_ = content_ + (type == kMeta ? 4 : 0);
      return 1;
    }
    if (leaf) {
      pos_ = content_;
      step_ = kLeaf;
      return 1;
    }
    if (box_.end > info->offset + info->avail) {
      brlog(kTag, 18, "[%d]Box Skip: Ask for offset %lld+%lld\n", depth(), (long long)box_.start,
            (long long)(box_.end - box_.start));
    }
    pos_ = box_.end;
    return 1;
  }

  brerror_t leaf(HBFormatImplInfo_t *info) {
    const int64_t length = box_.end - content_;
    const uint8_t *p;
    brerror_t rc;
    if (box_.type == kMvhd) {
      if (length < 1) return skipBox();
      if ((rc = hbfmt__at(info, pos_, 1, &p)) != 0) return rc == 1 ? 0 : rc;
      int version = p[0];
      int32_t need = version == 0 ? 8 : 12;
      if (version > 1) {
        brlog(kTag, 16, "[%d]Box 'mvhd': Skipping unknown version: %d\n", depth(), version);
        return skipBox();
      }
      if (length < need) return skipBox();
      if ((rc = hbfmt__at(info, pos_, need, &p)) != 0) return rc == 1 ? 0 : rc;
      uint64_t created = version == 0 ? hbfmt__be32(p + 4) : hbfmt__be64(p + 4);
      // 0 is what writers put when they know no time.
      if (created > 0 && created < static_cast<uint64_t>(INT64_MAX / 1000)) {
        char text[32];
        snprintf(text, sizeof text, "%" PRId64, (static_cast<int64_t>(created) - kMp4EpochOffset) * 1000);
        sink_->notifyItemFound("EXIF-DateTimeOriginal", HBTYPE_STRING, text);
      }
      return skipBox();
    }
    if (box_.type == kMean || box_.type == kName) {
      const int64_t expected = box_.type == kMean ? 20 : 19;
      if (length == expected) {
        if ((rc = hbfmt__at(info, pos_, static_cast<int32_t>(expected), &p)) != 0) return rc == 1 ? 0 : rc;
        if (box_.type == kMean) {
          meanMatched_ = memcmp(p + 4, "com.apple.iTunes", 16) == 0;
        } else {
          nameMatched_ = memcmp(p + 4, "iTunes_CDDB_IDs", 15) == 0;
        }
      }
      return skipBox();
    }
    // "data": type indicator with the kind in its last byte, then a locale.
    if (length < 8) return skipBox();
    if ((rc = hbfmt__at(info, pos_, 8, &p)) != 0) return rc == 1 ? 0 : rc;
    kind_ = p[3];
    pos_ += 8;
    const uint32_t item = parentType();
    const int64_t payload = box_.end - pos_;
    if (kind_ == 13 || kind_ == 14) {
      if (item != kCovr || pictureTaken_ || payload <= 0) return skipBox();
      gatherUpTo(4);
      imageNext_ = true;
      return 1;
    }
    if (kind_ == 1 || kind_ == 0 || kind_ == 21) {
      gatherUpTo(kind_ == 1 ? kTextSize - 1 : 64);
      imageNext_ = false;
      return 1;
    }
    return skipBox();
  }

  void gatherUpTo(size_t cap) {
    gathered_.clear();
    int64_t payload = box_.end - pos_;
    gatherEnd_ = pos_ + (payload < static_cast<int64_t>(cap) ? payload : static_cast<int64_t>(cap));
    step_ = kGather;
  }

  brerror_t skipBox() {
    pos_ = box_.end;
    step_ = kBoxHeader;
    return 1;
  }

  brerror_t gather(HBFormatImplInfo_t *info) {
    brerror_t rc = hbfmt__gather(info, &pos_, gatherEnd_, &gathered_);
    if (rc != 1) return rc;
    if (imageNext_) return startImage();
    item();
    return skipBox();
  }

  brerror_t startImage() {
    const uint8_t *p = gathered_.data();
    if (gathered_.size() >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) {
      mime_ = "image/jpeg";
    } else if (gathered_.size() >= 4 && p[0] == 0x89 && memcmp(p + 1, "PNG", 3) == 0) {
      mime_ = "image/png";
    } else {
      brlog(kTag, 16, "[%d]Box 'covr': unknown image\n", depth());
      brlog_hexdump(kTag, 16, p, gathered_.size(), 0);
      return skipBox();
    }
    // Sized to the whole image; a picture that cannot be stored is dropped.
    const int32_t head = static_cast<int32_t>(gathered_.size());
    if (hbfmt__newPictureStream(static_cast<uint32_t>(std::min<int64_t>(box_.end - pos_ + head, UINT32_MAX)),
                                &picture_) != BRERROR_NONE) {
      return skipBox();
    }
    pictureTaken_ = true;
    if (picture_->write(gathered_.data(), head) != head) {
      picture_->dnref();
      picture_ = nullptr;
      return skipBox();
    }
    step_ = kImage;
    return 1;
  }

  brerror_t image(HBFormatImplInfo_t *info) {
    brerror_t rc = hbfmt__fillPicture(info, &pos_, box_.end, &picture_);
    if (rc != 1) return rc;
    if (picture_) {
      hbfmt__reportPicture(sink_, picture_, mime_.c_str());
      picture_->dnref();
      picture_ = nullptr;
    }
    return skipBox();
  }

  void item() {
    const uint32_t item = parentType();
    const uint8_t *p = gathered_.data();
    const size_t n = gathered_.size();
    if (kind_ == 1) {
      std::string text(reinterpret_cast<const char *>(p), n);
      text = text.c_str();  // a zero byte ends the text
      const char *key = item == kNam ? "title" : item == kArt ? "artist" : item == kAlb ? "album"
                      : item == kGen ? "genre" : item == kTrkn ? "originalTrackNumber" : nullptr;
      if (key) {
        sink_->notifyItemFound(key, HBTYPE_STRING, text.c_str());
      } else if (item == kFree && meanMatched_ && nameMatched_ && !text.empty()) {
        hbfmt__reportAlbumHash(sink_, text);
      }
      return;
    }
    char text[64];
    if (item == kTrkn) {
      if (n < 6) {
        brlog(kTag, 16, "Malformed track number!\n");
        return;
      }
      snprintf(text, sizeof text, "%hu/%hu", hbfmt__be16(p + 2), hbfmt__be16(p + 4));
      sink_->notifyItemFound("originalTrackNumber", HBTYPE_STRING, text);
    } else if (item == kGnre && n >= 2) {
      sink_->notifyItemFound("genre", HBTYPE_STRING, id3v1__genreName(hbfmt__be16(p) - 1));
    } else if (item == kPlid && n >= 8) {
      snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X%02X", p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
      hbfmt__reportAlbumHash(sink_, text);
    }
  }

  IHBFormatImplSink *sink_;
  int64_t pos_;
  Step step_ = kBoxHeader;
  std::vector<Box> stack_;
  Box box_ = {0, 0, 0};
  int64_t content_ = 0;
  int kind_ = 0;
  bool meanMatched_ = false, nameMatched_ = false;
  bool imageNext_ = false;
  int64_t gatherEnd_ = 0;
  std::vector<uint8_t> gathered_;
  std::string mime_;
  IHBMemStream *picture_ = nullptr;
  bool pictureTaken_ = false;
};

class HBFmtImplFactAac final : public IHBFormatImplFact {
 public:
  brerror_t matchFormat(HBFormatImplInfo_t *info, IHBFormatImpl **impl) override {
    if (info->avail < 12 || memcmp(info->data + 4, "ftyp", 4) != 0) return BRERROR_NO_ENTRY;
    info->used = 0;
    *impl = new HBFmtImplAac(info->offset, info->sink);
    return BRERROR_NONE;
  }
  const char *getDesc() override { return "MP4"; }
};

}  // namespace

IHBFormatImplFact *HBFmtImplFactAac__get() {
  static HBFmtImplFactAac factory;
  return &factory;
}
