#include "store.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>
#include <cstdio>

namespace kxcloud {
namespace {

// A prepared statement that finalises itself.
class Stmt {
 public:
  Stmt(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;

  template <typename... T>
  Stmt &bind(const T &...v) {
    int i = 1;
    (bind_one(i++, v), ...);
    return *this;
  }
  bool row() { return s_ && sqlite3_step(s_) == SQLITE_ROW; }
  int run() { return s_ ? sqlite3_step(s_) : SQLITE_ERROR; }
  int64_t i(int col) { return sqlite3_column_int64(s_, col); }
  std::string t(int col) {
    const unsigned char *p = sqlite3_column_text(s_, col);
    return p ? std::string(reinterpret_cast<const char *>(p), sqlite3_column_bytes(s_, col)) : "";
  }

 private:
  void bind_one(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
  void bind_one(int i, int v) { sqlite3_bind_int64(s_, i, v); }
  void bind_one(int i, bool v) { sqlite3_bind_int64(s_, i, v ? 1 : 0); }
  void bind_one(int i, const std::string &v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  void bind_one(int i, const char *v) { sqlite3_bind_text(s_, i, v, -1, SQLITE_TRANSIENT); }

  sqlite3_stmt *s_ = nullptr;
};

std::string hex(const unsigned char *p, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string random_hex(size_t bytes) {
  unsigned char buf[32];
  RAND_bytes(buf, static_cast<int>(bytes));
  return hex(buf, bytes);
}

std::string password_hash(const std::string &salt, const std::string &password) {
  std::string in = salt + password;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(in.data(), in.size(), md, &n, EVP_sha256(), nullptr);
  return hex(md, n);
}

const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY, email TEXT UNIQUE NOT NULL,
  name TEXT NOT NULL, salt TEXT NOT NULL, pwhash TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS tokens(token TEXT PRIMARY KEY, userid INTEGER NOT NULL,
  expires INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS devices(deviceid TEXT PRIMARY KEY, userid INTEGER NOT NULL,
  name TEXT NOT NULL, type TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS services(svc INTEGER PRIMARY KEY, deviceid TEXT NOT NULL,
  serviceid TEXT NOT NULL, userid INTEGER NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL,
  online INTEGER NOT NULL, total INTEGER NOT NULL, ctime INTEGER NOT NULL,
  UNIQUE(deviceid, serviceid));
CREATE TABLE IF NOT EXISTS albums(albumid TEXT PRIMARY KEY, userid INTEGER NOT NULL,
  name TEXT NOT NULL, perms TEXT NOT NULL, svc INTEGER NOT NULL, rootid INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS files(id INTEGER PRIMARY KEY AUTOINCREMENT, svc INTEGER NOT NULL,
  parent INTEGER NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL,
  size INTEGER NOT NULL DEFAULT 0, ctime INTEGER NOT NULL, mtime INTEGER NOT NULL,
  mimetype TEXT NOT NULL DEFAULT '', pending INTEGER NOT NULL DEFAULT 0,
  tn INTEGER NOT NULL DEFAULT -1, pv INTEGER NOT NULL DEFAULT -1, st INTEGER NOT NULL DEFAULT -1,
  UNIQUE(svc, parent, name));
CREATE INDEX IF NOT EXISTS files_by_name ON files(svc, name);
CREATE TABLE IF NOT EXISTS props(id INTEGER NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL,
  PRIMARY KEY(id, key));
)";

const char kFileCols[] =
    "SELECT id, parent, svc, name, type, size, ctime, mtime, mimetype, pending, tn, pv, st "
    "FROM files ";

void read_file(Stmt &s, FileRec *f) {
  f->id = s.i(0);
  f->parent = s.i(1);
  f->svc = s.i(2);
  f->name = s.t(3);
  f->type = static_cast<int>(s.i(4));
  f->size = s.i(5);
  f->ctime = s.i(6);
  f->mtime = s.i(7);
  f->mimetype = s.t(8);
  f->pending = s.i(9) != 0;
  f->sub[1] = s.i(10);
  f->sub[2] = s.i(11);
  f->sub[3] = s.i(12);
}

const char *part_column(Part p) {
  switch (p) {
    case Part::Thumbnail: return "tn";
    case Part::Preview: return "pv";
    case Part::Stream: return "st";
    default: return "size";
  }
}

}  // namespace

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<Store> Store::open(const std::string &dir, bool *created, std::string *error) {
  std::string path = dir + "/kxcloud.db";
  FILE *probe = std::fopen(path.c_str(), "rb");
  *created = probe == nullptr;
  if (probe) std::fclose(probe);
  std::unique_ptr<Store> s(new Store);
  if (sqlite3_open_v2(path.c_str(), &s->db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = std::string("cannot open ") + path + ": " + sqlite3_errmsg(s->db_);
    return nullptr;
  }
  sqlite3_busy_timeout(s->db_, 5000);
  if (s->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") || s->exec(kSchema)) {
    *error = std::string("cannot prepare ") + path + ": " + sqlite3_errmsg(s->db_);
    return nullptr;
  }
  return s;
}

Store::~Store() { sqlite3_close(db_); }

int Store::exec(const char *sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : 500;
}

int Store::add_user(const std::string &email, const std::string &password,
                    const std::string &name, int64_t *userid) {
  std::lock_guard<std::mutex> l(mu_);
  std::string salt = random_hex(16);
  Stmt s(db_, "INSERT INTO users(email, name, salt, pwhash) VALUES(?,?,?,?)");
  if (s.bind(email, name, salt, password_hash(salt, password)).run() != SQLITE_DONE) return 810;
  *userid = sqlite3_last_insert_rowid(db_);
  return 0;
}

int Store::check_password(const std::string &email, const std::string &password,
                          int64_t *userid) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_, "SELECT id, salt, pwhash FROM users WHERE email = ?");
  s.bind(email);
  // Unknown address and wrong password answer alike, so that sign-in does
  // not tell which addresses have accounts.
  if (!s.row() || password_hash(s.t(1), password) != s.t(2)) return 606;
  *userid = s.i(0);
  return 0;
}

int Store::add_token(int64_t userid, int64_t ttl_ms, const std::string &fixed,
                     std::string *token) {
  std::lock_guard<std::mutex> l(mu_);
  *token = fixed.empty() ? random_hex(24) : fixed;
  Stmt s(db_, "INSERT OR REPLACE INTO tokens(token, userid, expires) VALUES(?,?,?)");
  return s.bind(*token, userid, ttl_ms ? now_ms() + ttl_ms : int64_t(0)).run() == SQLITE_DONE ? 0
                                                                                              : 500;
}

int Store::user_for_token(const std::string &token, User *user) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_,
         "SELECT u.id, u.email, u.name, t.expires FROM tokens t JOIN users u ON u.id = t.userid "
         "WHERE t.token = ?");
  s.bind(token);
  if (token.empty() || !s.row()) return 606;
  if (s.i(3) != 0 && s.i(3) < now_ms()) return 606;
  user->id = s.i(0);
  user->email = s.t(1);
  user->name = s.t(2);
  return 0;
}

int Store::user_by_email(const std::string &email, User *user) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_, "SELECT id, email, name FROM users WHERE email = ?");
  s.bind(email);
  if (!s.row()) return 800;
  user->id = s.i(0);
  user->email = s.t(1);
  user->name = s.t(2);
  return 0;
}

int Store::add_device(int64_t userid, const std::string &deviceid, const std::string &name,
                      const std::string &type) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_, "INSERT INTO devices(deviceid, userid, name, type) VALUES(?,?,?,?)");
  return s.bind(deviceid, userid, name, type).run() == SQLITE_DONE ? 0 : 600;
}

