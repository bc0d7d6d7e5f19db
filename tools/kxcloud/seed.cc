#include "seed.h"

#include <vector>

namespace kxcloud {
namespace {

// Writes entropy-coded bits with the JPEG byte stuffing.
class Bits {
 public:
  explicit Bits(std::string *out) : out_(out) {}
  void put(uint32_t code, int len) {
    for (int i = len - 1; i >= 0; --i) {
      acc_ = (acc_ << 1) | ((code >> i) & 1);
      if (++n_ == 8) emit();
    }
  }
  void flush() {
    while (n_ != 0) put(1, 1);  // pad with ones
  }

 private:
  void emit() {
    out_->push_back(static_cast<char>(acc_));
    if (acc_ == 0xff) out_->push_back('\0');
    acc_ = 0;
    n_ = 0;
  }
  std::string *out_;
  uint32_t acc_ = 0;
  int n_ = 0;
};

// The standard luminance DC table: code lengths per category 0..11.
const uint8_t kDcBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};

void marker(std::string *o, uint8_t m, const std::string &payload) {
  o->push_back(static_cast<char>(0xff));
  o->push_back(static_cast<char>(m));
  size_t len = payload.size() + 2;
  o->push_back(static_cast<char>(len >> 8));
  o->push_back(static_cast<char>(len & 0xff));
  *o += payload;
}

}  // namespace

std::string make_jpeg(int w, int h, const std::function<uint32_t(int, int)> &color) {
  std::string o("\xff\xd8", 2);
  marker(&o, 0xe0, std::string("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
  // One quantisation table of ones: a flat block's DC coefficient is exact.
  marker(&o, 0xdb, std::string(1, '\0') + std::string(64, '\x01'));
  std::string sof("\x08", 1);
  sof += static_cast<char>(h >> 8);
  sof += static_cast<char>(h & 0xff);
  sof += static_cast<char>(w >> 8);
  sof += static_cast<char>(w & 0xff);
  sof += std::string("\x03\x01\x11\x00\x02\x11\x00\x03\x11\x00", 10);
  marker(&o, 0xc0, sof);
  std::string dht("\x00", 1);
  dht.append(reinterpret_cast<const char *>(kDcBits), 16);
  for (int i = 0; i < 12; ++i) dht += static_cast<char>(i);
  // The AC table holds only end-of-block: every block is flat.
  dht += std::string("\x10\x01\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x00", 18);
  marker(&o, 0xc4, dht);
  marker(&o, 0xda, std::string("\x03\x01\x00\x02\x00\x03\x00\x00\x3f\x00", 10));

  // Canonical codes of the DC table.
  uint32_t codes[12];
  int lens[12];
  uint32_t code = 0;
  int k = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < kDcBits[len - 1]; ++i) {
      codes[k] = code++;
      lens[k++] = len;
    }
    code <<= 1;
  }
  Bits bits(&o);
  int prev[3] = {0, 0, 0};
  for (int by = 0; by < h / 8; ++by) {
    for (int bx = 0; bx < w / 8; ++bx) {
      uint32_t c = color(bx, by);
      double r = (c >> 16) & 0xff, g = (c >> 8) & 0xff, b = c & 0xff;
      double ycc[3] = {0.299 * r + 0.587 * g + 0.114 * b,
                       128 - 0.168736 * r - 0.331264 * g + 0.5 * b,
                       128 + 0.5 * r - 0.418688 * g - 0.081312 * b};
      for (int comp = 0; comp < 3; ++comp) {
        int dc = static_cast<int>((ycc[comp] - 128) * 8);
        int diff = dc - prev[comp];
        prev[comp] = dc;
        int mag = diff < 0 ? -diff : diff, cat = 0;
        while (mag >> cat) ++cat;
        bits.put(codes[cat], lens[cat]);
        if (cat) bits.put(static_cast<uint32_t>(diff < 0 ? diff + (1 << cat) - 1 : diff), cat);
        bits.put(0, 1);  // end of block
      }
    }
  }
  bits.flush();
  o += "\xff\xd9";
  return o;
}

namespace {

struct Seeder {
  Store &store;
  Content &content;
  int rc = 0;

