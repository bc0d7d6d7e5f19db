#include "kxcloud_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace kxtest {
namespace {

std::string xml_escape(const std::string &s) {
  std::string o;
  for (char c : s) {
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      default: o += c;
    }
  }
  return o;
}

const char *local(const char *n) {
  const char *c = std::strchr(n, ':');
  return c ? c + 1 : n;
}

bool is_list(const std::string &name) {
  return name == "files" || name == "services" || name == "albums";
}

void flatten(const pugi::xml_node &node, const std::string &prefix, Flat *out) {
  int index = 0;
  for (auto c = node.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    std::string name = local(c.name());
    std::string key = prefix + (is_list(local(node.name())) ? std::to_string(index++) : name);
    if (is_list(name) ||
        c.find_child([](const pugi::xml_node &n) { return n.type() == pugi::node_element; })) {
      (*out)[key] = "<map>";
      flatten(c, key + ".", out);
    } else {
      (*out)[key] = c.text().get();
    }
  }
  if (is_list(local(node.name()))) (*out)[prefix + "#"] = std::to_string(index);
}

size_t collect(char *p, size_t s, size_t n, void *u) {
  static_cast<std::string *>(u)->append(p, s * n);
  return s * n;
}

size_t header_line(char *p, size_t s, size_t n, void *u) {
  std::string line(p, s * n);
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon), value = line.substr(colon + 1);
    for (auto &ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    value.erase(0, value.find_first_not_of(' '));
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
    (*static_cast<std::map<std::string, std::string> *>(u))[name] = value;
  }
  return s * n;
}

// Minimal packet codec for the tests, written apart from the service's.
void varint(std::string *o, uint64_t v) {
  while (v >= 0x80) {
    o->push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  o->push_back(static_cast<char>(v));
}
void bytes_field(std::string *o, uint32_t f, int type, const std::string &b) {
  varint(o, static_cast<uint64_t>(f) << 3 | static_cast<uint64_t>(type));
  varint(o, b.size());
  *o += b;
}
bool get_varint(const std::string &s, size_t *p, uint64_t *v) {
  *v = 0;
  for (int sh = 0; *p < s.size() && sh < 64; sh += 7) {
    unsigned char b = static_cast<unsigned char>(s[(*p)++]);
    *v |= static_cast<uint64_t>(b & 0x7f) << sh;
    if (!(b & 0x80)) return true;
  }
  return false;
}
void decode(const std::string &msg, const std::string &prefix, Flat *out) {
  std::map<uint32_t, std::pair<int, std::string>> fields;
  size_t p = 0;
  while (p < msg.size()) {
    uint64_t key, len;
    if (!get_varint(msg, &p, &key)) return;
    int type = key & 7;
    if (type != 4 && type != 5) return;  // the service only writes strings and messages
    if (!get_varint(msg, &p, &len) || len > msg.size() - p) return;
    fields.emplace(static_cast<uint32_t>(key >> 3), std::make_pair(type, msg.substr(p, len)));
    p += len;
  }
  std::string kind = fields.count(0) ? fields[0].second : "";
  auto value = [&](const std::pair<int, std::string> &v, const std::string &key) {
    if (v.first == 5) {
      (*out)[key] = "<map>";
      decode(v.second, key + ".", out);
    } else {
      (*out)[key] = v.second;
    }
  };
  if (kind == "iter") {
    uint32_t i = 1;
    for (; fields.count(i); ++i) value(fields[i], prefix + std::to_string(i - 1));
    (*out)[prefix + "#"] = std::to_string(i - 1);
    return;
  }
  for (uint32_t k = 1; fields.count(k); k += 2)
    if (fields.count(k + 1)) value(fields[k + 1], prefix + fields[k].second);
}

}  // namespace

KxCloud::KxCloud(std::vector<std::string> e) : extra(std::move(e)) {
  char tmpl[] = "/tmp/kxcloud_test.XXXXXX";
  data = mkdtemp(tmpl);
  start();
}

KxCloud::~KxCloud() {
  stop();
  std::filesystem::remove_all(data);
}

void KxCloud::start() {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  std::vector<std::string> args = {KXCLOUD_BIN, "--data", data, "--seed", "demo"};
  args.insert(args.end(), extra.begin(), extra.end());
  pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  ASSERT_EQ(line.compare(0, 4, "http"), 0) << "kxcloud did not start: '" << line << "'";
  url = line;
  port = std::stoi(line.substr(line.rfind(':') + 1));
}

void KxCloud::stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
  pid = -1;
}

Response http(const std::string &method, const std::string &url, const std::string &body,
              const std::vector<std::string> &headers, const std::string &unix_socket) {
  Response r;
  CURL *c = curl_easy_init();
  curl_slist *h = nullptr;
  for (auto &x : headers) h = curl_slist_append(h, x.c_str());
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "POST" || method == "PUT") {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  if (!unix_socket.empty()) curl_easy_setopt(c, CURLOPT_UNIX_SOCKET_PATH, unix_socket.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, header_line);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 120L);
  r.curl = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  curl_slist_free_all(h);
  curl_easy_cleanup(c);
  return r;
}

Flat soap(const std::string &endpoint, const std::string &method, const Pairs &args,
          long *status) {
  std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><soapenv:Envelope "
      "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body><" +
      method + " soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
  for (auto &a : args)
    body += "<" + a.first + " xsi:type=\"xsd:string\">" + xml_escape(a.second) + "</" + a.first + ">";
  body += "</" + method + "></soapenv:Body></soapenv:Envelope>";
  Response r = http("POST", endpoint, body,
                    {"SoapAction: " + method, "Content-Type: text/xml; charset=\"utf-8\"",
                     "Transfer-Encoding: chunked"});
  if (status) *status = r.status;
  Flat out;
  pugi::xml_document doc;
  if (!doc.load_string(r.body.c_str())) return out;
  pugi::xml_node result = doc.find_node([&](const pugi::xml_node &n) {
    std::string name = local(n.name());
    return name == method + "Response" || name == "QXError";
  });
  flatten(result, "", &out);
  return out;
}

Flat packet(const std::string &base, const std::string &method, const Pairs &args,
            long *status) {
  std::string msg;
  bytes_field(&msg, 0, 4, "map");
  uint32_t f = 1;
  for (auto &a : args) {
    bytes_field(&msg, f++, 4, a.first);
    bytes_field(&msg, f++, 4, a.second);
  }
  Response r = http("POST", base + "/svc/pktm/" + method, msg,
                    {"Content-Type: application/octet-stream"});
  if (status) *status = r.status;
  Flat out;
  decode(r.body, "", &out);
  return out;
}

Pairs svc_args(const Pairs &more, const std::string &token) {
  Pairs p = {{"valtoken", token}, {"deviceid", kDev}, {"serviceid", kSvc}};
  p.insert(p.end(), more.begin(), more.end());
  return p;
}

RawConn::RawConn(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

RawConn::~RawConn() {
  if (fd_ >= 0) close(fd_);
}

bool RawConn::send(const std::string &bytes) {
  return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(bytes.size());
}

std::string RawConn::read_until(const std::string &until) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (pending_.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    pending_.append(buf, static_cast<size_t>(n));
  }
  size_t at = pending_.find(until);
  size_t end = at == std::string::npos ? pending_.size() : at + until.size();
  std::string out = pending_.substr(0, end);
  pending_.erase(0, end);
  return out;
}

bool RawConn::closed_by_peer() {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, 10000) <= 0) return false;
  char c;
  return recv(fd_, &c, 1, MSG_PEEK) == 0;
}

long peak_rss_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace kxtest
