// web_bench: tarpon-web in front of a TLS gateway against the gateway
// straight, with refused changes (ALICE's current password as the new one:
// the host's 2004, HTTP 422, nothing written), each API change with an
// Idempotency-Key of its own, whose answer tarpon-web keeps.
//
//   sequence  one client, changes one after another, in alternating rounds:
//             the API over HTTPS with a new connection (a TLS handshake)
//             for each change, the API over one keep-alive connection, and
//             the gateway client library (ExchangeWithGateway) straight to
//             the gateway over TLS, a new connection each as tarponrc
//             makes. Changes a second, and the CPU time each process spends
//             on a change.
//   clients   50 clients at once, each from its own loopback address: the
//             API with keep-alive each, and the library straight to the
//             gateway; p50 and p99 of a change.
//
//   floods    one person's changes from one address, a new connection
//             each, while another address holds what it can of tarpon-web:
//             256 keep-alive connections each asking GET /healthz every 15
//             s, 300 idle TCP connections, 2,000 idle TLS connections; and
//             with no flood. p50, p99, answered of total; tarpon-web's RSS
//             and descriptors during and after. tarpon-web starts with 1,024
//             descriptors, systemd's default.
//
//   web_bench [--only sequence|clients|floods] [--rounds N] [--changes N]
//             [--clients N] [--client-changes N] [--programs DIR]
//
// The gateway runs with TLS and -proxy-from 127.0.0.1; tarpon-web reaches
// it over TLS with a PROXY header naming the browser, and the straight
// client sends the same header. Certificates are made in a temporary
// folder; every loop has a fixed count and every wait a deadline; all
// traffic goes to 127.0.0.0/8. Prints one Markdown table per benchmark.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "comm/proxy_header.h"
#include "comm/tls.h"
#include "gateway_client/gateway_exchange.h"
#include "tests/support/gateway_support.h"
#include "tests/support/tls_test_support.h"

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using bench::Median;
using bench::Seconds;

struct Options {
  std::string only;
  int rounds = 5;
  int changes = 300;       // per round and path, one client
  int clients = 50;        // at once
  int clientChanges = 30;  // per client, round and path
  std::string programs;
};

// The refused change, as the API takes it and as the gateway takes it.
const char kApiBody[] =
    R"({"user":"ALICE","currentPassword":"SECRET1","newPassword":"SECRET1",)"
    R"("destination":"hosta"})";
constexpr int kRefusedStatus = 422;

using bench::Percentile;

// User and system CPU seconds a process has used so far, or -1.
double CpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  size_t end = text.rfind(')');  // the command may hold blanks
  if (end == std::string::npos) return -1;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::strtod(field.c_str(), nullptr);  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// This process's CPU seconds, all threads.
