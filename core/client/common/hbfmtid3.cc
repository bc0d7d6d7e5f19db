// HBFmtImplId3: title, artist, album, track, genre, album identity and the
// first picture from an ID3v2.2, 2.3 or 2.4 tag. Frames are taken one at a
// time; the fields of a wanted frame are gathered into a buffer (pictures
// stream their image bytes into a memory stream), other frames are skipped
// by offset, and the parse ends at the end of the tag.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "brlog.h"
#include "brunicode.h"
#include "hbfmt_impl.h"

namespace {

const char kTag[] = "ID3";
constexpr size_t kTextSize = 4096;
// Bytes of a picture frame gathered to find where its image begins.
constexpr size_t kPictureHead = 1024;

enum Step { kHeader, kExtHeader, kFrameHeader, kGather, kImage };
enum Kind { kText, kGenre, kComment, kCdToc, kPicture };

struct FrameRule {
  const char *id3;  // version 3 and 4
  const char *id2;  // version 2
  Kind kind;
  const char *key;
};

const FrameRule kRules[] = {
    {"TIT2", "TT2", kText, "title"},   {"TPE1", "TP1", kText, "artist"},
    {"TALB", "TAL", kText, "album"},   {"TRCK", "TRK", kText, "originalTrackNumber"},
    {"TCON", "TCO", kGenre, "genre"},  {"COMM", "COM", kComment, nullptr},
    {"MCDI", "MCI", kCdToc, nullptr},  {"APIC", "PIC", kPicture, nullptr},
};

void appendUtf8(std::string *out, uint32_t code) {
  char b[4];
  int n = brunicode_cptoutf8(code, b, sizeof b);
  // Cut to the buffer (with room for the terminator), never inside a
  // character.
  if (n > 0 && out->size() + static_cast<size_t>(n) < kTextSize) {
    out->append(b, static_cast<size_t>(n));
  }
}

// Decodes one text field of `encoding` from p[0..size) to UTF-8, ending at
// its first zero character or the end of the field. *consumed counts the
// bytes read including the terminator. False for an unknown encoding or
// byte-order mark.
bool decodeText(int encoding, const uint8_t *p, size_t size, std::string *out, size_t *consumed) {
  out->clear();
  size_t i = 0;
  switch (encoding) {
    case 0:
      for (; i < size && p[i]; i++) appendUtf8(out, p[i]);
      *consumed = i < size ? i + 1 : size;
      return true;
    case 3: {
      for (; i < size && p[i]; i++) {}
      size_t n = i < kTextSize - 1 ? i : kTextSize - 1;
      // Cut inside a character: keep only the characters before it.
      while (n < i && n > 0 && (p[n] & 0xC0) == 0x80) n--;
      out->assign(reinterpret_cast<const char *>(p), n);
      *consumed = i < size ? i + 1 : size;
      return true;
    }
    case 1:
    case 2: {
      bool big = true;
      if (encoding == 1) {
        if (size < 2) {
          *consumed = size;
          return true;
        }
        if (p[0] == 0xFF && p[1] == 0xFE) {
          big = false;
        } else if (!(p[0] == 0xFE && p[1] == 0xFF)) {
          brlog(kTag, 16, "ID3 Str-Err: (UNK UNI BOM: 0x%x)\n", p[0] << 8 | p[1]);
          return false;
        }
        i = 2;
      }
      for (; i + 1 < size; i += 2) {
        uint32_t unit = big ? hbfmt__be16(p + i) : hbfmt__le16(p + i);
        if (unit == 0) {
          *consumed = i + 2;
          return true;
        }
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < size) {
          uint32_t low = big ? hbfmt__be16(p + i + 2) : hbfmt__le16(p + i + 2);
          if (low >= 0xDC00 && low < 0xE000) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            i += 2;
            continue;
          }
        }
        appendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
      }
      // No terminator: the field ends with the frame.
      *consumed = size;
      return true;
    }
    default:
      brlog(kTag, 16, "ID3 Str-Err: (UNK ENC BYTE: 0x%x)\n", encoding);
      return false;
  }
}

class HBFmtImplId3 final : public IHBFormatImpl {
 public:
  HBFmtImplId3(int64_t start, IHBFormatImplSink *sink) : sink_(sink), pos_(start) {}
  ~HBFmtImplId3() override {
    if (picture_) picture_->dnref();
  }

