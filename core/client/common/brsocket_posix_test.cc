#include "brsocket_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "brlog_testing.h"

namespace {

// A unique name in /tmp for a local socket, removed at the end.
class TmpName {
 public:
  TmpName() {
    char buf[64];
    snprintf(buf, sizeof buf, "kxsock%d.%d", getpid(), counter_++);
    name_ = buf;
  }
  ~TmpName() { unlink(path().c_str()); }
  const std::string &name() const { return name_; }
  std::string path() const { return "/tmp/" + name_; }

 private:
  static inline int counter_ = 0;
  std::string name_;
};

// A loopback TCP socket, bound to an ephemeral port, optionally listening.
class LoopbackPort {
 public:
  explicit LoopbackPort(int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
    port_ = ntohs(a.sin_port);
    if (backlog >= 0) {
      EXPECT_EQ(listen(fd_, backlog), 0);
    }
  }
  ~LoopbackPort() { close(fd_); }
  int fd() const { return fd_; }
  uint16_t port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

brsocket_t nonBlockingStream(int family) {
  brsocket_t s = brsocket(family, BRSOCKET_TYPE_STREAM, 0);
  int32_t on = 1;
  EXPECT_EQ(brsocket_setsockopt(s, BRSOCKET_SOL_SOCKET, BRSOCKET_SO_NONBLOCKING, &on, 4), 0);
  return s;
}

}  // namespace

TEST(BrSocketResolve, LocalNameResolvesToTmpSocketWhenFileExists) {
  TmpName tmp;
  FILE *f = fopen(tmp.path().c_str(), "w");
  ASSERT_TRUE(f);
  fclose(f);
  for (const std::string &text :
       {"vqzl" + tmp.name(), "http://vqzl" + tmp.name() + ":80/path", "vqzl" + tmp.name() + "/x"}) {
    brsockaddr_t address;
    uint32_t length = 0;
    ASSERT_EQ(brsocket_parseip(text.c_str(), &address, &length), 0) << text;
    EXPECT_EQ(address.family, BRSOCKET_FAMILY_LOCAL);
    EXPECT_STREQ(address.local, tmp.name().c_str());
    EXPECT_EQ(length, sizeof address);
  }
}

TEST(BrSocketResolve, MissingLocalOnlyNamesFailWithoutAskingResolver) {
  uint64_t before = brsocket__resolverCalls();
  for (const char *text : {"vqzlkxnosuchagent.501", "vqzlkxnosuchagent", "http://vqzlnothere.0:9/"}) {
    brsockaddr_t address;
    EXPECT_EQ(brsocket_parseip(text, &address, nullptr), BRERROR_NO_ENTRY) << text;
  }
  EXPECT_EQ(brsocket__resolverCalls(), before);
}

TEST(BrSocketResolve, LocalNameOverSixtyOneCharactersIsRefused) {
  std::string text = "vqzl" + std::string(62, 'a');
  brsockaddr_t address;
  EXPECT_EQ(brsocket_parseip(text.c_str(), &address, nullptr), BRERROR_NAME_TOO_LONG);
}

TEST(BrSocketResolve, AddressesAndPorts) {
  struct Case {
    const char *text;
    brerror_t result;
    int family;
    const char *address;
    uint16_t port;
  } cases[] = {
      {"", 0, 0, "0.0.0.0", 0},
      {"10.1.2.3", 0, BRSOCKET_FAMILY_IPV4, "10.1.2.3", 0},
      {"127.0.0.1:8080", 0, BRSOCKET_FAMILY_IPV4, "127.0.0.1", 8080},
      {"https://192.168.0.20:443/soap", 0, BRSOCKET_FAMILY_IPV4, "192.168.0.20", 443},
      {"localhost:65535", 0, BRSOCKET_FAMILY_IPV4, "127.0.0.1", 65535},
      {"http://localhost/x", 0, BRSOCKET_FAMILY_IPV4, "127.0.0.1", 0},
      {"127.0.0.1:0", BRERROR_INVALID_ARGUMENT, 0, nullptr, 0},
      {"127.0.0.1:65536", BRERROR_INVALID_ARGUMENT, 0, nullptr, 0},
      {"127.0.0.1:8x", BRERROR_INVALID_ARGUMENT, 0, nullptr, 0},
  };
  for (const Case &c : cases) {
    brsockaddr_t address;
    ASSERT_EQ(brsocket_parseip(c.text, &address, nullptr), c.result) << c.text;
    if (c.result < 0) continue;
    EXPECT_EQ(address.family, c.family) << c.text;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.ipv4.address, text, sizeof text);
    EXPECT_STREQ(text, c.address) << c.text;
    EXPECT_EQ(ntohs(address.ipv4.port), c.port) << c.text;
  }
}

