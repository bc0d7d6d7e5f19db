#include "hbhttpconnpool.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "brhttp_testing.h"

using namespace brhttp_testing;

namespace {

std::string urlOf(const ScriptServer &server, const char *path = "/") {
  return "http://127.0.0.1:" + std::to_string(server.port()) + path;
}

class PoolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (pool_) pool_->dnref();
  }
  HBHTTPConnPool *pool_ = new HBHTTPConnPool(-1, 2);
};

TEST_F(PoolTest, IdleConnectionsToOneEndpointAreAllReused) {
  ScriptServer server(ScriptServer::idle(2));
  std::string url = urlOf(server);
  BRHTTPConnection *a = nullptr;
  BRHTTPConnection *b = nullptr;
  ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &a), 0);
  ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &b), 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(pool_->releaseHTTPConn(url.c_str(), a), 0);
  EXPECT_EQ(pool_->releaseHTTPConn((urlOf(server, "/other/path")).c_str(), b), 0);
  EXPECT_EQ(pool_->idleCount(), 2u);

  // Another host text for the same endpoint differs only in case.
  std::string upper = "http://127.0.0.1:" + std::to_string(server.port()) + "/X";
  BRHTTPConnection *c = nullptr;
  BRHTTPConnection *d = nullptr;
  ASSERT_EQ(pool_->getHTTPConn(upper.c_str(), &c), 0);
  ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &d), 0);
  EXPECT_EQ((std::set<BRHTTPConnection *>{c, d}), (std::set<BRHTTPConnection *>{a, b}));
  EXPECT_EQ(pool_->idleCount(), 0u);
  BRHTTPConnection__destroy(c);
  BRHTTPConnection__destroy(d);
  server.waitFinished(2);
  EXPECT_EQ(server.accepted(), 2u);
}

TEST_F(PoolTest, OtherEndpointsGetTheirOwnConnections) {
  ScriptServer one(ScriptServer::idle(1));
  ScriptServer two(ScriptServer::idle(1));
  BRHTTPConnection *a = nullptr;
  ASSERT_EQ(pool_->getHTTPConn(urlOf(one).c_str(), &a), 0);
  EXPECT_EQ(pool_->releaseHTTPConn(urlOf(one).c_str(), a), 0);
  BRHTTPConnection *b = nullptr;
  ASSERT_EQ(pool_->getHTTPConn(urlOf(two).c_str(), &b), 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(pool_->idleCount(), 1u);
  BRHTTPConnection__destroy(b);
  pool_->shutdown();
  EXPECT_EQ(pool_->idleCount(), 0u);
}

TEST_F(PoolTest, BeyondTheMaximumTheOldestIdleConnectionIsClosed) {
  ScriptServer server(ScriptServer::idle(4));
  std::string url = urlOf(server);
  BRHTTPConnection *conns[3] = {};
  for (auto &c : conns) ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &c), 0);
  for (auto &c : conns) EXPECT_EQ(pool_->releaseHTTPConn(url.c_str(), c), 0);
  EXPECT_EQ(pool_->idleCount(), 2u);
  server.waitFinished(1);  // the first one has been closed
  BRHTTPConnection *again[3] = {};
  for (auto &c : again) ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &c), 0);
  std::set<BRHTTPConnection *> reused{again[0], again[1]};
  EXPECT_EQ(reused, (std::set<BRHTTPConnection *>{conns[1], conns[2]}));
  for (auto &c : again) BRHTTPConnection__destroy(c);
  server.waitFinished(4);
  EXPECT_EQ(server.accepted(), 4u);
}

