#include "hbrpcgeneric.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hbmap.h"
#include "hbrpc_testing.h"

using hbrpctest::Flat;
using hbrpctest::LogCapture;

namespace {

constexpr const char *kDev = "kxcloud-dev";
constexpr const char *kSvc = "6b786364-0000-4000-8000-000000000001";
constexpr const char *kOfflineDev = "attic-laptop";
constexpr const char *kOfflineSvc = "6b786364-0000-4000-8000-000000000004";
const HBSoapType_s kTypes[] = {{"files", HBSOAP_TYPE_LIST},
                               {"services", HBSOAP_TYPE_LIST},
                               {"albums", HBSOAP_TYPE_LIST},
                               {nullptr, 0}};

// A kxcloud of its own in a temporary folder, on a free loopback port.
class KxCloud {
 public:
  explicit KxCloud(std::vector<std::string> extra) {
    if (access(KXCLOUD_BIN, X_OK) != 0) return;
    char folder[] = "/tmp/hbrpc_test.XXXXXX";
    if (!mkdtemp(folder)) return;
    data_ = folder;
    agent = "hbrpc" + std::to_string(getpid()) + "_" + std::to_string(rand() % 100000);
    std::vector<std::string> args = {KXCLOUD_BIN, "--data", data_, "--listen", "127.0.0.1:0",
                                     "--seed", "demo", "--owner", "demo@kexaro.test", "--agent",
                                     agent};
    args.insert(args.end(), extra.begin(), extra.end());
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    // The first line is the base URL.
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') base += c;
    close(fds[0]);
  }
  ~KxCloud() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!data_.empty()) std::system(("rm -rf '" + data_ + "'").c_str());
  }
  bool running() const { return base.rfind("http://", 0) == 0; }

  std::string base;
  std::string agent;

 private:
  pid_t pid_ = -1;
  std::string data_;
};

struct Encoding {
  const char *name;
  const char *path;
};

class HBRPCGenericTest : public ::testing::TestWithParam<Encoding> {
 protected:
  void start(std::vector<std::string> extra = {}) {
    cloud_ = std::make_unique<KxCloud>(extra);
    if (!cloud_->running()) GTEST_SKIP() << "kxcloud is not available at " << KXCLOUD_BIN;
    pool_ = new HBHTTPConnPool(-1, 64);
    rpc_ = new HBRPCGeneric((cloud_->base + GetParam().path).c_str(), pool_);
    rpc_->useTypeList(kTypes);
  }
  void TearDown() override {
    if (rpc_) rpc_->dnref();
    if (pool_) pool_->dnref();
  }

  // A call with the token, device and service of the demo cloud first.
  brerror_t call(const char *method, std::vector<std::pair<std::string, std::string>> more,
                 bool service = true) {
    std::vector<std::pair<std::string, std::string>> all = {{"valtoken", "demo-token"}};
    if (service) {
      all.push_back({"deviceid", kDev});
      all.push_back({"serviceid", kSvc});
    }
    all.insert(all.end(), more.begin(), more.end());
    std::vector<HBSoapArg_s> args;
    for (auto &[k, v] : all) args.push_back({k.c_str(), v.c_str(), HBTYPE_STRING});
    return rpc_->syncOpN(method, static_cast<int>(args.size()), args.data());
  }
  Flat results() {
    HBMap *map = rpc_->getAllOutputArgs();
    Flat flat = hbrpctest::flatten(map);
    map->dnref();
    return flat;
  }
  void expectFault(brerror_t rc, int code, const char *what) {
    EXPECT_EQ(rc, BRERROR_FAULT) << what;
    EXPECT_EQ(rpc_->getLastErrorCode(), code) << what;
    EXPECT_NE(rpc_->getArgumentByName("errorDescription"), nullptr) << what;
  }

  std::unique_ptr<KxCloud> cloud_;
  HBHTTPConnPool *pool_ = nullptr;
  HBRPCGeneric *rpc_ = nullptr;
};

