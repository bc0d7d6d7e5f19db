// httpd.h - the HTTP/1.1 server under every endpoint: cpp-httplib's request
// parsing and routing over connections this module owns.
//
// The module owns the connection loop so that it can (a) serve plain TCP, TLS
// (OpenSSL) and local stream sockets the same way, (b) accept "Expect" values
// in any letter case (the client sends "100-Continue"), (c) leave `Range`
// headers to the handlers, which implement the service's own range rules, and
// (d) apply the fault switches that tests use. Connections run on an elastic
// worker pool: a connection holds a worker while it is open, and the pool
// grows (up to a limit) so that clients holding idle keep-alive connections
// never starve new ones.
//
// Thread-safety: configure before `run`; `stop` may be called from any thread.
// The per-connection helpers below act on the connection of the calling
// request handler.
#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kxcloud {

// Switches that make the service misbehave on purpose, for tests.
struct Faults {
  int latency_ms = 0;            // added before every request is handled
  bool ignore_range = false;     // GET answers 200 with the whole file
  int refuse_uploads = 0;        // PUT answers this status instead of 100
  int64_t drop_after = -1;       // close a connection after this many bytes of a response
  std::string fail_method;       // fail the next `fail_count` calls of this method
  std::atomic<int> fail_count{0};
  int fail_code = 0;             // ... with this service error code
  std::string version = "4.0.0.0";  // the service version reported
};

class HttpServer : public httplib::Server {
 public:
  explicit HttpServer(const Faults *faults);
  ~HttpServer() override;

  // Serve HTTPS with this certificate chain and key.
  bool use_tls(const std::string &cert, const std::string &key, std::string *error);
  bool tls() const { return ctx_ != nullptr; }

  // Binds a TCP address; port 0 picks a free port. Returns the port or -1.
  int bind_tcp(const std::string &host, int port);
  // Serves connections accepted on the TCP socket until `stop`.
  bool run();
  // Binds the local stream socket `path`, then serves it until `stop_all`.
  bool bind_unix(const std::string &path, std::string *error);
  void run_unix();
  void stop_all();

  // Makes the calling handler's connection close once its response is written.
  static void close_after_response();

 private:
  bool process_and_close_socket(socket_t sock) override;

  const Faults *faults_;
  SSL_CTX *ctx_ = nullptr;
  std::atomic<bool> stopping_{false};
  int unix_fd_ = -1;
  std::string unix_path_;
};

}  // namespace kxcloud
