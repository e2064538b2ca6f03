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
//
//   system_bench [--only gateway|startup|memory] [--rounds N]
//                [--sessions N] [--runs N] [--memory-sessions N]
//                [--programs DIR] [--bench DIR]
//
// Every loop has a fixed count and every wait a deadline; all traffic goes
// to 127.0.0.1. Prints one Markdown table per benchmark.
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "comm/address.h"
#include "comm/client.h"
#include "comm/wsa.h"
#include "gateway_client/gateway_client.h"
#include "tests/gateway_support.h"

namespace {

struct Options {
  std::string only;
  int rounds = 7;
  long sessions = 2000;
  int runs = 300;
  long memorySessions = 10000;
  std::string programs;
  std::string bench;
};

double Seconds() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(p * (values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

// The folder this program was started from.
std::string OwnFolder() {
  char path[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string text(path, static_cast<size_t>(n));
  return text.substr(0, text.rfind('/'));
}

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

// A tarpons on its own free port, logging into the sandbox, with the node
// of bench_support.h.
class Gateway {
 public:
  Gateway(const e2e::Sandbox& box, const std::string& programs,
          const std::string& name)
      : port_(e2e::FreeLoopbackPort()) {
    std::string node = bench::WriteNode(box);
    box.Write(name + ".services",
              "tarponGateway " + std::to_string(port_) + "/tcp\n");
    process_ = std::make_unique<Process>(
        programs + "/tarpons",
        std::vector<std::string>{"-log", box.Path(name + ".log")},
        std::vector<std::string>{
            "TARPON_SNA_NODE=" + node,
            "TARPON_SERVICES=" + box.Path(name + ".services")},
        box.Path(name + ".out"), box.Path(name + ".err"));
    started_ =
        port_ > 0 && process_->Started() &&
        e2e::WaitForText(box, name + ".log", "TARPON SERVER started ", 5000);
  }
  bool Started() const { return started_; }
  Address GetAddress() const {
    return Address(static_cast<uint16_t>(port_), "127.0.0.1");
  }
  int Pid() const { return process_->pid(); }

 private:
  int port_;
  std::unique_ptr<Process> process_;
  bool started_ = false;
};

// VmRSS of a process in kB, or -1.
long ResidentKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

int GatewayBench(const Options& options) {
  e2e::Sandbox box;
  Gateway gateway(box, options.programs, "tarpond");
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

  struct Target {
    const char* name;
    Address address;
    const char* request;
    const char* code;
    std::vector<double> rates;
    long failed;
  };
  std::vector<Target> targets = {
      {"tarpons, help request (-?)",
       gateway.GetAddress(),
       bench::kHelpRequest,
       "0004",
       {},
       0},
      {"tarpons, refused change",
       gateway.GetAddress(),
       bench::kRefusedChange,
       "2004",
       {},
       0},
      {"minimal_server",
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
      LoopResult result = Loop(target.address, target.request, target.code,
                               options.sessions, deadline);
      target.rates.push_back(result.Rate());
      target.failed += result.failed;
    }
  }
  double floor = Median(targets[2].rates);
  std::printf("\n### Gateway: sequential sessions per second (127.0.0.1)\n\n");
  std::printf("%d rounds of %ld sessions each, one client loop.\n\n",
              options.rounds, options.sessions);
  std::printf("| server | median sessions/s | best | failed | of minimal |\n");
  std::printf("|---|---:|---:|---:|---:|\n");
  for (const Target& target : targets) {
    double median = Median(target.rates);
    std::printf("| %s | %.0f | %.0f | %ld | %.2f |\n", target.name, median,
                target.rates.empty() ? 0.0
                                     : *std::max_element(target.rates.begin(),
                                                         target.rates.end()),
                target.failed, floor > 0 ? median / floor : 0.0);
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
  Gateway gateway(box, options.programs, "memory");
  if (!gateway.Started()) {
    std::fprintf(stderr, "system_bench: the gateway did not start\n");
    return 1;
  }
  Address address = gateway.GetAddress();
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
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.bench = OwnFolder();
  options.programs = options.bench + "/../programs";
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: system_bench [--only gateway|startup|memory] "
                 "[--rounds N] [--sessions N] [--runs N] "
                 "[--memory-sessions N] [--programs DIR] [--bench DIR]\n");
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
  return failures == 0 ? 0 : 1;
}
