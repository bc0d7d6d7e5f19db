#include "files.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

namespace kxcloud {
namespace {

constexpr size_t kUploadBuffer = 1 << 20;
constexpr size_t kReadChunk = 256 * 1024;

int http_status(int code) {
  switch (code) {
    case 606: return 401;
    case 801: case 802: case 804: case 809: return 404;
    case 805: return 403;
    case 807: return 503;
    case 600: return 400;
    case 817: return 507;
    default: return 500;
  }
}

bool parse_i64(const std::string &s, int64_t *v) {
  if (s.empty() || s.size() > 18) return false;
  int64_t r = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    r = r * 10 + (c - '0');
  }
  *v = r;
  return true;
}

std::string token_of(const httplib::Request &req) {
  std::string cookie = req.get_header_value("Cookie");
  size_t pos = 0;
  while (pos < cookie.size()) {
    size_t end = cookie.find(';', pos);
    if (end == std::string::npos) end = cookie.size();
    std::string item = cookie.substr(pos, end - pos);
    size_t b = item.find_first_not_of(' ');
    if (b != std::string::npos && item.compare(b, 9, "valtoken=") == 0) return item.substr(b + 9);
    pos = end + 1;
  }
  return req.get_header_value("X-QXVALTOKEN");
}

bool write_all(int fd, const char *p, size_t n, off_t off) {
  while (n > 0) {
    ssize_t w = ::pwrite(fd, p, n, off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    off += w;
  }
  return true;
}

struct Fd {
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

// "bytes=A-B", "bytes=A-", "bytes=-N". False when the header is not one
// well-formed range; such headers are ignored as HTTP allows.
bool parse_range(const std::string &h, int64_t *first, int64_t *last, bool *suffix) {
  if (h.compare(0, 6, "bytes=") != 0 || h.find(',') != std::string::npos) return false;
  std::string spec = h.substr(6);
  size_t dash = spec.find('-');
  if (dash == std::string::npos) return false;
  std::string a = spec.substr(0, dash), b = spec.substr(dash + 1);
  *suffix = a.empty();
  if (*suffix) return parse_i64(b, last);
  if (!parse_i64(a, first)) return false;
  *last = -1;
  return b.empty() || (parse_i64(b, last) && *last >= *first);
}

}  // namespace

Content::Content(const std::string &data_dir) : dir_(data_dir + "/blobs") {
  ::mkdir(dir_.c_str(), 0700);
}

std::string Content::path(int64_t svc, int64_t id, Part part) const {
  static const char *suffix[] = {"", ".tn", ".pv", ".st"};
  std::string d = dir_ + "/" + std::to_string(svc);
  ::mkdir(d.c_str(), 0700);
  return d + "/" + std::to_string(id) + suffix[static_cast<int>(part)];
}

Content::Lock::Lock(Content &c, int64_t svc, int64_t id) : c_(c), key_(svc, id) {
  Entry *e;
  {
    std::lock_guard<std::mutex> l(c_.mu_);
    auto &slot = c_.locks_[key_];
    if (!slot) slot = std::make_unique<Entry>();
    e = slot.get();
    ++e->users;
  }
  e->mu.lock();
}

Content::Lock::~Lock() {
  std::lock_guard<std::mutex> l(c_.mu_);
  auto it = c_.locks_.find(key_);
  it->second->mu.unlock();
  if (--it->second->users == 0) c_.locks_.erase(it);
}

int Content::truncate(int64_t svc, int64_t id, int64_t size) {
  std::string p = path(svc, id, Part::Content);
  int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return 500;
  int rc = ::ftruncate(fd, size) == 0 ? 0 : 500;
  ::close(fd);
  return rc;
}

int Content::put(int64_t svc, int64_t id, Part part, const std::string &bytes) {
  std::string p = path(svc, id, part);
  Fd fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  return fd.fd >= 0 && write_all(fd.fd, bytes.data(), bytes.size(), 0) ? 0 : 500;
}

void Content::remove(int64_t svc, int64_t id) {
  for (Part p : {Part::Content, Part::Thumbnail, Part::Preview, Part::Stream})
    ::unlink(path(svc, id, p).c_str());
}

struct FileEndpoint::Target {
  Service service;
  FileRec file;
  Part part = Part::Content;
};

int FileEndpoint::resolve(const httplib::Request &req, Target *t) {
  static const std::string prefix = "/svc/files/";
  if (req.path.compare(0, prefix.size(), prefix) != 0) return 804;
  std::vector<std::string> segs;
  std::string rest = req.path.substr(prefix.size());
  for (size_t pos = 0; pos <= rest.size();) {
    size_t end = rest.find('/', pos);
    if (end == std::string::npos) end = rest.size();
    if (end > pos) segs.push_back(rest.substr(pos, end - pos));
    pos = end + 1;
  }
  if (segs.size() >= 4) {
    const std::string &last = segs.back();
    if (last == "tn") t->part = Part::Thumbnail;
    else if (last == "pv") t->part = Part::Preview;
    else if (last == "st") t->part = Part::Stream;
    if (t->part != Part::Content) segs.pop_back();
  }
  std::string token = token_of(req);
  if (segs.size() == 4) {  // the older form: token first
    token = segs[0];
    segs.erase(segs.begin());
  }
  if (segs.size() != 3) return 804;
  User user;
  int rc = store_.user_for_token(token, &user);
  if (rc) return rc;
  if ((rc = store_.get_service(user.id, segs[0], segs[1], &t->service))) return rc;
  if (!t->service.online) return 807;
  int64_t id;
  if (!parse_i64(segs[2], &id)) return 804;
  if ((rc = store_.get_file(t->service.svc, id, &t->file))) return rc;
  return t->file.type == 0 ? 0 : 600;
}

void FileEndpoint::install(HttpServer &server) {
  server.Get(R"(/svc/files/.*)", [this](const httplib::Request &req, httplib::Response &res) {
    get(req, res);
  });
  server.Put(R"(/svc/files/.*)", [this](const httplib::Request &req, httplib::Response &res,
                                        const httplib::ContentReader &reader) {
    put(req, res, reader);
  });
}

void FileEndpoint::get(const httplib::Request &req, httplib::Response &res) {
  Target t;
  int rc = resolve(req, &t);
  if (rc) {
    res.status = http_status(rc);
    return;
  }
  int part = static_cast<int>(t.part);
  if (t.part != Part::Content && t.file.sub[part] < 0) {
    res.status = 404;
    return;
  }
  auto fd = std::make_shared<Fd>(::open(content_.path(t.service.svc, t.file.id, t.part).c_str(),
                                        O_RDONLY | O_CLOEXEC));
  int64_t size = 0;
  struct stat st;
  if (fd->fd >= 0 && fstat(fd->fd, &st) == 0) size = st.st_size;
  std::string type = t.part == Part::Content
                         ? (t.file.mimetype.empty() ? "application/octet-stream" : t.file.mimetype)
                         : (t.part == Part::Stream ? "video/mp4" : "image/jpeg");
  res.set_header("Accept-Ranges", "bytes");

  int64_t first = 0, last = size - 1;
  bool suffix = false;
  res.status = 200;
  if (!faults_.ignore_range && req.has_header("Range") &&
      parse_range(req.get_header_value("Range"), &first, &last, &suffix)) {
    if (suffix) {
      if (last == 0 || size == 0) first = size;  // "-0" selects nothing
      else first = last >= size ? 0 : size - last;
      last = size - 1;
    } else if (last < 0 || last >= size) {
      last = size - 1;
    }
    if (first >= size) {
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(size));
      return;
    }
    res.status = 206;
    res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                        std::to_string(last) + "/" + std::to_string(size));
  }
  int64_t length = last - first + 1;
  if (length <= 0) {
    res.set_content("", type.c_str());
    return;
  }
  res.set_content_provider(
      static_cast<size_t>(length), type,
      [fd, first](size_t offset, size_t len, httplib::DataSink &sink) {
        thread_local std::vector<char> buf(kReadChunk);
        size_t want = std::min(len, buf.size());
        ssize_t n;
        do {
          n = ::pread(fd->fd, buf.data(), want, first + static_cast<off_t>(offset));
        } while (n < 0 && errno == EINTR);
        // A file cut short while it is being sent ends the connection: the
        // promised length can no longer be kept.
        if (n <= 0) return false;
        return sink.write(buf.data(), static_cast<size_t>(n));
      });
}