TEST_P(HBRPCGenericTest, EveryMethodOfTheApiSucceedsAndFails) {
  start({"--fail", "getOwnerAuth:1:801"});
  if (IsSkipped()) return;

  EXPECT_EQ(rpc_->syncOp("loginUser", "email", "demo@kexaro.test", "password", "demo", nullptr), 0);
  EXPECT_NE(rpc_->getArgumentByName("valtoken"), nullptr);
  expectFault(rpc_->syncOp("loginUser", "email", "demo@kexaro.test", "password", "x", nullptr), 606,
              "loginUser");

  EXPECT_EQ(call("getUser", {}, false), 0);
  HBRef<IHBMap> user(rpc_->getArgumentMap("user"));
  EXPECT_TRUE(user);
  EXPECT_EQ(rpc_->syncOp("getUser", "valtoken", "bogus", nullptr), BRERROR_FAULT);

  expectFault(rpc_->syncOp("getOwnerAuth", nullptr), 801, "getOwnerAuth");
  EXPECT_EQ(rpc_->syncOp("getOwnerAuth", nullptr), 0);
  EXPECT_NE(rpc_->getArgumentByName("valtoken"), nullptr);

  EXPECT_EQ(call("listServices", {}, false), 0);
  Flat services = results();
  EXPECT_EQ(services.at("services[3].serviceid"), kOfflineSvc) << hbrpctest::show(services);
  EXPECT_EQ(rpc_->syncOp("listServices", "valtoken", "bogus", nullptr), BRERROR_FAULT);

  EXPECT_EQ(call("getService", {}), 0);
  HBRef<IHBMap> service(rpc_->getArgumentMap("service"));
  ASSERT_TRUE(service);
  EXPECT_STREQ(IHBMap__getStringAtKey(service.get(), "name"), "Kexaro Cloud");
  expectFault(rpc_->syncOp("getService", "valtoken", "demo-token", "deviceid", kDev, "serviceid",
                           "nope", nullptr),
              802, "getService");

  EXPECT_EQ(call("getDevice", {{"deviceid", kDev}}, false), 0);
  EXPECT_TRUE(HBRef<IHBMap>(rpc_->getArgumentMap("device")));
  EXPECT_EQ(call("getDevice", {{"deviceid", "nope"}}, false), BRERROR_FAULT);

  EXPECT_EQ(rpc_->syncOp("listAlbums", "shared", "1", "valtoken", "demo-token", nullptr), 0);
  Flat albums = results();
  EXPECT_TRUE(albums.count("albums[1].name")) << hbrpctest::show(albums);
  EXPECT_EQ(albums.at("albums[0].name") + "|" + albums.at("albums[1].name"),
            "Family Inbox|Trip 2011");
  EXPECT_EQ(rpc_->syncOp("listAlbums", "shared", "1", "valtoken", "bogus", nullptr),
            BRERROR_FAULT);

  EXPECT_EQ(call("getFile", {{"fileid", "0"}}), 0);
  EXPECT_EQ(results().at("file.name"), ".");
  EXPECT_EQ(call("getFile", {{"parentid", "0"}, {"filename", "Documents"}}), 0);
  std::string documents = results().at("file.fileid");
  EXPECT_EQ(call("getFile", {{"parentid", "0"}, {"filename", "Nope/x"}}), BRERROR_FAULT);
  EXPECT_GT(rpc_->getLastErrorCode(), 0);

  EXPECT_EQ(call("listFiles", {{"parentid", "0"}, {"sortcrit", "name"}, {"offset", "0"},
                               {"maxcount", "50"}, {"showhidden", "0"}, {"omitcount", "0"}}),
            0);
  EXPECT_EQ(rpc_->getArgumentUInt32("count"), 4u);
  HBRef<IHBIter> files(rpc_->getArgumentIterator("files"));
  EXPECT_TRUE(files);
  EXPECT_EQ(results().at("files[0].name"), "Documents");
  EXPECT_EQ(call("listFiles", {{"parentid", "424242"}}), BRERROR_FAULT);

  EXPECT_EQ(call("createFile", {{"parentid", "0"}, {"filename", "New Folder"}, {"type", "1"}}),
            0);
  std::string folder = results().at("file.fileid");
  expectFault(call("createFile", {{"parentid", "0"}, {"filename", "New Folder"}, {"type", "1"}}),
              808, "createFile");
  EXPECT_EQ(call("createFile", {{"parentid", folder}, {"filename", "a.jpg"}, {"type", "0"},
                                {"origin", "import"}, {"size", "100"}, {"ctime", "1300000000000"},
                                {"mtime", "1300000000000"}, {"mimetype", "image/jpeg"},
                                {"streamtype", "0"}, {"origtime", "1300000000000"},
                                {"EXIF-Model", "Cam 1"}}),
            0);
  Flat created = results();
  std::string file = created.at("file.fileid");
  EXPECT_EQ(created.at("file.EXIF-Model"), "Cam 1") << hbrpctest::show(created);

  EXPECT_EQ(call("updateFile", {{"fileid", file}, {"mtime", "1400000000000"}}), 0);
  EXPECT_EQ(call("updateFile", {{"fileid", "424242"}, {"mtime", "1"}}), BRERROR_FAULT);

  EXPECT_EQ(call("moveFile", {{"fileid", file}, {"parentid", documents}, {"filename", "b.jpg"}}),
            0);
  EXPECT_EQ(results().at("file.name"), "b.jpg");
  expectFault(call("moveFile", {{"fileid", folder}, {"parentid", "0"}, {"filename", "Documents"}}),
              808, "moveFile");

  EXPECT_EQ(call("removeFile", {{"fileid", folder}, {"recurse", "0"}}), 0);
  expectFault(call("removeFile", {{"fileid", "0"}, {"recurse", "1"}}), 805, "removeFile");

  EXPECT_EQ(call("statFS", {}), 0);
  for (const char *key : {"bsize", "namelen", "blocks", "bfree", "files", "ffree"}) {
    EXPECT_NE(rpc_->getArgumentByName(key), nullptr) << key;
  }
  EXPECT_GT(rpc_->getArgumentUInt32("bsize"), 0u);
  expectFault(rpc_->syncOp("statFS", "valtoken", "demo-token", "deviceid", kOfflineDev,
                           "serviceid", kOfflineSvc, nullptr),
              807, "statFS");
}