  brerror_t parseSlice(HBFormatImplInfo_t *info) override {
    for (;;) {
      const uint8_t *p = nullptr;
      brerror_t rc;
      switch (step_) {
        case kHeader: {
          if ((rc = hbfmt__at(info, pos_, 10, &p)) != 0) return rc == 1 ? 0 : rc;
          version_ = p[3];
          flags_ = p[5];
          uint32_t size = synchsafe(p + 6);
          brlog(kTag, 18, "ID3 Hdr: ID3v2.%lld.%d 0x%x %u @ %lld\n", (long long)version_, p[4], flags_, size,
                (long long)pos_);
          pos_ += 10;
          end_ = pos_ + size;
          step_ = (flags_ & 0x40) && version_ > 2 ? kExtHeader : kFrameHeader;
          break;
        }
        case kExtHeader: {
          if ((rc = hbfmt__at(info, pos_, 4, &p)) != 0) return rc == 1 ? 0 : rc;
          // Version 3 counts the bytes after the size field; version 4 gives
          // a synchsafe size that includes it.
          uint32_t size = version_ == 4 ? synchsafe(p) : hbfmt__be32(p);
          brlog(kTag, 18, "ID3 Ext Hdr: %u 0x%x @ %lld\n", size, flags_, (long long)pos_);
          int64_t next = version_ == 4 ? pos_ + size : pos_ + 4 + size;
          if (next < pos_ + 4 || next > end_) return BRERROR_OUT_OF_RANGE;
          pos_ = next;
          step_ = kFrameHeader;
          break;
        }
        case kFrameHeader:
          if ((rc = frameHeader(info)) != 1) return rc;
          break;
        case kGather:
          if ((rc = gather(info)) != 1) return rc;
          break;
        case kImage:
          if ((rc = image(info)) != 1) return rc;
          break;
      }
    }
  }

 private:
  static uint32_t synchsafe(const uint8_t *p) {
    return static_cast<uint32_t>((p[0] & 0x7F) << 21 | (p[1] & 0x7F) << 14 | (p[2] & 0x7F) << 7 | (p[3] & 0x7F));
  }

  // Each step below returns 1 to go on with the next step in this slice,
  // or the value parseSlice hands to the parser.
  brerror_t frameHeader(HBFormatImplInfo_t *info) {
    const int32_t headerSize = version_ == 2 ? 6 : 10;
    if (pos_ + headerSize > end_) return BRERROR_OUT_OF_RANGE;
    const uint8_t *p;
    brerror_t rc = hbfmt__at(info, pos_, headerSize, &p);
    if (rc != 0) return rc == 1 ? 0 : rc;
    if (p[0] == 0) {
      brlog(kTag, 18, "ID3 Pad: 0x00 x %u\n", static_cast<unsigned>(end_ - pos_));
      return BRERROR_OUT_OF_RANGE;
    }
    uint32_t size;
    if (version_ == 2) {
      size = hbfmt__be24(p + 3);
    } else if (version_ == 3) {
      size = hbfmt__be32(p + 4);
    } else {
      size = synchsafe(p + 4);
    }
    pos_ += headerSize;
    // A frame that claims more than the tag holds ends with the tag.
    frameEnd_ = end_ - pos_ < size ? end_ : pos_ + size;
    const FrameRule *rule = nullptr;
    for (const auto &r : kRules) {
      if (memcmp(p, version_ == 2 ? r.id2 : r.id3, version_ == 2 ? 3 : 4) == 0) rule = &r;
    }
    if (rule && rule->kind == kPicture && pictureTaken_) {
      brlog(kTag, 18, "ID3 Fld [APIC]: Skipping multiple APICs!\n");
      rule = nullptr;
    }
    if (!rule) {
      if (version_ == 2) {
        brlog(kTag, 19, "ID3 Frm-Ign: %c%c%c (0x%06x) %u\n", p[0], p[1], p[2], hbfmt__be24(p), size);
      } else {
        brlog(kTag, 19, "ID3 Frm-Ign: %c%c%c%c (0x%08x) %u 0x%x\n", p[0], p[1], p[2], p[3], hbfmt__be32(p), size,
              hbfmt__be16(p + 8));
      }
      pos_ = frameEnd_;
      return 1;
    }
    rule_ = rule;
    gathered_.clear();
    size_t want = static_cast<size_t>(frameEnd_ - pos_);
    size_t cap = rule->kind == kPicture ? kPictureHead : 2 * kTextSize;
    gatherEnd_ = pos_ + static_cast<int64_t>(want < cap ? want : cap);
    step_ = kGather;
    return 1;
  }

  brerror_t gather(HBFormatImplInfo_t *info) {
    brerror_t rc = hbfmt__gather(info, &pos_, gatherEnd_, &gathered_);
    if (rc != 1) return rc;
    size_t imageStart = 0;
    if (frame(&imageStart)) {
      // The image is what follows the picture's fields up to the frame's end.
      // Sized to the rest of the frame; a picture that cannot be stored is
      // dropped.
      const int32_t head = static_cast<int32_t>(gathered_.size() - imageStart);
      if (hbfmt__newPictureStream(static_cast<uint32_t>(head + (frameEnd_ - pos_)), &picture_) == BRERROR_NONE) {
        pictureTaken_ = true;
        if (picture_->write(gathered_.data() + imageStart, head) == head) {
          step_ = kImage;
          return 1;
        }
        picture_->dnref();
        picture_ = nullptr;
      }
    }
    pos_ = frameEnd_;
    step_ = kFrameHeader;
    return 1;
  }

  brerror_t image(HBFormatImplInfo_t *info) {
    brerror_t rc = hbfmt__fillPicture(info, &pos_, frameEnd_, &picture_);
    if (rc != 1) return rc;
    if (picture_) {
      void *bytes = nullptr;
      uint32_t length = 0;
      picture_->getBuffer(&bytes, &length);
      // An empty picture is not reported.
      if (length > 0) hbfmt__reportPicture(sink_, picture_, mime_.c_str());
      picture_->dnref();
      picture_ = nullptr;
    }
    pos_ = frameEnd_;
    step_ = kFrameHeader;
    return 1;
  }

