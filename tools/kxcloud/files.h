// files.h - file contents on disk and the file endpoint "/svc/files/...".
//
// `Content` keeps each file's content and sub-resources (thumbnail "tn",
// preview "pv", streaming copy "st") as files under <data>/blobs/<svc>/, and
// hands out a per-file lock that every writer holds while it changes a file's
// bytes and recorded size. Readers take no lock: they see whole writes.
//
// `FileEndpoint` serves GET (with the service's `Range` rules) and PUT (ranged
// writes, whole replacement, "100 Continue", streamed bodies, quota) on
// "/svc/files/<device>/<service>/<fileid>[/tn|pv|st]" and the older form with
// the token first. Requests authenticate with the cookie "valtoken=<token>",
// the "X-QXVALTOKEN" header or the token in the path. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "httpd.h"
#include "store.h"

namespace kxcloud {

class Content {
 public:
  explicit Content(const std::string &data_dir);

  std::string path(int64_t svc, int64_t id, Part part) const;

  // Holds the write lock of one file (all of its parts) while alive.
  class Lock {
   public:
    Lock(Content &c, int64_t svc, int64_t id);
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

   private:
    Content &c_;
    std::tuple<int64_t, int64_t> key_;
  };

  // Sets the content's length, cutting or extending with zeros.
  int truncate(int64_t svc, int64_t id, int64_t size);
  // Writes a whole part at once (seeding).
  int put(int64_t svc, int64_t id, Part part, const std::string &bytes);
  void remove(int64_t svc, int64_t id);

 private:
  friend class Lock;
  struct Entry {
    std::mutex mu;
    int users = 0;
  };
  std::string dir_;
  std::mutex mu_;
  std::map<std::tuple<int64_t, int64_t>, std::unique_ptr<Entry>> locks_;
};

class FileEndpoint {
 public:
  FileEndpoint(Store &store, Content &content, const Faults &faults)
      : store_(store), content_(content), faults_(faults) {}

  void install(HttpServer &server);
  // The answer to "Expect: 100-continue": 100, or the status that refuses
  // the upload before its body is sent.
  int precheck(const httplib::Request &req, httplib::Response &res);

 private:
  struct Target;
  int resolve(const httplib::Request &req, Target *t);
  void get(const httplib::Request &req, httplib::Response &res);
  void put(const httplib::Request &req, httplib::Response &res,
           const httplib::ContentReader &reader);

  Store &store_;
  Content &content_;
  const Faults &faults_;
};

}  // namespace kxcloud