int Store::get_device(int64_t userid, const std::string &deviceid, Device *device) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_, "SELECT deviceid, name, type, userid FROM devices WHERE deviceid = ? AND userid = ?");
  s.bind(deviceid, userid);
  if (!s.row()) return 801;
  device->deviceid = s.t(0);
  device->name = s.t(1);
  device->type = s.t(2);
  device->userid = s.i(3);
  return 0;
}

int Store::add_service(int64_t userid, const std::string &deviceid, const std::string &serviceid,
                       const std::string &name, const std::string &type, bool online,
                       int64_t total, int64_t *svc) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_,
         "INSERT INTO services(deviceid, serviceid, userid, name, type, online, total, ctime) "
         "VALUES(?,?,?,?,?,?,?,?)");
  if (s.bind(deviceid, serviceid, userid, name, type, online, total, now_ms()).run() !=
      SQLITE_DONE)
    return 600;
  *svc = sqlite3_last_insert_rowid(db_);
  return 0;
}

static const char kServiceCols[] =
    "SELECT svc, userid, deviceid, serviceid, name, type, online, total, ctime FROM services ";

static void read_service(Stmt &s, Service *v) {
  v->svc = s.i(0);
  v->userid = s.i(1);
  v->deviceid = s.t(2);
  v->serviceid = s.t(3);
  v->name = s.t(4);
  v->type = s.t(5);
  v->online = s.i(6) != 0;
  v->total = s.i(7);
  v->ctime = s.i(8);
}

