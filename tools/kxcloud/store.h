// store.h - the service's records in SQLite: accounts, tokens, devices,
// services, albums and the file tree of every service.
//
// One SQLite database "kxcloud.db" (WAL mode) in the data folder. File
// contents are not kept here but as files under the data folder (files.h);
// the store records their sizes and keeps the per-service space in use.
// Every method returns 0 or a service error code (606, 801, 804, 808 ...)
// and is thread-safe: one connection, serialised by the store's mutex, which
// is never held across network I/O or content I/O.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kxcloud {

int64_t now_ms();

struct User {
  int64_t id = 0;
  std::string email, name;
};

struct Device {
  std::string deviceid, name, type;
  int64_t userid = 0;
};

struct Service {
  int64_t svc = 0;  // internal key of the service
  int64_t userid = 0;
  std::string deviceid, serviceid, name, type;
  bool online = true;
  int64_t total = 0, used = 0, ctime = 0;
};

struct Album {
  std::string albumid, name, perms;
  int64_t userid = 0, svc = 0, rootid = 0;
};

// Sub-resources of a file: thumbnail, preview, streaming copy.
enum class Part { Content = 0, Thumbnail = 1, Preview = 2, Stream = 3 };

struct FileRec {
  int64_t id = 0, parent = 0, svc = 0;
  std::string name;
  int type = 1;  // 0 file, 1 folder
  int64_t size = 0, ctime = 0, mtime = 0;
  std::string mimetype;
  bool pending = false;         // created, content never uploaded
  int64_t sub[4] = {0, -1, -1, -1};  // sizes of tn, pv, st; -1 when absent
  std::vector<std::pair<std::string, std::string>> props;
};

struct ListQuery {
  std::string sortcrit;
  int64_t offset = 0, maxcount = 50;
  bool showhidden = false;
};

class Store {
 public:
  // Opens or creates the database in `dir`. `created` tells whether it is new.
  static std::unique_ptr<Store> open(const std::string &dir, bool *created, std::string *error);
  ~Store();

  // Accounts and tokens. Passwords are kept salted and hashed.
  int add_user(const std::string &email, const std::string &password, const std::string &name,
               int64_t *userid);
  int check_password(const std::string &email, const std::string &password, int64_t *userid);
  // A token valid for `ttl_ms` (0: no expiry); `fixed` names it instead of a random one.
  int add_token(int64_t userid, int64_t ttl_ms, const std::string &fixed, std::string *token);
  int user_for_token(const std::string &token, User *user);
  int user_by_email(const std::string &email, User *user);

  int add_device(int64_t userid, const std::string &deviceid, const std::string &name,
                 const std::string &type);
  int get_device(int64_t userid, const std::string &deviceid, Device *device);
  int add_service(int64_t userid, const std::string &deviceid, const std::string &serviceid,
                  const std::string &name, const std::string &type, bool online, int64_t total,
                  int64_t *svc);
  int get_service(int64_t userid, const std::string &deviceid, const std::string &serviceid,
                  Service *service);
  std::vector<Service> list_services(int64_t userid);
  int add_album(int64_t userid, const std::string &albumid, const std::string &name,
                const std::string &perms, int64_t svc, int64_t rootid);
  std::vector<Album> list_albums(int64_t userid);

  // The file tree. Id 0 is the root folder of every service.
  int get_file(int64_t svc, int64_t id, FileRec *file);
  int lookup(int64_t svc, int64_t parent, const std::string &name, FileRec *file);
  int find_by_name(int64_t svc, const std::string &name, FileRec *file);
  int list(int64_t svc, int64_t parent, const ListQuery &q, std::vector<FileRec> *files,
           int64_t *total);
  // Creates a file (pending until its content is first written) or a folder.
  // `expected_size` is checked against the free space (817).
  int create(int64_t svc, int64_t parent, const std::string &name, int type, int64_t ctime,
             int64_t mtime, const std::string &mimetype, int64_t expected_size,
             const std::vector<std::pair<std::string, std::string>> &props, FileRec *file);
  int set_times(int64_t svc, int64_t id, const int64_t *ctime, const int64_t *mtime);
  // Records a new size of a file's content or sub-resource, charging the
  // difference to the service's space (817 when it does not fit). With
  // kGrowOnly a smaller size leaves the recorded one. With kWritten the
  // content counts as uploaded: a pending file stops being pending and keeps
  // its modified time (the one given at creation), any other takes `mtime`.
  enum { kGrowOnly = 1, kWritten = 2 };
  int set_size(int64_t svc, int64_t id, Part part, int64_t size, int flags, int64_t mtime);
  // Whether `extra` more bytes fit into the service.
  int fits(int64_t svc, int64_t extra);
  // Removes a file or a folder (814 for a non-empty folder without recurse);
  // `removed` receives every removed id for the caller to delete contents.
  int remove(int64_t svc, int64_t id, bool recurse, std::vector<int64_t> *removed);
  int move(int64_t svc, int64_t id, int64_t parent, const std::string &name, FileRec *file);

 private:
  Store() = default;
  int exec(const char *sql);
  int load_file(int64_t svc, int64_t id, FileRec *file);  // mutex held
  int64_t used_locked(int64_t svc);
  void touch_folder(int64_t svc, int64_t id);  // mutex held

  std::mutex mu_;
  sqlite3 *db_ = nullptr;
  std::map<int64_t, int64_t> used_;  // svc -> bytes in use, loaded lazily
};

}  // namespace kxcloud
