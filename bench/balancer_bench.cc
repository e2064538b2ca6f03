// balancer_bench: gateways behind HAProxy, run with the shipped
// dist/haproxy/tarpons.cfg on loopback ports (its edge rate limit off).
//
//   spread   64 clients, each from its own loopback address, making refused
//            changes through HAProxy to two gateways, against the same
//            straight to one gateway; rounds alternate. Sessions per
//            second and each session's p50 and p99.
//   restart  one client's refused changes through HAProxy, p50 and p99,
//            while each gateway in turn gets SIGTERM and is started again
//            on its port, against as many changes without a restart.
//   metrics  sequential help requests straight to a gateway with -metrics
//            and to one without; rounds alternate.
//
//   balancer_bench [--only spread|restart|metrics] [--rounds N]
//                  [--sessions N] [--programs DIR] [--haproxy FILE]
//
// Every loop has a fixed count and every wait a deadline; all traffic goes
// to 127.0.0.0/8. Prints one Markdown table per benchmark.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "comm/connection.h"
#include "comm/record_assembler.h"
#include "comm/record_format.h"
#include "gateway_client/gateway_client.h"
#include "tests/support/gateway_support.h"
#include "tests/support/haproxy_support.h"

namespace {

using bench::Median;
using bench::Seconds;

struct Options {
  std::string only;
  int rounds = 5;
  int sessions = 40;  // per client and round in spread
  std::string programs;
  std::string haproxyConfig = TARPON_SOURCE_DIR "/dist/haproxy/tarpons.cfg";
};

using bench::Percentile;

// A connection from source to 127.0.0.1:port, or -1. The source port is
// chosen at connect, not at bind, so that the tens of thousands of
// connections a run leaves in TIME_WAIT do not use up the ports.
int ConnectFrom(const std::string& source, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in from = {};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One session from source to 127.0.0.1:port: the request as one record,
// then the reply record within 10 s. True when its code is the expected one.
bool SessionFrom(const std::string& source, int port, const char* request,
                 const char* code) {
  int fd = ConnectFrom(source, port);
  if (fd < 0) return false;
  const char userData[record_format::kUserDataLength] = {};
  std::string record = record_format::EncodeDataRecord(
      userData, request, static_cast<uint32_t>(std::strlen(request)));
  bool ok = send(fd, record.data(), record.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(record.size());
  RecordAssembler reply(GATEWAY_CLIENT_REPLY_SIZE);
  double deadline = Seconds() + 10;
  while (ok && !reply.IsDone() && Seconds() < deadline) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) != 1) continue;
    char bytes[4096];
    ssize_t n = recv(fd, bytes, std::min(reply.Wanted(), sizeof bytes), 0);
    if (n <= 0) break;
    reply.Take(bytes, static_cast<size_t>(n));
  }
  close(fd);
  return reply.IsDone() && reply.GetResult() == Connection::COMM_OK &&
         std::strncmp(reply.GetUserData(), code, 4) == 0;
}

// The times in ms of sessions and how many failed.
struct Times {
  std::vector<double> ms;
  long failed = 0;
  void Add(const Times& other) {
    ms.insert(ms.end(), other.ms.begin(), other.ms.end());
    failed += other.failed;
  }
};

// A tarpons on a fixed loopback port that can be stopped and started again
// there; it trusts PROXY headers from 127.0.0.1.
class Gateway {
 public:
  Gateway(const e2e::Sandbox& box, const std::string& programs,
          const std::string& name, std::vector<std::string> args = {})
      : box_(box),
        programs_(programs),
        name_(name),
        port_(e2e::FreeLoopbackPort()),
        metricsPort_(e2e::FreeLoopbackPort()),
        args_(std::move(args)) {
    box.Write(name + ".services",
              "tarponGateway " + std::to_string(port_) + "/tcp\n");
    // The balancer's health checks ask the metrics listener's /readyz.
    args_.insert(args_.end(), {"-proxy-from", "127.0.0.1", "-metrics",
                               "127.0.0.1:" + std::to_string(metricsPort_)});
  }
  bool Start() {
    std::string log = name_ + "-" + std::to_string(++starts_);
    process_ =
        e2e::StartGateway(programs_ + "/tarpons", box_, log,
                          {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
                           "TARPON_SERVICES=" + box_.Path(name_ + ".services")},
                          args_);
    return process_ != nullptr;
  }
  // SIGTERM, then waits (bounded) for the exit; true on status 0.
  bool Stop() {
    kill(process_->pid(), SIGTERM);
    return process_->Wait(10000) == 0;
  }
  int Port() const { return port_; }
  int MetricsPort() const { return metricsPort_; }

 private:
  const e2e::Sandbox& box_;
  std::string programs_;
  std::string name_;
  int port_;
  int metricsPort_;
  std::vector<std::string> args_;
  int starts_ = 0;
  std::unique_ptr<e2e::Background> process_;
};

