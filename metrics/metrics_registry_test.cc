// The registry's text, whole, and updates from several threads at once.
#include "metrics/metrics_registry.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

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
      "t_build_info{version=\"2.0\"} 1\n",
      registry.Render());
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