TEST_F(PoolTest, ConnectionsClosedOrTalkedToByTheServerAreNotReused) {
  ScriptServer server({{readBytes(1), closeNow()},
                       {readBytes(1), send("unasked")},
                       {readHead(), send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")}});
  std::string url = urlOf(server);
  BRHTTPConnection *first = nullptr;
  BRHTTPConnection *second = nullptr;
  ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &first), 0);
  ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &second), 0);
  ASSERT_EQ(pool_->releaseHTTPConn(url.c_str(), first), 0);
  ASSERT_EQ(pool_->releaseHTTPConn(url.c_str(), second), 0);
  // While idle in the pool, make the server close one and talk on the
  // other.
  ASSERT_EQ(::send(first->sock, "x", 1, MSG_NOSIGNAL), 1);
  server.waitFinished(1);
  ASSERT_EQ(::send(second->sock, "x", 1, MSG_NOSIGNAL), 1);
  pollfd p{second->sock, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);

  BRHTTPConnection *conn = nullptr;
  ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &conn), 0);
  EXPECT_EQ(pool_->idleCount(), 0u);
  BRHTTPRequest *req = nullptr;
  ASSERT_EQ(BRHTTPConnection__newRequest(conn, &req, nullptr, "/", nullptr), 0);
  EXPECT_EQ(BRHTTPRequest__receiveResponseHeader(req, nullptr, 0, nullptr, 0), 200);
  BRHTTPRequest__destroy(req);
  BRHTTPConnection__destroy(conn);
  server.waitFinished(3);
  EXPECT_EQ(server.accepted(), 3u);
}

TEST_F(PoolTest, ReleaseDropsClosedAndDeadConnections) {
  ScriptServer server({{waitEof()}, {send("unasked")}});
  std::string url = urlOf(server);
  BRHTTPConnection *closed = nullptr;
  ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &closed), 0);
  BRHTTPConnection__close(closed);
  EXPECT_EQ(pool_->releaseHTTPConn(url.c_str(), closed), 0);
  BRHTTPConnection *talked = nullptr;
  ASSERT_EQ(pool_->getHTTPConn(url.c_str(), &talked), 0);
  pollfd p{talked->sock, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_EQ(pool_->releaseHTTPConn(url.c_str(), talked), -6);
  EXPECT_EQ(pool_->idleCount(), 0u);
}

TEST_F(PoolTest, FailuresAreReturned) {
  BRHTTPConnection *conn = nullptr;
  EXPECT_EQ(pool_->getHTTPConn("no url", &conn), -1);
  EXPECT_EQ(pool_->getHTTPConn("http://vqzlnosuchsocket.501/", &conn), -3);
  EXPECT_EQ(conn, nullptr);
  void *ifc = nullptr;
  ASSERT_EQ(pool_->getifc(HBTYPE_IID_IHBHTTPCONNPOOL, &ifc), 0);
  static_cast<IHBHTTPConnPool *>(ifc)->dnref();
  EXPECT_EQ(pool_->getifc(HBTYPE_IID_IHBURL, &ifc), -3);
}

TEST(PoolInstanceTest, ProcessPoolOrFreshConnections) {
  IHBHTTPConnPool *got = nullptr;
  EXPECT_EQ(HBHTTPConnPool__getInstance(&got), -3);
  ScriptServer server(ScriptServer::idle(2));
  std::string url = urlOf(server);

  // Without a pool: a fresh connection each time, closed on release.
  BRHTTPConnection *conn = nullptr;
  ASSERT_EQ(HBHTTPConnPool__getHTTPConn(url.c_str(), &conn), 0);
  EXPECT_EQ(HBHTTPConnPool__releaseHTTPConn(url.c_str(), conn), 0);
  server.waitFinished(1);

  HBHTTPConnPool *pool = new HBHTTPConnPool(-1, 64);
  HBHTTPConnPool__setInstance(pool);
  pool->dnref();
  ASSERT_EQ(HBHTTPConnPool__getInstance(&got), 0);
  EXPECT_EQ(got, pool);
  got->dnref();
  ASSERT_EQ(HBHTTPConnPool__getHTTPConn(url.c_str(), &conn), 0);
  EXPECT_EQ(HBHTTPConnPool__releaseHTTPConn(url.c_str(), conn), 0);
  EXPECT_EQ(pool->idleCount(), 1u);
  HBHTTPConnPool__setInstance(nullptr);  // the pool dies and closes it
  server.waitFinished(2);
}

}  // namespace
