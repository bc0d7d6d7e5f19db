#include "api.h"

#include <ctime>
#include <set>

#include "pktm.h"
#include "soap.h"

namespace kxcloud {
namespace {

constexpr int64_t kLoginTtlMs = 30LL * 24 * 3600 * 1000;

const std::string kEmpty;

const std::string &text(const Args &a, const char *name) {
  const std::string *v = arg(a, name);
  return v ? *v : kEmpty;
}

bool to_i64(const std::string &s, int64_t *v) {
  if (s.empty()) return false;
  char *end = nullptr;
  errno = 0;
  long long r = std::strtoll(s.c_str(), &end, 10);
  if (errno || *end) return false;
  *v = r;
  return true;
}

bool valid_utf8(const std::string &s) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
  const unsigned char *e = p + s.size();
  while (p < e) {
    int n = *p < 0x80 ? 0 : (*p >> 5) == 6 ? 1 : (*p >> 4) == 14 ? 2 : (*p >> 3) == 30 ? 3 : -1;
    if (n < 0 || (n == 1 && *p < 0xc2) || e - p <= n) return false;
    for (int i = 1; i <= n; ++i)
      if ((p[i] & 0xc0) != 0x80) return false;
    p += n + 1;
  }
  return true;
}

// 0, 812 (over 255 bytes) or 822 (not a usable name).
int check_name(const std::string &name) {
  if (name.size() > 255) return 812;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos || !valid_utf8(name))
    return 822;
  return 0;
}

// Arguments that are the call's own, not properties of the file.
const std::set<std::string> kCallArgs = {"valtoken", "deviceid", "serviceid", "parentid",
                                         "filename", "name",     "type",      "size",
                                         "ctime",    "mtime",    "mimetype",  "fileid"};

}  // namespace

const char *service_error_text(int code) {
  switch (code) {
    case 400: return "Unspecified client error";
    case 500: return "Unspecified server error";
    case 600: return "Invalid argument";
    case 601: return "Out of range";
    case 602: return "Not implemented";
    case 606: return "Not authorized";
    case 607: return "Timeout Occurred";
    case 608: return "A temporary failure occurred";
    case 800: return "No such user";
    case 801: return "No such device";
    case 802: return "No such service";
    case 803: return "No such album";
    case 804: return "No such file";
    case 805: return "Permission denied";
    case 806: return "Not available";
    case 807: return "Storage offline";
    case 808: return "File Exists";
    case 809: return "Named file does not exist";
    case 810: return "User record already exists";
    case 811: return "User hasn't validate email";
    case 812: return "Name too long";
    case 813: return "Password not set";
    case 814: return "Failed to delete";
    case 815: return "Service Expired";
    case 816: return "Service Needs Setup";
    case 817: return "Insufficient Space or Too Big";
    case 818: return "Request is not supported";
    case 819: return "Failed to provision requested feature";
    case 820: return "Necessary feature is not provisioned";
    case 821: return "Active Copy already exists";
    case 822: return "Invalid name";
    case 823: return "Printer Driver Unknown";
    case 824: return "Not Authorized for Google Cloud Print";
    case 825: return "Limit Reached";
    case 826: return "Invalid Token";
    case 890: return "Upload is still pending";
    default: return "Unspecified server error";
  }
}

Reply fault(int code, const std::string &context) {
  Reply r;
  r.code = code;
  r.description = service_error_text(code);
  r.context = context;
  return r;
}

void serve_rpc(const httplib::Request &req, httplib::Response &res, const Method &method) {
  bool packet = req.path.find("/pktm/") != std::string::npos;
  std::string name, error;
  Args args;
  Reply reply;
  bool parsed;
  if (packet) {
    name = req.path.substr(req.path.rfind('/') + 1);
    parsed = !name.empty() && pktm_decode_args(req.body, &args, &error);
  } else {
    parsed = soap_parse_request(req.body, &name, &args, &error);
  }
  reply = parsed ? method(name, args) : fault(600, "malformed request: " + error);
  res.status = reply.code ? 500 : 200;
  if (packet) {
    Value body = reply.result;
    if (reply.code) {
      body = Value::map();
      body.set("errorCode", std::to_string(reply.code));
      body.set("errorDescription", reply.description);
      body.set("errorContext", reply.context);
    }
    res.set_content(pktm_encode_map(body), "application/octet-stream");
  } else if (reply.code) {
    res.set_content(soap_write_fault(reply.code, reply.description, reply.context),
                    "text/xml; charset=\"utf-8\"");
  } else {
    res.set_content(soap_write_reply(name, reply.result), "text/xml; charset=\"utf-8\"");
  }
}

