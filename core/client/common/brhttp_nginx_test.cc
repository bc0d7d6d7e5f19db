// The client and the pool against a real nginx, started by the test on a
// free loopback port with its own prefix and configuration.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "brhttp.h"
#include "hbhttpconnpool.h"

extern char **environ;

namespace {

const char *kNginx = "/usr/sbin/nginx";
constexpr size_t kLargeSize = 8 * 1024 * 1024 + 123;

uint8_t patternByte(size_t i) { return static_cast<uint8_t>((i * 7 + i / 251) & 0xff); }

uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool accepts(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

class NginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kNginx, X_OK) != 0) GTEST_SKIP() << "nginx is not installed (" << kNginx << ")";
    char dir[] = "/tmp/brhttp_nginxXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    prefix_ = dir;
    for (const char *sub : {"/logs", "/html", "/html/idle", "/tmp"}) {
      ASSERT_EQ(mkdir((prefix_ + sub).c_str(), 0755), 0);
    }
    std::ofstream(prefix_ + "/html/small.txt") << "0123456789abcdefghij";
    std::string large(kLargeSize, '\0');
    for (size_t i = 0; i < kLargeSize; ++i) large[i] = static_cast<char>(patternByte(i));
    std::ofstream(prefix_ + "/html/large.bin", std::ios::binary) << large;

    port_ = freePort();
    std::string user;
    if (geteuid() == 0) user = "user root;\n";
    std::string conf = user +
                       "daemon off;\nworker_processes 1;\n"
                       "error_log " + prefix_ + "/logs/error.log;\n"
                       "pid " + prefix_ + "/logs/nginx.pid;\n"
                       "events { worker_connections 64; }\n"
                       "http {\n"
                       "  access_log off;\n"
                       "  default_type application/octet-stream;\n"
                       "  client_body_temp_path " + prefix_ + "/tmp/body;\n"
                       "  proxy_temp_path " + prefix_ + "/tmp/proxy;\n"
                       "  fastcgi_temp_path " + prefix_ + "/tmp/fastcgi;\n"
                       "  uwsgi_temp_path " + prefix_ + "/tmp/uwsgi;\n"
                       "  scgi_temp_path " + prefix_ + "/tmp/scgi;\n"
                       "  keepalive_timeout 60s;\n"
                       "  server {\n"
                       "    listen 127.0.0.1:" + std::to_string(port_) + ";\n"
                       "    root " + prefix_ + "/html;\n"
                       "    location /conn { return 200 \"$connection $connection_requests\"; }\n"
                       "    location /idle/ { keepalive_timeout 100ms;\n"
                       "      return 200 \"$connection $connection_requests\"; }\n"
                       "  }\n"
                       "}\n";
    std::ofstream(prefix_ + "/nginx.conf") << conf;
    std::string confPath = prefix_ + "/nginx.conf";
    std::string prefixArg = prefix_ + "/";
    const char *argv[] = {kNginx, "-p", prefixArg.c_str(), "-c", confPath.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, kNginx, nullptr, nullptr, const_cast<char **>(argv), environ), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!accepts(port_)) {
      int status = 0;
      ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "nginx exited; see " << prefix_;
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "nginx did not start";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    base_ = "http://127.0.0.1:" + std::to_string(port_);
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!prefix_.empty()) std::system(("rm -rf " + prefix_).c_str());
  }

  // One GET through the pool; the status, with the body in *body.
  brerror_t get(IHBHTTPConnPool *pool, const std::string &path, std::string *body,
                const char *range = nullptr, BRHTTPConnection **used = nullptr) {
    std::string url = base_ + path;
    BRHTTPConnection *conn = nullptr;
    brerror_t err = pool->getHTTPConn(url.c_str(), &conn);
    if (err < 0) return err;
    if (used) *used = conn;
    BRHTTPRequest *req = nullptr;
    EXPECT_EQ(BRHTTPConnection__newRequest(conn, &req, "GET", path.c_str(), nullptr), 0);
    if (range) BRHTTPRequest__addRequestHeader(req, "Range", range);
    brerror_t status = BRHTTPRequest__receiveResponseHeader(req, nullptr, 0, nullptr, 0);
    body->clear();
    std::string buffer(256 * 1024, '\0');
    brerror_t n = 0;
    while (status >= 0 && (n = BRHTTPRequest__receiveResponseBody(req, buffer.data(),
                                                                  static_cast<int32_t>(buffer.size()))) > 0) {
      body->append(buffer.data(), static_cast<size_t>(n));
    }
    if (status >= 0 && n < 0) status = n;
    if (status >= 200 && status < 300) {
      const char *length = BRHTTPRequest__getResponseHeader(req, "Content-Length");
      if (length) {
        EXPECT_EQ(std::to_string(body->size()), length);
      }
    }
    BRHTTPRequest__destroy(req);
    pool->releaseHTTPConn(url.c_str(), conn);
    return status;
  }

  std::string prefix_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string base_;
};

