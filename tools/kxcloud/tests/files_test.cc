// The file endpoint of kxcloud: ranged reads and writes, 100 Continue,
// quota, authentication, persistence, concurrency and streamed uploads.
#include <cstdio>
#include <thread>

#include "kxcloud_fixture.h"

using namespace kxtest;

namespace {

const std::string kCookie = "Cookie: valtoken=demo-token;";

class Files : public ::testing::Test {
 protected:
  explicit Files(std::vector<std::string> extra = {}) : cloud(std::move(extra)) {}
  std::string make(const std::string &name) {
    Flat r = soap(cloud.url + "/svc/api", "createFile",
                  svc_args({{"parentid", "0"}, {"filename", name}, {"type", "0"},
                            {"mtime", "1500000000000"}}));
    EXPECT_TRUE(r.count("file.fileid")) << r["errorCode"];
    return r["file.fileid"];
  }
  std::string path(const std::string &id, const std::string &sub = "") {
    return std::string("/svc/files/") + kDev + "/" + kSvc + "/" + id + (sub.empty() ? "" : "/" + sub);
  }
  std::string url(const std::string &id, const std::string &sub = "") {
    return cloud.url + path(id, sub);
  }
  Response put(const std::string &id, const std::string &body, std::vector<std::string> h = {}) {
    h.push_back(kCookie);
    return http("PUT", url(id), body, h);
  }
  Flat info(const std::string &id) {
    return soap(cloud.url + "/svc/api", "getFile", svc_args({{"fileid", id}}));
  }
  KxCloud cloud;
};

TEST_F(Files, RangedReadsFollowTheServiceRules) {
  std::string id = make("ten.bin");
  ASSERT_EQ(put(id, "0123456789").status, 200);
  struct Case {
    const char *range;
    long status;
    std::string body, content_range;
  } cases[] = {
      {nullptr, 200, "0123456789", ""},
      {"bytes=0-3", 206, "0123", "bytes 0-3/10"},
      {"bytes=5-", 206, "56789", "bytes 5-9/10"},
      {"bytes=8-100", 206, "89", "bytes 8-9/10"},
      {"bytes=-3", 206, "789", "bytes 7-9/10"},
      {"bytes=10-", 416, "", "bytes */10"},
      {"bytes=100-200", 416, "", "bytes */10"},
      {"bytes=0-1,4-5", 200, "0123456789", ""},
  };
  for (auto &c : cases) {
    std::vector<std::string> h = {kCookie};
    if (c.range) h.push_back(std::string("Range: ") + c.range);
    Response r = http("GET", url(id), "", h);
    EXPECT_EQ(r.status, c.status) << (c.range ? c.range : "none");
    EXPECT_EQ(r.body, c.body) << (c.range ? c.range : "none");
    EXPECT_EQ(r.headers["content-range"], c.content_range) << (c.range ? c.range : "none");
  }
}

TEST_F(Files, RangedWritesLandAtTheirOffsetsAndExtendWithZeros) {
  std::string id = make("w.bin");
  EXPECT_EQ(put(id, "0123456789").status, 200);
  EXPECT_EQ(info(id)["file.mtime"], "1500000000000") << "the first upload keeps the created time";
  EXPECT_EQ(put(id, "abc", {"Range: bytes=4-"}).status, 200);
  EXPECT_EQ(put(id, "XY", {"Range: bytes=12-"}).status, 200);
  Response r = http("GET", url(id), "", {kCookie});
  EXPECT_EQ(r.body, std::string("0123abc789\0\0XY", 14));
  Flat f = info(id);
  EXPECT_EQ(f["file.size"], "14");
  EXPECT_NE(f["file.mtime"], "1500000000000") << "later writes move the modified time";

  EXPECT_EQ(put(id, "short").status, 200);  // no Range: replaces the content
  EXPECT_EQ(http("GET", url(id), "", {kCookie}).body, "short");
  EXPECT_EQ(info(id)["file.size"], "5");
  EXPECT_EQ(put(id, "").status, 200);
  EXPECT_EQ(info(id)["file.size"], "0");
  EXPECT_EQ(http("GET", url(id), "", {kCookie, "Range: bytes=0-"}).status, 416);
}

TEST_F(Files, SubResourcesAreStoredBesideTheContent) {
  std::string id = make("pic.jpg");
  EXPECT_EQ(http("GET", url(id, "tn"), "", {kCookie}).status, 404);
  EXPECT_EQ(http("PUT", url(id, "tn"), "thumb", {kCookie}).status, 200);
  EXPECT_EQ(http("GET", url(id, "tn"), "", {kCookie}).body, "thumb");
  Flat f = info(id);
  EXPECT_FALSE(f["file.thumbnail"].empty());
  EXPECT_FALSE(f.count("file.preview"));
  EXPECT_EQ(f["file.size"], "0");
}

TEST_F(Files, RequestsAuthenticateByCookieHeaderOrPathToken) {
  std::string id = make("auth.bin");
  ASSERT_EQ(put(id, "data").status, 200);
  EXPECT_EQ(http("GET", url(id)).status, 401);
  EXPECT_EQ(http("GET", url(id), "", {"Cookie: other=1; valtoken=bad"}).status, 401);
  EXPECT_EQ(http("GET", url(id), "", {"X-QXVALTOKEN: demo-token"}).body, "data");
  EXPECT_EQ(http("GET", cloud.url + "/svc/files/demo-token/" + kDev + "/" + kSvc + "/" + id).body,
            "data");
  EXPECT_EQ(http("GET", cloud.url + "/svc/files/" + kDev + "/nope/" + id, "", {kCookie}).status, 404);
  EXPECT_EQ(http("GET", url("0"), "", {kCookie}).status, 400);
  EXPECT_EQ(http("GET", cloud.url + "/svc/files/" + kOfflineDev + "/" + kOfflineSvc + "/1", "",
                 {kCookie}).status, 503);
}

TEST_F(Files, ExpectContinueIsAnsweredBeforeTheBody) {
  std::string id = make("expect.bin");
  RawConn c(cloud.port);
  ASSERT_TRUE(c.send("PUT " + path(id) + " HTTP/1.1\r\nHost: x\r\n" + kCookie +
                     "\r\nRange: bytes=0-\r\nExpect: 100-Continue\r\nTransfer-Encoding: chunked\r\n\r\n"));
  EXPECT_EQ(c.read_until("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(c.send("5\r\nhello\r\n0\r\n\r\n"));
  std::string head = c.read_until("\r\n\r\n");
  EXPECT_EQ(head.compare(0, 15, "HTTP/1.1 200 OK"), 0) << head;
  EXPECT_EQ(http("GET", url(id), "", {kCookie}).body, "hello");
}

TEST_F(Files, UploadOverTheQuotaIsRefusedBeforeTheBody) {
  std::string id = make("big.bin");
  RawConn c(cloud.port);
  ASSERT_TRUE(c.send("PUT " + path(id) + " HTTP/1.1\r\nHost: x\r\n" + kCookie +
                     "\r\nExpect: 100-continue\r\nContent-Length: 20000000000\r\n\r\n"));
  std::string head = c.read_until("\r\n\r\n");
  EXPECT_EQ(head.compare(0, 12, "HTTP/1.1 507"), 0) << head;
  EXPECT_TRUE(c.closed_by_peer());
}

class SmallQuota : public Files {
 protected:
  SmallQuota() : Files({"--quota", "2000000"}) {}
};

TEST_F(SmallQuota, ChunkedUploadStopsAtTheQuotaAndKeepsTheOldContent) {
  std::string id = make("q.bin");
  ASSERT_EQ(put(id, "old").status, 200);
  std::string big(3000000, 'x');
  Response r = put(id, big, {"Transfer-Encoding: chunked"});
  EXPECT_EQ(r.status, 507);
  EXPECT_EQ(http("GET", url(id), "", {kCookie}).body, "old");
  EXPECT_EQ(put(id, big, {"Range: bytes=0-", "Transfer-Encoding: chunked"}).status, 507);
  EXPECT_LE(std::stoll(info(id)["file.size"]), 2000000);
  // The space freed by removing the file can be used again.
  soap(cloud.url + "/svc/api", "removeFile", svc_args({{"fileid", id}, {"recurse", "0"}}));
  std::string again = make("q2.bin");
  EXPECT_EQ(put(again, std::string(1000000, 'y')).status, 200);
}

class Refusing : public Files {
 protected:
  Refusing() : Files({"--refuse-uploads", "403"}) {}
};

TEST_F(Refusing, UploadIsRefusedInsteadOfContinued) {
  std::string id = make("r.bin");
  RawConn c(cloud.port);
  ASSERT_TRUE(c.send("PUT " + path(id) + " HTTP/1.1\r\nHost: x\r\n" + kCookie +
                     "\r\nRange: bytes=0-\r\nExpect: 100-Continue\r\nTransfer-Encoding: chunked\r\n\r\n"));
  std::string head = c.read_until("\r\n\r\n");
  EXPECT_EQ(head.compare(0, 12, "HTTP/1.1 403"), 0) << head;
  EXPECT_TRUE(c.closed_by_peer());
}

class Faulty : public Files {
 protected:
  Faulty() : Files({"--ignore-range", "--drop-after", "5000"}) {}
};

TEST_F(Faulty, IgnoredRangesAndDroppedConnections) {
  std::string id = make("f.bin");
  ASSERT_EQ(put(id, std::string(100000, 'z')).status, 200);
  Response r = http("GET", url(id), "", {kCookie, "Range: bytes=10-20"});
  EXPECT_EQ(r.curl, CURLE_PARTIAL_FILE);
  EXPECT_EQ(r.status, 200) << "the range is ignored";
  EXPECT_EQ(r.headers["content-length"], "100000");
  EXPECT_LT(r.body.size(), 5000u);
}

TEST_F(Files, DataAndMetadataSurviveARestart) {
  std::string id = make("keep.bin");
  ASSERT_EQ(put(id, "persistent bytes").status, 200);
  soap(cloud.url + "/svc/api", "updateFile", svc_args({{"fileid", id}, {"mtime", "777"}}));
  Flat login = soap(cloud.url + "/svc/api", "loginUser",
                    {{"email", "demo@kexaro.test"}, {"password", "demo"}});
  cloud.restart();
  Flat f = info(id);
  EXPECT_EQ(f["file.name"], "keep.bin");
  EXPECT_EQ(f["file.size"], "16");
  EXPECT_EQ(f["file.mtime"], "777");
  EXPECT_EQ(http("GET", url(id), "", {kCookie}).body, "persistent bytes");
  EXPECT_EQ(soap(cloud.url + "/svc/api", "getUser", {{"valtoken", login["valtoken"]}})["user.email"],
            "demo@kexaro.test");
  Flat s = soap(cloud.url + "/svc/api", "listServices", {{"valtoken", "demo-token"}});
  EXPECT_EQ(s["services.#"], "4") << "the demo data is not seeded twice";
}

TEST_F(Files, ConcurrentWritersToDifferentFilesKeepTheirOwnBytes) {
  constexpr int kWriters = 8, kPieces = 16, kPiece = 64 * 1024;
  std::vector<std::string> ids;
  for (int i = 0; i < kWriters; ++i) ids.push_back(make("c" + std::to_string(i)));
  std::vector<std::thread> threads;
  for (int i = 0; i < kWriters; ++i) {
    threads.emplace_back([&, i] {
      // Pieces go up out of order, each a ranged PUT of its own.
      for (int p = kPieces - 1; p >= 0; --p) {
        std::string piece(kPiece, static_cast<char>('A' + i));
        piece[0] = static_cast<char>('0' + p % 10);
        Response r = put(ids[i], piece, {"Range: bytes=" + std::to_string(p * kPiece) + "-"});
        EXPECT_EQ(r.status, 200);
      }
      soap(cloud.url + "/svc/api", "listFiles", svc_args({{"parentid", "0"}}));
    });
  }
  for (auto &t : threads) t.join();
  for (int i = 0; i < kWriters; ++i) {
    Response r = http("GET", url(ids[i]), "", {kCookie});
    ASSERT_EQ(r.body.size(), static_cast<size_t>(kPieces * kPiece));
    for (int p = 0; p < kPieces; ++p) {
      EXPECT_EQ(r.body[p * kPiece], static_cast<char>('0' + p % 10));
      EXPECT_EQ(r.body[p * kPiece + 1], static_cast<char>('A' + i));
      EXPECT_EQ(r.body[p * kPiece + kPiece - 1], static_cast<char>('A' + i));
    }
    EXPECT_EQ(info(ids[i])["file.size"], std::to_string(kPieces * kPiece));
  }
}

TEST_F(Files, AGibibyteChunkedUploadStreamsToDiskInSmallMemory) {
  if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no curl tool";
  std::string id = make("gib.bin");
  std::string cmd = "head -c 1073741824 /dev/zero | curl -s -o /dev/null -w '%{http_code}' -T - "
                    "-H 'Transfer-Encoding: chunked' -H 'Expect: 100-continue' -b valtoken=demo-token '" +
                    url(id) + "'";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char code[8] = "";
  ASSERT_NE(fgets(code, sizeof code, p), nullptr);
  pclose(p);
  EXPECT_STREQ(code, "200");
  EXPECT_EQ(info(id)["file.size"], "1073741824");
  long peak = peak_rss_kib(cloud.pid);
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 64 * 1024) << "peak resident memory in KiB";
  Response tail = http("GET", url(id), "", {kCookie, "Range: bytes=-4"});
  EXPECT_EQ(tail.body, std::string(4, '\0'));
}

}  // namespace