double OwnCpuSeconds() {
  timespec ts = {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

sockaddr_storage Loopback(const std::string& text) {
  sockaddr_storage storage = {};
  auto* address = reinterpret_cast<sockaddr_in*>(&storage);
  address->sin_family = AF_INET;
  inet_pton(AF_INET, text.c_str(), &address->sin_addr);
  return storage;
}

// An HTTPS client of the API from one loopback address, as a browser's
// script would be: it verifies the server's certificate against the test
// CA and its name 127.0.0.1. Every operation runs under a 10 s deadline
// (Beast's tcp_stream), so nothing waits for ever.
std::atomic<long> keys{0};

class ApiClient {
 public:
  ApiClient(int port, const std::string& source, const std::string& ca)
      : port_(port), source_(source), tls_(ssl::context::tls_client) {
    tls_.load_verify_file(ca);
    tls_.set_verify_mode(ssl::verify_peer);
  }

  // One refused change; with keepAlive the connection stays open for the
  // next one, else it is closed after the answer. True when the answer is
  // 422 with the engine's 2004.
  bool Change(bool keepAlive) {
    if (!stream_ && !Connect()) return false;
    http::request<http::string_body> request{http::verb::post,
                                             "/api/v1/password-change", 11};
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::content_type, "application/json");
    request.keep_alive(keepAlive);
    // A key of its own for every change, as a careful client sends: the
    // server keeps each refusal's answer for a retry.
    request.set("Idempotency-Key", "bench-" + std::to_string(++keys));
    request.body() = kApiBody;
    request.prepare_payload();
    http::response<http::string_body> response;
    beast::error_code failed;
    Lowest().expires_after(std::chrono::seconds(10));
    http::async_write(*stream_, request,
                      [&failed](beast::error_code e, size_t) { failed = e; });
    Run();
    if (!failed) {
      http::async_read(*stream_, buffer_, response,
                       [&failed](beast::error_code e, size_t) { failed = e; });
      Run();
    }
    bool ok = !failed && response.result_int() == kRefusedStatus &&
              nlohmann::json::parse(response.body(), nullptr, false)
                      .value("code", -1) == bench::kRefusedCode;
    if (!ok || !keepAlive || !response.keep_alive()) Drop();
    return ok;
  }

 private:
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(*stream_); }
  void Run() {
    io_.restart();
    io_.run();
  }
  // A connection from source_ and a full TLS handshake on it.
  bool Connect() {
    stream_.emplace(io_, tls_);
    beast::error_code failed;
    tcp::socket& socket = Lowest().socket();
    socket.open(tcp::v4(), failed);
    int on = 1;
    setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on,
               sizeof on);
    if (!failed) socket.bind({asio::ip::make_address(source_), 0}, failed);
    if (failed) return Drop();
    stream_->set_verify_callback(ssl::host_name_verification("127.0.0.1"));
    Lowest().expires_after(std::chrono::seconds(10));
    Lowest().async_connect(
        {asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port_)},
        [&failed](beast::error_code e) { failed = e; });
    Run();
    if (!failed) {
      stream_->async_handshake(ssl::stream_base::client,
                               [&failed](beast::error_code e) { failed = e; });
      Run();
    }
    return failed ? Drop() : true;
  }
  // Closes the connection without a closing alert, as a browser may.
  bool Drop() {
    if (stream_) {
      beast::error_code ignored;
      Lowest().socket().close(ignored);
      stream_.reset();
    }
    buffer_.clear();
    return false;
  }

  int port_;
  std::string source_;
  asio::io_context io_{1};
  ssl::context tls_;
  std::optional<beast::ssl_stream<beast::tcp_stream>> stream_;
  beast::flat_buffer buffer_;
};

// One refused change through the gateway client library, a new TLS
// connection, with the PROXY header tarpon-web would send for source.
bool DirectChange(const TlsContext& tls, const std::string& source) {
  GatewayRequest request;
  request.host = "127.0.0.1";
  request.service = "tarponGateway";
  request.options = Secret(std::string(bench::kRefusedChange));
  request.timeoutSeconds = 10;
  request.prelude = EncodeProxyV2(Loopback(source), Loopback("127.0.0.1"));
  request.tls = &tls;
  GatewayAnswer answer;
  int code = ExchangeWithGateway(request, &answer);
  return answer.failure == GatewayFailure::kNone && code == bench::kRefusedCode;
}

// The gateway with TLS and tarpon-web in front of it, on loopback ports.
struct Setup {
  tls_test::TestCertificates certificates;
  e2e::Sandbox box;
  std::unique_ptr<bench::Gateway> gateway;
  std::unique_ptr<e2e::Background> web;
  std::unique_ptr<TlsContext> tls;  // the straight client's
  std::unique_ptr<tls_test::TlsEnvironment> environment;
  int webPort = -1;

