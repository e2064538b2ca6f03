// conversation_bench: what host conversations held at once buy.
//
//   slow   a host that answers 200 ms after each request, 64 clients at
//          once, each making refused changes one after another: changes a
//          second against the ideal (conversations / 0.2 s), both for all
//          the gateway's conversations and for one destination's share.
//   hung   host A answers after 60 s and 32 clients wait on it; 8 clients
//          make refused changes at host B meanwhile: B's p50 and p99.
//   lock   another process holds the host database's lock for 10 s while
//          20 changes wait for it: help requests meanwhile, p50 and p99.
//
//   conversation_bench [--only slow|hung|lock] [--seconds N]
//                      [--programs DIR]
//
// All traffic goes to 127.0.0.1; every loop has a deadline.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "comm/address.h"
#include "comm/client.h"
#include "comm/wsa.h"
#include "tests/support/gateway_support.h"

namespace {

using bench::Seconds;

struct Options {
  std::string only;
  int seconds = 5;
  std::string programs;
};

// The gateway's default and one destination's share of it.
constexpr int kConversations = 64;
constexpr int kShare = 56;

// Host A (alias hosta) with a delay, host B (alias hostb) without; both
// read the same user database.
std::string NodeConfig(int delayMs) {
  return "[node]\nmodes = #BATCH\n"
         "[partner_lu hosta]\nname = NETA.KSVHOST\n"
         "[partner_lu hostb]\nname = NETA.FAST\n"
         "[host NETA.KSVHOST]\nusers = users.db\npassword_history = 0\n"
         "answer_delay_ms = " +
         std::to_string(delayMs) +
         "\n"
         "[host NETA.FAST]\nusers = users.db\npassword_history = 0\n";
}

// A gateway against the node of NodeConfig(delayMs).
bench::Gateway StartGateway(const e2e::Sandbox& box, const Options& options,
                            int delayMs) {
  box.Write("sna-node.conf", NodeConfig(delayMs));
  box.Write("users.db", bench::UserDatabase(bench::kUsers));
  return bench::Gateway(box, options.programs, "gateway",
                        {"TARPON_SNA_NODE=" + box.Path("sna-node.conf")});
}

// A refused change by user i (1 to 99) at alias: the new password equals
// the current one, so that the database is read and never written.
std::string RefusedChange(int i, const char* alias) {
  char text[80];
  std::snprintf(text, sizeof text, "-u USER%04d -p PW%04d -np PW%04d -s %s", i,
                i, i, alias);
  return text;
}

// One request; its seconds, or -1 when no reply with the code (any code
// when it is empty) came.
double Request(int port, const std::string& options, const char* code) {
  double start = Seconds();
  Client client(Address(static_cast<uint16_t>(port), "127.0.0.1"), 120);
  if (!client.IsGood() ||
      client.SendRecord(options.c_str()) != Client::COMM_OK) {
    return -1;
  }
  char reply[8192];
  uint32_t length = 0;
  if (client.ReceiveRecord(reply, &length) != Client::COMM_OK ||
      (code[0] != '\0' && std::strncmp(client.GetUserData(), code, 4) != 0)) {
    return -1;
  }
  return Seconds() - start;
}

using bench::Percentile;

// clients threads, each running request(i) until the deadline; every
// answer's time in ms, and the failures.
struct Load {
  std::vector<double> ms;
  long failed = 0;
  double seconds = 0;
};
template <typename Request>
Load RunClients(int clients, double seconds, Request request) {
  std::vector<std::vector<double>> times(static_cast<size_t>(clients));
  std::atomic<long> failed{0};
  const double start = Seconds();
  const double deadline = start + seconds;
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      while (Seconds() < deadline) {
        double taken = request(i);
        if (taken < 0) {
          ++failed;
        } else {
          times[static_cast<size_t>(i)].push_back(taken * 1000);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  Load load;
  load.seconds = Seconds() - start;
  for (const auto& some : times) {
    load.ms.insert(load.ms.end(), some.begin(), some.end());
  }
  load.failed = failed;
  return load;
}

int Slow(const Options& options) {
  e2e::Sandbox box;
  bench::Gateway gateway = StartGateway(box, options, 200);
  if (!gateway.Started()) return 1;
  bench::WaitForNodeToSettle();
  Load load = RunClients(64, options.seconds, [&](int i) {
    return Request(gateway.Port(), RefusedChange(i + 1, "hosta"), "2004");
  });
  double rate = static_cast<double>(load.ms.size()) / load.seconds;
  std::printf("\n### A slow host: 200 ms an answer, 64 clients at once\n\n");
  std::printf(
      "| changes/s | of ideal (%d / 0.2 s) | of one destination's share "
      "(%d / 0.2 s) | p50 ms | p99 ms | failed |\n",
      kConversations, kShare);
  std::printf("|---:|---:|---:|---:|---:|---:|\n");
  std::printf("| %.1f | %.2f | %.2f | %.0f | %.0f | %ld |\n", rate,
              rate / (kConversations / 0.2), rate / (kShare / 0.2),
              Percentile(load.ms, 0.5), Percentile(load.ms, 0.99), load.failed);
  std::fflush(stdout);
  return load.failed == 0 ? 0 : 1;
}

int Hung(const Options& options) {
  e2e::Sandbox box;
  bench::Gateway gateway = StartGateway(box, options, 60000);
  if (!gateway.Started()) return 1;
  bench::WaitForNodeToSettle();
  // 32 requests that host A will not answer while the benchmark runs.
  std::vector<std::unique_ptr<Client>> waiting;
  for (int i = 0; i < 32; ++i) {
    auto client = std::make_unique<Client>(
        Address(static_cast<uint16_t>(gateway.Port()), "127.0.0.1"), 120);
    if (client->IsGood()) {
      client->SendRecord(RefusedChange(i + 1, "hosta").c_str());
    }
    waiting.push_back(std::move(client));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Load load = RunClients(8, options.seconds, [&](int i) {
    return Request(gateway.Port(), RefusedChange(i + 50, "hostb"), "2004");
  });
  std::printf(
      "\n### A hung host: 32 clients wait on host A (60 s an answer), 8 "
      "change at host B\n\n");
  std::printf("| B's changes | p50 ms | p99 ms | max ms | failed |\n");
  std::printf("|---:|---:|---:|---:|---:|\n");
  std::printf("| %zu | %.2f | %.2f | %.2f | %ld |\n", load.ms.size(),
              Percentile(load.ms, 0.5), Percentile(load.ms, 0.99),
              Percentile(load.ms, 1.0), load.failed);
  std::fflush(stdout);
  // The waiting conversations would hold an orderly stop for a minute.
  gateway.Process().Stop();
  return load.failed == 0 ? 0 : 1;
}

int Lock(const Options& options) {
  e2e::Sandbox box;
  bench::Gateway gateway = StartGateway(box, options, 0);
  if (!gateway.Started()) return 1;
  int lock = open(box.Path("users.db.lock").c_str(),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return 1;
  const double lockSeconds = 10;
  const double locked = Seconds();
  // 20 changes that need the lock: a wrong password is counted in the
  // database.
  std::vector<std::thread> changes;
  std::atomic<int> changed{0};
  // Each keeps a change waiting until the lock is given back (the host
  // gives up on a lock after 5 s, and the client asks again).
  for (int i = 0; i < 20; ++i) {
    changes.emplace_back([&, i] {
      char text[80];
      std::snprintf(text, sizeof text, "-u USER%04d -p WRONG -np NEW1 -s hosta",
                    i + 1);
      while (Seconds() < locked + lockSeconds) {
        Request(gateway.Port(), text, "");
        ++changed;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Load load = RunClients(1, lockSeconds - 1.5, [&](int) {
    return Request(gateway.Port(), bench::kHelpRequest, "0004");
  });
  while (Seconds() < locked + lockSeconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  flock(lock, LOCK_UN);
  close(lock);
  for (std::thread& change : changes) change.join();
  std::printf(
      "\n### The database's lock held 10 s with 20 changes waiting: help "
      "requests meanwhile\n\n");
  std::printf(
      "| help requests | p50 ms | p99 ms | max ms | failed | changes "
      "answered while it was held |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|\n");
  std::printf("| %zu | %.2f | %.2f | %.2f | %ld | %d |\n", load.ms.size(),
              Percentile(load.ms, 0.5), Percentile(load.ms, 0.99),
              Percentile(load.ms, 1.0), load.failed, changed.load());
  std::fflush(stdout);
  return load.failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.programs = bench::OwnFolder() + "/../programs";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name == "--only") {
      options.only = argv[i + 1];
    } else if (name == "--seconds") {
      options.seconds = std::max(1, std::atoi(argv[i + 1]));
    } else if (name == "--programs") {
      options.programs = argv[i + 1];
    }
  }
  signal(SIGPIPE, SIG_IGN);
  WSA wsa(1, 1);
  int rc = 0;
  if (options.only.empty() || options.only == "slow") rc |= Slow(options);
  if (options.only.empty() || options.only == "hung") rc |= Hung(options);
  if (options.only.empty() || options.only == "lock") rc |= Lock(options);
  return rc;
}
