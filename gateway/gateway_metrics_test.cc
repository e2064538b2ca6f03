// The gateway's metrics: the engine's return codes grouped into outcomes,
// and the whole set served by a MetricsListener as a scraper sees it,
// checked by promtool when it is installed.
#include "gateway/gateway_metrics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "contract/tarpon_rc.h"
#include "metrics/metrics_listener.h"
#include "tests/support/http_support.h"

namespace {

// A rendering without the samples of the process's own readings.
std::string WithoutProcessSamples(const std::string& text) {
  std::istringstream in(text);
  std::string kept;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("process_", 0) != 0) kept += line + "\n";
  }
  return kept;
}

TEST(GatewayMetricsTest, GroupsReturnCodesAsTheExitStatusDoes) {
  const struct {
    const char* outcome;
    std::vector<int> codes;
  } groups[] = {
      {"changed", {0}},
      {"information", {4}},
      {"bad_request", {14, 15, 1020}},
      {"node_error", {8, 17, 18, 19, 1024}},
      {"local_unavailable", {21}},
      {"refused_by_host", {2001, 2002, 2054}},
      {"other", {2000, 2055, 1, 255, -1}},
      {"account_held", {30}},
      {"new_password_refused", {31, 32}},
  };
  for (const auto& group : groups) {
    for (int rc : group.codes) {
      EXPECT_STREQ(group.outcome, SessionOutcomeName(SessionOutcomeOf(rc)))
          << rc;
    }
  }
}

// promtool's verdict on text, or "" when promtool is not installed.
std::string Promtool(const std::string& text) {
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) return "";
  std::string path = testing::TempDir() + "metrics.txt";
  std::ofstream(path) << text;
  std::string command = "promtool check metrics < " + path + " 2>&1";
  std::string verdict;
  FILE* out = popen(command.c_str(), "r");
  char chunk[256];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, out)) > 0) verdict.append(chunk, n);
  int status = pclose(out);
  std::remove(path.c_str());
  return status == 0 ? "ok" : "failed: " + verdict;
}

TEST(GatewayMetricsTest, ServesTheSetToScrapers) {
  GatewayMetrics metrics;
  metrics.CountSession(TARPON_RC_OK);
  metrics.CountSession(TARPON_RC_HOST_STATUS_BASE + 2);
  metrics.refusedPerSource->Increment();
  metrics.connectionsOpen->Set(3);
  metrics.engineRunSeconds->Observe(0.02);
  MetricsListener listener(&metrics.registry());
  std::string error;
  ASSERT_TRUE(listener.Start("127.0.0.1:0", &error)) << error;

  struct Case {
    const char* request;
    int status;
  };
  const Case cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n", 200},
      {"GET / HTTP/1.1\r\nHost: t\r\n\r\n", 404},
      {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", 405},
      {"HEAD /metrics HTTP/1.1\r\nHost: t\r\n\r\n", 405},
      {"HELLO\r\n\r\n", 400},
      {"POST /metrics HTTP/1.1\r\nContent-Length: 9000\r\n\r\n", 413},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status, http_test::HttpExchange(listener.port(), c.request,
                                                /*timeoutMs=*/5000)
                            .status)
        << c.request;
  }
  std::string head = "GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'x');
  EXPECT_EQ(431,
            http_test::HttpExchange(listener.port(), head + "\r\n\r\n").status);

  http_test::HttpAnswer scrape = http_test::HttpExchange(
      listener.port(), "GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n");
  EXPECT_EQ("text/plain; version=0.0.4", scrape.contentType);
  // The process's readings (CPU time, descriptors) move between two
  // renders; every other line is the same.
  EXPECT_EQ(WithoutProcessSamples(metrics.registry().Render()),
            WithoutProcessSamples(scrape.body));
  EXPECT_NE(std::string::npos, scrape.body.find("\nprocess_open_fds "));
  for (const char* sample : {
           "tarpons_sessions_total{outcome=\"changed\"} 1\n",
           "tarpons_sessions_total{outcome=\"refused_by_host\"} 1\n",
           "tarpons_connections_refused_total{cap=\"per_source\"} 1\n",
           "tarpons_connections_open 3\n",
           "tarpons_engine_run_seconds_bucket{le=\"0.025\"} 1\n",
           "tarpons_build_info{version=\"2.0\"} 1\n",
       }) {
    EXPECT_NE(std::string::npos, scrape.body.find(sample)) << sample;
  }
  std::string verdict = Promtool(scrape.body);
  if (verdict.empty()) GTEST_SKIP() << "promtool is not installed";
  EXPECT_EQ("ok", verdict) << scrape.body;
}

}  // namespace