  bool Start(const Options& options) {
    if (!certificates.Ok()) return false;
    gateway = std::make_unique<bench::Gateway>(
        box, options.programs, "gateway",
        std::vector<std::string>{
            "TARPON_TLS_CERT=" + certificates.Path("gateway.pem"),
            "TARPON_TLS_KEY=" + certificates.Path("gateway.key")},
        std::vector<std::string>{"-proxy-from", "127.0.0.1"});
    if (!gateway->Started()) {
      std::fprintf(stderr, "web_bench: no gateway: %s\n",
                   box.Read("gateway.err").c_str());
      return false;
    }
    webPort = e2e::FreeLoopbackPort();
    std::vector<std::string> webEnv = {
        "TARPON_SNA_NODE=" + box.Path("sna-node.conf"),
        "TARPON_SERVICES=" + box.Path("gateway.services"),
        "TARPON_TLS_CA=" + certificates.Path("ca.pem")};
    web = std::make_unique<e2e::Background>(
        options.programs + "/tarpon-web",
        std::vector<std::string>{
            "-listen", "127.0.0.1:" + std::to_string(webPort), "-cert",
            certificates.Path("gateway.pem"), "-key",
            certificates.Path("gateway.key"), "-gateway",
            "127.0.0.1:tarponGateway", "-destinations", "hosta=Host A",
            "-assets", TARPON_SOURCE_DIR "/web/assets"},
        webEnv, box.Path("web.out"), box.Path("web.err"));
    if (!e2e::WaitForPort(webPort, 10000)) {
      std::fprintf(stderr, "web_bench: no tarpon-web: %s\n",
                   box.Read("web.err").c_str());
      return false;
    }
    // The straight client reads the same services file and trusts the
    // same CA as tarpon-web, for as long as the set-up lives.
    environment = std::make_unique<tls_test::TlsEnvironment>(
        std::vector<std::pair<std::string, std::string>>{
            {"TARPON_SERVICES", box.Path("gateway.services")},
            {"TARPON_TLS_CA", certificates.Path("ca.pem")}});
    std::string error;
    tls = TlsContext::ClientFromEnvironment(&error);
    if (!tls) {
      std::fprintf(stderr, "web_bench: client TLS: %s\n", error.c_str());
      return false;
    }
    bench::WaitForNodeToSettle();
    return true;
  }
};

int Sequence(const Options& options) {
  Setup setup;
  if (!setup.Start(options)) return 1;
  const std::string ca = setup.certificates.Path("ca.pem");
  ApiClient api(setup.webPort, "127.0.0.1", ca);
  enum Kind { kNewConnection, kKeepAlive, kDirect };
  struct Path {
    const char* name;
    Kind kind;
    std::vector<double> rates;
    long failed = 0;
    long changes = 0;
    double webCpu = 0, gatewayCpu = 0, clientCpu = 0;
  } paths[] = {{"API over HTTPS, a new connection each", kNewConnection, {}},
               {"API over HTTPS, keep-alive", kKeepAlive, {}},
               {"library straight to the gateway over TLS", kDirect, {}}};
  const TlsContext& tls = *setup.tls;
  auto one = [&](Kind kind) {
    switch (kind) {
      case kNewConnection:
        return api.Change(false);
      case kKeepAlive:
        return api.Change(true);
      case kDirect:
        return DirectChange(tls, "127.0.0.1");
    }
    return false;
  };
  for (int round = -1; round < options.rounds; ++round) {
    for (Path& path : paths) {
      int count = round < 0 ? 50 : options.changes;  // round -1: warm-up
      double web = CpuSeconds(setup.web->pid());
      double gateway = CpuSeconds(setup.gateway->Pid());
      double own = OwnCpuSeconds();
      double start = Seconds();
      long failed = 0;
      for (int i = 0; i < count; ++i) {
        if (!one(path.kind)) ++failed;
      }
      double seconds = Seconds() - start;
      if (path.kind == kKeepAlive) api.Change(false);  // closes it
      if (round < 0) continue;
      path.rates.push_back(count / seconds);
      path.failed += failed;
      path.changes += count;
      path.webCpu += CpuSeconds(setup.web->pid()) - web;
      path.gatewayCpu += CpuSeconds(setup.gateway->Pid()) - gateway;
      path.clientCpu += OwnCpuSeconds() - own;
    }
  }
  std::printf("\n### One client: the API against the gateway straight\n\n");
  std::printf(
      "%d alternating rounds of %d refused changes one after another per "
      "path, after 50 of each to warm up; TLS 1.3 everywhere. tarpon-web "
      "resumes its session with the gateway; the library straight makes a "
      "full handshake each time, as tarponrc, a new process for each "
      "change, does.\n\n",
      options.rounds, options.changes);
  std::printf(
      "| path | median changes/s | best | failed | of straight | CPU ms a "
      "change: tarpon-web | tarpons | client |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|\n");
  double straight = Median(paths[kDirect].rates);
  for (const Path& path : paths) {
    double n = static_cast<double>(path.changes);
    std::printf("| %s | %.0f | %.0f | %ld | %.2f | %.3f | %.3f | %.3f |\n",
                path.name, Median(path.rates),
                *std::max_element(path.rates.begin(), path.rates.end()),
                path.failed, Median(path.rates) / straight,
                path.webCpu * 1000 / n, path.gatewayCpu * 1000 / n,
                path.clientCpu * 1000 / n);
  }
  std::fflush(stdout);
  return paths[0].failed + paths[1].failed + paths[2].failed == 0 ? 0 : 1;
}

