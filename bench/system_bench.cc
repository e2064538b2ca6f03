// system_bench: the benchmarks that run the real programs as processes.
//
//   gateway  sequential sessions per second of one client loop against
//            tarpons on 127.0.0.1 (a help request and a refused change)
//            and, in the same run and with the same client, against
//            minimal_server, which only accepts, receives one record, sends
//            one record and closes. Rounds alternate between the three.
//   startup  median wall time of one whole tarpon run (a refused change)
//            against trivial_program, interleaved.
//   memory   the gateway's VmRSS after 100, 1,000 and 10,000 sessions.
//   siege    an honest client's change times (p50, p99) alone and while
//            1,000 connections sit idle and 100 trickle a byte a second,
//            with the gateway's descriptors and VmRSS before, during and
//            after.
//   parallel 64 clients making 20 changes each at once against one client.
//
//   system_bench [--only gateway|startup|memory|siege|parallel]
//                [--rounds N] [--sessions N] [--runs N]
//                [--memory-sessions N] [--siege-changes N]
//                [--programs DIR] [--bench DIR]
//
// Every loop has a fixed count and every wait a deadline; all traffic goes
// to 127.0.0.1. Prints one Markdown table per benchmark.
#include <limits.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "comm/address.h"
#include "comm/client.h"
#include "comm/record_assembler.h"
#include "comm/record_format.h"
#include "comm/wsa.h"
#include "gateway_client/gateway_client.h"
#include "tests/support/gateway_support.h"

namespace {

struct Options {
  std::string only;
  // Short rounds, many of them: the machine's pace changes from second to
  // second, and each server's rounds should see the same paces.
  int rounds = 45;
  long sessions = 400;
  int runs = 300;
  long memorySessions = 10000;
  int siegeChanges = 200;
  std::string programs;
  std::string bench;
};

using bench::Median;
using bench::ResidentKb;
using bench::Seconds;

using bench::Percentile;

// One session: connect, send the request as one record, receive the one
// reply record. True when the reply came and its user data (the return
// code as four digits) is the expected one.
bool Session(const Address& server, const char* request, const char* code) {
  Client client(server);
  if (!client.IsGood()) return false;
  client.SetReceiveTimeout(10);
  if (client.SendRecord(request) != Client::COMM_OK || !client.IsGood()) {
    return false;
  }
  char reply[GATEWAY_CLIENT_REPLY_SIZE];
  uint32_t length = 0;
  if (client.ReceiveRecord(reply, &length) != Client::COMM_OK || length == 0) {
    return false;
  }
  return std::strncmp(client.GetUserData(), code, 4) == 0;
}

struct LoopResult {
  long done = 0;
  long failed = 0;
  double seconds = 0;
  double Rate() const { return seconds > 0 ? done / seconds : 0; }
};

// count sessions one after another; stops early after 20 failures in a row
// or when deadline (seconds on the Seconds() clock) has passed.
LoopResult Loop(const Address& server, const char* request, const char* code,
                long count, double deadline) {
  LoopResult result;
  int failedInRow = 0;
  double start = Seconds();
  for (long i = 0; i < count && failedInRow < 20; ++i) {
    if (Session(server, request, code)) {
      ++result.done;
      failedInRow = 0;
    } else {
      ++result.failed;
      ++failedInRow;
    }
    if ((i & 63) == 0 && Seconds() > deadline) break;
  }
  result.seconds = Seconds() - start;
  return result;
}

using Process = e2e::Background;  // a program in the background

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

int GatewayBench(const Options& options) {
  e2e::Sandbox box;
  bench::Gateway gateway(box, options.programs, "tarpond");
  if (!gateway.Started()) {
    std::fprintf(stderr, "system_bench: the gateway did not start\n");
    return 1;
  }
  int minimalPort = e2e::FreeLoopbackPort();
  Process minimal(options.bench + "/minimal_server",
                  {std::to_string(minimalPort), std::to_string(10000000)}, {},
                  box.Path("minimal.out"), box.Path("minimal.err"));
  if (!minimal.Started() ||
      !e2e::WaitForText(box, "minimal.out", "started", 5000)) {
    std::fprintf(stderr, "system_bench: the minimal server did not start\n");
    return 1;
  }

  // The server's CPU time per session tells its own work apart from the
  // client's and the kernel's, and moves little with the machine's load.
  struct Target {
    const char* name;
    int pid;
    Address address;
    const char* request;
    const char* code;
    std::vector<double> rates;
    long failed;
    double cpu = 0;
    long sessions = 0;
  };
  bench::WaitForNodeToSettle();
  std::vector<Target> targets = {
      {"tarpons, help request (-?)",
       gateway.Pid(),
       Address(static_cast<uint16_t>(gateway.Port()), "127.0.0.1"),
       bench::kHelpRequest,
       "0004",
       {},
       0},
      {"tarpons, refused change",
       gateway.Pid(),
       Address(static_cast<uint16_t>(gateway.Port()), "127.0.0.1"),
       bench::kRefusedChange,
       "2004",
       {},
       0},
      {"minimal_server",
       minimal.pid(),
       Address(static_cast<uint16_t>(minimalPort), "127.0.0.1"),
       bench::kRefusedChange,
       "0000",
       {},
       0},
  };
  double deadline = Seconds() + 600;
  for (Target& target : targets) {
    Loop(target.address, target.request, target.code, 200, deadline);
  }
  for (int round = 0; round < options.rounds; ++round) {
    for (Target& target : targets) {
      double cpu = CpuSeconds(target.pid);
      LoopResult result = Loop(target.address, target.request, target.code,
                               options.sessions, deadline);
      target.cpu += CpuSeconds(target.pid) - cpu;
      target.sessions += result.done + result.failed;
      target.rates.push_back(result.Rate());
      target.failed += result.failed;
    }
  }
  double floor = Median(targets[2].rates);
  std::printf("\n### Gateway: sequential sessions per second (127.0.0.1)\n\n");
  std::printf("%d rounds of %ld sessions each, one client loop.\n\n",
              options.rounds, options.sessions);
  std::printf(
      "| server | median sessions/s | best | failed | of minimal | server CPU "
      "us/session |\n");
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  for (const Target& target : targets) {
    double median = Median(target.rates);
    std::printf(
        "| %s | %.0f | %.0f | %ld | %.2f | %.1f |\n", target.name, median,
        target.rates.empty()
            ? 0.0
            : *std::max_element(target.rates.begin(), target.rates.end()),
        target.failed, floor > 0 ? median / floor : 0.0,
        target.sessions > 0 ? target.cpu * 1e6 / target.sessions : 0.0);
  }
  std::fflush(stdout);
  return targets[0].failed + targets[1].failed + targets[2].failed == 0 ? 0 : 1;
}

// Starts program with its output going to /dev/null and waits for it; the
// exit status, or -1.
int RunOnce(const std::string& program, const std::vector<std::string>& args,
            char** envp) {
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int StartupBench(const Options& options) {
  e2e::Sandbox box;
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TARPON_", 7) != 0) environment.push_back(*e);
  }
  environment.push_back("TARPON_SNA_NODE=" + bench::WriteNode(box));
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);