TEST_P(HBRPCGenericTest, LocalDeviceAgentAnswersGetStatus) {
  start();
  if (IsSkipped()) return;
  std::string url = "http://vqzl" + cloud_->agent + "/svc/hbpctrl";
  if (std::string(GetParam().path).find("pktm") != std::string::npos) {
    url = "http://vqzl" + cloud_->agent + "/svc/pktm/";
  }
  HBRPCGeneric *agent = new HBRPCGeneric(url.c_str(), nullptr);
  EXPECT_EQ(agent->syncOp("getStatus", nullptr), 0);
  EXPECT_STREQ(agent->getArgumentByName("deviceid"), "den-pc");
  agent->dnref();
}

TEST_P(HBRPCGenericTest, ServerErrorWithQXErrorIsAFaultWithItsCode) {
  start({"--fail", "getFile:1:817"});
  if (IsSkipped()) return;
  EXPECT_EQ(call("getFile", {{"fileid", "0"}}), BRERROR_FAULT);
  EXPECT_EQ(rpc_->getLastErrorCode(), 817);
  char text[512];
  int32_t n = rpc_->produceFaultMessage(text, sizeof text, " [getFile]");
  EXPECT_EQ(n, static_cast<int32_t>(strlen(text)));
  EXPECT_NE(strstr(text, "<errorCode>817</errorCode>"), nullptr) << text;
  EXPECT_NE(strstr(text, " [getFile]</errorContext>"), nullptr) << text;
  EXPECT_EQ(strstr(text, "Unknown Error"), nullptr) << text;
}

TEST_P(HBRPCGenericTest, NotFoundIsAFaultWithCode400AndUnknownError) {
  std::string path = GetParam().path;
  if (path.find("pktm") != std::string::npos) {
    GTEST_SKIP() << "kxcloud answers every path holding /pktm/, so it has no 404 to give";
  }
  start();
  if (IsSkipped()) return;
  rpc_->dnref();
  rpc_ = new HBRPCGeneric((cloud_->base + "/nowhere" + path).c_str(), pool_);
  LogCapture log;
  EXPECT_EQ(rpc_->syncOp("getFile", "valtoken", "demo-token", nullptr), BRERROR_FAULT);
  EXPECT_EQ(rpc_->getLastErrorCode(), 400);
  char text[512];
  EXPECT_GT(rpc_->produceFaultMessage(text, sizeof text, nullptr), 0);
  EXPECT_NE(strstr(text, "<errorCode>400</errorCode>"), nullptr);
  EXPECT_NE(strstr(text, "<errorDescription>Unknown Error</errorDescription>"), nullptr);
  EXPECT_TRUE(log.has("Client level error [404] -- Likely just a 404..."));
}

TEST_P(HBRPCGenericTest, RefusedConnectionReturnsTheTransportError) {
  // A port that was just free and has no listener.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length), 0);
  close(fd);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + GetParam().path;
  for (IHBHTTPConnPool *pool : {static_cast<IHBHTTPConnPool *>(nullptr),
                                static_cast<IHBHTTPConnPool *>(new HBHTTPConnPool(-1, 4))}) {
    HBRPCGeneric *rpc = new HBRPCGeneric(url.c_str(), pool);
    brerror_t rc = rpc->syncOp("getFile", "fileid", "0", nullptr);
    EXPECT_LT(rc, 0);
    EXPECT_NE(rc, BRERROR_FAULT);
    EXPECT_EQ(rpc->getLastErrorCode(), -1);
    char text[64];
    EXPECT_EQ(rpc->produceFaultMessage(text, sizeof text, nullptr), -1);
    rpc->dnref();
    if (pool) pool->dnref();
  }
}

