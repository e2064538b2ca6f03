// Micro benchmarks (Google Benchmark): the cost of a function trace scope
// while the trace is off, and the engine's run_command_line in-process for
// a full change, a refused change and the help text.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <streambuf>

#include "bench/bench_support.h"
#include "engine/tarpon.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

// A stream buffer that drops everything: the log record and trace lines of
// the benchmarks go nowhere.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Every operation of the system is a function that opens a scope on entry.
// The pairs below differ only in the scope, so their difference is its cost.
// A leaf: the compiler sees everything between opening and closing.
__attribute__((noinline)) int LeafPlain(int x) { return (x * 3 + 1) & 0xffff; }

__attribute__((noinline)) int LeafTraced(int x) {
  int rc = 0;
  TraceScope scope("LeafTraced(x)", &rc, TRACE_OFF);
  rc = (x * 3 + 1) & 0xffff;
  return rc;
}

// A caller: the body may touch any memory (as a call into another module
// does), so the depth must really be kept in memory on both sides.
__attribute__((noinline)) int CallerPlain(int x) {
  benchmark::ClobberMemory();
  return (x * 3 + 1) & 0xffff;
}

__attribute__((noinline)) int CallerTraced(int x) {
  int rc = 0;
  TraceScope scope("CallerTraced(x)", &rc, TRACE_OFF);
  benchmark::ClobberMemory();
  rc = (x * 3 + 1) & 0xffff;
  return rc;
}

// A function with a body: some arithmetic that keeps the processor busy
// for a few nanoseconds without touching memory, as most of the system's
// functions do more than return.
inline int Body(int x) {
  unsigned v = static_cast<unsigned>(x);
  for (int i = 0; i < 8; ++i) {
    benchmark::DoNotOptimize(v);
    v = v * 2654435761u + 0x9e3779b9u;
  }
  return static_cast<int>(v >> 1);
}

__attribute__((noinline)) int BodyPlain(int x) { return Body(x); }

__attribute__((noinline)) int BodyTraced(int x) {
  int rc = 0;
  TraceScope scope("BodyTraced(x)", &rc, TRACE_OFF);
  rc = Body(x);
  return rc;
}

template <int (*F)(int)>
void BM_Call(benchmark::State& state) {
  set_trace_flags(TRACE_OFF);
  int x = 1;
  for (auto _ : state) {
    x = F(x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK_TEMPLATE(BM_Call, LeafPlain)->Name("trace/leaf_plain");
BENCHMARK_TEMPLATE(BM_Call, LeafTraced)->Name("trace/leaf_scope_off");
BENCHMARK_TEMPLATE(BM_Call, CallerPlain)->Name("trace/caller_plain");
BENCHMARK_TEMPLATE(BM_Call, CallerTraced)->Name("trace/caller_scope_off");
BENCHMARK_TEMPLATE(BM_Call, BodyPlain)->Name("trace/body_plain");
BENCHMARK_TEMPLATE(BM_Call, BodyTraced)->Name("trace/body_scope_off");

// For scale: the same scope with the trace on, writing to a dropped stream.
void BM_TraceOn(benchmark::State& state) {
  NullBuffer null;
  std::streambuf* saved = trace_log().rdbuf(&null);
  set_trace_flags(TRACE_ON);
  int x = 1;
  for (auto _ : state) {
    x = CallerTraced(x);
    benchmark::DoNotOptimize(x);
  }
  set_trace_flags(TRACE_OFF);
  trace_log().rdbuf(saved);
}
BENCHMARK(BM_TraceOn)->Name("trace/caller_scope_on");

// The engine in a temporary node, as the gateway runs it: standard output
// captured, the log stream dropped.
class EngineFixture : public benchmark::Fixture {
 public:
  void SetUp(const benchmark::State&) override {
    box_ = std::make_unique<e2e::Sandbox>();
    setenv("TARPON_SNA_NODE", bench::WriteNode(*box_).c_str(), 1);
    saved_ = trace_log().rdbuf(&null_);
    set_trace_flags(TRACE_OFF);
  }
  void TearDown(const benchmark::State&) override {
    trace_log().rdbuf(saved_);
    unsetenv("TARPON_SNA_NODE");
    box_.reset();
  }

 protected:
  // Runs one request; reports an error and returns false on a code other
  // than the expected one.
  bool Run(benchmark::State& state, const char* line, int expected) {
    OutputCapture capture;
    int rc = run_command_line(line);
    if (rc != expected) {
      state.SkipWithError("unexpected engine return code");
      return false;
    }
    return true;
  }

 private:
  std::unique_ptr<e2e::Sandbox> box_;
  NullBuffer null_;
  std::streambuf* saved_ = nullptr;
};

// A full change that succeeds: ALICE's password goes back and forth between
// two values, so each iteration reads, rewrites and flushes the database.
BENCHMARK_DEFINE_F(EngineFixture, FullChange)(benchmark::State& state) {
  const char* lines[2] = {"-u ALICE -p SECRET1 -np SECRET2 -s hosta",
                          "-u ALICE -p SECRET2 -np SECRET1 -s hosta"};
  int i = 0;
  for (auto _ : state) {
    if (!Run(state, lines[i], 0)) break;
    i ^= 1;
  }
  // Leave the database as it was when the iteration count was odd.
  if (i == 1) Run(state, lines[1], 0);
}
BENCHMARK_REGISTER_F(EngineFixture, FullChange)
    ->Name("engine/full_change")
    ->Unit(benchmark::kMicrosecond);

// The same change with the gateway's options (" -log -noterm").
BENCHMARK_DEFINE_F(EngineFixture, FullChangeGateway)(benchmark::State& state) {
  const char* lines[2] = {
      "-u ALICE -p SECRET1 -np SECRET2 -s hosta -log -noterm",
      "-u ALICE -p SECRET2 -np SECRET1 -s hosta -log -noterm"};
  int i = 0;
  for (auto _ : state) {
    if (!Run(state, lines[i], 0)) break;
    i ^= 1;
  }
  if (i == 1) Run(state, lines[1], 0);
}
BENCHMARK_REGISTER_F(EngineFixture, FullChangeGateway)
    ->Name("engine/full_change_gateway_options")
    ->Unit(benchmark::kMicrosecond);

// A refused change: reads the database, writes nothing (status X'04').
BENCHMARK_DEFINE_F(EngineFixture, RefusedChange)(benchmark::State& state) {
  for (auto _ : state) {
    if (!Run(state, bench::kRefusedChange, bench::kRefusedCode)) break;
  }
}
BENCHMARK_REGISTER_F(EngineFixture, RefusedChange)
    ->Name("engine/refused_change")
    ->Unit(benchmark::kMicrosecond);

// A wrong current password: the host counts the failure, so the database
// is rewritten and flushed as for a change.
BENCHMARK_DEFINE_F(EngineFixture, BadPassword)(benchmark::State& state) {
  for (auto _ : state) {
    if (!Run(state, bench::kBadPassword, bench::kBadPasswordCode)) break;
  }
}
BENCHMARK_REGISTER_F(EngineFixture, BadPassword)
    ->Name("engine/bad_password")
    ->Unit(benchmark::kMicrosecond);

// The help text: no node at all.
BENCHMARK_DEFINE_F(EngineFixture, Help)(benchmark::State& state) {
  for (auto _ : state) {
    if (!Run(state, bench::kHelpRequest, 4)) break;
  }
}
BENCHMARK_REGISTER_F(EngineFixture, Help)
    ->Name("engine/help")
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