  int64_t folder(int64_t svc, int64_t parent, const std::string &name) {
    FileRec f;
    int64_t t = 1300000000000LL;
    if (!rc) rc = store.create(svc, parent, name, 1, t, t, "", 0, {}, &f);
    return f.id;
  }
  void file(int64_t svc, int64_t parent, const std::string &name, const std::string &mime,
            const std::string &bytes, int64_t when, const std::string *thumb) {
    FileRec f;
    if (rc || (rc = store.create(svc, parent, name, 0, when, when, mime, 0,
                                 {{"origtime", std::to_string(when)}, {"origin", "kxcloud-seed"}},
                                 &f)))
      return;
    if ((rc = content.put(svc, f.id, Part::Content, bytes))) return;
    rc = store.set_size(svc, f.id, Part::Content, static_cast<int64_t>(bytes.size()),
                        Store::kWritten, when);
    if (!rc && thumb && !(rc = content.put(svc, f.id, Part::Thumbnail, *thumb)))
      rc = store.set_size(svc, f.id, Part::Thumbnail, static_cast<int64_t>(thumb->size()), 0, 0);
  }
};

uint32_t rgb(int r, int g, int b) {
  auto clamp = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  return clamp(r) << 16 | clamp(g) << 8 | clamp(b);
}

}  // namespace

int seed_demo(Store &store, Content &content, int64_t quota) {
  int64_t user, cloud, photos, backup, attic;
  std::string token;
  if (int rc = store.add_user("demo@kexaro.test", "demo", "Demo User", &user)) return rc;
  if (int rc = store.add_token(user, 0, "demo-token", &token)) return rc;
  const int64_t GiB = 1LL << 30;
  int rc = store.add_device(user, "kxcloud-dev", "Kexaro Cloud", "cloud");
  if (!rc) rc = store.add_device(user, "den-pc", "Den PC", "pc");
  if (!rc) rc = store.add_device(user, "attic-laptop", "Attic Laptop", "pc");
  if (!rc)
    rc = store.add_service(user, "kxcloud-dev", "6b786364-0000-4000-8000-000000000001",
                           "Kexaro Cloud", "vqz:plugfs:cloud", true, (quota ? quota : 10 * GiB), &cloud);
  if (!rc)
    rc = store.add_service(user, "den-pc", "6b786364-0000-4000-8000-000000000002",
                           "Photos Drive", "vqz:plugfs:ntfs", true, (quota ? quota : 500 * GiB), &photos);
  if (!rc)
    rc = store.add_service(user, "den-pc", "6b786364-0000-4000-8000-000000000003", "Backup",
                           "vqz:plugfs:hfs", true, (quota ? quota : 250 * GiB), &backup);
  if (!rc)
    rc = store.add_service(user, "attic-laptop", "6b786364-0000-4000-8000-000000000004",
                           "Old Laptop Disk", "vqz:plugfs:ntfs", false, (quota ? quota : 120 * GiB), &attic);
  if (rc) return rc;

  Seeder s{store, content};
  auto gradient = [](int r0, int g0, int b0) {
    return [=](int bx, int by) { return rgb(r0 + bx * 12, g0 + by * 12, b0 + (bx + by) * 4); };
  };
  auto picture = [&](int64_t svc, int64_t parent, const std::string &name, int seed,
                     int64_t when) {
    auto col = gradient(40 * seed % 200, 90 + 30 * seed % 120, 160 - 25 * seed % 140);
    std::string thumb = make_jpeg(32, 32, col);
    s.file(svc, parent, name, "image/jpeg", make_jpeg(128, 96, col), when, &thumb);
  };
  const int64_t march2011 = 1299500000000LL, july2023 = 1689000000000LL;
  int64_t ph = s.folder(cloud, 0, "Photos");
  int64_t y2011 = s.folder(cloud, ph, "2011");
  int64_t m03 = s.folder(cloud, y2011, "03");
  picture(cloud, m03, "Harbour.jpg", 1, march2011);
  picture(cloud, m03, "Lighthouse.jpg", 2, march2011 + 3600000);
  picture(cloud, m03, "Sunset.jpg", 3, march2011 + 7200000);
  int64_t docs = s.folder(cloud, 0, "Documents");
  s.file(cloud, docs, "Welcome.txt", "text/plain",
         "Welcome to Kexaro Cloud, served by kxcloud.\n", july2023, nullptr);
  int64_t trip = s.folder(cloud, 0, "Trip 2011");
  picture(cloud, trip, "Beach.jpg", 4, march2011);
  picture(cloud, trip, "Dunes.jpg", 5, march2011 + 60000);
  int64_t inbox = s.folder(cloud, 0, "Family Inbox");
  picture(cloud, inbox, "Garden.jpg", 6, july2023);
  int64_t camera = s.folder(photos, 0, "Camera");
  picture(photos, camera, "IMG_0001.jpg", 7, july2023);
  picture(photos, camera, "IMG_0002.jpg", 8, july2023 + 1000);
  s.folder(backup, 0, "Laptop 2022");
  if (s.rc) return s.rc;
  rc = store.add_album(user, "album-trip-2011", "Trip 2011", "0", cloud, trip);
  if (!rc) rc = store.add_album(user, "album-family-inbox", "Family Inbox", "1", cloud, inbox);
  return rc;
}

}  // namespace kxcloud
