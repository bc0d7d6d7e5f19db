// brhttp_testing: test fixtures for the HTTP client.
//
// ScriptServer is a loopback server on an ephemeral port that plays one
// byte script per accepted connection and records what each connection
// received. MemTransport is a low-level connection factory for the scheme
// "mem" whose writes accept at most a scripted number of bytes and whose
// reads return scripted pieces, for framing cases no real socket shows on
// demand. Test-only; one test uses them at a time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "brhttp.h"

namespace brhttp_testing {

struct Step {
  enum Kind { READ_HEAD, READ_BYTES, SEND, CLOSE, WAIT_EOF } kind;
  std::string bytes;  // SEND
  size_t count = 0;   // READ_BYTES
};

inline Step readHead() { return {Step::READ_HEAD, "", 0}; }
inline Step readBytes(size_t n) { return {Step::READ_BYTES, "", n}; }
inline Step send(std::string bytes) { return {Step::SEND, std::move(bytes), 0}; }
inline Step closeNow() { return {Step::CLOSE, "", 0}; }
inline Step waitEof() { return {Step::WAIT_EOF, "", 0}; }

class ScriptServer {
 public:
  // One script per connection, in the order the connections arrive.
  explicit ScriptServer(std::vector<std::vector<Step>> scripts) : scripts_(std::move(scripts)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(listener_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  // `connections` connections that each just wait for the client to close.
  static std::vector<std::vector<Step>> idle(size_t connections) {
    return std::vector<std::vector<Step>>(connections);
  }
  ~ScriptServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      // A test that failed half-way may still hold its end open; without
      // this the server would wait for it forever.
      if (active_ >= 0) ::shutdown(active_, SHUT_RDWR);
    }
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }

  uint16_t port() const { return port_; }
  // Blocks until `n` connections have finished their scripts.
  void waitFinished(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return finished_ >= n; });
  }
  size_t accepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
  }
  std::string received(size_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < received_.size() ? received_[connection] : std::string();
  }

 private:
  void run() {
    for (size_t index = 0; index < scripts_.size(); ++index) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, -1) <= 0) return;
      int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
          ::close(fd);
          return;
        }
        received_.emplace_back();
        active_ = fd;
      }
      play(fd, index);
      std::lock_guard<std::mutex> lock(mutex_);
      ::close(fd);
      active_ = -1;
      ++finished_;
      done_.notify_all();
    }
  }

  // Reads once; false at end of stream or on error.
  bool readSome(int fd, size_t index, std::string *seen) {
    char buffer[65536];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    seen->append(buffer, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    received_[index].append(buffer, static_cast<size_t>(n));
    return true;
  }

  void play(int fd, size_t index) {
    std::string seen;  // received but not yet matched by a step
    for (const Step &step : scripts_[index]) {
      switch (step.kind) {
        case Step::READ_HEAD: {
          size_t end;
          while ((end = seen.find("\r\n\r\n")) == std::string::npos) {
            if (!readSome(fd, index, &seen)) break;
          }
          seen.erase(0, end == std::string::npos ? seen.size() : end + 4);
          break;
        }
        case Step::READ_BYTES:
          while (seen.size() < step.count) {
            if (!readSome(fd, index, &seen)) break;
          }
          seen.erase(0, std::min(step.count, seen.size()));
          break;
        case Step::SEND: {
          size_t off = 0;
          while (off < step.bytes.size()) {
            ssize_t n = ::send(fd, step.bytes.data() + off, step.bytes.size() - off,
                               MSG_NOSIGNAL);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
          }
          break;
        }
        case Step::CLOSE:
          return;
        case Step::WAIT_EOF:
          while (readSome(fd, index, &seen)) {
          }
          break;
      }
    }
    // Without an explicit close, hold the connection until the client ends
    // it, so that "kept alive" is visible as one connection.
    while (readSome(fd, index, &seen)) {
    }
  }

  std::vector<std::vector<Step>> scripts_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<std::string> received_;
  size_t finished_ = 0;
  bool stopping_ = false;
  int active_ = -1;  // the connection being played
};

// A scripted in-memory transport.
struct MemTransport {
  std::string sent;
  // Bytes each successive send or writev may take; unlimited once empty.
  std::deque<int32_t> writeBudgets;
  // Pieces each successive receive returns; an empty piece ends the
  // stream, and so does the end of the script.
  std::deque<std::string> pieces;
  int connects = 0;
  int closes = 0;

  static MemTransport *&current() {
    static MemTransport *instance = nullptr;
    return instance;
  }

  int32_t budget(int32_t want) {
    if (writeBudgets.empty()) return want;
    int32_t b = writeBudgets.front();
    writeBudgets.pop_front();
    return b < want ? b : want;
  }
};

inline BRHTTPLowConnOps *memOps(BRHTTPConnection *conn);

inline BRHTTPLowConnFactory *memFactory() {
  static BRHTTPLowConnFactory factory{
      [](BRHTTPLowConnFactory *, BRHTTPConnection *conn) {
        return strcmp(conn->scheme, "mem") == 0;
      },
      [](BRHTTPLowConnFactory *, BRHTTPConnection *conn, BRHTTPLowConnOps **ops) {
        *ops = memOps(conn);
        return brerror_t{0};
      },
      nullptr};
  return &factory;
}

inline BRHTTPLowConnOps *memOps(BRHTTPConnection *conn) {
  auto *ops = new BRHTTPLowConnOps{};
  ops->conn = conn;
  ops->destroy = [](BRHTTPLowConnOps *o) { delete o; };
  ops->connect = [](BRHTTPLowConnOps *o, const char *) {
    ++MemTransport::current()->connects;
    o->conn->sock = 1 << 20;  // marks the connection open; never polled
    return brerror_t{0};
  };
  ops->close = [](BRHTTPLowConnOps *o, const char *) {
    if (o->conn->sock >= 0) ++MemTransport::current()->closes;
    o->conn->sock = -1;
    return brerror_t{0};
  };
  ops->recv = [](BRHTTPLowConnOps *, void *buffer, int32_t size) -> brerror_t {
    MemTransport *t = MemTransport::current();
    if (t->pieces.empty()) return 0;
    std::string &piece = t->pieces.front();
    if (piece.empty()) return 0;
    int32_t n = static_cast<int32_t>(piece.size()) < size ? static_cast<int32_t>(piece.size())
                                                           : size;
    memcpy(buffer, piece.data(), static_cast<size_t>(n));
    piece.erase(0, static_cast<size_t>(n));
    if (piece.empty()) t->pieces.pop_front();
    return n;
  };
  ops->send = [](BRHTTPLowConnOps *, const void *data, int32_t size) -> brerror_t {
    MemTransport *t = MemTransport::current();
    int32_t n = t->budget(size);
    t->sent.append(static_cast<const char *>(data), static_cast<size_t>(n));
    return n;
  };
  ops->writev = [](BRHTTPLowConnOps *, const struct iovec *vector, int count) -> brerror_t {
    MemTransport *t = MemTransport::current();
    int32_t total = 0;
    for (int i = 0; i < count; ++i) total += static_cast<int32_t>(vector[i].iov_len);
    int32_t n = t->budget(total);
    int32_t left = n;
    for (int i = 0; i < count && left > 0; ++i) {
      int32_t take = static_cast<int32_t>(vector[i].iov_len) < left
                         ? static_cast<int32_t>(vector[i].iov_len)
                         : left;
      t->sent.append(static_cast<const char *>(vector[i].iov_base), static_cast<size_t>(take));
      left -= take;
    }
    return n;
  };
  return ops;
}

}  // namespace brhttp_testing
