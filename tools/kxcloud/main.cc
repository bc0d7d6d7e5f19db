// kxcloud - the reference cloud service on loopback, for tests and the demo.
//
//   kxcloud --data DIR [--listen HOST:PORT] [--seed demo] [--tls CERT KEY]
//           [--owner EMAIL] [--agent NAME [--agent-device ID]] [fault switches]
//
// The first line of output is the base URL it serves ("http://127.0.0.1:PORT").
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "api.h"
#include "files.h"
#include "httpd.h"
#include "seed.h"
#include "signin.h"
#include "store.h"

namespace {

const char kUsage[] =
    "usage: kxcloud --data DIR [options]\n"
    "  --listen HOST:PORT        address to serve (default 127.0.0.1:0, any free port)\n"
    "  --seed demo               create the demo data when the data folder is new\n"
    "  --tls CERT KEY            serve HTTPS with this certificate chain and key\n"
    "  --quota BYTES             with --seed: the size of every seeded service\n"
    "  --owner EMAIL             the account getOwnerAuth answers for\n"
    "  --agent NAME              also serve the local device agent on /tmp/NAME\n"
    "  --agent-device ID         the device id the agent reports (default den-pc)\n"
    "  --log                     one line per request on standard error\n"
    "fault switches:\n"
    "  --latency-ms N            wait N ms before handling each request\n"
    "  --ignore-range            answer ranged GETs with the whole file (200)\n"
    "  --refuse-uploads STATUS   answer uploads with STATUS instead of 100 Continue\n"
    "  --drop-after N            close a connection after N bytes of a response\n"
    "  --fail METHOD:COUNT:CODE  fail the next COUNT calls of METHOD with error CODE\n"
    "  --service-version V       the service version reported (default 4.0.0.0)\n";

int usage(const char *why) {
  std::fprintf(stderr, "kxcloud: %s\n%s", why, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace kxcloud;
  std::string data, listen = "127.0.0.1:0", seed, cert, key, owner, agent, agent_device = "den-pc";
  bool log = false;
  int64_t quota = 0;
  Faults faults;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](const char *what) -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kxcloud: %s needs %s\n", a.c_str(), what);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--data") data = next("a folder");
    else if (a == "--listen") listen = next("HOST:PORT");
    else if (a == "--seed") seed = next("a data set");
    else if (a == "--tls") { cert = next("CERT"); key = next("KEY"); }
    else if (a == "--quota") quota = std::atoll(next("a byte count"));
    else if (a == "--owner") owner = next("an e-mail address");
    else if (a == "--agent") agent = next("a socket name");
    else if (a == "--agent-device") agent_device = next("a device id");
    else if (a == "--log") log = true;
    else if (a == "--latency-ms") faults.latency_ms = std::atoi(next("milliseconds"));
    else if (a == "--ignore-range") faults.ignore_range = true;
    else if (a == "--refuse-uploads") faults.refuse_uploads = std::atoi(next("a status"));
    else if (a == "--drop-after") faults.drop_after = std::atoll(next("a byte count"));
    else if (a == "--service-version") faults.version = next("a version");
    else if (a == "--fail") {
      std::string spec = next("METHOD:COUNT:CODE");
      size_t c1 = spec.find(':'), c2 = spec.rfind(':');
      if (c1 == std::string::npos || c1 == c2) return usage("--fail wants METHOD:COUNT:CODE");
      faults.fail_method = spec.substr(0, c1);
      faults.fail_count = std::atoi(spec.substr(c1 + 1, c2 - c1 - 1).c_str());
      faults.fail_code = std::atoi(spec.substr(c2 + 1).c_str());
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      return usage(("unknown option " + a).c_str());
    }
  }
  if (data.empty()) return usage("--data is required");
  if (!seed.empty() && seed != "demo") return usage("the only data set is \"demo\"");
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return usage("--listen wants HOST:PORT");
  std::string host = listen.substr(0, colon);
  int port = std::atoi(listen.c_str() + colon + 1);

  // Signals are taken by one thread, so that workers never see them.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ::mkdir(data.c_str(), 0700);
  bool created = false;
  std::string error;
  auto store = Store::open(data, &created, &error);
  if (!store) {
    std::fprintf(stderr, "kxcloud: %s\n", error.c_str());
    return 1;
  }
  Content content(data);
  if (created && seed == "demo") {
    if (int rc = seed_demo(*store, content, quota)) {
      std::fprintf(stderr, "kxcloud: seeding failed with service error %d\n", rc);
      return 1;
    }
  }

  HttpServer server(&faults);
  if (!cert.empty() && !server.use_tls(cert, key, &error)) {
    std::fprintf(stderr, "kxcloud: %s\n", error.c_str());
    return 1;
  }
  int bound = server.bind_tcp(host, port);
  if (bound < 0) {
    std::fprintf(stderr, "kxcloud: cannot listen on %s\n", listen.c_str());
    return 1;
  }
  std::string base = std::string(server.tls() ? "https" : "http") + "://" + host + ":" +
                     std::to_string(bound);
  FileEndpoint files(*store, content, faults);
  Api api(*store, content, faults, base, owner);
  files.install(server);
  api.install(server);
  install_signin(server, *store);
  server.set_expect_100_continue_handler(
      [&files](const httplib::Request &req, httplib::Response &res) {
        return files.precheck(req, res);
      });
  server.set_keep_alive_max_count(SIZE_MAX);
  if (log)
    server.set_logger([](const httplib::Request &req, const httplib::Response &res) {
      std::fprintf(stderr, "kxcloud: %s %s -> %d\n", req.method.c_str(), req.path.c_str(),
                   res.status);
    });

  HttpServer agent_server(&faults);
  std::thread agent_thread;
  if (!agent.empty()) {
    install_agent(agent_server, agent_device);
    if (agent.find('/') != std::string::npos || !agent_server.bind_unix("/tmp/" + agent, &error)) {
      std::fprintf(stderr, "kxcloud: agent: %s\n", error.empty() ? "bad name" : error.c_str());
      return 1;
    }
    agent_thread = std::thread([&agent_server] { agent_server.run_unix(); });
  }

  std::thread signals([&] {
    int sig = 0;
    sigwait(&sigs, &sig);
    agent_server.stop_all();
    server.stop_all();
  });
  signals.detach();

  std::printf("%s\n", base.c_str());
  std::fflush(stdout);
  bool ok = server.run();
  agent_server.stop_all();
  if (agent_thread.joinable()) agent_thread.join();
  return ok ? 0 : 1;
}