  const std::string tarpon = options.programs + "/tarpon";
  const std::string trivial = options.bench + "/trivial_program";
  const std::vector<std::string> refused = {"-u",  "ALICE",   "-p", "SECRET1",
                                            "-np", "SECRET1", "-s", "hosta"};
  // The refused change exits with 204 (host status X'04').
  constexpr int kRefusedExit = 204;
  std::vector<double> tarponMs;
  std::vector<double> trivialMs;
  int wrong = 0;
  for (int i = -20; i < options.runs; ++i) {
    double start = Seconds();
    int status = RunOnce(trivial, {}, envp.data());
    double middle = Seconds();
    int tarponStatus = RunOnce(tarpon, refused, envp.data());
    double end = Seconds();
    if (status != 0 || tarponStatus != kRefusedExit) ++wrong;
    if (i >= 0) {
      trivialMs.push_back((middle - start) * 1000);
      tarponMs.push_back((end - middle) * 1000);
    }
  }
  double tarponMedian = Median(tarponMs);
  double trivialMedian = Median(trivialMs);
  std::printf("\n### tarpon: wall time of one whole run\n\n");
  std::printf(
      "%d interleaved runs each after 20 warm-up runs; spawn to "
      "exit, output to /dev/null.\n\n",
      options.runs);
  std::printf("| program | median ms | 90th percentile ms | of trivial |\n");
  std::printf("|---|---:|---:|---:|\n");
  std::printf("| trivial_program | %.3f | %.3f | 1.00 |\n", trivialMedian,
              Percentile(trivialMs, 0.9));
  std::printf("| tarpon, refused change | %.3f | %.3f | %.2f |\n", tarponMedian,
              Percentile(tarponMs, 0.9),
              trivialMedian > 0 ? tarponMedian / trivialMedian : 0.0);
  if (wrong != 0) {
    std::printf("\n%d runs ended with an unexpected exit status.\n", wrong);
  }
  std::fflush(stdout);
  return wrong == 0 ? 0 : 1;
}