TEST(BrSocketResolve, ParseipNStopsAtGivenLength) {
  brsockaddr_t address;
  ASSERT_EQ(brsocket_parseipN("127.0.0.1:81garbage", 12, &address, nullptr), 0);
  EXPECT_EQ(ntohs(address.ipv4.port), 81);
}

TEST(BrSocketResolve, ResolverCallsAreCounted) {
  uint64_t before = brsocket__resolverCalls();
  brsockaddr_t address;
  ASSERT_EQ(brsocket_parseip("localhost", &address, nullptr), 0);
  EXPECT_EQ(brsocket__resolverCalls(), before + 1);
  ASSERT_EQ(brsocket_parseip("127.0.0.2", &address, nullptr), 0);
  EXPECT_EQ(brsocket__resolverCalls(), before + 1);
}

TEST(BrSocket, UnknownFamilyOrTypeIsInvalid) {
  EXPECT_EQ(brsocket(3, BRSOCKET_TYPE_STREAM, 0), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(brsocket(BRSOCKET_FAMILY_IPV4, 3, 0), BRERROR_INVALID_ARGUMENT);
}

TEST(BrSocket, SocketIsCloseOnExec) {
  brsocket_t s = brsocket(BRSOCKET_FAMILY_IPV4, BRSOCKET_TYPE_STREAM, 0);
  ASSERT_GE(s, 0);
  EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
  brsocket_close(s);
}

TEST(BrSocket, RefusalToCreateIsAnError) {
  // An unsupported protocol makes the system refuse the socket.
  EXPECT_LT(brsocket(BRSOCKET_FAMILY_IPV4, BRSOCKET_TYPE_STREAM, IPPROTO_UDP), 0);
}

TEST(BrSocket, NonBlockingSwitch) {
  brsocket_t s = brsocket(BRSOCKET_FAMILY_IPV4, BRSOCKET_TYPE_STREAM, 0);
  ASSERT_GE(s, 0);
  int32_t on = 1, off = 0;
  ASSERT_EQ(brsocket_setsockopt(s, BRSOCKET_SOL_SOCKET, BRSOCKET_SO_NONBLOCKING, &on, 4), 0);
  EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK);
  ASSERT_EQ(brsocket_setsockopt(s, BRSOCKET_SOL_SOCKET, BRSOCKET_SO_NONBLOCKING, &off, 4), 0);
  EXPECT_FALSE(fcntl(s, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(brsocket_setsockopt(s, BRSOCKET_SOL_SOCKET, BRSOCKET_SO_NONBLOCKING, &on, 2),
            BRERROR_INVALID_ARGUMENT);
  brsocket_close(s);
}

TEST(BrSocket, OptionsTranslateOrAreUnknown) {
  brsocket_t s = brsocket(BRSOCKET_FAMILY_IPV4, BRSOCKET_TYPE_STREAM, 0);
  ASSERT_GE(s, 0);
  int32_t one = 1;
  EXPECT_EQ(brsocket_setsockopt(s, 6, 1, &one, 4), 0);
  int value = 0;
  socklen_t n = sizeof value;
  getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, &n);
  EXPECT_NE(value, 0);
  EXPECT_EQ(brsocket_setsockopt(s, BRSOCKET_SOL_SOCKET, 0x0004, &one, 4), 0);
  getsockopt(s, SOL_SOCKET, SO_REUSEADDR, &value, &n);
  EXPECT_NE(value, 0);
  EXPECT_EQ(brsocket_setsockopt(s, BRSOCKET_SOL_SOCKET, 0x7777, &one, 4), BRERROR_NO_ENTRY);
  EXPECT_EQ(brsocket_setsockopt(s, 41, 1, &one, 4), BRERROR_NO_ENTRY);
  brsocket_close(s);
}

TEST(BrSocket, ErrorMapping) {
  struct {
    int err;
    brerror_t expected;
  } cases[] = {
      {EINTR, -21},  {ENOENT, -3},  {EIO, -8},           {ENOMEM, -19},       {EACCES, -17},
      {EFAULT, -15}, {EEXIST, -23}, {ENOTDIR, -6},       {EFBIG, -12},        {ENOSPC, -12},
      {EPIPE, -10},  {EAGAIN, -11}, {ECONNABORTED, -36}, {ECONNRESET, -35},   {ENAMETOOLONG, -28},
      {ENOTEMPTY, -34}, {ECONNREFUSED, -1},
  };
  for (const auto &c : cases) EXPECT_EQ(brsocket__maperror(c.err), c.expected) << c.err;
}

TEST(BrSocketConnect, LoopbackRoundTripWithoutSigpipe) {
  LoopbackPort server(4);
  brsockaddr_t address;
  ASSERT_EQ(brsocket_parseip(server.host().c_str(), &address, nullptr), 0);
  brsocket_t s = nonBlockingStream(BRSOCKET_FAMILY_IPV4);
  ASSERT_EQ(brsocket_connect(s, &address), 0);
  ASSERT_EQ(brsocket_connect_complete(s, 5000), 0);
  int peer = accept(server.fd(), nullptr, nullptr);
  ASSERT_GE(peer, 0);

  iovec parts[2] = {{const_cast<char *>("he"), 2}, {const_cast<char *>("llo"), 3}};
  ASSERT_EQ(brsocket_writev(s, parts, 2), 5);
  char buf[8] = {};
  ASSERT_EQ(recv(peer, buf, 5, MSG_WAITALL), 5);
  EXPECT_STREQ(buf, "hello");

  // After the peer is gone a send fails instead of killing the process.
  close(peer);
  brpollfd_t entry = {s, BRPOLL_IN, 0};
  ASSERT_EQ(brsocket_poll(&entry, 1, 5000), 1);
  brerror_t sent = 0;
  for (int i = 0; i < 100 && sent >= 0; i++) sent = brsocket_send(s, "x", 1, 0);
  EXPECT_TRUE(sent == BRERROR_NO_CONNECTION || sent == BRERROR_CONNECTION_RESET) << sent;
  brsocket_close(s);
}

TEST(BrSocketConnect, FullBacklogTimesOut) {
  // With a backlog of 0 the kernel queues one connection and drops the
  // handshakes of the others, so their connects stay in progress.
  LoopbackPort server(0);
  brsockaddr_t address;
  ASSERT_EQ(brsocket_parseip(server.host().c_str(), &address, nullptr), 0);
  std::vector<brsocket_t> sockets;
  brerror_t result = 0;
  for (int i = 0; i < 8 && result == 0; i++) {
    brsocket_t s = nonBlockingStream(BRSOCKET_FAMILY_IPV4);
    sockets.push_back(s);
    ASSERT_EQ(brsocket_connect(s, &address), 0);
    result = brsocket_connect_complete(s, 100);
  }
  EXPECT_EQ(result, BRERROR_TIMED_OUT);
  for (brsocket_t s : sockets) brsocket_close(s);
}

TEST(BrSocketConnect, RefusedConnections) {
  LoopbackPort notListening(-1);
  brsockaddr_t address;
  ASSERT_EQ(brsocket_parseip(notListening.host().c_str(), &address, nullptr), 0);

  BRLogCapture log;
  brsocket_t s = nonBlockingStream(BRSOCKET_FAMILY_IPV4);
  ASSERT_EQ(brsocket_connect(s, &address), 0);
  EXPECT_EQ(brsocket_connect_complete(s, 5000), BRERROR_NO_CONNECTION);
  EXPECT_TRUE(log.contains("BRSOCK|1|Failed [connect_complete]: 111:"));
  brsocket_close(s);

  s = brsocket(BRSOCKET_FAMILY_IPV4, BRSOCKET_TYPE_STREAM, 0);
  EXPECT_EQ(brsocket_connect(s, &address), BRERROR_UNSPECIFIED);
  brsocket_close(s);
}

TEST(BrSocketConnect, LocalSocketConnectsAndRefuses) {
  TmpName tmp;
  int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  snprintf(un.sun_path, sizeof un.sun_path, "%s", tmp.path().c_str());
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&un), sizeof un), 0);
  ASSERT_EQ(listen(server, 4), 0);

  brsockaddr_t address;
  ASSERT_EQ(brsocket_parseip(("vqzl" + tmp.name()).c_str(), &address, nullptr), 0);
  brsocket_t s = brsocket(BRSOCKET_FAMILY_LOCAL, BRSOCKET_TYPE_STREAM, 0);
  ASSERT_EQ(brsocket_connect(s, &address), 0);
  int peer = accept(server, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(brsocket_send(s, "ping", 4, 0), 4);
  char buf[4];
  ASSERT_EQ(recv(peer, buf, 4, MSG_WAITALL), 4);
  ASSERT_EQ(send(peer, "pong", 4, 0), 4);
  ASSERT_EQ(brsocket_recv(s, buf, 4, MSG_WAITALL), 4);
  EXPECT_EQ(std::string(buf, 4), "pong");
  close(peer);
  brsocket_close(s);

  // The listener is gone but its file stays: the name still resolves and
  // the connect is refused; without the file it is no entry.
  close(server);
  s = brsocket(BRSOCKET_FAMILY_LOCAL, BRSOCKET_TYPE_STREAM, 0);
  EXPECT_EQ(brsocket_connect(s, &address), BRERROR_UNSPECIFIED);
  unlink(tmp.path().c_str());
  EXPECT_EQ(brsocket_connect(s, &address), BRERROR_NO_ENTRY);
  brsocket_close(s);
}

