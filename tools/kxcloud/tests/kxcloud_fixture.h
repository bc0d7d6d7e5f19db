// kxcloud_fixture.h - runs a real kxcloud for a test and speaks to it the way
// the client does, through libcurl and raw sockets (never through the
// client's framework or the service's own code).
//
// `KxCloud` starts the program on a free loopback port in a temporary data
// folder, reads the base URL from its first output line, and stops it with
// SIGTERM. `restart()` keeps the data folder. Replies are flattened into
// "key" / "file.fileid" / "files.0.name" paths for easy assertions.
#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kxtest {

constexpr const char *kDev = "kxcloud-dev";
constexpr const char *kSvc = "6b786364-0000-4000-8000-000000000001";
constexpr const char *kOfflineDev = "attic-laptop";
constexpr const char *kOfflineSvc = "6b786364-0000-4000-8000-000000000004";

using Pairs = std::vector<std::pair<std::string, std::string>>;
using Flat = std::map<std::string, std::string>;

struct Response {
  long status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // lower-case names
  CURLcode curl = CURLE_OK;
};

class KxCloud {
 public:
  explicit KxCloud(std::vector<std::string> extra = {});
  ~KxCloud();
  void start();
  void stop();
  void restart() {
    stop();
    start();
  }

  std::string url;   // "http://127.0.0.1:PORT"
  std::string data;  // the data folder
  int port = 0;
  pid_t pid = -1;
  std::vector<std::string> extra;
};

Response http(const std::string &method, const std::string &url, const std::string &body = "",
              const std::vector<std::string> &headers = {}, const std::string &unix_socket = "");

// One SOAP call written as the client writes it; `status` gets the HTTP status.
Flat soap(const std::string &endpoint, const std::string &method, const Pairs &args,
          long *status = nullptr);
// The same call in the packet encoding on "<base>/svc/pktm/<method>".
Flat packet(const std::string &base, const std::string &method, const Pairs &args,
            long *status = nullptr);

// Arguments "valtoken", "deviceid", "serviceid" of the demo cloud, then `more`.
Pairs svc_args(const Pairs &more, const std::string &token = "demo-token");

// Sends raw bytes on a new connection; reads until `until` appears in the
// answer, the peer closes, or 10 seconds pass.
class RawConn {
 public:
  explicit RawConn(int port);
  ~RawConn();
  bool send(const std::string &bytes);
  std::string read_until(const std::string &until);
  bool closed_by_peer();

 private:
  int fd_ = -1;
  std::string pending_;
};

// The peak resident memory of a process, in KiB ("VmHWM").
long peak_rss_kib(pid_t pid);

}  // namespace kxtest