Api::Api(Store &store, Content &content, Faults &faults, std::string base_url,
         std::string owner_email)
    : store_(store),
      content_(content),
      faults_(faults),
      base_url_(std::move(base_url)),
      owner_email_(std::move(owner_email)) {}

void Api::install(HttpServer &server) {
  auto handler = [this](const httplib::Request &req, httplib::Response &res) {
    serve_rpc(req, res, [this](const std::string &m, const Args &a) { return call(m, a); });
  };
  server.Post(R"(.*/pktm/[^/]+)", handler);
  server.Post(R"(/svc/(api|xconnect)(/.*)?)", handler);
}

Reply Api::call(const std::string &method, const Args &a) {
  if (!faults_.fail_method.empty() && method == faults_.fail_method) {
    int left = faults_.fail_count.load();
    while (left > 0 && !faults_.fail_count.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0) return fault(faults_.fail_code, method + ": failure injected");
  }
  if (method == "loginUser") return login_user(a);
  if (method == "getOwnerAuth") return get_owner_auth();

  static const std::set<std::string> known = {
      "getUser",    "listServices", "getService", "getDevice",  "listAlbums", "getFile",
      "listFiles",  "createFile",   "updateFile", "removeFile", "moveFile",   "statFS"};
  if (!known.count(method)) return fault(602, "unknown method '" + method + "'");
  User u;
  if (store_.user_for_token(text(a, "valtoken"), &u)) return fault(606, method + ": valtoken");
  if (method == "getUser") return get_user(u);
  if (method == "listServices") return list_services(u);
  if (method == "getService") return get_service(u, a);
  if (method == "getDevice") return get_device(u, a);
  if (method == "listAlbums") return list_albums(u);

  Service s;
  if (int rc = store_.get_service(u.id, text(a, "deviceid"), text(a, "serviceid"), &s))
    return fault(rc, method + ": deviceid '" + text(a, "deviceid") + "' serviceid '" +
                         text(a, "serviceid") + "'");
  if (!s.online) return fault(807, method + ": service '" + s.name + "' is offline");
  if (method == "getFile") return get_file(s, a);
  if (method == "listFiles") return list_files(s, a);
  if (method == "createFile") return create_file(s, a);
  if (method == "updateFile") return update_file(s, a);
  if (method == "removeFile") return remove_file(s, a);
  if (method == "moveFile") return move_file(s, a);
  return stat_fs(s);
}

Value Api::service_map(const Service &s) const {
  Value m = Value::map();
  m.set("deviceid", s.deviceid);
  m.set("serviceid", s.serviceid);
  m.set("name", s.name);
  m.set("type", s.type);
  m.set("online", s.online ? "1" : "0");
  m.set("apiurl", base_url_ + "/svc/api");
  m.set("fileurl", base_url_ + "/svc/files");
  m.set("version", faults_.version);
  int64_t free = s.total > s.used ? s.total - s.used : 0;
  m.set("space", std::to_string(free) + "/" + std::to_string(s.total));
  return m;
}

Value Api::file_map(const Service &s, const FileRec &f) const {
  Value m = Value::map();
  m.set("fileid", std::to_string(f.id));
  m.set("parentid", f.parent < 0 ? std::string() : std::to_string(f.parent));
  m.set("name", f.name);
  m.set("filename", f.name);
  m.set("type", std::to_string(f.type));
  m.set("size", std::to_string(f.size));
  m.set("ctime", std::to_string(f.ctime));
  m.set("mtime", std::to_string(f.mtime));
  m.set("mimetype", f.mimetype);
  m.set("deviceid", s.deviceid);
  m.set("serviceid", s.serviceid);
  static const char *subs[] = {nullptr, "thumbnail", "preview", "stream"};
  static const char *paths[] = {nullptr, "tn", "pv", "st"};
  std::string base = s.deviceid + "/" + s.serviceid + "/" + std::to_string(f.id) + "/";
  for (int i = 1; i < 4; ++i)
    if (f.sub[i] >= 0) m.set(subs[i], base + paths[i]);
  if (f.pending) m.set("pending", "1");
  for (auto &p : f.props)
    if (!m.find(p.first)) m.set(p.first, p.second);
  return m;
}

Reply Api::login_user(const Args &a) {
  int64_t userid;
  if (store_.check_password(text(a, "email"), text(a, "password"), &userid))
    return fault(606, "loginUser: wrong e-mail address or password");
  Reply r;
  std::string token;
  if (store_.add_token(userid, kLoginTtlMs, "", &token)) return fault(500, "loginUser");
  r.result.set("valtoken", token);
  return r;
}