// HAProxy with the shipped configuration in front of two gateways; null
// when it did not start.
std::unique_ptr<e2e::Background> StartHaproxy(const Options& options,
                                              const e2e::Sandbox& box,
                                              int front, const Gateway& gw1,
                                              const Gateway& gw2) {
  std::string config = e2e::LoopbackHaproxyConfig(
      options.haproxyConfig, front, gw1.Port(), gw2.Port(), gw1.MetricsPort(),
      gw2.MetricsPort());
  if (config.empty()) return nullptr;
  box.Write("haproxy.cfg", config);
  auto haproxy = std::make_unique<e2e::Background>(
      e2e::FindHaproxy(),
      std::vector<std::string>{"-db", "-f", box.Path("haproxy.cfg")},
      std::vector<std::string>{}, box.Path("haproxy.out"),
      box.Path("haproxy.err"));
  if (!e2e::WaitForPort(front, 10000)) return nullptr;
  return haproxy;
}

// clients threads, each from its own loopback address 127.2.0.x, making
// count refused changes one after another to port.
Times ManyClients(int port, int clients, int count, double* seconds) {
  std::vector<Times> each(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  double start = Seconds();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      std::string source = "127.2.0." + std::to_string(2 + c);
      for (int i = 0; i < count; ++i) {
        double began = Seconds();
        bool ok = SessionFrom(source, port, bench::kRefusedChange, "2004");
        each[static_cast<size_t>(c)].ms.push_back((Seconds() - began) * 1000);
        if (!ok) ++each[static_cast<size_t>(c)].failed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  *seconds = Seconds() - start;
  Times all;
  for (const Times& times : each) all.Add(times);
  return all;
}

void PrintRow(const char* name, const Times& times, const char* extra) {
  std::printf("| %s | %zu | %.2f | %.2f | %.2f | %ld |%s\n", name,
              times.ms.size(), Percentile(times.ms, 0.5),
              Percentile(times.ms, 0.99), Percentile(times.ms, 1.0),
              times.failed, extra);
}

int SpreadBench(const Options& options) {
  e2e::Sandbox box;
  bench::WriteNode(box);
  Gateway gw1(box, options.programs, "gw1");
  Gateway gw2(box, options.programs, "gw2");
  int front = e2e::FreeLoopbackPort();
  if (!gw1.Start() || !gw2.Start()) return 1;
  auto haproxy = StartHaproxy(options, box, front, gw1, gw2);
  if (!haproxy) return 1;
  bench::WaitForNodeToSettle();
  constexpr int kClients = 64;
  struct Target {
    const char* name;
    int port;
    std::vector<double> rates;
    Times times;
  } targets[] = {{"straight to one gateway", gw1.Port(), {}, {}},
                 {"through HAProxy to two", front, {}, {}}};
  for (Target& target : targets) {  // warm-up
    double seconds = 0;
    ManyClients(target.port, kClients, 5, &seconds);
  }
  for (int round = 0; round < options.rounds; ++round) {
    for (Target& target : targets) {
      double seconds = 0;
      Times times =
          ManyClients(target.port, kClients, options.sessions, &seconds);
      target.rates.push_back(static_cast<double>(times.ms.size()) / seconds);
      target.times.Add(times);
    }
  }
  std::printf("\n### %d clients at once: HAProxy and two gateways\n\n",
              kClients);
  std::printf(
      "%d alternating rounds; each client (its own address) makes %d refused "
      "changes one after another per round.\n\n",
      options.rounds, options.sessions);
  std::printf(
      "| path | sessions | p50 ms | p99 ms | max ms | failed | median "
      "sessions/s | of straight |\n|---|---:|---:|---:|---:|---:|---:|---:|\n");
  double straight = Median(targets[0].rates);
  for (const Target& target : targets) {
    char extra[64];
    std::snprintf(extra, sizeof extra, " %.0f | %.2f |", Median(target.rates),
                  Median(target.rates) / straight);
    PrintRow(target.name, target.times, extra);
  }
  std::fflush(stdout);
  return targets[0].times.failed + targets[1].times.failed == 0 ? 0 : 1;
}

// The health checks (PROXY v2 LOCAL) that the gateway whose metrics are on
// metricsPort has answered, or -1.
long HealthChecks(int metricsPort) {
  std::string text = e2e::HttpGet(metricsPort, "/metrics");
  if (text.empty()) return -1;
  const char name[] = "\ntarpons_proxy_health_checks_total ";
  size_t at = text.find(name);
  return at == std::string::npos
             ? -1
             : std::strtol(text.c_str() + at + sizeof name - 1, nullptr, 10);
}

// Restarts gateway: SIGTERM, its exit, a start on the same port, and two
// health checks answered (the configuration's rise), so that HAProxy sends
// it clients again. False when a step did not happen in time.
bool Restart(Gateway& gateway, int metricsPort) {
  if (!gateway.Stop() || !gateway.Start()) return false;
  double deadline = Seconds() + 15;
  while (HealthChecks(metricsPort) < 2 && Seconds() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return HealthChecks(metricsPort) >= 2;
}

int RestartBench(const Options& options) {
  e2e::Sandbox box;
  bench::WriteNode(box);
  int metrics[2] = {e2e::FreeLoopbackPort(), e2e::FreeLoopbackPort()};
  Gateway gw1(box, options.programs, "gw1",
              {"-metrics", "127.0.0.1:" + std::to_string(metrics[0])});
  Gateway gw2(box, options.programs, "gw2",
              {"-metrics", "127.0.0.1:" + std::to_string(metrics[1])});
  int front = e2e::FreeLoopbackPort();
  if (!gw1.Start() || !gw2.Start()) return 1;
  auto haproxy = StartHaproxy(options, box, front, gw1, gw2);
  if (!haproxy) return 1;
  bench::WaitForNodeToSettle();

  // The client runs while the gateways restart one after the other, for at
  // most 60 s; then as many changes again without a restart.
  std::atomic<bool> restarting(true);
  Times during;
  std::thread client([&] {
    double deadline = Seconds() + 60;
    while (restarting && Seconds() < deadline) {
      double began = Seconds();
      if (!SessionFrom("127.0.0.1", front, bench::kRefusedChange, "2004")) {
        ++during.failed;
      }
      during.ms.push_back((Seconds() - began) * 1000);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  bool restarted = Restart(gw1, metrics[0]) && Restart(gw2, metrics[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  restarting = false;
  client.join();
  Times calm;
  for (size_t i = 0; i < during.ms.size(); ++i) {
    double began = Seconds();
    if (!SessionFrom("127.0.0.1", front, bench::kRefusedChange, "2004")) {
      ++calm.failed;
    }
    calm.ms.push_back((Seconds() - began) * 1000);
  }
  std::printf(
      "\n### One client through HAProxy while the gateways restart\n\n");
  std::printf(
      "Refused changes one after another; each gateway in turn gets SIGTERM, "
      "is started again on its port and waits for two health checks.%s\n\n",
      restarted ? "" : " A restart did not complete in time.");
  std::printf(
      "| run | sessions | p50 ms | p99 ms | max ms | failed |\n"
      "|---|---:|---:|---:|---:|---:|\n");
  PrintRow("no restart", calm, "");
  PrintRow("both gateways restarted", during, "");
  std::fflush(stdout);
  return restarted ? 0 : 1;
}

int MetricsBench(const Options& options) {
  e2e::Sandbox box;
  bench::WriteNode(box);
  int metricsPort = e2e::FreeLoopbackPort();
  Gateway off(box, options.programs, "off");
  Gateway on(box, options.programs, "on",
             {"-metrics", "127.0.0.1:" + std::to_string(metricsPort)});
  if (!off.Start() || !on.Start()) return 1;
  constexpr int kSessions = 2000;
  struct Target {
    const char* name;
    int port;
    std::vector<double> rates;
    long failed = 0;
  } targets[] = {{"-metrics off", off.Port(), {}},
                 {"-metrics on", on.Port(), {}}};
  for (int round = -1; round < 2 * options.rounds; ++round) {
    for (Target& target : targets) {
      double start = Seconds();
      long failed = 0;
      for (int i = 0; i < kSessions; ++i) {
        if (!SessionFrom("127.0.0.2", target.port, bench::kHelpRequest,
                         "0004")) {
          ++failed;
        }
      }
      if (round < 0) continue;  // warm-up
      target.rates.push_back(kSessions / (Seconds() - start));
      target.failed += failed;
    }
  }
  std::printf("\n### The cost of the metrics\n\n");
  std::printf(
      "%d alternating rounds of %d sequential help requests (-?) to a "
      "gateway with -metrics and to one without, from 127.0.0.2; nothing "
      "scrapes.\n\n",
      2 * options.rounds, kSessions);
  std::printf(
      "| gateway | median sessions/s | best | failed | of off |\n"
      "|---|---:|---:|---:|---:|\n");
  double base = Median(targets[0].rates);
  for (const Target& target : targets) {
    std::printf("| %s | %.0f | %.0f | %ld | %.3f |\n", target.name,
                Median(target.rates),
                *std::max_element(target.rates.begin(), target.rates.end()),
                target.failed, Median(target.rates) / base);
  }
  std::fflush(stdout);
  return targets[0].failed + targets[1].failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.programs = bench::OwnFolder() + "/../programs";
  if (!bench::ParseOptions(
          argc, argv,
          {bench::Text("--only", &options.only),
           bench::Text("--programs", &options.programs),
           bench::Text("--haproxy", &options.haproxyConfig),
           bench::Whole("--rounds", &options.rounds, 1, 100000),
           bench::Whole("--sessions", &options.sessions, 1, 100000)})) {
    std::fprintf(stderr,
                 "usage: balancer_bench [--only spread|restart|metrics] "
                 "[--rounds N] [--sessions N] [--programs DIR] "
                 "[--haproxy FILE]\n");
    return 2;
  }
  bool haproxy = !e2e::FindHaproxy().empty();
  if (!haproxy) std::printf("\nhaproxy is not installed: only the metrics.\n");
  int failures = 0;
  if (haproxy && (options.only.empty() || options.only == "spread")) {
    failures += SpreadBench(options);
  }
  if (haproxy && (options.only.empty() || options.only == "restart")) {
    failures += RestartBench(options);
  }
  if (options.only.empty() || options.only == "metrics") {
    failures += MetricsBench(options);
  }
  return failures == 0 ? 0 : 1;
}
