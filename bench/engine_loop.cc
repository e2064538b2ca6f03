// engine_loop: runs the engine in-process for a fixed number of full
// changes in a temporary node and prints the microseconds per request. It
// is the program the profilers run (callgrind, perf), since it does nothing
// but the work measured.
//
//   engine_loop [COUNT] [change|refused|bad-password|help] [USERS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>

#include "bench/bench_support.h"
#include "engine/tarpon.h"
#include "trace/program_output.h"
#include "trace/trace.h"

int main(int argc, char** argv) {
  long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  const char* kind = argc > 2 ? argv[2] : "change";
  if (count < 1 || count > 10000000) {
    std::fprintf(stderr, "engine_loop: count must be 1 to 10000000\n");
    return 2;
  }
  long users = argc > 3 ? std::strtol(argv[3], nullptr, 10) : bench::kUsers;
  if (users < 1 || users > 100000) {
    std::fprintf(stderr, "engine_loop: users must be 1 to 100000\n");
    return 2;
  }
  e2e::Sandbox box;
  setenv("TARPON_SNA_NODE",
         bench::WriteNode(box, static_cast<int>(users)).c_str(), 1);
  bench::WaitForNodeToSettle();
  std::ostringstream dropped;
  std::streambuf* savedLog = trace_log().rdbuf(dropped.rdbuf());

  const char* change[2] = {"-u ALICE -p SECRET1 -np SECRET2 -s hosta",
                           "-u ALICE -p SECRET2 -np SECRET1 -s hosta"};
  const char* line = nullptr;
  int expected = 0;
  if (std::strcmp(kind, "refused") == 0) {
    line = bench::kRefusedChange;
    expected = bench::kRefusedCode;
  } else if (std::strcmp(kind, "bad-password") == 0) {
    line = bench::kBadPassword;
    expected = bench::kBadPasswordCode;
  } else if (std::strcmp(kind, "help") == 0) {
    line = bench::kHelpRequest;
    expected = 4;
  } else if (std::strcmp(kind, "change") != 0) {
    std::fprintf(
        stderr, "engine_loop: kind is change, refused, bad-password or help\n");
    return 2;
  }

  int failures = 0;
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    OutputCapture capture;
    int rc = run_command_line(line != nullptr ? line : change[i & 1]);
    if (rc != expected) ++failures;
    dropped.str("");
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  trace_log().rdbuf(savedLog);
  std::printf(
      "engine_loop %s, %ld users: %ld requests, %.1f us per request, %d "
      "failed\n",
      kind, users, count, seconds * 1e6 / count, failures);
  return failures == 0 ? 0 : 1;
}