TEST_F(NginxTest, KeepAliveReusesOneConnectionThroughThePool) {
  HBHTTPConnPool *pool = new HBHTTPConnPool(-1, 64);
  std::string first, second, small;
  EXPECT_EQ(get(pool, "/conn", &first), 200);
  EXPECT_EQ(get(pool, "/small.txt", &small), 200);
  EXPECT_EQ(small, "0123456789abcdefghij");
  EXPECT_EQ(get(pool, "/conn", &second), 200);
  std::string connection = first.substr(0, first.find(' '));
  EXPECT_EQ(first, connection + " 1");
  EXPECT_EQ(second, connection + " 3");
  EXPECT_EQ(pool->idleCount(), 1u);
  pool->dnref();
}

TEST_F(NginxTest, RangedGets) {
  HBHTTPConnPool *pool = new HBHTTPConnPool(-1, 64);
  std::string body;
  EXPECT_EQ(get(pool, "/small.txt", &body, "bytes=5-9"), 206);
  EXPECT_EQ(body, "56789");
  EXPECT_EQ(get(pool, "/small.txt", &body, "bytes=15-"), 206);
  EXPECT_EQ(body, "fghij");
  EXPECT_EQ(get(pool, "/small.txt", &body, "bytes=100-200"), 416);
  EXPECT_EQ(get(pool, "/missing", &body), 404);
  // Error pages are read to their end, so the connection stays usable.
  std::string conn;
  EXPECT_EQ(get(pool, "/conn", &conn), 200);
  EXPECT_EQ(conn.substr(conn.find(' ') + 1), "5");
  pool->dnref();
}

TEST_F(NginxTest, LargeBodyArrivesWhole) {
  HBHTTPConnPool *pool = new HBHTTPConnPool(-1, 64);
  std::string body;
  ASSERT_EQ(get(pool, "/large.bin", &body), 200);
  ASSERT_EQ(body.size(), kLargeSize);
  size_t mismatches = 0;
  for (size_t i = 0; i < kLargeSize; ++i) {
    mismatches += static_cast<uint8_t>(body[i]) != patternByte(i);
  }
  EXPECT_EQ(mismatches, 0u);
  pool->dnref();
}

TEST_F(NginxTest, ConnectionTheServerClosedWhileIdleIsNotReused) {
  HBHTTPConnPool *pool = new HBHTTPConnPool(-1, 64);
  std::string first, second;
  BRHTTPConnection *conn = nullptr;
  ASSERT_EQ(get(pool, "/idle/x", &first, nullptr, &conn), 200);
  ASSERT_EQ(pool->idleCount(), 1u);
  // nginx closes the idle connection after 100 ms; wait for that.
  pollfd p{conn->sock, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  EXPECT_EQ(get(pool, "/idle/x", &second), 200);
  EXPECT_NE(first.substr(0, first.find(' ')), second.substr(0, second.find(' ')));
  EXPECT_EQ(second.substr(second.find(' ') + 1), "1");
  pool->dnref();
}

TEST_F(NginxTest, ThreadsShareOnePool) {
  // Few idle places for many users, so that taking, giving back and reaping
  // run at the same time on different threads.
  HBHTTPConnPool *pool = new HBHTTPConnPool(-1, 2);
  constexpr int kThreads = 4;
  constexpr int kRequests = 100;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::string body;
      for (int i = 0; i < kRequests; ++i) {
        if (get(pool, "/small.txt", &body) == 200 && body == "0123456789abcdefghij") ++good;
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(good.load(), kThreads * kRequests);
  EXPECT_LE(pool->idleCount(), 2u);
  pool->dnref();
}

}  // namespace
