// HBFmtImplExif: camera, capture time and position from the EXIF block of
// a JPEG photo. The TIFF structure is walked forward only: after each
// directory the parse moves to the nearest remembered offset ahead of it
// (a sub-directory or a value), so the rest of the photo is never read.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "brlog.h"
#include "hbfmt_impl.h"

namespace {

const char kTag[] = "EXIF";

enum Slot { kMake, kModel, kDate, kLatitude, kLongitude, kExifDir, kGpsDir, kSlotCount };
enum Dir { kFirstDir, kExifSubDir, kGpsSubDir };
enum Step { kMarker, kTiffHeader, kDirCount, kDirEntry, kNext, kValue };

class HBFmtImplExif final : public IHBFormatImpl {
 public:
  HBFmtImplExif(int64_t start, IHBFormatImplSink *sink) : sink_(sink), pos_(start) {
    for (auto &s : slots_) s = -1;
  }

  brerror_t parseSlice(HBFormatImplInfo_t *info) override {
    for (;;) {
      const uint8_t *p = nullptr;
      brerror_t rc;
      switch (step_) {
        case kMarker:
          if ((rc = hbfmt__at(info, pos_, 10, &p)) != 0) return rc == 1 ? 0 : rc;
          if (p[0] != 0xFF || p[1] != 0xE1 || memcmp(p + 4, "Exif\0\0", 6) != 0) return BRERROR_NO_ENTRY;
          pos_ += 10;
          base_ = pos_;
          step_ = kTiffHeader;
          break;
        case kTiffHeader: {
          if ((rc = hbfmt__at(info, pos_, 8, &p)) != 0) return rc == 1 ? 0 : rc;
          if (p[0] == 'M' && p[1] == 'M') {
            bigEndian_ = true;
          } else if (p[0] == 'I' && p[1] == 'I') {
            bigEndian_ = false;
          } else {
            brlog(kTag, 16, "Exif TIFF header missing!\n");
            return BRERROR_NO_ENTRY;
          }
          if (u16(p + 2) != 42) {
            brlog(kTag, 16, "Exif TIFF header corrupted!\n");
            return BRERROR_NO_ENTRY;
          }
          int64_t first = base_ + u32(p + 4);
          if (first < pos_ + 8) return BRERROR_NO_ENTRY;
          pos_ = first;
          dir_ = kFirstDir;
          step_ = kDirCount;
          break;
        }
        case kDirCount:
          if ((rc = hbfmt__at(info, pos_, 2, &p)) != 0) return rc == 1 ? 0 : rc;
          entriesLeft_ = u16(p);
          pos_ += 2;
          step_ = entriesLeft_ ? kDirEntry : kNext;
          break;
        case kDirEntry:
          if ((rc = hbfmt__at(info, pos_, 12, &p)) != 0) return rc == 1 ? 0 : rc;
          entry(p);
          pos_ += 12;
          if (--entriesLeft_ == 0) step_ = kNext;
          break;
        case kNext:
          if (!next()) return BRERROR_OUT_OF_RANGE;
          break;
        case kValue: {
          int32_t need = valueSize();
          if ((rc = hbfmt__at(info, pos_, need, &p)) != 0) return rc == 1 ? 0 : rc;
          value(p, need);
          pos_ += need;
          step_ = kNext;
          break;
        }
      }
    }
  }

 private:
  uint16_t u16(const uint8_t *p) const { return bigEndian_ ? hbfmt__be16(p) : hbfmt__le16(p); }
  uint32_t u32(const uint8_t *p) const { return bigEndian_ ? hbfmt__be32(p) : hbfmt__le32(p); }

  // Text of at most `count` bytes (less than 5: inside the entry) up to its
  // first zero byte.
  void report(const char *key, const uint8_t *p, uint32_t count) {
    char text[100];
    size_t n = count < sizeof text - 1 ? count : sizeof text - 1;
    memcpy(text, p, n);
    text[n] = '\0';
    sink_->notifyItemFound(key, HBTYPE_STRING, text);
  }

  void remember(Slot slot, const uint8_t *p, uint32_t count) {
    slots_[slot] = base_ + u32(p + 8);
    counts_[slot] = count;
  }

  void textTag(Slot slot, const char *key, const char *name, uint16_t format, uint32_t count, const uint8_t *p) {
    if (format != 2) {
      brlog(kTag, 16, "EXIF %s: Tag Format: %x\n", name, format);
      return;
    }
    if (count < 5) {
      if (slot == kDate) {
        dateText(p + 8, count);
      } else {
        report(key, p + 8, count);
      }
    } else {
      remember(slot, p, count);
    }
  }

