// The limit per account, measured: guesses from many sources at many
// accounts against a host that revokes after three failures in a row (how
// many accounts it revokes and how many sign-ons reach it per account),
// with the limit off, on one gateway, and on two gateways that share a
// Redis server; then what the limit costs a change that reaches the host,
// in memory and in Redis, against the limit off. Loopback only; prints
// Markdown tables.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "comm/record_format.h"
#include "tests/support/gateway_support.h"

namespace {

struct Options {
  int sources = 1000;
  int accounts = 50;
  int changes = 3000;
  int rounds = 3;
  int burst = 1000;
  std::string only;  // "guess", "burst", "cost" or "" for all
  std::string programs;
};

std::string Account(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "USER%02d", i);
  return name;
}

std::string Database(int accounts) {
  std::string text;
  for (int i = 0; i < accounts; ++i) text += Account(i) + " SECRET1\n";
  return text;
}

// One request of options to port, behind a PROXY header naming source when
// it is not empty; the reply's code ("closed" without one).
std::string Request(int port, const std::string& options,
                    const std::string& source) {
  const char userData[record_format::kUserDataLength] = {};
  int fd = e2e::ConnectFrom("127.0.0.1", port);
  if (fd < 0) return "no connection";
  std::string bytes;
  if (!source.empty()) {
    bytes = "PROXY TCP4 " + source + " 192.0.2.1 40000 5000\r\n";
  }
  bytes += record_format::EncodeDataRecord(
      userData, options.data(), static_cast<uint32_t>(options.size()));
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  // Read the whole reply record, not to the close: the gateway closes a
  // finished session on its loop's next turn.
  std::string reply;
  size_t want = record_format::kHeaderLength;
  char chunk[4096];
  pollfd ready = {fd, POLLIN, 0};
  while (reply.size() < want && poll(&ready, 1, 10000) == 1) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    reply.append(chunk, static_cast<size_t>(n));
    uint32_t dataLength = 0;
    if (want == record_format::kHeaderLength && reply.size() >= want &&
        record_format::JudgeHeader(reply.data(), record_format::kMaxDataLength,
                                   &dataLength) ==
            record_format::HeaderVerdict::kData) {
      want += dataLength;
    }
  }
  close(fd);
  if (reply.size() < want) return "closed";
  return std::string(reply.data() + 8, strnlen(reply.data() + 8, 16));
}

using bench::Percentile;

struct Setup {
  e2e::Sandbox box;
  std::vector<int> ports;
  std::vector<std::unique_ptr<e2e::Background>> gateways;
  std::unique_ptr<e2e::Background> redis;
};

// A node, a Redis server when redis, and count gateways with args.
bool Start(const Options& options, Setup* setup, int count, bool redis,
           std::vector<std::string> args) {
  e2e::Sandbox& box = setup->box;
  box.Write("sna-node.conf", e2e::RevokingNodeConfig());
  box.Write("users.db", Database(options.accounts));
  chmod(box.Path("users.db").c_str(), 0600);
  std::string services;
  for (int i = 0; i <= count; ++i) {
    setup->ports.push_back(e2e::FreeLoopbackPort());
    services += "gw" + std::to_string(i) + " " +
                std::to_string(setup->ports.back()) + "/tcp\n";
  }
  box.Write("services", services);
  if (redis) {
    int port = setup->ports[static_cast<size_t>(count)];
    setup->redis = std::make_unique<e2e::Background>(
        "/usr/bin/redis-server",
        std::vector<std::string>{"--port", std::to_string(port), "--bind",
                                 "127.0.0.1", "--save", "", "--appendonly",
                                 "no", "--dir", box.dir()},
        std::vector<std::string>{}, box.Path("redis.out"),
        box.Path("redis.err"));
    if (!e2e::WaitForPort(port, 10000)) return false;
    args.push_back("-shared-state");
    args.push_back("redis://127.0.0.1:" + std::to_string(port));
  }
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> all = {"-S", "gw" + std::to_string(i),
                                    "-proxy-from", "127.0.0.1"};
    all.insert(all.end(), args.begin(), args.end());
    auto gateway = e2e::StartGateway(
        options.programs + "/tarpons", box, "gw" + std::to_string(i),
        {"TARPON_SNA_NODE=" + box.Path("sna-node.conf"),
         "TARPON_SERVICES=" + box.Path("services")},
        all);
    if (!gateway) return false;
    setup->gateways.push_back(std::move(gateway));
  }
  return true;
}

// Every source guesses once at every account, the gateways taken in turn.
void Guessing(const Options& options, const char* what, int count, bool redis,
              const std::vector<std::string>& args) {
  Setup setup;
  if (!Start(options, &setup, count, redis, args)) {
    std::printf("| %s | could not start |\n", what);
    return;
  }
  std::vector<int> hostTries(static_cast<size_t>(options.accounts), 0);
  int request = 0;
  double start = bench::Seconds();
  for (int s = 0; s < options.sources; ++s) {
    std::string source =
        "198.51." + std::to_string(s / 250) + "." + std::to_string(s % 250 + 1);
    for (int a = 0; a < options.accounts; ++a) {
      int port = setup.ports[static_cast<size_t>(request++ % count)];
      std::string code = Request(
          port, "-u " + Account(a) + " -p GUESS -np NEW1 -s hosta", source);
      // The host saw it: a wrong password, or a revoked user ID.
      if (code == "2002" || code == "2007") ++hostTries[static_cast<size_t>(a)];
    }
  }
  double seconds = bench::Seconds() - start;
  std::string users = setup.box.Read("users.db");
  int revoked = 0;
  for (size_t at = users.find(" revoked"); at != std::string::npos;
       at = users.find(" revoked", at + 1)) {
    ++revoked;
  }
  std::printf(
      "| %s | %d of %d | %d | %d | %.0f |\n", what, revoked, options.accounts,
      *std::min_element(hostTries.begin(), hostTries.end()),
      *std::max_element(hostTries.begin(), hostTries.end()), request / seconds);
}