TEST_P(HBRPCGenericTest, SecondCallReplacesTheFirstCallsResults) {
  start();
  if (IsSkipped()) return;
  EXPECT_EQ(call("getFile", {{"fileid", "0"}}), 0);
  EXPECT_TRUE(results().count("file.fileid"));
  expectFault(call("getService", {{"deviceid", kDev}, {"serviceid", "x"}}, false), 802,
              "getService");
  Flat second = results();
  EXPECT_FALSE(second.count("file.fileid"));
  EXPECT_TRUE(second.count("errorCode"));
  EXPECT_EQ(call("getService", {}), 0);
  EXPECT_EQ(rpc_->getLastErrorCode(), -1);
  EXPECT_FALSE(results().count("errorCode"));
  EXPECT_EQ(rpc_->produceFaultMessage(nullptr, 0, nullptr), -1);
}

TEST_P(HBRPCGenericTest, CallsReuseOnePooledConnectionOrTheirOwn) {
  start();
  if (IsSkipped()) return;
  for (int i = 0; i < 3; i++) EXPECT_EQ(call("getFile", {{"fileid", "0"}}), 0);
  EXPECT_EQ(pool_->idleCount(), 1u);

  HBRPCGeneric *own = new HBRPCGeneric((cloud_->base + GetParam().path).c_str(), nullptr);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(own->syncOp("getFile", "valtoken", "demo-token", "deviceid", kDev, "serviceid",
                          kSvc, "fileid", "0", nullptr),
              0);
  }
  own->dnref();
  EXPECT_EQ(pool_->idleCount(), 1u);
}

TEST_P(HBRPCGenericTest, ReplyCutShortIsAnErrorNotASuccess) {
  start({"--drop-after", "300"});
  if (IsSkipped()) return;
  brerror_t rc = call("listFiles", {{"parentid", "0"}});
  EXPECT_LT(rc, 0);
  EXPECT_NE(rc, BRERROR_FAULT);
  EXPECT_EQ(rpc_->getLastErrorCode(), -1);
}

TEST_P(HBRPCGenericTest, GettersCheckTheKindOfValue) {
  start();
  if (IsSkipped()) return;
  ASSERT_EQ(call("getFile", {{"fileid", "0"}}), 0);
  LogCapture log;
  EXPECT_EQ(rpc_->getArgumentByName("file"), nullptr);
  EXPECT_TRUE(log.has("RPC::getArgmentByName('file') wasn't a string: 0x10000001!"));
  EXPECT_EQ(rpc_->getArgumentIterator("file"), nullptr);
  EXPECT_TRUE(log.has("RPC::getArgmentIterator('file') wasn't an iterator"));
  EXPECT_EQ(rpc_->getArgumentByName("absent"), nullptr);
  EXPECT_EQ(rpc_->getArgumentUInt32("absent"), 0u);

  HBRef<IHBMap> file(rpc_->getArgumentMap("file"));
  ASSERT_TRUE(file);
  // Texts are read as numbers in any C notation.
  HBMap *map = rpc_->getAllOutputArgs();
  map->setAtKey("hex", "0x1F", 0);
  map->setAtKey("oct", "017", 0);
  map->dnref();
  EXPECT_EQ(rpc_->getArgumentUInt32("hex"), 31u);
  EXPECT_EQ(rpc_->getArgumentUInt32("oct"), 15u);
}

TEST_P(HBRPCGenericTest, ProcessPoolHandsOutWorkingRPCObjects) {
  start();
  if (IsSkipped()) return;
  std::string url = cloud_->base + GetParam().path;
  LogCapture log;
  HBRPCGeneric *bare = nullptr;
  HBHTTPConnPool__setInstance(nullptr);
  ASSERT_EQ(HBHTTPConnPool__getRPC(url.c_str(), &bare), 0);
  EXPECT_TRUE(log.has("No Connection Pool Implementation Registered!"));
  EXPECT_EQ(bare->syncOp("getUser", "valtoken", "demo-token", nullptr), 0);
  bare->dnref();

  HBHTTPConnPool__setInstance(pool_);
  HBRPCGeneric *pooled = nullptr;
  ASSERT_EQ(HBHTTPConnPool__getRPC(url.c_str(), &pooled), 0);
  EXPECT_EQ(pooled->syncOp("getUser", "valtoken", "demo-token", nullptr), 0);
  EXPECT_EQ(pool_->idleCount(), 1u);
  pooled->dnref();
  HBHTTPConnPool__setInstance(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Encodings, HBRPCGenericTest,
                         ::testing::Values(Encoding{"Soap", "/svc/api"},
                                           Encoding{"Packet", "/svc/pktm/"}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