  // Handles a gathered frame; true when it is a picture whose image bytes
  // begin at *imageStart.
  bool frame(size_t *imageStart) {
    const uint8_t *p = gathered_.data();
    size_t size = gathered_.size();
    if (size < 1) return false;
    std::string text;
    size_t used = 0;
    switch (rule_->kind) {
      case kText:
      case kGenre:
        if (!decodeText(p[0], p + 1, size - 1, &text, &used) || text.empty()) return false;
        if (rule_->kind == kGenre) {
          int index;
          if (sscanf(text.c_str(), "(%d)", &index) == 1) text = id3v1__genreName(index);
        }
        sink_->notifyItemFound(rule_->key, HBTYPE_STRING, text.c_str());
        return false;
      case kComment: {
        if (size < 4) return false;
        std::string description;
        if (!decodeText(p[0], p + 4, size - 4, &description, &used)) return false;
        if (description != "iTunes_CDDB_IDs" && description != "iTunes_CDDB_1") return false;
        size_t rest = 4 + used;
        if (!decodeText(p[0], p + rest, size - rest, &text, &used) || text.empty()) return false;
        hbfmt__reportAlbumHash(sink_, text);
        return false;
      }
      case kCdToc: {
        static const char kHex[] = "0123456789ABCDEF";
        for (size_t i = 0; i < size && text.size() + 2 < kTextSize; i++) {
          text.push_back(kHex[p[i] >> 4]);
          text.push_back(kHex[p[i] & 0xF]);
        }
        hbfmt__reportAlbumHash(sink_, text);
        return false;
      }
      case kPicture:
        return pictureFields(imageStart);
    }
    return false;
  }

  bool pictureFields(size_t *imageStart) {
    const uint8_t *p = gathered_.data();
    size_t size = gathered_.size();
    int encoding = p[0];
    size_t i = 1;
    if (version_ == 2) {
      if (size < 5) return malformed();
      if (memcmp(p + 1, "JPG", 3) == 0) {
        mime_ = "image/jpeg";
      } else if (memcmp(p + 1, "PNG", 3) == 0) {
        mime_ = "image/png";
      } else {
        brlog(kTag, 16, "ID3 Fld [PIC]: Unknown Image format: %c%c%c\n", p[1], p[2], p[3]);
        return false;
      }
      i = 4;
    } else {
      size_t start = i;
      while (i < size && p[i]) i++;
      if (i >= size) return malformed();
      mime_.assign(reinterpret_cast<const char *>(p + start), i - start);
      i++;
      if (mime_ == "-->") {
        brlog(kTag, 16, "Image Link Unsupported!\n");
        return false;
      }
    }
    if (i >= size) return malformed();
    i++;  // picture type
    if (encoding == 0) {
      while (i < size && p[i]) i++;
      if (i >= size) return malformed();
      i++;
    } else if (encoding == 1) {
      for (;; i += 2) {
        if (i + 1 >= size) return malformed();
        if (p[i] == 0 && p[i + 1] == 0) break;
      }
      i += 2;
    } else {
      return malformed();
    }
    *imageStart = i;
    return true;
  }

  bool malformed() {
    brlog(kTag, 16, "ID3 Fld-Err [APIC]: Malformed Field!\n");
    return false;
  }

  IHBFormatImplSink *sink_;
  int64_t pos_;
  int64_t end_ = 0;
  int64_t version_ = 0;
  int flags_ = 0;
  Step step_ = kHeader;
  const FrameRule *rule_ = nullptr;
  int64_t frameEnd_ = 0;
  int64_t gatherEnd_ = 0;
  std::vector<uint8_t> gathered_;
  std::string mime_;
  IHBMemStream *picture_ = nullptr;
  bool pictureTaken_ = false;
};

class HBFmtImplFactId3 final : public IHBFormatImplFact {
 public:
  brerror_t matchFormat(HBFormatImplInfo_t *info, IHBFormatImpl **impl) override {
    for (int32_t i = 0; i + 10 <= info->avail; i++) {
      const uint8_t *p = info->data + i;
      if (p[0] != 'I' || p[1] != 'D' || p[2] != '3') continue;
      if (p[3] == 0xFF || p[4] == 0xFF || (p[6] | p[7] | p[8] | p[9]) & 0x80) continue;
      if (p[3] < 2 || p[3] > 4) {
        brlog(kTag, 16, "ID3v2.%d.%d unsupported!\n", p[3], p[4]);
        return BRERROR_NO_ENTRY;
      }
      info->used = i;
      *impl = new HBFmtImplId3(info->offset + i, info->sink);
      return BRERROR_NONE;
    }
    return BRERROR_NO_ENTRY;
  }
  const char *getDesc() override { return "ID3"; }
};

}  // namespace

IHBFormatImplFact *HBFmtImplFactId3__get() {
  static HBFmtImplFactId3 factory;
  return &factory;
}