// burst wrong passwords at once at one account, each from a source of its
// own, the gateways taken in turn: how many reached the host, and whether
// it revoked the account.
void Burst(const Options& options, const char* what, int count, bool redis) {
  Setup setup;
  if (!Start(options, &setup, count, redis, {"-penalties", "off"})) {
    std::printf("| %s | could not start |\n", what);
    return;
  }
  std::vector<std::string> codes(static_cast<size_t>(options.burst));
  std::vector<std::thread> threads;
  double start = bench::Seconds();
  for (int s = 0; s < options.burst; ++s) {
    threads.emplace_back([&, s] {
      const std::string source = "198.51." + std::to_string(s / 250) + "." +
                                 std::to_string(s % 250 + 1);
      codes[static_cast<size_t>(s)] =
          Request(setup.ports[static_cast<size_t>(s % count)],
                  "-u " + Account(0) + " -p GUESS -np NEW1 -s hosta", source);
    });
  }
  for (std::thread& thread : threads) thread.join();
  double seconds = bench::Seconds() - start;
  const int reached =
      static_cast<int>(std::count(codes.begin(), codes.end(), "2002") +
                       std::count(codes.begin(), codes.end(), "2007"));
  const int held =
      static_cast<int>(std::count(codes.begin(), codes.end(), "0030"));
  const bool revoked =
      setup.box.Read("users.db").find(Account(0) + " ") != std::string::npos &&
      setup.box.Read("users.db").find("revoked") != std::string::npos;
  std::printf("| %s | %d | %d | %d | %s | %.2f |\n", what, options.burst,
              reached, held, revoked ? "yes" : "no", seconds);
}

// Changes that reach the host and are refused there (wrong password), each
// account in turn, with -accountlimit at a count never reached.
void Cost(const Options& options, const char* what, bool redis,
          const char* limit, const char* stateFile = nullptr) {
  Setup setup;
  std::vector<std::string> args = {"-penalties", "off", "-accountlimit", limit};
  if (stateFile != nullptr) {
    args.push_back("-state-file");
    args.push_back(stateFile);
  }
  if (!Start(options, &setup, 1, redis, args)) {
    std::printf("| %s | could not start |\n", what);
    return;
  }
  std::vector<double> times;
  int failed = 0;
  double start = bench::Seconds();
  for (int i = 0; i < options.changes; ++i) {
    double begin = bench::Seconds();
    // The password right: a refused change (new equals current) that
    // leaves the account's count alone and the host's database unwritten.
    std::string code = Request(setup.ports[0],
                               "-u " + Account(i % options.accounts) +
                                   " -p SECRET1 -np SECRET1 -s hosta",
                               "198.51.100.1");
    if (code != "2004") ++failed;
    times.push_back((bench::Seconds() - begin) * 1000);
  }
  double seconds = bench::Seconds() - start;
  std::printf("| %s | %.0f | %.3f | %.3f | %d |\n", what,
              options.changes / seconds, Percentile(times, 0.5),
              Percentile(times, 0.99), failed);
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    int value = std::atoi(argv[i + 1]);
    if (name == "--only") {
      options->only = argv[i + 1];
    } else if (name == "--rounds") {
      options->rounds = std::max(value, 1);
    } else if (name == "--burst") {
      options->burst = std::min(std::max(value, 1), 1000);
    } else if (name == "--sources") {
      options->sources = value;
    } else if (name == "--accounts") {
      options->accounts = std::min(std::max(value, 1), 99);
    } else if (name == "--changes") {
      options->changes = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.programs = bench::OwnFolder() + "/../programs";
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: account_bench [--only guess|burst|cost] [--burst N] "
                 "[--sources N] "
                 "[--accounts N] [--changes N] [--rounds N]\n");
    return 2;
  }
  if (options.only == "" || options.only == "burst") {
    std::printf(
        "\n## %d wrong passwords at once at one account, each from its own "
        "source (revoke_after 3)\n\n",
        options.burst);
    std::printf(
        "| gateways | requests | reached the host | held | revoked | seconds "
        "|\n|---|---:|---:|---:|---|---:|\n");
    Burst(options, "one, the default limit", 1, false);
    Burst(options, "two sharing Redis, the default limit", 2, true);
  }
  if (options.only == "" || options.only == "guess") {
    std::printf(
        "\n## Guessing at %d accounts from %d sources (revoke_after 3)\n\n",
        options.accounts, options.sources);
    std::printf(
        "| gateways | accounts revoked | host sign-ons per account, "
        "fewest | most | requests a second |\n|---|---:|---:|---:|---:|\n");
    Guessing(options, "one, -accountlimit off", 1, false,
             {"-accountlimit", "off"});
    Guessing(options, "one, the default limit", 1, false, {});
    Guessing(options, "two sharing Redis, the default limit", 2, true, {});
  }
  if (options.only == "" || options.only == "cost") {
    std::printf(
        "\n## What the limit costs a change that reaches the host "
        "(%d changes a round)\n\n",
        options.changes);
    std::printf(
        "| limit | changes a second | p50 ms | p99 ms | failed |\n"
        "|---|---:|---:|---:|---:|\n");
    // Interleaved rounds, so that a drift of the machine shows.
    for (int round = 0; round < options.rounds; ++round) {
      Cost(options, "off", false, "off");
      Cost(options, "in memory", false, "1000000:900:60:3600", "off");
      Cost(options, "in the state file", false, "1000000:900:60:3600");
      Cost(options, "in Redis", true, "1000000:900:60:3600");
    }
  }
  return 0;
}