Reply Api::get_user(const User &u) {
  Reply r;
  Value &m = r.result.set("user", Value::map());
  m.set("userid", std::to_string(u.id));
  m.set("email", u.email);
  m.set("name", u.name);
  return r;
}

Reply Api::get_owner_auth() {
  User u;
  if (owner_email_.empty() || store_.user_by_email(owner_email_, &u))
    return fault(801, "getOwnerAuth: this service has no owner account");
  std::string token;
  if (store_.add_token(u.id, kLoginTtlMs, "", &token)) return fault(500, "getOwnerAuth");
  Reply r;
  r.result.set("valtoken", token);
  return r;
}

Reply Api::list_services(const User &u) {
  Reply r;
  Value &list = r.result.set("services", Value::list());
  for (auto &s : store_.list_services(u.id)) list.items.push_back(service_map(s));
  return r;
}

Reply Api::get_service(const User &u, const Args &a) {
  Service s;
  if (int rc = store_.get_service(u.id, text(a, "deviceid"), text(a, "serviceid"), &s))
    return fault(rc, "getService: serviceid '" + text(a, "serviceid") + "'");
  Reply r;
  r.result.set("service", service_map(s));
  return r;
}

Reply Api::get_device(const User &u, const Args &a) {
  Device d;
  if (int rc = store_.get_device(u.id, text(a, "deviceid"), &d))
    return fault(rc, "getDevice: deviceid '" + text(a, "deviceid") + "'");
  bool online = false;
  int count = 0;
  for (auto &s : store_.list_services(u.id))
    if (s.deviceid == d.deviceid) {
      online = online || s.online;
      ++count;
    }
  Reply r;
  Value &m = r.result.set("device", Value::map());
  m.set("deviceid", d.deviceid);
  m.set("name", d.name);
  m.set("type", d.type);
  m.set("online", online ? "1" : "0");
  m.set("services", std::to_string(count));
  return r;
}

Reply Api::list_albums(const User &u) {
  Reply r;
  Value &list = r.result.set("albums", Value::list());
  auto services = store_.list_services(u.id);
  for (auto &al : store_.list_albums(u.id)) {
    Value m = Value::map();
    m.set("albumid", al.albumid);
    m.set("name", al.name);
    m.set("perms", al.perms);
    for (auto &s : services) {
      FileRec root;
      if (s.svc != al.svc || store_.get_file(s.svc, al.rootid, &root)) continue;
      Value rm = file_map(s, root);
      rm.set("apiurl", base_url_ + "/svc/api");
      rm.set("fileurl", base_url_ + "/svc/files");
      m.set("root", rm);
    }
    list.items.push_back(m);
  }
  return r;
}

Reply Api::get_file(const Service &s, const Args &a) {
  FileRec f;
  int64_t id;
  const std::string *fileid = arg(a, "fileid");
  const std::string *filename = arg(a, "filename");
  if (fileid) {
    if (!to_i64(*fileid, &id)) return fault(804, "getFile: fileid '" + *fileid + "'");
    if (int rc = store_.get_file(s.svc, id, &f)) return fault(rc, "getFile: fileid '" + *fileid + "'");
  } else if (filename && !arg(a, "parentid")) {
    // No folder given: the file is looked for wherever the service placed it.
    if (int rc = store_.find_by_name(s.svc, *filename, &f))
      return fault(rc, "getFile: filename '" + *filename + "'");
  } else if (filename) {
    const std::string &p = text(a, "parentid");
    int64_t parent = 0;
    if (!p.empty() && !to_i64(p, &parent)) return fault(804, "getFile: parentid '" + p + "'");
    if (int rc = store_.get_file(s.svc, parent, &f)) return fault(rc, "getFile: parentid '" + p + "'");
    // A name with slashes is a path below the parent.
    size_t pos = 0;
    while (pos <= filename->size()) {
      size_t end = filename->find('/', pos);
      if (end == std::string::npos) end = filename->size();
      std::string part = filename->substr(pos, end - pos);
      pos = end + 1;
      if (part.empty()) continue;
      if (int rc = store_.lookup(s.svc, f.id, part, &f))
        return fault(rc, "getFile: filename '" + *filename + "' at '" + part + "'");
    }
  } else {
    return fault(600, "getFile: needs fileid, or filename");
  }
  Reply r;
  r.result.set("file", file_map(s, f));
  return r;
}