int FileEndpoint::precheck(const httplib::Request &req, httplib::Response &res) {
  if (req.method != "PUT" || req.path.compare(0, 11, "/svc/files/") != 0) return 100;
  Target t;
  int rc = resolve(req, &t);
  int status = rc ? http_status(rc) : faults_.refuse_uploads;
  if (!status && req.has_header("Content-Length")) {
    int64_t len = 0, offset = 0, last = 0;
    bool suffix = false;
    parse_i64(req.get_header_value("Content-Length"), &len);
    bool ranged = req.has_header("Range") &&
                  parse_range(req.get_header_value("Range"), &offset, &last, &suffix) && !suffix;
    int64_t old = t.part == Part::Content ? t.file.size : std::max<int64_t>(0, t.file.sub[static_cast<int>(t.part)]);
    int64_t extra = ranged ? offset + len - old : len - old;
    if (store_.fits(t.service.svc, extra)) status = 507;
  }
  if (!status) return 100;
  res.status = status;
  res.set_header("Connection", "close");
  HttpServer::close_after_response();
  return status;
}

void FileEndpoint::put(const httplib::Request &req, httplib::Response &res,
                       const httplib::ContentReader &reader) {
  Target t;
  int rc = resolve(req, &t);
  if (!rc && faults_.refuse_uploads) rc = -1;
  int64_t offset = 0, last = 0;
  bool suffix = false;
  bool ranged = req.has_header("Range");
  if (!rc && ranged &&
      (!parse_range(req.get_header_value("Range"), &offset, &last, &suffix) || suffix))
    rc = -416;
  if (rc) {
    // The body, if any, is left unread: the connection cannot be reused.
    res.status = rc == -1 ? faults_.refuse_uploads : rc == -416 ? 416 : http_status(rc);
    res.set_header("Connection", "close");
    HttpServer::close_after_response();
    return;
  }
  const int64_t svc = t.service.svc, id = t.file.id;
  const std::string path = content_.path(svc, id, t.part);
  const int64_t old = t.part == Part::Content ? t.file.size
                                              : std::max<int64_t>(0, t.file.sub[static_cast<int>(t.part)]);
  static std::atomic<uint64_t> serial{0};
  const std::string tmp = path + ".upload." + std::to_string(++serial);
  Fd fd(ranged ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)
               : ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC, 0600));
  if (fd.fd < 0) {
    res.status = 500;
    HttpServer::close_after_response();
    return;
  }

  std::vector<char> buf;
  buf.reserve(kUploadBuffer);
  int64_t pos = ranged ? offset : 0;
  int failure = 0;  // service error code or 500
  auto flush = [&]() {
    if (buf.empty() || failure) return;
    if (ranged) {
      Content::Lock lock(content_, svc, id);
      failure = store_.set_size(svc, id, t.part, pos + static_cast<int64_t>(buf.size()),
                                Store::kGrowOnly, 0);
      if (!failure && !write_all(fd.fd, buf.data(), buf.size(), pos)) failure = 500;
    } else {
      failure = store_.fits(svc, pos + static_cast<int64_t>(buf.size()) - old);
      if (!failure && !write_all(fd.fd, buf.data(), buf.size(), pos)) failure = 500;
    }
    pos += static_cast<int64_t>(buf.size());
    buf.clear();
  };

  bool chunked = strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") == 0;
  int64_t declared = 0;
  parse_i64(req.get_header_value("Content-Length"), &declared);
  bool complete = true;
  if (chunked || declared > 0) {
    complete = reader([&](const char *data, size_t n) {
      while (n > 0 && !failure) {
        size_t take = std::min(n, kUploadBuffer - buf.size());
        buf.insert(buf.end(), data, data + take);
        data += take;
        n -= take;
        if (buf.size() == kUploadBuffer) flush();
      }
      return failure == 0;
    });
    flush();
  }
  if (!failure && !complete) failure = 400;
  if (!failure) {
    Content::Lock lock(content_, svc, id);
    if (ranged) {
      failure = store_.set_size(svc, id, t.part, pos, Store::kGrowOnly | Store::kWritten, now_ms());
    } else {
      failure = store_.set_size(svc, id, t.part, pos, Store::kWritten, now_ms());
      if (!failure && ::rename(tmp.c_str(), path.c_str()) != 0) failure = 500;
    }
  }
  if (!ranged) ::unlink(tmp.c_str());
  if (failure) {
    res.status = failure == 400 ? 400 : http_status(failure);
    res.set_header("Connection", "close");
    HttpServer::close_after_response();
    return;
  }
  res.status = 200;
  res.set_content("", "text/plain");
}

}  // namespace kxcloud