int Store::get_service(int64_t userid, const std::string &deviceid, const std::string &serviceid,
                       Service *service) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_, (std::string(kServiceCols) +
               "WHERE deviceid = ? AND serviceid = ? AND userid = ?").c_str());
  s.bind(deviceid, serviceid, userid);
  if (!s.row()) return 802;
  read_service(s, service);
  service->used = used_locked(service->svc);
  return 0;
}

std::vector<Service> Store::list_services(int64_t userid) {
  std::lock_guard<std::mutex> l(mu_);
  std::vector<Service> out;
  Stmt s(db_, (std::string(kServiceCols) + "WHERE userid = ? ORDER BY svc").c_str());
  s.bind(userid);
  while (s.row()) {
    out.emplace_back();
    read_service(s, &out.back());
  }
  for (auto &v : out) v.used = used_locked(v.svc);
  return out;
}

int Store::add_album(int64_t userid, const std::string &albumid, const std::string &name,
                     const std::string &perms, int64_t svc, int64_t rootid) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_, "INSERT INTO albums(albumid, userid, name, perms, svc, rootid) VALUES(?,?,?,?,?,?)");
  return s.bind(albumid, userid, name, perms, svc, rootid).run() == SQLITE_DONE ? 0 : 600;
}

std::vector<Album> Store::list_albums(int64_t userid) {
  std::lock_guard<std::mutex> l(mu_);
  std::vector<Album> out;
  Stmt s(db_,
         "SELECT albumid, name, perms, userid, svc, rootid FROM albums WHERE userid = ? "
         "ORDER BY albumid");
  s.bind(userid);
  while (s.row()) {
    Album a;
    a.albumid = s.t(0);
    a.name = s.t(1);
    a.perms = s.t(2);
    a.userid = s.i(3);
    a.svc = s.i(4);
    a.rootid = s.i(5);
    out.push_back(a);
  }
  return out;
}

int64_t Store::used_locked(int64_t svc) {
  auto it = used_.find(svc);
  if (it != used_.end()) return it->second;
  Stmt s(db_,
         "SELECT COALESCE(SUM(size + MAX(tn, 0) + MAX(pv, 0) + MAX(st, 0)), 0) FROM files "
         "WHERE svc = ?");
  s.bind(svc);
  int64_t used = s.row() ? s.i(0) : 0;
  used_[svc] = used;
  return used;
}

int Store::load_file(int64_t svc, int64_t id, FileRec *file) {
  if (id == 0) {
    Stmt s(db_, "SELECT ctime FROM services WHERE svc = ?");
    s.bind(svc);
    if (!s.row()) return 802;
    *file = FileRec();
    file->svc = svc;
    file->name = ".";
    file->parent = -1;
    file->ctime = file->mtime = s.i(0);
    return 0;
  }
  Stmt s(db_, (std::string(kFileCols) + "WHERE svc = ? AND id = ?").c_str());
  s.bind(svc, id);
  if (!s.row()) return 804;
  *file = FileRec();
  read_file(s, file);
  Stmt p(db_, "SELECT key, value FROM props WHERE id = ? ORDER BY rowid");
  p.bind(id);
  while (p.row()) file->props.emplace_back(p.t(0), p.t(1));
  return 0;
}

int Store::get_file(int64_t svc, int64_t id, FileRec *file) {
  std::lock_guard<std::mutex> l(mu_);
  return load_file(svc, id, file);
}

int Store::lookup(int64_t svc, int64_t parent, const std::string &name, FileRec *file) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_, "SELECT id FROM files WHERE svc = ? AND parent = ? AND name = ?");
  s.bind(svc, parent, name);
  if (!s.row()) return 809;
  return load_file(svc, s.i(0), file);
}