int MemoryBench(const Options& options) {
  e2e::Sandbox box;
  bench::Gateway gateway(box, options.programs, "memory");
  if (!gateway.Started()) {
    std::fprintf(stderr, "system_bench: the gateway did not start\n");
    return 1;
  }
  Address address(static_cast<uint16_t>(gateway.Port()), "127.0.0.1");
  std::vector<long> marks = {100, 1000, options.memorySessions / 2,
                             options.memorySessions};
  std::printf("\n### Gateway: resident size (VmRSS)\n\n");
  std::printf("Help requests and refused changes alternating.\n\n");
  std::printf("| sessions | VmRSS kB |\n|---:|---:|\n");
  std::printf("| 0 | %ld |\n", ResidentKb(gateway.Pid()));
  long done = 0;
  long failed = 0;
  double deadline = Seconds() + 600;
  for (long mark : marks) {
    if (mark <= done) continue;
    long half = (mark - done) / 2;
    LoopResult help =
        Loop(address, bench::kHelpRequest, "0004", half, deadline);
    LoopResult refused = Loop(address, bench::kRefusedChange, "2004",
                              mark - done - half, deadline);
    done += help.done + help.failed + refused.done + refused.failed;
    failed += help.failed + refused.failed;
    std::printf("| %ld | %ld |\n", done, ResidentKb(gateway.Pid()));
    std::fflush(stdout);
  }
  if (failed != 0) std::printf("\n%ld sessions failed.\n", failed);
  return failed == 0 ? 0 : 1;
}

// The loopback address 127.a.b.c for a number: sources of the load
// benchmarks, each within the gateway's per-address cap.
std::string LoopbackAddress(int block, int number) {
  return "127." + std::to_string(block) + "." + std::to_string(number / 250) +
         "." + std::to_string(2 + number % 250);
}

// One session over a connection from source: the request as one record,
// then the reply record. True when the reply came within 10 s and its user
// data begin with code.
bool SessionFrom(const std::string& source, int port,
                 const std::string& request, const char* code) {
  int fd = e2e::ConnectFrom(source, port);
  if (fd < 0) return false;
  char userData[Connection::USER_DATA_LENGTH] = {};
  std::string record = record_format::EncodeDataRecord(
      userData, request.data(), static_cast<uint32_t>(request.size()));
  bool ok = send(fd, record.data(), record.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(record.size());
  RecordAssembler reply(GATEWAY_CLIENT_REPLY_SIZE);
  double deadline = Seconds() + 10;
  while (ok && !reply.IsDone() && Seconds() < deadline) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) != 1) continue;
    char bytes[4096];
    size_t wanted = std::min(reply.Wanted(), sizeof bytes);
    ssize_t n = recv(fd, bytes, wanted, 0);
    if (n <= 0) break;
    reply.Take(bytes, static_cast<size_t>(n));
  }
  close(fd);
  return reply.IsDone() && reply.GetResult() == Connection::COMM_OK &&
         std::strncmp(reply.GetUserData(), code, 4) == 0;
}

using e2e::OpenDescriptors;

// Waits, bounded, for the gateway's descriptors to reach count.
int SettleDescriptors(int pid, int count, double seconds) {
  double deadline = Seconds() + seconds;
  int now = OpenDescriptors(pid);
  while (now != count && Seconds() < deadline) {
    usleep(20000);
    now = OpenDescriptors(pid);
  }
  return now;
}

// changes honest password changes of ALICE from 127.0.0.1, one after
// another, back and forth; the milliseconds of each and the failures.
std::vector<double> HonestChanges(int port, int changes, long* failed) {
  std::vector<double> ms;
  const std::string there = "-u ALICE -p SECRET1 -np NEWPW1 -s hosta";
  const std::string back = "-u ALICE -p NEWPW1 -np SECRET1 -s hosta";
  for (int i = 0; i < changes; ++i) {
    double start = Seconds();
    if (!SessionFrom("127.0.0.1", port, i % 2 == 0 ? there : back, "0000")) {
      ++*failed;
    }
    ms.push_back((Seconds() - start) * 1000);
  }
  if (changes % 2 == 1) SessionFrom("127.0.0.1", port, back, "0000");
  return ms;
}

