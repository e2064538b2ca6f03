// The gateway's hooks, measured: a refused change's latency with one
// -on-event hook against none (the hook runs after the answer, on threads
// of the event sink, so its time should not show), and the spool's
// throughput, events written and synced a second, on this machine's disk
// and on tmpfs. Loopback only; prints Markdown tables.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "events/event.h"
#include "events/spool.h"
#include "gateway_client/tarpon_gateway.h"

namespace {

struct Options {
  int changes = 400;
  int rounds = 5;
  int events = 2000;
  int paceMs = 10;
  std::string programs;
};

// count refused changes through the gateway whose services file is
// services; their latencies in milliseconds appended to *times; the count
// that did not get the host's refusal.
int Changes(const std::string& services, int count, int paceMs,
            std::vector<double>* times) {
  setenv("TARPON_SERVICES", services.c_str(), 1);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    ApiResult result = {};
    double begin = bench::Seconds();
    int rc = tarponGateway("ALICE", "SECRET1", "SECRET1", "hosta", &result,
                           "127.0.0.1", nullptr, nullptr, 0);
    times->push_back((bench::Seconds() - begin) * 1000);
    if (rc != bench::kRefusedCode) ++failed;
    if (paceMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(paceMs));
    }
  }
  return failed;
}

void Latency(const Options& options) {
  e2e::Sandbox box;
  box.Write("hook", "#!/bin/sh\ncat > /dev/null\n");
  chmod(box.Path("hook").c_str(), 0700);
  bench::Gateway none(box, options.programs, "none", {}, {"-penalties", "off"});
  bench::Gateway hooked(box, options.programs, "hooked", {},
                        {"-penalties", "off", "-on-event", box.Path("hook"),
                         "-spool", box.Path("spool")});
  if (!none.Started() || !hooked.Started()) {
    std::printf("| gateways did not start |\n");
    return;
  }
  bench::WaitForNodeToSettle();
  std::printf(
      "\n## A refused change with one -on-event hook against none "
      "(%d rounds of %d)\n\n| changes | hooks | p50 ms | p99 ms | failed "
      "|\n|---|---|---:|---:|---:|\n",
      options.rounds, options.changes);
  // Back to back, the hooks' work of one change competes with the next
  // ones for the cores; paced, it is done before the next change comes.
  for (int pace : {0, options.paceMs}) {
    std::vector<double> plain, withHook;
    int failed = 0;
    // Interleaved rounds, so that a drift of the machine falls on both.
    for (int round = 0; round < options.rounds; ++round) {
      failed +=
          Changes(box.Path("none.services"), options.changes, pace, &plain);
      failed += Changes(box.Path("hooked.services"), options.changes, pace,
                        &withHook);
    }
    std::string what = pace == 0 ? "back to back"
                                 : "one every " + std::to_string(pace) + " ms";
    std::printf("| %s | none | %.3f | %.3f | %d |\n", what.c_str(),
                bench::Percentile(plain, 0.5), bench::Percentile(plain, 0.99),
                failed);
    std::printf("| %s | one -on-event | %.3f | %.3f | |\n", what.c_str(),
                bench::Percentile(withHook, 0.5),
                bench::Percentile(withHook, 0.99));
  }
}

// Events written and synced a second into a spool in folder.
// batch events are written before each sync of the folder, as the
// gateway writes what waits at once.
void Throughput(const Options& options, const char* what,
                const std::string& folder, int batch) {
  Spool spool(folder,
              SpoolLimits{static_cast<size_t>(options.events) + 1, 1u << 30});
  std::string error;
  if (!spool.Open(&error)) {
    std::printf("| %s | %s |\n", what, error.c_str());
    return;
  }
  Event event;
  event.type = "change";
  event.user = "ALICE";
  event.destinations.push_back({"HOSTA", "refused", 2004,
                                "The new password equals the current one.", 0});
  event.source = "127.0.0.1";
  event.operation = "7";
  double begin = bench::Seconds();
  for (int i = 0; i < options.events; ++i) {
    event.time = std::chrono::system_clock::now();
    event.id = NewEventId(event.time);
    if (spool.Write(event.id, EventJson(event), &error, batch == 1) !=
        Spool::WriteResult::kWritten) {
      std::printf("| %s | %s |\n", what, error.c_str());
      return;
    }
    if (batch > 1 && (i + 1) % batch == 0 && !spool.SyncFolder(&error)) {
      std::printf("| %s | %s |\n", what, error.c_str());
      return;
    }
  }
  double seconds = bench::Seconds() - begin;
  std::printf("| %s | %d | %d | %.0f | %.3f |\n", what, batch, options.events,
              options.events / seconds, seconds * 1000 / options.events);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.programs = bench::OwnFolder() + "/../programs";
  if (!bench::ParseOptions(
          argc, argv,
          {bench::Whole("--changes", &options.changes, 1, 100000),
           bench::Whole("--rounds", &options.rounds, 1, 100),
           bench::Whole("--events", &options.events, 1, 1000000),
           bench::Whole("--pace-ms", &options.paceMs, 1, 1000)})) {
    std::fprintf(stderr,
                 "usage: hooks_bench [--changes N] [--rounds N] "
                 "[--events N] [--pace-ms N]\n");
    return 2;
  }
  Latency(options);
  std::printf(
      "\n## The spool: events written and synced\n\n"
      "| folder | events a folder sync | events | a second | ms each |\n"
      "|---|---:|---:|---:|---:|\n");
  std::vector<std::pair<std::string, std::string>> folders;
  e2e::Sandbox box;  // the temporary folder's file system
  folders.push_back({"temporary folder", box.Path("spool")});
  folders.push_back(
      {"the build folder's disk", bench::OwnFolder() + "/hooks-bench-spool"});
  if (access("/dev/shm", W_OK) == 0) {
    folders.push_back({"tmpfs (/dev/shm)", "/dev/shm/tarpon-hooks-bench-" +
                                               std::to_string(getpid())});
  }
  for (const auto& folder : folders) {
    for (int batch : {1, 64}) {
      std::string path = folder.second + "-" + std::to_string(batch);
      Throughput(options, folder.first.c_str(), path, batch);
      std::string clean = "rm -rf '" + path + "'";
      if (std::system(clean.c_str()) != 0) return 1;
    }
  }
  return 0;
}