Reply Api::list_files(const Service &s, const Args &a) {
  ListQuery q;
  int64_t parent = 0, n;
  const std::string &p = text(a, "parentid");
  if (!p.empty() && !to_i64(p, &parent)) return fault(804, "listFiles: parentid '" + p + "'");
  q.sortcrit = text(a, "sortcrit");
  if (to_i64(text(a, "maxcount"), &n)) q.maxcount = n;
  if (q.maxcount < 1 || q.maxcount > 1000) return fault(601, "listFiles: maxcount");
  if (to_i64(text(a, "offset"), &n)) q.offset = n;
  else if (to_i64(text(a, "pageoffset"), &n)) q.offset = n * q.maxcount;
  if (q.offset < 0) return fault(601, "listFiles: offset");
  q.showhidden = text(a, "showhidden") == "1";
  bool omit = text(a, "omitcount") == "1";
  std::vector<FileRec> files;
  int64_t total = 0;
  if (int rc = store_.list(s.svc, parent, q, &files, omit ? nullptr : &total))
    return fault(rc == 600 ? 600 : rc, "listFiles: parentid '" + p + "'");
  Reply r;
  Value &list = r.result.set("files", Value::list());
  for (auto &f : files) list.items.push_back(file_map(s, f));
  r.result.set("count", std::to_string(files.size()));
  if (!omit) r.result.set("total", std::to_string(total));
  return r;
}

// Files created without a folder are filed by kind and date, as the service's
// own upload rules do: Photos/YYYY/MM, Videos/YYYY/MM, Music, Documents.
int Api::placement_folder(const Service &s, const Args &a, int64_t *parent) {
  const std::string &mime = text(a, "mimetype");
  std::vector<std::string> path;
  if (mime.compare(0, 6, "audio/") == 0) {
    path.push_back("Music");
  } else {
    path.push_back(mime.compare(0, 6, "image/") == 0   ? "Photos"
                   : mime.compare(0, 6, "video/") == 0 ? "Videos"
                                                       : "Documents");
    int64_t when = 0;
    for (const char *k : {"EXIF-DateTimeOriginal", "origtime", "ctime", "mtime"})
      if (to_i64(text(a, k), &when) && when != 0) break;
    if (when == 0) when = now_ms();
    time_t secs = static_cast<time_t>(when / 1000);
    struct tm tm;
    gmtime_r(&secs, &tm);
    char y[16], m[16];
    std::snprintf(y, sizeof y, "%04d", tm.tm_year + 1900);
    std::snprintf(m, sizeof m, "%02d", tm.tm_mon + 1);
    path.push_back(y);
    path.push_back(m);
  }
  int64_t id = 0;
  int64_t now = now_ms();
  for (auto &name : path) {
    FileRec f;
    int rc = store_.lookup(s.svc, id, name, &f);
    if (rc == 809) {
      rc = store_.create(s.svc, id, name, 1, now, now, "", 0, {}, &f);
      if (rc == 808) rc = store_.lookup(s.svc, id, name, &f);  // made meanwhile
    }
    if (rc) return rc;
    if (f.type != 1) return 808;
    id = f.id;
  }
  *parent = id;
  return 0;
}

Reply Api::create_file(const Service &s, const Args &a) {
  const std::string &name = text(a, "filename");
  if (int rc = check_name(name)) return fault(rc, "createFile: filename '" + name + "'");
  int type = text(a, "type") == "1" ? 1 : 0;
  int64_t parent = 0, now = now_ms(), ctime = now, mtime = now, size = 0;
  const std::string *p = arg(a, "parentid");
  if (p && !p->empty()) {
    if (!to_i64(*p, &parent)) return fault(809, "createFile: parentid '" + *p + "'");
  } else if (!p && type == 0) {
    if (int rc = placement_folder(s, a, &parent)) return fault(rc, "createFile: placing the file");
  }
  to_i64(text(a, "ctime"), &ctime);
  to_i64(text(a, "mtime"), &mtime);
  to_i64(text(a, "size"), &size);
  std::vector<std::pair<std::string, std::string>> props;
  for (auto &e : a)
    if (e.second.kind == Value::Kind::Text && !kCallArgs.count(e.first)) {
      bool seen = false;
      for (auto &q : props) seen = seen || q.first == e.first;
      if (!seen) props.emplace_back(e.first, e.second.text);
    }
  FileRec f;
  if (int rc = store_.create(s.svc, parent, name, type, ctime, mtime,
                             type ? "" : text(a, "mimetype"), type ? 0 : size, props, &f))
    return fault(rc, "createFile: '" + name + "' in folder " + std::to_string(parent));
  Reply r;
  r.result.set("file", file_map(s, f));
  return r;
}