// Raises this process's descriptor limit to its hard limit.
void RaiseDescriptorLimit() {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// What the tricklers would send in the end: 40 bytes of a refused change.
const char kRefusedChangeForTricklers[] =
    "-u ALICE -p SECRET1 -np SECRET1 -s hosta";

int SiegeBench(const Options& options) {
  RaiseDescriptorLimit();
  e2e::Sandbox box;
  // Sessions may wait ten minutes here, so that the siege holds.
  bench::Gateway gateway(box, options.programs, "siege",
                         {"TARPON_SESSION_TIMEOUT=600"});
  if (!gateway.Started()) {
    std::fprintf(stderr, "system_bench: the gateway did not start\n");
    return 1;
  }
  const int pid = gateway.Pid();
  const int port = gateway.Port();
  // The idle gateway's descriptors, before any connection.
  const int startFds = OpenDescriptors(pid);
  long failed = 0;
  HonestChanges(port, 20, &failed);  // warm-up
  std::vector<double> calm = HonestChanges(port, options.siegeChanges, &failed);
  SettleDescriptors(pid, startFds, 5);
  const long startRss = ResidentKb(pid);

  // 1,000 idle connections, ten from each of 100 addresses, and 100 that
  // trickle a request a byte a second from ten more.
  std::vector<int> idle;
  for (int i = 0; i < 1000; ++i) {
    int fd = e2e::ConnectFrom(LoopbackAddress(0, i / 10), port);
    if (fd >= 0) idle.push_back(fd);
  }
  std::vector<int> tricklers;
  for (int i = 0; i < 100; ++i) {
    int fd = e2e::ConnectFrom(LoopbackAddress(1, i / 10), port);
    if (fd >= 0) tricklers.push_back(fd);
  }
  const char noUserData[Connection::USER_DATA_LENGTH] = {};
  const std::string trickle =
      record_format::EncodeDataRecord(noUserData, kRefusedChangeForTricklers,
                                      sizeof kRefusedChangeForTricklers - 1);
  std::atomic<bool> stop(false);
  std::thread trickler([&] {
    for (size_t at = 0; !stop && at < trickle.size(); ++at) {
      for (int fd : tricklers) send(fd, &trickle[at], 1, MSG_NOSIGNAL);
      for (int i = 0; i < 100 && !stop; ++i) usleep(10000);
    }
  });
  const int expected =
      startFds + static_cast<int>(idle.size() + tricklers.size());
  const int siegeFds = SettleDescriptors(pid, expected, 20);
  std::vector<double> besieged =
      HonestChanges(port, options.siegeChanges, &failed);
  const int duringFds = OpenDescriptors(pid);
  const long duringRss = ResidentKb(pid);
  stop = true;
  trickler.join();
  for (int fd : idle) close(fd);
  for (int fd : tricklers) close(fd);
  const int afterFds = SettleDescriptors(pid, startFds, 20);
  const long afterRss = ResidentKb(pid);

  std::printf("\n### Gateway under siege (127.0.0.1)\n\n");
  std::printf(
      "%zu idle connections (10 per address from 127.0.0.2 upward) and %zu "
      "sending a byte a second; %d honest changes one after another.\n\n",
      idle.size(), tricklers.size(), options.siegeChanges);
  std::printf("| honest changes | p50 ms | p99 ms | max ms |\n");
  std::printf("|---|---:|---:|---:|\n");
  for (auto& row : {std::make_pair("alone", &calm),
                    std::make_pair("under siege", &besieged)}) {
    std::printf("| %s | %.2f | %.2f | %.2f |\n", row.first,
                Percentile(*row.second, 0.5), Percentile(*row.second, 0.99),
                Percentile(*row.second, 1.0));
  }
  std::printf("\n| gateway | open descriptors | VmRSS kB |\n|---|---:|---:|\n");
  std::printf("| before | %d | %ld |\n", startFds, startRss);
  std::printf("| siege held (%d expected) | %d | %ld |\n", expected, duringFds,
              duringRss);
  std::printf("| after | %d | %ld |\n", afterFds, afterRss);
  if (failed != 0 || siegeFds != expected || afterFds != startFds) {
    std::printf("\n%ld changes failed; descriptors %d of %d held, %d after.\n",
                failed, siegeFds, expected, afterFds);
  }
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}

// Sessions per second of clients changing passwords at once, each its own
// user from its own address, against one client alone.
int ParallelBench(const Options& options) {
  e2e::Sandbox box;
  bench::Gateway gateway(box, options.programs, "parallel");
  if (!gateway.Started()) {
    std::fprintf(stderr, "system_bench: the gateway did not start\n");
    return 1;
  }
  const int port = gateway.Port();
  constexpr int kClients = 64;
  constexpr int kChanges = 20;
  long failed = 0;
  double start = Seconds();
  HonestChanges(port, kClients * kChanges / 4, &failed);
  const double singleRate = kClients * kChanges / 4 / (Seconds() - start);

  std::atomic<long> parallelFailed(0);
  std::vector<std::thread> clients;
  start = Seconds();
  for (int c = 1; c <= kClients; ++c) {
    clients.emplace_back([&, c] {
      char request[96];
      for (int k = 0; k < kChanges; ++k) {
        char old[16];
        if (k == 0) {
          std::snprintf(old, sizeof old, "PW%04d", c);
        } else {
          std::snprintf(old, sizeof old, "N%02d%04d", k - 1, c);
        }
        std::snprintf(request, sizeof request,
                      "-u USER%04d -p %s -np N%02d%04d -s hosta", c, old, k, c);
        if (!SessionFrom(LoopbackAddress(2, c), port, request, "0000")) {
          ++parallelFailed;
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  const double parallelRate = kClients * kChanges / (Seconds() - start);
  std::string users = box.Read("users.db");
  int persisted = 0;
  for (int c = 1; c <= kClients; ++c) {
    char last[16];
    std::snprintf(last, sizeof last, "N%02d%04d", kChanges - 1, c);
    if (users.find(last) != std::string::npos) ++persisted;
  }
  std::printf("\n### Gateway: parallel honest load (127.0.0.1)\n\n");
  std::printf(
      "%d clients at once, %d changes each, every client its own user and "
      "address; against one client making %d changes.\n\n",
      kClients, kChanges, kClients * kChanges / 4);
  std::printf("| clients | sessions/s | failed | of one client |\n");
  std::printf("|---|---:|---:|---:|\n");
  std::printf("| 1 | %.0f | %ld | 1.00 |\n", singleRate, failed);
  std::printf("| %d | %.0f | %ld | %.2f |\n", kClients, parallelRate,
              parallelFailed.load(), parallelRate / singleRate);
  std::printf("\n%d of %d users' last changes persisted.\n", persisted,
              kClients);
  std::fflush(stdout);
  return failed + parallelFailed == 0 && persisted == kClients ? 0 : 1;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    long number = std::strtol(value, nullptr, 10);
    if (name == "--only") {
      options->only = value;
    } else if (name == "--programs") {
      options->programs = value;
    } else if (name == "--bench") {
      options->bench = value;
    } else if (number < 1 || number > 1000000) {
      return false;
    } else if (name == "--rounds") {
      options->rounds = static_cast<int>(number);
    } else if (name == "--sessions") {
      options->sessions = number;
    } else if (name == "--runs") {
      options->runs = static_cast<int>(number);
    } else if (name == "--memory-sessions") {
      options->memorySessions = number;
    } else if (name == "--siege-changes") {
      options->siegeChanges = static_cast<int>(number);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.bench = bench::OwnFolder();
  options.programs = options.bench + "/../programs";
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: system_bench [--only "
                 "gateway|startup|memory|siege|parallel] "
                 "[--rounds N] [--sessions N] [--runs N] "
                 "[--memory-sessions N] [--siege-changes N] "
                 "[--programs DIR] [--bench DIR]\n");
    return 2;
  }
  WSA wsa(1, 1);
  int failures = 0;
  if (options.only.empty() || options.only == "gateway") {
    failures += GatewayBench(options);
  }
  if (options.only.empty() || options.only == "startup") {
    failures += StartupBench(options);
  }
  if (options.only.empty() || options.only == "memory") {
    failures += MemoryBench(options);
  }
  if (options.only.empty() || options.only == "siege") {
    failures += SiegeBench(options);
  }
  if (options.only.empty() || options.only == "parallel") {
    failures += ParallelBench(options);
  }
  return failures == 0 ? 0 : 1;
}
