// The registry's text, whole, and updates from several threads at once.
#include "metrics/metrics_registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "metrics/process_metrics.h"

namespace {

TEST(MetricsRegistryTest, RendersTheTextFormat) {
  MetricsRegistry registry;
  registry.AddCounter("t_requests_total", "Requests.")->Increment(3);
  CounterFamily* refused = registry.AddCounterFamily(
      "t_refused_total", "Refused, by \\cause\nsecond line.", "cause",
      {"cap", "say \"no\"\\\n"});
  refused->Get("say \"no\"\\\n")->Increment();
  EXPECT_EQ(nullptr, refused->Get("other"));
  registry.AddGauge("t_open", "Open now.")->Add(-2);
  Histogram* seconds =
      registry.AddHistogram("t_run_seconds", "Run time.", {0.0005, 0.25, 1});
  for (double value : {0.0005, 0.125, 0.25, 4.0}) seconds->Observe(value);
  registry.AddInfo("t_build_info", "Build.", "version", "2.0");
  double cpu = 1.5;
  registry.AddReading("t_cpu_seconds_total", "CPU.", true,
                      [&cpu] { return cpu += 1; });
  registry.AddReading("t_fds", "Descriptors.", false, [] { return 7.0; });

  EXPECT_EQ(
      "# HELP t_requests_total Requests.\n"
      "# TYPE t_requests_total counter\n"
      "t_requests_total 3\n"
      "# HELP t_refused_total Refused, by \\\\cause\\nsecond line.\n"
      "# TYPE t_refused_total counter\n"
      "t_refused_total{cause=\"cap\"} 0\n"
      "t_refused_total{cause=\"say \\\"no\\\"\\\\\\n\"} 1\n"
      "# HELP t_open Open now.\n"
      "# TYPE t_open gauge\n"
      "t_open -2\n"
      "# HELP t_run_seconds Run time.\n"
      "# TYPE t_run_seconds histogram\n"
      "t_run_seconds_bucket{le=\"0.0005\"} 1\n"
      "t_run_seconds_bucket{le=\"0.25\"} 3\n"
      "t_run_seconds_bucket{le=\"1\"} 3\n"
      "t_run_seconds_bucket{le=\"+Inf\"} 4\n"
      "t_run_seconds_sum 4.3755\n"
      "t_run_seconds_count 4\n"
      "# HELP t_build_info Build.\n"
      "# TYPE t_build_info gauge\n"
      "t_build_info{version=\"2.0\"} 1\n"
      "# HELP t_cpu_seconds_total CPU.\n"
      "# TYPE t_cpu_seconds_total counter\n"
      "t_cpu_seconds_total 2.5\n"
      "# HELP t_fds Descriptors.\n"
      "# TYPE t_fds gauge\n"
      "t_fds 7\n",
      registry.Render());
  // A reading is read again at each rendering.
  EXPECT_NE(std::string::npos,
            registry.Render().find("\nt_cpu_seconds_total 3.5\n"));
}

// The process's own readings are what the system says of it.
TEST(ProcessMetricsTest, ReadsThisProcess) {
  EXPECT_GT(ProcessCpuSeconds(), 0);
  EXPECT_GT(ProcessResidentBytes(), 1 << 20);
  const double open = ProcessOpenDescriptors();
  int extra = dup(0);
  EXPECT_EQ(open + 1, ProcessOpenDescriptors());
  close(extra);
  EXPECT_GE(ProcessMaxDescriptors(), open);
  const double now = std::chrono::duration<double>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  EXPECT_LE(ProcessStartTime(), now);
  EXPECT_GT(ProcessStartTime(), now - 3600);
  MetricsRegistry registry;
  AddProcessMetrics(&registry);
  EXPECT_EQ(0u, registry.Render().find(
                    "# HELP process_cpu_seconds_total User and system CPU"));
}

// Run under ThreadSanitizer by scripts/tsan.sh: updates and a scrape at the
// same time, and no update lost.
TEST(MetricsThreadTest, CountsEveryUpdateFromSeveralThreads) {
  MetricsRegistry registry;
  Counter* counter = registry.AddCounter("t_total", "Total.");
  Gauge* gauge = registry.AddGauge("t_level", "Level.");
  Histogram* histogram = registry.AddHistogram("t_seconds", "Time.", {1});
  constexpr int kThreads = 4;
  constexpr int kUpdates = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kUpdates; ++i) {
        counter->Increment();
        gauge->Increment();
        histogram->Observe(0.5);
      }
    });
  }
  while (counter->Value() < kThreads * kUpdates / 2) registry.Render();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(uint64_t{kThreads * kUpdates}, counter->Value());
  EXPECT_EQ(kThreads * kUpdates, gauge->Value());
  EXPECT_EQ(uint64_t{kThreads * kUpdates}, histogram->BucketCount(0));
  EXPECT_EQ(kThreads * kUpdates * 0.5, histogram->Sum());
}

}  // namespace