Reply Api::update_file(const Service &s, const Args &a) {
  int64_t id, v;
  const std::string &fileid = text(a, "fileid");
  if (!to_i64(fileid, &id)) return fault(804, "updateFile: fileid '" + fileid + "'");
  FileRec f;
  if (int rc = store_.get_file(s.svc, id, &f)) return fault(rc, "updateFile: fileid '" + fileid + "'");
  for (const char *key : {"mtime", "ctime", "fsize"}) {
    const std::string *val = arg(a, key);
    if (val && !to_i64(*val, &v)) return fault(600, std::string("updateFile: ") + key);
    if (val && v < 0) return fault(601, std::string("updateFile: ") + key);
  }
  if (const std::string *val = arg(a, "fsize")) {
    to_i64(*val, &v);
    if (f.type != 0) return fault(600, "updateFile: fsize of a folder");
    Content::Lock lock(content_, s.svc, id);
    if (int rc = store_.set_size(s.svc, id, Part::Content, v, Store::kWritten, now_ms()))
      return fault(rc, "updateFile: fsize " + *val);
    if (content_.truncate(s.svc, id, v)) return fault(500, "updateFile: fsize " + *val);
  }
  int64_t ct, mt;
  const std::string *c = arg(a, "ctime"), *m = arg(a, "mtime");
  if (c || m) {
    if (c) to_i64(*c, &ct);
    if (m) to_i64(*m, &mt);
    if (int rc = store_.set_times(s.svc, id, c ? &ct : nullptr, m ? &mt : nullptr))
      return fault(rc, "updateFile: fileid '" + fileid + "'");
  }
  store_.get_file(s.svc, id, &f);
  Reply r;
  r.result.set("file", file_map(s, f));
  return r;
}

Reply Api::remove_file(const Service &s, const Args &a) {
  int64_t id;
  const std::string &fileid = text(a, "fileid");
  if (!to_i64(fileid, &id)) return fault(804, "removeFile: fileid '" + fileid + "'");
  std::vector<int64_t> removed;
  if (int rc = store_.remove(s.svc, id, text(a, "recurse") == "1", &removed))
    return fault(rc, "removeFile: fileid '" + fileid + "'");
  for (int64_t r : removed) content_.remove(s.svc, r);
  return Reply();
}

Reply Api::move_file(const Service &s, const Args &a) {
  int64_t id, parent = 0;
  const std::string &fileid = text(a, "fileid");
  if (!to_i64(fileid, &id)) return fault(804, "moveFile: fileid '" + fileid + "'");
  const std::string &p = text(a, "parentid");
  if (!p.empty() && !to_i64(p, &parent)) return fault(809, "moveFile: parentid '" + p + "'");
  FileRec f;
  if (int rc = store_.get_file(s.svc, id, &f)) return fault(rc, "moveFile: fileid '" + fileid + "'");
  std::string name = arg(a, "filename") ? text(a, "filename") : f.name;
  if (int rc = check_name(name)) return fault(rc, "moveFile: filename '" + name + "'");
  if (int rc = store_.move(s.svc, id, parent, name, &f))
    return fault(rc, "moveFile: '" + name + "' in folder " + std::to_string(parent));
  Reply r;
  r.result.set("file", file_map(s, f));
  return r;
}

Reply Api::stat_fs(const Service &s) {
  Reply r;
  int64_t free = s.total > s.used ? s.total - s.used : 0;
  r.result.set("bsize", "4096");
  r.result.set("namelen", "255");
  r.result.set("blocks", std::to_string(s.total / 4096));
  r.result.set("bfree", std::to_string(free / 4096));
  r.result.set("files", "1024000");
  r.result.set("ffree", "512000");
  return r;
}

void install_agent(HttpServer &server, const std::string &deviceid) {
  auto handler = [deviceid](const httplib::Request &req, httplib::Response &res) {
    serve_rpc(req, res, [&deviceid](const std::string &m, const Args &) {
      if (m != "getStatus") return fault(602, "unknown method '" + m + "'");
      Reply r;
      r.result.set("deviceid", deviceid);
      r.result.set("online", "1");
      return r;
    });
  };
  server.Post(R"(.*/pktm/[^/]+)", handler);
  server.Post(R"(/svc/hbpctrl(/.*)?)", handler);
}

}  // namespace kxcloud