int Store::find_by_name(int64_t svc, const std::string &name, FileRec *file) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt s(db_, "SELECT id FROM files WHERE svc = ? AND name = ? ORDER BY mtime DESC, id LIMIT 1");
  s.bind(svc, name);
  if (!s.row()) return 809;
  return load_file(svc, s.i(0), file);
}

int Store::list(int64_t svc, int64_t parent, const ListQuery &q, std::vector<FileRec> *files,
                int64_t *total) {
  std::lock_guard<std::mutex> l(mu_);
  FileRec dir;
  int rc = load_file(svc, parent, &dir);
  if (rc) return rc;
  if (dir.type != 1) return 600;
  std::string key = q.sortcrit;
  bool desc = !key.empty() && key[0] == '-';
  if (desc) key.erase(0, 1);
  if (key != "mtime" && key != "ctime" && key != "size" && key != "type") key = "name";
  std::string where = "WHERE svc = ? AND parent = ? AND (? OR substr(name, 1, 1) <> '.') ";
  std::string sql = std::string(kFileCols) + where + "ORDER BY " + key + (desc ? " DESC" : "") +
                    ", id LIMIT ? OFFSET ?";
  Stmt s(db_, sql.c_str());
  s.bind(svc, parent, q.showhidden, q.maxcount, q.offset);
  std::vector<int64_t> ids;
  while (s.row()) ids.push_back(s.i(0));
  for (int64_t id : ids) {
    files->emplace_back();
    load_file(svc, id, &files->back());
  }
  if (total) {
    Stmt c(db_, ("SELECT COUNT(*) FROM files " + where).c_str());
    c.bind(svc, parent, q.showhidden);
    *total = c.row() ? c.i(0) : 0;
  }
  return 0;
}

void Store::touch_folder(int64_t svc, int64_t id) {
  if (id == 0) return;
  Stmt s(db_, "UPDATE files SET mtime = ? WHERE svc = ? AND id = ? AND type = 1");
  s.bind(now_ms(), svc, id).run();
}

int Store::create(int64_t svc, int64_t parent, const std::string &name, int type,
                  int64_t ctime, int64_t mtime, const std::string &mimetype,
                  int64_t expected_size,
                  const std::vector<std::pair<std::string, std::string>> &props,
                  FileRec *file) {
  std::lock_guard<std::mutex> l(mu_);
  FileRec dir;
  int rc = load_file(svc, parent, &dir);
  if (rc) return rc == 804 ? 809 : rc;
  if (dir.type != 1) return 600;
  {
    Stmt e(db_, "SELECT 1 FROM files WHERE svc = ? AND parent = ? AND name = ?");
    e.bind(svc, parent, name);
    if (e.row()) return 808;
  }
  if (expected_size > 0) {
    Stmt t(db_, "SELECT total FROM services WHERE svc = ?");
    t.bind(svc);
    if (t.row() && used_locked(svc) + expected_size > t.i(0)) return 817;
  }
  exec("BEGIN");
  Stmt s(db_,
         "INSERT INTO files(svc, parent, name, type, ctime, mtime, mimetype, pending) "
         "VALUES(?,?,?,?,?,?,?,?)");
  if (s.bind(svc, parent, name, type, ctime, mtime, mimetype, type == 0).run() != SQLITE_DONE) {
    exec("ROLLBACK");
    return 500;
  }
  int64_t id = sqlite3_last_insert_rowid(db_);
  for (auto &p : props) {
    Stmt ps(db_, "INSERT OR IGNORE INTO props(id, key, value) VALUES(?,?,?)");
    ps.bind(id, p.first, p.second).run();
  }
  touch_folder(svc, parent);
  exec("COMMIT");
  return load_file(svc, id, file);
}

int Store::set_times(int64_t svc, int64_t id, const int64_t *ctime, const int64_t *mtime) {
  std::lock_guard<std::mutex> l(mu_);
  FileRec f;
  int rc = load_file(svc, id, &f);
  if (rc) return rc;
  if (id == 0) return 805;
  Stmt s(db_, "UPDATE files SET ctime = ?, mtime = ? WHERE svc = ? AND id = ?");
  return s.bind(ctime ? *ctime : f.ctime, mtime ? *mtime : f.mtime, svc, id).run() == SQLITE_DONE
             ? 0
             : 500;
}

int Store::fits(int64_t svc, int64_t extra) {
  std::lock_guard<std::mutex> l(mu_);
  Stmt t(db_, "SELECT total FROM services WHERE svc = ?");
  t.bind(svc);
  if (!t.row()) return 802;
  return extra > 0 && used_locked(svc) + extra > t.i(0) ? 817 : 0;
}

