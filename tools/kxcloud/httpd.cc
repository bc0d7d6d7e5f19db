#include "httpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

namespace kxcloud {
namespace {

constexpr int kKeepAliveMs = 30000;   // idle time before a kept-alive connection closes
constexpr int kReadTimeoutMs = 300000;  // a held upload may pause between writes
constexpr int kWriteTimeoutMs = 60000;
constexpr size_t kMaxWorkers = 1024;

// Grows a thread per waiting job up to a limit; idle workers are reused.
class ElasticPool : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> l(mu_);
    jobs_.push_back(std::move(fn));
    // Every waiting connection gets a worker of its own, so that a client
    // holding idle connections cannot delay a new one.
    if (jobs_.size() > idle_ && threads_.size() < kMaxWorkers)
      threads_.emplace_back([this] { work(); });
    cv_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> l(mu_);
      done_ = true;
    }
    cv_.notify_all();
    for (auto &t : threads_) t.join();
    threads_.clear();
  }
  ~ElasticPool() override {
    if (!threads_.empty()) shutdown();
  }

 private:
  void work() {
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
      ++idle_;
      cv_.wait(l, [this] { return done_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) return;
      auto fn = std::move(jobs_.front());
      jobs_.pop_front();
      l.unlock();
      fn();
      l.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
  bool done_ = false;
};

bool wait_fd(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

// One connection: buffered reads, fault-aware writes, optional TLS.
class ConnStream final : public httplib::Stream {
 public:
  ConnStream(int fd, SSL *ssl) : fd_(fd), ssl_(ssl) {}

  bool buffered() const { return off_ < len_ || (ssl_ && SSL_pending(ssl_) > 0); }
  bool is_readable() const override {
    return buffered() || wait_fd(fd_, POLLIN, kReadTimeoutMs);
  }
  bool is_writable() const override { return wait_fd(fd_, POLLOUT, kWriteTimeoutMs); }

  ssize_t read(char *ptr, size_t size) override {
    if (off_ < len_) return take(ptr, size);
    if (!is_readable()) return -1;
    if (size >= sizeof buf_) return raw_read(ptr, size);
    ssize_t n = raw_read(buf_, sizeof buf_);
    if (n <= 0) return n;
    off_ = 0;
    len_ = static_cast<size_t>(n);
    return take(ptr, size);
  }

  ssize_t write(const char *ptr, size_t size) override {
    size_t want = size;
    bool drop = false;
    if (drop_after >= 0 && sent + static_cast<int64_t>(size) > drop_after) {
      want = static_cast<size_t>(drop_after - sent);
      drop = true;
    }
    size_t done = 0;
    while (done < want) {
      ssize_t n;
      if (ssl_) {
        n = SSL_write(ssl_, ptr + done, static_cast<int>(want - done));
      } else {
        n = ::send(fd_, ptr + done, want - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          if (!is_writable()) return -1;
          continue;
        }
      }
      if (n <= 0) return -1;
      done += static_cast<size_t>(n);
    }
    sent += static_cast<int64_t>(want);
    if (drop) {
      dropped = true;
      ::shutdown(fd_, SHUT_RDWR);
      return -1;
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string &ip, int &port) const override {
    sockaddr_storage a{};
    socklen_t l = sizeof a;
    if (getpeername(fd_, reinterpret_cast<sockaddr *>(&a), &l) == 0) describe(a, ip, port);
  }
  void get_local_ip_and_port(std::string &ip, int &port) const override {
    sockaddr_storage a{};
    socklen_t l = sizeof a;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &l) == 0) describe(a, ip, port);
  }
  socket_t socket() const override { return fd_; }

  int64_t sent = 0;
  int64_t drop_after = -1;
  bool dropped = false;
  bool close_after = false;

 private:
  static void describe(const sockaddr_storage &a, std::string &ip, int &port) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
      auto *in = reinterpret_cast<const sockaddr_in *>(&a);
      inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
      port = ntohs(in->sin_port);
    } else if (a.ss_family == AF_INET6) {
      auto *in = reinterpret_cast<const sockaddr_in6 *>(&a);
      inet_ntop(AF_INET6, &in->sin6_addr, buf, sizeof buf);
      port = ntohs(in->sin6_port);
    } else {
      port = 0;
    }
    ip = buf;
  }
  ssize_t take(char *ptr, size_t size) {
    size_t n = std::min(size, len_ - off_);
    std::memcpy(ptr, buf_ + off_, n);
    off_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t raw_read(char *ptr, size_t size) {
    if (ssl_) {
      int n = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
      return n > 0 ? n : (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
    }
    ssize_t n;
    do {
      n = ::recv(fd_, ptr, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  int fd_;
  SSL *ssl_;
  char buf_[64 * 1024];
  size_t off_ = 0, len_ = 0;
};

thread_local ConnStream *tl_conn = nullptr;

}  // namespace

HttpServer::HttpServer(const Faults *faults) : faults_(faults) {
  new_task_queue = [] { return new ElasticPool; };
}

HttpServer::~HttpServer() {
  if (ctx_) SSL_CTX_free(ctx_);
}

bool HttpServer::use_tls(const std::string &cert, const std::string &key, std::string *error) {
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx_) != 1) {
    char buf[256];
    ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
    *error = std::string("TLS setup failed: ") + buf;
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  return true;
}

int HttpServer::bind_tcp(const std::string &host, int port) {
  if (port == 0) return bind_to_any_port(host);
  return bind_to_port(host, port) ? port : -1;
}

bool HttpServer::run() { return listen_after_bind(); }

bool HttpServer::bind_unix(const std::string &path, std::string *error) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof a.sun_path) {
    *error = "cannot create the local socket " + path;
    if (fd >= 0) ::close(fd);
    return false;
  }
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  // A socket file left by an earlier run is replaced; anything else is not.
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  unix_fd_ = fd;
  unix_path_ = path;
  return true;
}