  void entry(const uint8_t *p) {
    uint16_t tag = u16(p);
    uint16_t format = u16(p + 2);
    uint32_t count = u32(p + 4);
    switch (dir_) {
      case kFirstDir:
        if (tag == 271) textTag(kMake, "EXIF-Make", "Make", format, count, p);
        if (tag == 272) textTag(kModel, "EXIF-Model", "Model", format, count, p);
        if (tag == 34665 || tag == 34853) {
          if (format != 4) {
            brlog(kTag, 16, "EXIF %s: Tag Format: %x\n", tag == 34665 ? "ExifIFD" : "GPSIFD", format);
          } else {
            remember(tag == 34665 ? kExifDir : kGpsDir, p, count);
          }
        }
        break;
      case kExifSubDir:
        // 34858 TimeZoneOffset is not used: EXIF times are taken as UTC.
        if (tag == 36867) textTag(kDate, "EXIF-DateTimeOriginal", "DateTimeOriginal", format, count, p);
        break;
      case kGpsSubDir:
        if (tag == 1 || tag == 3) {
          if (format != 2) {
            brlog(kTag, 16, "EXIF GPS%sRef: Tag Format: %x\n", tag == 1 ? "Latitude" : "Longitude", format);
          } else if (tag == 1) {
            latitudeSign_ = p[8] == 'N' ? 1 : -1;
          } else {
            longitudeSign_ = p[8] == 'E' ? 1 : -1;
          }
        }
        if (tag == 2 || tag == 4) {
          if (format != 5 || count != 3) {
            brlog(kTag, 16, "EXIF GPS%s: Tag Format: %x\n", tag == 2 ? "Latitude" : "Longitude", format);
          } else {
            remember(tag == 2 ? kLatitude : kLongitude, p, count);
          }
        }
        break;
    }
  }

  // Moves to the nearest remembered offset ahead; offsets behind are gone.
  bool next() {
    int best = -1;
    for (int i = 0; i < kSlotCount; i++) {
      if (slots_[i] < pos_) {
        slots_[i] = -1;
        continue;
      }
      if (best < 0 || slots_[i] < slots_[best]) best = i;
    }
    if (best < 0) return false;
    pos_ = slots_[best];
    slots_[best] = -1;
    current_ = static_cast<Slot>(best);
    if (current_ == kExifDir || current_ == kGpsDir) {
      dir_ = current_ == kExifDir ? kExifSubDir : kGpsSubDir;
      step_ = kDirCount;
    } else {
      step_ = kValue;
    }
    return true;
  }

  int32_t valueSize() const {
    if (current_ == kLatitude || current_ == kLongitude) return 24;
    return counts_[current_] < 99 ? static_cast<int32_t>(counts_[current_]) : 99;
  }

  void dateText(const uint8_t *p, uint32_t count) {
    char text[100];
    size_t n = count < sizeof text - 1 ? count : sizeof text - 1;
    memcpy(text, p, n);
    text[n] = '\0';
    int y, mo, d, h, mi, s;
    int64_t ms;
    if (sscanf(text, "%d:%d:%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6 || !hbfmt__utcToMs(y, mo, d, h, mi, s, &ms)) {
      brlog(kTag, 16, "EXIF DateTimeOriginal unreadable: '%s'\n", text);
      return;
    }
    char decimal[32];
    snprintf(decimal, sizeof decimal, "%" PRId64, ms);
    sink_->notifyItemFound("EXIF-DateTimeOriginal", HBTYPE_STRING, decimal);
  }

  // Degrees, minutes and seconds as three rationals; false when a
  // denominator is zero.
  bool degrees(const uint8_t *p, double *out) const {
    double parts[3];
    for (int i = 0; i < 3; i++) {
      uint32_t num = u32(p + 8 * i), den = u32(p + 8 * i + 4);
      if (den == 0) return false;
      parts[i] = static_cast<double>(num) / den;
    }
    *out = parts[0] + parts[1] / 60 + parts[2] / 3600;
    return true;
  }

  void value(const uint8_t *p, int32_t size) {
    switch (current_) {
      case kMake:
        report("EXIF-Make", p, static_cast<uint32_t>(size));
        break;
      case kModel:
        report("EXIF-Model", p, static_cast<uint32_t>(size));
        break;
      case kDate:
        dateText(p, static_cast<uint32_t>(size));
        break;
      case kLatitude:
        haveLatitude_ = degrees(p, &latitude_);
        break;
      case kLongitude:
        haveLongitude_ = degrees(p, &longitude_);
        break;
      default:
        break;
    }
    // Reported once both halves are known, whichever came last.
    if ((current_ == kLatitude || current_ == kLongitude) && haveLatitude_ && haveLongitude_) {
      char text[64];
      snprintf(text, sizeof text, "%lf,%lf", latitude_ * latitudeSign_, longitude_ * longitudeSign_);
      sink_->notifyItemFound("EXIF-GPSCoordinates", HBTYPE_STRING, text);
    }
  }

  IHBFormatImplSink *sink_;
  int64_t pos_;
  int64_t base_ = 0;
  bool bigEndian_ = false;
  Step step_ = kMarker;
  Dir dir_ = kFirstDir;
  uint32_t entriesLeft_ = 0;
  int64_t slots_[kSlotCount];
  uint32_t counts_[kSlotCount] = {};
  Slot current_ = kMake;
  int latitudeSign_ = 1;
  int longitudeSign_ = 1;
  double latitude_ = 0, longitude_ = 0;
  bool haveLatitude_ = false, haveLongitude_ = false;
};

class HBFmtImplFactExif final : public IHBFormatImplFact {
 public:
  brerror_t matchFormat(HBFormatImplInfo_t *info, IHBFormatImpl **impl) override {
    for (int32_t i = 0; i + 10 <= info->avail; i++) {
      const uint8_t *p = info->data + i;
      if (p[0] == 0xFF && p[1] == 0xE1 && memcmp(p + 4, "Exif\0\0", 6) == 0) {
        info->used = i;
        *impl = new HBFmtImplExif(info->offset + i, info->sink);
        return BRERROR_NONE;
      }
    }
    return BRERROR_NO_ENTRY;
  }
  const char *getDesc() override { return "EXIF"; }
};

}  // namespace

IHBFormatImplFact *HBFmtImplFactExif__get() {
  static HBFmtImplFactExif factory;
  return &factory;
}