int Store::set_size(int64_t svc, int64_t id, Part part, int64_t size, int flags,
                    int64_t mtime) {
  std::lock_guard<std::mutex> l(mu_);
  FileRec f;
  int rc = load_file(svc, id, &f);
  if (rc) return rc;
  if (f.type != 0) return 600;
  int64_t old = f.sub[static_cast<int>(part)];
  if (part == Part::Content) old = f.size;
  if ((flags & kGrowOnly) && size < old) size = old;
  int64_t delta = size - (old < 0 ? 0 : old);
  if (delta > 0) {
    Stmt t(db_, "SELECT total FROM services WHERE svc = ?");
    t.bind(svc);
    if (t.row() && used_locked(svc) + delta > t.i(0)) return 817;
  }
  std::string sql = std::string("UPDATE files SET ") + part_column(part) + " = ?";
  bool content_written = (flags & kWritten) && part == Part::Content;
  if (content_written) sql += ", mtime = CASE WHEN pending THEN mtime ELSE ? END, pending = 0";
  sql += " WHERE svc = ? AND id = ?";
  Stmt s(db_, sql.c_str());
  int step = content_written ? s.bind(size, mtime, svc, id).run() : s.bind(size, svc, id).run();
  if (step != SQLITE_DONE) return 500;
  used_[svc] = used_locked(svc) + delta;
  return 0;
}

int Store::remove(int64_t svc, int64_t id, bool recurse, std::vector<int64_t> *removed) {
  std::lock_guard<std::mutex> l(mu_);
  FileRec f;
  int rc = load_file(svc, id, &f);
  if (rc) return rc;
  if (id == 0) return 805;
  if (f.type == 1 && !recurse) {
    Stmt c(db_, "SELECT 1 FROM files WHERE svc = ? AND parent = ? LIMIT 1");
    c.bind(svc, id);
    if (c.row()) return 814;
  }
  Stmt s(db_,
         "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT f.id FROM files f JOIN sub ON "
         "f.parent = sub.id WHERE f.svc = ?) "
         "SELECT id, size + MAX(tn, 0) + MAX(pv, 0) + MAX(st, 0) FROM files "
         "WHERE svc = ? AND id IN sub");
  s.bind(id, svc, svc);
  int64_t freed = 0;
  while (s.row()) {
    removed->push_back(s.i(0));
    freed += s.i(1);
  }
  exec("BEGIN");
  for (int64_t r : *removed) {
    Stmt d(db_, "DELETE FROM files WHERE svc = ? AND id = ?");
    d.bind(svc, r).run();
    Stmt p(db_, "DELETE FROM props WHERE id = ?");
    p.bind(r).run();
  }
  touch_folder(svc, f.parent);
  if (exec("COMMIT")) {
    exec("ROLLBACK");
    removed->clear();
    return 814;
  }
  used_[svc] = used_locked(svc) - freed;
  return 0;
}

int Store::move(int64_t svc, int64_t id, int64_t parent, const std::string &name,
                FileRec *file) {
  std::lock_guard<std::mutex> l(mu_);
  FileRec f, dir;
  int rc = load_file(svc, id, &f);
  if (rc) return rc;
  if (id == 0) return 805;
  if ((rc = load_file(svc, parent, &dir))) return rc == 804 ? 809 : rc;
  if (dir.type != 1) return 600;
  // A folder cannot move below itself.
  for (int64_t up = parent; up > 0;) {
    if (up == id) return 600;
    Stmt p(db_, "SELECT parent FROM files WHERE svc = ? AND id = ?");
    p.bind(svc, up);
    up = p.row() ? p.i(0) : 0;
  }
  if (f.parent == parent && f.name == name) return load_file(svc, id, file);
  {
    Stmt e(db_, "SELECT 1 FROM files WHERE svc = ? AND parent = ? AND name = ?");
    e.bind(svc, parent, name);
    if (e.row()) return 808;
  }
  Stmt s(db_, "UPDATE files SET parent = ?, name = ? WHERE svc = ? AND id = ?");
  if (s.bind(parent, name, svc, id).run() != SQLITE_DONE) return 500;
  touch_folder(svc, f.parent);
  touch_folder(svc, parent);
  return load_file(svc, id, file);
}

}  // namespace kxcloud