void HttpServer::run_unix() {
  int fd = unix_fd_;
  ElasticPool pool;
  while (!stopping_) {
    if (!wait_fd(fd, POLLIN, 200)) continue;
    int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    pool.enqueue([this, c] { process_and_close_socket(c); });
  }
  pool.shutdown();
  ::close(fd);
  ::unlink(unix_path_.c_str());
}

void HttpServer::stop_all() {
  stopping_ = true;
  stop();
}

void HttpServer::close_after_response() {
  if (tl_conn) tl_conn->close_after = true;
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  SSL *ssl = nullptr;
  if (ctx_) {
    timeval tv{30, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, sock);
    if (SSL_accept(ssl) != 1) {
      SSL_free(ssl);
      ::close(sock);
      return false;
    }
    timeval none{0, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  }
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  auto strm = std::make_unique<ConnStream>(sock, ssl);
  tl_conn = strm.get();
  auto setup = [this, &strm](httplib::Request &req) {
    strm->sent = 0;
    strm->drop_after = faults_->drop_after;
    if (faults_->latency_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(faults_->latency_ms));
    // Expectations are case-insensitive tokens; the library only knows the
    // lower-case spelling.
    auto e = req.headers.find("Expect");
    if (e != req.headers.end() && strcasecmp(e->second.c_str(), "100-continue") == 0)
      e->second = "100-continue";
    // Ranges are answered by the handlers (they read the Range header).
    req.ranges.clear();
  };
  bool ok = true;
  while (!stopping_) {
    bool ready = strm->buffered();
    for (int waited = 0; !ready && waited < kKeepAliveMs && !stopping_; waited += 200)
      ready = wait_fd(sock, POLLIN, 200);
    if (!ready) break;
    bool closed = false;
    strm->close_after = false;
    ok = process_request(*strm, false, closed, setup);
    if (!ok || closed || strm->close_after || strm->dropped) break;
  }
  tl_conn = nullptr;
  if (ssl) {
    if (!strm->dropped) SSL_shutdown(ssl);
    SSL_free(ssl);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace kxcloud
