// The RPC interface of kxcloud, spoken as SOAP and as packets.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "kxcloud_fixture.h"

using namespace kxtest;

namespace {

class Rpc : public ::testing::Test {
 protected:
  std::string api() const { return cloud.url + "/svc/api"; }
  Flat call(const std::string &m, const Pairs &a, long *status = nullptr) {
    return soap(api(), m, a, status);
  }
  std::string create(const std::string &parent, const std::string &name, const char *type,
                     Pairs more = {}) {
    Pairs a = {{"parentid", parent}, {"filename", name}, {"type", type}};
    a.insert(a.end(), more.begin(), more.end());
    Flat r = call("createFile", svc_args(a));
    EXPECT_TRUE(r.count("file.fileid")) << name << " not created: " << r["errorCode"];
    return r["file.fileid"];
  }
  KxCloud cloud;
};

TEST_F(Rpc, LoginUserIssuesAWorkingTokenAndRefusesAWrongPassword) {
  Flat ok = call("loginUser", {{"email", "demo@kexaro.test"}, {"password", "demo"}});
  ASSERT_FALSE(ok["valtoken"].empty());
  Flat user = call("getUser", {{"valtoken", ok["valtoken"]}});
  EXPECT_EQ(user["user.email"], "demo@kexaro.test");

  long status = 0;
  for (auto pw : {"wrong", ""}) {
    Flat bad = call("loginUser", {{"email", "demo@kexaro.test"}, {"password", pw}}, &status);
    EXPECT_EQ(status, 500);
    EXPECT_EQ(bad["errorCode"], "606");
    EXPECT_EQ(bad["errorDescription"], "Not authorized");
  }
}

TEST_F(Rpc, EveryMethodChecksTheToken) {
  for (auto m : {"getUser", "listServices", "getService", "getDevice", "listAlbums", "getFile",
                 "listFiles", "createFile", "updateFile", "removeFile", "moveFile", "statFS"}) {
    long status = 0;
    Flat r = call(m, svc_args({{"fileid", "1"}}, "not-a-token"), &status);
    EXPECT_EQ(status, 500) << m;
    EXPECT_EQ(r["errorCode"], "606") << m;
  }
  Flat r = call("noSuchMethod", svc_args({}));
  EXPECT_EQ(r["errorCode"], "602");
}

TEST_F(Rpc, ServicesDevicesAndAlbumsDescribeTheDemoAccount) {
  Flat s = call("listServices", {{"valtoken", "demo-token"}});
  ASSERT_EQ(s["services.#"], "4");
  EXPECT_EQ(s["services.0.name"], "Kexaro Cloud");
  EXPECT_EQ(s["services.0.type"], "vqz:plugfs:cloud");
  EXPECT_EQ(s["services.0.apiurl"], api());
  EXPECT_EQ(s["services.0.fileurl"], cloud.url + "/svc/files");
  EXPECT_EQ(s["services.1.type"], "vqz:plugfs:ntfs");
  EXPECT_EQ(s["services.2.type"], "vqz:plugfs:hfs");
  EXPECT_EQ(s["services.3.online"], "0");
  const std::string &space = s["services.0.space"];
  EXPECT_EQ(space.substr(space.find('/') + 1), "10737418240");

  Flat one = call("getService", svc_args({}));
  EXPECT_EQ(one["service.serviceid"], kSvc);
  EXPECT_EQ(one["service.online"], "1");
  EXPECT_EQ(call("getService", {{"valtoken", "demo-token"}, {"deviceid", kDev}, {"serviceid", "x"}})
                ["errorCode"],
            "802");
  EXPECT_EQ(call("getDevice", {{"valtoken", "demo-token"}, {"deviceid", "den-pc"}})["device.name"],
            "Den PC");
  EXPECT_EQ(call("getDevice", {{"valtoken", "demo-token"}, {"deviceid", "nope"}})["errorCode"],
            "801");

  Flat al = call("listAlbums", {{"shared", "1"}, {"valtoken", "demo-token"}});
  ASSERT_EQ(al["albums.#"], "2");
  std::map<std::string, std::string> perms;
  for (int i = 0; i < 2; ++i) {
    std::string p = "albums." + std::to_string(i) + ".";
    perms[al[p + "name"]] = al[p + "perms"];
    EXPECT_EQ(al[p + "root.serviceid"], kSvc);
    EXPECT_EQ(al[p + "root.apiurl"], api());
    EXPECT_EQ(al[p + "root.type"], "1");
    EXPECT_FALSE(al[p + "root.fileid"].empty());
  }
  EXPECT_EQ(perms["Trip 2011"], "0");
  EXPECT_EQ(perms["Family Inbox"], "1");
}

TEST_F(Rpc, OwnerTokenOnlyWhenStartedWithAnOwner) {
  EXPECT_EQ(call("getOwnerAuth", {})["errorCode"], "801");
  KxCloud owned({"--owner", "demo@kexaro.test"});
  Flat r = soap(owned.url + "/svc/api", "getOwnerAuth", {});
  ASSERT_FALSE(r["valtoken"].empty());
  EXPECT_EQ(soap(owned.url + "/svc/api", "getUser", {{"valtoken", r["valtoken"]}})["user.email"],
            "demo@kexaro.test");
}

TEST_F(Rpc, CreateGetMoveAndRemoveFiles) {
  std::string dir = create("0", "Trips", "1");
  std::string sub = create(dir, "Rome 2020", "1");
  std::string f = create(sub, "Colosseum.jpg", "0",
                         {{"mimetype", "image/jpeg"}, {"mtime", "1600000000123"},
                          {"ctime", "1600000000000"}, {"origin", "laptop"},
                          {"EXIF-Model", "Camera X"}, {"ctime", "1"}});
  Flat got = call("getFile", svc_args({{"fileid", f}}));
  EXPECT_EQ(got["file.name"], "Colosseum.jpg");
  EXPECT_EQ(got["file.filename"], "Colosseum.jpg");
  EXPECT_EQ(got["file.parentid"], sub);
  EXPECT_EQ(got["file.type"], "0");
  EXPECT_EQ(got["file.size"], "0");
  EXPECT_EQ(got["file.mtime"], "1600000000123");
  EXPECT_EQ(got["file.ctime"], "1600000000000") << "the first of a repeated argument counts";
  EXPECT_EQ(got["file.mimetype"], "image/jpeg");
  EXPECT_EQ(got["file.deviceid"], kDev);
  EXPECT_EQ(got["file.serviceid"], kSvc);
  EXPECT_EQ(got["file.origin"], "laptop");
  EXPECT_EQ(got["file.EXIF-Model"], "Camera X");

  EXPECT_EQ(call("getFile", svc_args({{"parentid", "0"}, {"filename", "Trips/Rome 2020/Colosseum.jpg"}}))
                ["file.fileid"], f);
  EXPECT_EQ(call("getFile", svc_args({{"parentid", ""}, {"filename", "Trips"}}))["file.fileid"], dir);
  EXPECT_EQ(call("getFile", svc_args({{"filename", "Colosseum.jpg"}}))["file.fileid"], f);
  EXPECT_EQ(call("getFile", svc_args({{"fileid", "0"}}))["file.type"], "1");
  EXPECT_EQ(call("getFile", svc_args({{"parentid", dir}, {"filename", "nope"}}))["errorCode"], "809");
  EXPECT_EQ(call("getFile", svc_args({{"fileid", "999999"}}))["errorCode"], "804");

  struct { std::string name, code; } bad[] = {
      {"Colosseum.jpg", "808"}, {std::string(256, 'n'), "812"}, {"a/b", "822"},
      {"..", "822"},            {"", "822"},                    {"\xff\xfe", "822"}};
  for (auto &b : bad) {
    Flat r = call("createFile", svc_args({{"parentid", sub}, {"filename", b.name}, {"type", "0"}}));
    EXPECT_EQ(r["errorCode"], b.code) << b.name;
  }
  EXPECT_FALSE(call("createFile", svc_args({{"parentid", sub}, {"filename", std::string(255, 'n')},
                                             {"type", "0"}}))
                   .count("errorCode"));
  EXPECT_EQ(call("createFile", svc_args({{"parentid", sub}, {"filename", "huge"}, {"type", "0"},
                                          {"size", "20000000000"}}))["errorCode"],
            "817");

  std::string other = create(sub, "Forum.jpg", "0");
  EXPECT_EQ(call("moveFile", svc_args({{"fileid", other}, {"parentid", sub}, {"filename", "Colosseum.jpg"}}))
                ["errorCode"], "808");
  EXPECT_EQ(call("moveFile", svc_args({{"fileid", dir}, {"parentid", sub}, {"filename", "x"}}))
                ["errorCode"], "600");
  Flat moved = call("moveFile", svc_args({{"fileid", other}, {"parentid", dir}, {"filename", "Forum 2.jpg"}}));
  EXPECT_EQ(moved["file.parentid"], dir);
  EXPECT_EQ(moved["file.name"], "Forum 2.jpg");

  EXPECT_EQ(call("removeFile", svc_args({{"fileid", dir}, {"recurse", "0"}}))["errorCode"], "814");
  long status = 0;
  call("removeFile", svc_args({{"fileid", dir}, {"recurse", "1"}}), &status);
  EXPECT_EQ(status, 200);
  for (auto id : {dir, sub, f, other})
    EXPECT_EQ(call("getFile", svc_args({{"fileid", id}}))["errorCode"], "804");
  EXPECT_EQ(call("removeFile", svc_args({{"fileid", "0"}, {"recurse", "1"}}))["errorCode"], "805");
}

TEST_F(Rpc, FilesWithoutAFolderArePlacedByKindAndDate) {
  Flat r = call("createFile", svc_args({{"filename", "beach.jpg"}, {"type", "0"},
                                        {"mimetype", "image/jpeg"}, {"origtime", "1299500000000"}}));
  ASSERT_TRUE(r.count("file.fileid"));
  Flat placed = call("getFile", svc_args({{"parentid", "0"}, {"filename", "Photos/2011/03/beach.jpg"}}));
  EXPECT_EQ(placed["file.fileid"], r["file.fileid"]);
}

TEST_F(Rpc, ListFilesPagesSortsAndHides) {
  std::string dir = create("0", "List", "1");
  for (auto n : {"c", "a", "e", "b", "d", ".hidden"}) create(dir, n, "0");
  Pairs base = {{"parentid", dir}, {"maxcount", "2"}};
  auto page = [&](Pairs more) {
    Pairs a = base;
    a.insert(a.end(), more.begin(), more.end());
    return call("listFiles", svc_args(a));
  };
  Flat p0 = page({{"offset", "0"}, {"omitcount", "1"}});
  EXPECT_EQ(p0["count"], "2");
  EXPECT_FALSE(p0.count("total"));
  EXPECT_EQ(p0["files.0.name"], "a");
  EXPECT_EQ(p0["files.1.name"], "b");
  Flat p2 = page({{"pageoffset", "2"}});
  EXPECT_EQ(p2["count"], "1");
  EXPECT_EQ(p2["total"], "5");
  EXPECT_EQ(p2["files.0.name"], "e");
  Flat end = page({{"offset", "5"}});
  EXPECT_EQ(end["count"], "0");
  EXPECT_EQ(end["files.#"], "0");
  Flat hidden = page({{"offset", "0"}, {"showhidden", "1"}});
  EXPECT_EQ(hidden["files.0.name"], ".hidden");
  Flat desc = page({{"offset", "0"}, {"sortcrit", "-name"}});
  EXPECT_EQ(desc["files.0.name"], "e");
  EXPECT_EQ(call("listFiles", svc_args({{"parentid", "424242"}}))["errorCode"], "804");
  EXPECT_EQ(call("listFiles", svc_args({{"parentid", dir}, {"maxcount", "0"}}))["errorCode"], "601");
}

TEST_F(Rpc, UpdateFileSetsTimesAndSize) {
  std::string f = create("0", "notes.txt", "0");
  Flat r = call("updateFile", svc_args({{"fileid", f}, {"mtime", "1234"}, {"ctime", "99"}}));
  EXPECT_EQ(r["file.mtime"], "1234");
  EXPECT_EQ(r["file.ctime"], "99");
  EXPECT_EQ(call("updateFile", svc_args({{"fileid", f}, {"fsize", "10"}}))["file.size"], "10");
  Response body = http("GET", cloud.url + "/svc/files/" + kDev + "/" + kSvc + "/" + f, "",
                       {"Cookie: valtoken=demo-token;"});
  EXPECT_EQ(body.body, std::string(10, '\0'));
  EXPECT_EQ(call("updateFile", svc_args({{"fileid", f}, {"fsize", "3"}}))["file.size"], "3");
  EXPECT_EQ(call("updateFile", svc_args({{"fileid", f}, {"fsize", "20000000000"}}))["errorCode"], "817");
  EXPECT_EQ(call("updateFile", svc_args({{"fileid", f}, {"mtime", "soon"}}))["errorCode"], "600");
  EXPECT_EQ(call("updateFile", svc_args({{"fileid", "0"}, {"fsize", "1"}}))["errorCode"], "600");
}

TEST_F(Rpc, StatFSReportsTheServiceSpace) {
  Flat r = call("statFS", svc_args({}));
  EXPECT_EQ(r["bsize"], "4096");
  EXPECT_EQ(r["namelen"], "255");
  EXPECT_EQ(r["blocks"], std::to_string(10737418240LL / 4096));
  EXPECT_LT(std::stoll(r["bfree"]), std::stoll(r["blocks"]));
  Flat off = call("statFS", {{"valtoken", "demo-token"}, {"deviceid", kOfflineDev},
                             {"serviceid", kOfflineSvc}});
  EXPECT_EQ(off["errorCode"], "807");
}

TEST_F(Rpc, PacketEncodingCarriesTheSameMethods) {
  long status = 0;
  Flat r = packet(cloud.url, "getFile",
                  svc_args({{"parentid", "0"}, {"filename", "Documents/Welcome.txt"}}), &status);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(r["file.name"], "Welcome.txt");
  Flat l = packet(cloud.url, "listServices", {{"valtoken", "demo-token"}});
  EXPECT_EQ(l["services.#"], "4");
  EXPECT_EQ(l["services.0.name"], "Kexaro Cloud");
  Flat bad = packet(cloud.url, "getFile", svc_args({{"fileid", "31337"}}), &status);
  EXPECT_EQ(status, 500);
  EXPECT_EQ(bad["errorCode"], "804");
  EXPECT_EQ(bad["errorDescription"], "No such file");
  Response garbage = http("POST", cloud.url + "/svc/pktm/getFile", "\x2d\xff\xff",
                          {"Content-Type: application/octet-stream"});
  EXPECT_EQ(garbage.status, 500);
}

TEST(RpcFaults, FailSwitchFailsTheNextCallsAndVersionIsReported) {
  KxCloud cloud({"--fail", "getFile:2:608", "--service-version", "3.1.0.0"});
  std::string api = cloud.url + "/svc/api";
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(soap(api, "getFile", svc_args({{"fileid", "0"}}))["errorCode"], "608");
  EXPECT_EQ(soap(api, "getFile", svc_args({{"fileid", "0"}}))["file.fileid"], "0");
  EXPECT_EQ(soap(api, "getService", svc_args({}))["service.version"], "3.1.0.0");
}

TEST(RpcAgent, LocalAgentAnswersGetStatusOnItsSocket) {
  std::string name = "kxcloud-test-agent-" + std::to_string(getpid());
  KxCloud cloud({"--agent", name, "--agent-device", "den-pc"});
  std::string body =
      "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/"
      "envelope/\"><soapenv:Body><getStatus/></soapenv:Body></soapenv:Envelope>";
  Response r = http("POST", "http://vqzlvqzhbplug/svc/hbpctrl", body, {"SoapAction: getStatus"},
                    "/tmp/" + name);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("<deviceid xsi:type=\"xsd:string\">den-pc</deviceid>"), std::string::npos)
      << r.body;
}