// The times in ms of each change, of the changes after each client's
// first in a round (on an open connection through tarpon-web), and the
// failures.
struct Times {
  std::vector<double> ms;
  std::vector<double> later;
  long failed = 0;
};

// options.clients threads, client c from 127.2.0.(2 + c), each making
// count changes one after another; api: through tarpon-web with one
// keep-alive connection each, else straight to the gateway.
Times ManyClients(const Setup& setup, const Options& options, bool api,
                  int count, double* seconds) {
  std::vector<Times> each(static_cast<size_t>(options.clients));
  std::vector<std::thread> threads;
  const std::string ca = setup.certificates.Path("ca.pem");
  double start = Seconds();
  for (int c = 0; c < options.clients; ++c) {
    threads.emplace_back([&, c] {
      std::string source = "127.2.0." + std::to_string(2 + c);
      Times& times = each[static_cast<size_t>(c)];
      std::optional<ApiClient> client;
      if (api) client.emplace(setup.webPort, source, ca);
      for (int i = 0; i < count; ++i) {
        double began = Seconds();
        bool ok = api ? client->Change(i + 1 < count)
                      : DirectChange(*setup.tls, source);
        times.ms.push_back((Seconds() - began) * 1000);
        if (i > 0) times.later.push_back(times.ms.back());
        if (!ok) ++times.failed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  *seconds = Seconds() - start;
  Times all;
  for (const Times& times : each) {
    all.ms.insert(all.ms.end(), times.ms.begin(), times.ms.end());
    all.later.insert(all.later.end(), times.later.begin(), times.later.end());
    all.failed += times.failed;
  }
  return all;
}

int Clients(const Options& options) {
  Setup setup;
  if (!setup.Start(options)) return 1;
  struct Path {
    const char* name;
    bool api;
    std::vector<double> rates;
    Times times;
  } paths[] = {{"API over HTTPS, keep-alive each", true, {}, {}},
               {"library straight to the gateway over TLS", false, {}, {}}};
  int perRound = options.clientChanges;
  for (int round = -1; round < options.rounds; ++round) {
    for (Path& path : paths) {
      double seconds = 0;
      Times times = ManyClients(setup, options, path.api,
                                round < 0 ? 3 : perRound, &seconds);
      if (round < 0) continue;  // warm-up
      path.rates.push_back(static_cast<double>(times.ms.size()) / seconds);
      path.times.ms.insert(path.times.ms.end(), times.ms.begin(),
                           times.ms.end());
      path.times.later.insert(path.times.later.end(), times.later.begin(),
                              times.later.end());
      path.times.failed += times.failed;
    }
  }
  std::printf("\n### %d clients at once\n\n", options.clients);
  std::printf(
      "%d alternating rounds; each client (its own loopback address) makes "
      "%d refused changes one after another per round; through tarpon-web "
      "on one keep-alive connection per client and round.\n\n",
      options.rounds, perRound);
  std::printf(
      "| path | changes | p50 ms | p99 ms | max ms | p99 ms, not a "
      "client's first | failed | median changes/s |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Path& path : paths) {
    std::printf("| %s | %zu | %.2f | %.2f | %.2f | %.2f | %ld | %.0f |\n",
                path.name, path.times.ms.size(), Percentile(path.times.ms, 0.5),
                Percentile(path.times.ms, 0.99), Percentile(path.times.ms, 1.0),
                Percentile(path.times.later, 0.99), path.times.failed,
                Median(path.rates));
  }
  std::fflush(stdout);
  return paths[0].times.failed + paths[1].times.failed == 0 ? 0 : 1;
}

// A flood from one loopback address: it holds up to count connections to
// tarpon-web, opening new ones (at most 64 a sweep) as the server closes
// them, while running is set. Plain TCP left idle, TLS left idle after the
// handshake, or TLS keep-alive asking GET /healthz every 15 s.
struct Flood {
  const char* name;
  int count;
  bool tls;
  bool healthz;
  int addresses = 1;  // 127.0.0.2, else 127.0.0.10 and up, in turn
};

class Flooder {
 public:
  Flooder(const Flood& flood, int port)
      : flood_(flood), port_(port), tls_(ssl::context::tls_client) {
    tls_.set_verify_mode(ssl::verify_none);
  }
  ~Flooder() { Stop(); }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    held_.clear();
  }
  long opened() const { return opened_; }

 private:
  struct Held {
    std::unique_ptr<ssl::stream<tcp::socket>> stream;
    double askedAt = 0;
  };

  void Run() {
    while (running_) {
      double now = Seconds();
      for (auto it = held_.begin(); it != held_.end();) {
        it = Alive(&*it, now) ? std::next(it) : held_.erase(it);
      }
      for (int i = 0; i < 64 && static_cast<int>(held_.size()) < flood_.count;
           ++i) {
        Held held;
        if (!Open(&held)) break;
        held_.push_back(std::move(held));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  bool Open(Held* held) {
    held->stream = std::make_unique<ssl::stream<tcp::socket>>(io_, tls_);
    tcp::socket& socket = held->stream->next_layer();
    beast::error_code failed;
    socket.open(tcp::v4(), failed);
    int on = 1;
    setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on,
               sizeof on);
    timeval timeout = {2, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout,
               sizeof timeout);
    const std::string from =
        flood_.addresses <= 1
            ? std::string("127.0.0.2")
            : "127.0.0." + std::to_string(10 + opened_ % flood_.addresses);
    if (!failed) socket.bind({asio::ip::make_address(from), 0}, failed);
    if (!failed) {
      socket.connect(
          {asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port_)},
          failed);
    }
    if (!failed && flood_.tls) {
      held->stream->handshake(ssl::stream_base::client, failed);
    }
    ++opened_;
    return !failed && (!flood_.healthz || Ask(held));
  }

  bool Ask(Held* held) {
    static const char kAsk[] =
        "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    beast::error_code failed;
    asio::write(*held->stream, asio::buffer(kAsk, sizeof kAsk - 1), failed);
    http::response<http::string_body> answer;
    beast::flat_buffer buffer;
    if (!failed) http::read(*held->stream, buffer, answer, failed);
    held->askedAt = Seconds();
    return !failed;
  }

  // A connection the server has begun to close (any byte unasked for, or
  // the end) is let go.
  bool Alive(Held* held, double now) {
    char byte;
    ssize_t n = recv(held->stream->next_layer().native_handle(), &byte, 1,
                     MSG_PEEK | MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    return !flood_.healthz || now - held->askedAt < 15 || Ask(held);
  }

  Flood flood_;
  int port_;
  asio::io_context io_;
  ssl::context tls_;
  std::vector<Held> held_;
  std::atomic<bool> running_{true};
  long opened_ = 0;
  std::thread thread_;
};

// tarpon-web's resident memory in MB.
double ResidentMb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtod(line.c_str() + 6, nullptr) / 1024;
    }
  }
  return -1;
}

int Floods(const Options& options) {
  // tarpon-web inherits systemd's default soft limit; the flooder then
  // takes what it needs.
  rlimit limit = {};
  getrlimit(RLIMIT_NOFILE, &limit);
  rlimit web = limit;
  web.rlim_cur = std::min<rlim_t>(1024, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &web);
  Setup setup;
  bool started = setup.Start(options);
  setrlimit(RLIMIT_NOFILE, &limit);
  if (!started) return 1;
  const std::string ca = setup.certificates.Path("ca.pem");
  const int pid = setup.web->pid();
  const Flood floods[] = {
      {"none", 0, false, false},
      {"256 keep-alive TLS, GET /healthz every 15 s", 256, true, true},
      {"300 idle TCP", 300, false, false},
      {"2,000 idle TLS", 2000, true, false},
      {"100 addresses x 30 idle TCP", 3000, false, false, 100},
  };
  std::printf(
      "\n### One person while one address, or a hundred, flood tarpon-web\n\n");
  std::printf(
      "One person from 127.0.0.3 makes %d refused changes one after "
      "another, a new HTTPS connection each, while 127.0.0.2 (or "
      "127.0.0.10-109) holds what it "
      "can (after 5 s of flooding); tarpon-web's defaults (256 connections, "
      "32 a source, 5 s idle keep-alive) with 1,024 descriptors.\n\n",
      options.changes / 10);
  std::printf(
      "| flood | answered | p50 ms | p99 ms | max ms | connections the "
      "flood opened | RSS MB during | descriptors during | RSS MB after | "
      "descriptors after |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int failures = 0;
  for (const Flood& flood : floods) {
    Flooder flooder(flood, setup.webPort);
    if (flood.count > 0) {
      flooder.Start();
      std::this_thread::sleep_for(std::chrono::seconds(5));
    }
    ApiClient person(setup.webPort, "127.0.0.3", ca);
    std::vector<double> ms;
    int count = options.changes / 10;
    int answered = 0;
    double rss = 0;
    int descriptors = 0;
    for (int i = 0; i < count; ++i) {
      double began = Seconds();
      if (person.Change(false)) ++answered;
      ms.push_back((Seconds() - began) * 1000);
      if (i == count / 2) {
        rss = ResidentMb(pid);
        descriptors = e2e::OpenDescriptors(pid);
      }
    }
    long opened = flooder.opened();
    flooder.Stop();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf(
        "| %s | %d/%d | %.1f | %.1f | %.1f | %ld | %.1f | %d | %.1f | "
        "%d |\n",
        flood.name, answered, count, Percentile(ms, 0.5), Percentile(ms, 0.99),
        Percentile(ms, 1.0), opened, rss, descriptors, ResidentMb(pid),
        e2e::OpenDescriptors(pid));
    std::fflush(stdout);
    if (answered != count) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.programs = bench::OwnFolder() + "/../programs";
  if (!bench::ParseOptions(
          argc, argv,
          {bench::Text("--only", &options.only),
           bench::Text("--programs", &options.programs),
           bench::Whole("--rounds", &options.rounds, 1, 100000),
           bench::Whole("--changes", &options.changes, 1, 100000),
           bench::Whole("--client-changes", &options.clientChanges, 1, 100000),
           bench::Whole("--clients", &options.clients, 1, 250)})) {
    std::fprintf(stderr,
                 "usage: web_bench [--only sequence|clients|floods] "
                 "[--rounds N] "
                 "[--changes N] [--clients N] [--client-changes N] "
                 "[--programs DIR]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  int failures = 0;
  if (options.only.empty() || options.only == "sequence") {
    failures += Sequence(options);
  }
  if (options.only.empty() || options.only == "clients") {
    failures += Clients(options);
  }
  if (options.only.empty() || options.only == "floods") {
    failures += Floods(options);
  }
  return failures == 0 ? 0 : 1;
}