TEST(BrSocketPoll, ManyEntriesBeyondTheStackArray) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_EQ(write(pair[1], "x", 1), 1);
  for (int count : {1, BRSOCKET_POLL_STACK_ENTRIES, BRSOCKET_POLL_STACK_ENTRIES + 88}) {
    std::vector<brpollfd_t> entries(static_cast<size_t>(count), brpollfd_t{pair[0], BRPOLL_IN, 0});
    entries.back() = {pair[1], BRPOLL_OUT, 0};
    if (count > 1) entries[0] = {-1, BRPOLL_IN, 0};
    brerror_t ready = brsocket_poll(entries.data(), count, 0);
    EXPECT_EQ(ready, count == 1 ? 1 : count - 1) << count;
    EXPECT_EQ(entries.back().revents, BRPOLL_OUT);
    if (count > 1) {
      EXPECT_EQ(entries[0].revents, 0);
      EXPECT_EQ(entries[1].revents, BRPOLL_IN);
    }
  }
  close(pair[0]);
  close(pair[1]);
}

TEST(BrSocketPoll, ClosedDescriptorIsReportedInvalid) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  close(pair[1]);
  int closed = pair[1];
  brpollfd_t entry = {closed, BRPOLL_IN, 0};
  ASSERT_EQ(brsocket_poll(&entry, 1, 0), 1);
  EXPECT_EQ(entry.revents, BRPOLL_INVALID);
  close(pair[0]);
}