TEST(RpcTls, ServesHttpsWithTheGivenCertificate) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl tool";
  char tmpl[] = "/tmp/kxcloud_tls.XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
                    dir + "/key.pem -out " + dir + "/cert.pem >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  {
    KxCloud cloud({"--tls", dir + "/cert.pem", dir + "/key.pem"});
    ASSERT_EQ(cloud.url.compare(0, 8, "https://"), 0) << cloud.url;
    Flat r = soap(cloud.url + "/svc/api", "getUser", {{"valtoken", "demo-token"}});
    EXPECT_EQ(r["user.email"], "demo@kexaro.test");
  }
  std::filesystem::remove_all(dir);
}

TEST(Signin, FormRedirectsWithTheTokenOrShowsTheError) {
  KxCloud cloud;
  Response form = http("GET", cloud.url + "/signin?return=vqzauth%3A%2F%2Fpostauth");
  EXPECT_EQ(form.status, 200);
  EXPECT_NE(form.body.find("<form"), std::string::npos);
  EXPECT_NE(form.body.find("value=\"vqzauth://postauth\""), std::string::npos);

  std::string ct = "Content-Type: application/x-www-form-urlencoded";
  Response wrong = http("POST", cloud.url + "/signin",
                        "return=vqzauth%3A%2F%2Fpostauth&email=demo%40kexaro.test&password=nope", {ct});
  EXPECT_EQ(wrong.status, 200);
  EXPECT_NE(wrong.body.find("Wrong e-mail address or password."), std::string::npos);

  Response ok = http("POST", cloud.url + "/signin",
                     "return=vqzauth%3A%2F%2Fpostauth&email=demo%40kexaro.test&password=demo", {ct});
  EXPECT_EQ(ok.status, 302);
  const std::string &loc = ok.headers["location"];
  const std::string prefix = "vqzauth://postauth#access_token=";
  ASSERT_EQ(loc.compare(0, prefix.size(), prefix), 0) << loc;
  size_t amp = loc.find("&expires_in=");
  ASSERT_NE(amp, std::string::npos);
  std::string token = loc.substr(prefix.size(), amp - prefix.size());
  EXPECT_EQ(soap(cloud.url + "/svc/api", "getUser", {{"valtoken", token}})["user.email"],
            "demo@kexaro.test");

  EXPECT_EQ(http("GET", cloud.url + "/signin?return=https%3A%2F%2Fevil.example%2F").status, 400);
  EXPECT_EQ(http("GET", cloud.url + "/signin?return=http%3A%2F%2Flocalhost.evil.example%2F").status, 400);
}

}  // namespace
