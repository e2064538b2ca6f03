// The metrics listener's address text, its start failures, and what it
// does with clients that would hold it: the silent, the slow and one too
// many. (Serving the gateway's metrics: gateway/gateway_metrics_test.cc.)
#include "metrics/metrics_listener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "metrics/metrics_registry.h"
#include "tests/support/http_support.h"

namespace {

using http_test::HttpAnswer;
using http_test::HttpExchange;

TEST(MetricsListenerTest, ParsesTheAddress) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:9101", true, "127.0.0.1", 9101},
      {"[::1]:9101", true, "::1", 9101},
      {"[2001:db8::7]:65535", true, "2001:db8::7", 65535},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {"127.0.0.1:91a", false, "", 0},
      {"127.0.0.1:+91", false, "", 0},
      {"localhost:9101", false, "", 0},
      {"::1:9101", false, "", 0},
      {"[::1]9101", false, "", 0},
      {"[127.0.0.1]:9101", false, "", 0},
      {"", false, "", 0},
  };
  for (const Case& c : cases) {
    ListenAddress address;
    ASSERT_EQ(c.ok, ParseListenAddress(c.text, &address)) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(c.host, address.host) << c.text;
    EXPECT_EQ(c.port, address.port) << c.text;
  }
}

TEST(MetricsListenerTest, SaysWhyItDoesNotStart) {
  MetricsRegistry registry;
  MetricsListener first(&registry);
  std::string error;
  ASSERT_TRUE(first.Start("127.0.0.1:0", &error)) << error;
  std::string taken = "127.0.0.1:" + std::to_string(first.port());
  EXPECT_FALSE(first.Start(taken, &error));
  EXPECT_EQ("the metrics listener runs already", error);

  MetricsListener second(&registry);
  EXPECT_FALSE(second.Start(taken, &error));
  EXPECT_EQ("cannot listen on " + taken + ": Address already in use", error);
  EXPECT_FALSE(second.Start("localhost:9101", &error));
  EXPECT_EQ(
      "bad address localhost:9101 (IPv4:PORT or [IPv6]:PORT, such as "
      "127.0.0.1:9101)",
      error);
  EXPECT_EQ(0, second.port());

  first.Stop();
  EXPECT_TRUE(second.Start(taken, &error)) << error;
}

// One connection at a time and a short deadline: a client that sends half
// a request holds the listener only until the deadline, a second client
// meanwhile is closed at once, and then the listener serves again.
TEST(MetricsListenerTest, DropsSlowClientsAndOneTooMany) {
  MetricsRegistry registry;
  registry.AddCounter("t_total", "Total.");
  MetricsListenerLimits limits;
  limits.maxConnections = 1;
  limits.deadline = std::chrono::milliseconds(300);
  MetricsListener listener(&registry, limits);
  std::string error;
  ASSERT_TRUE(listener.Start("127.0.0.1:0", &error)) << error;
  const std::string get = "GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n";

  // Accepted before the next, which thus finds the one slot taken.
  http_test::RawConnection slow(listener.port());
  ASSERT_TRUE(slow.Send("GET /metrics HTTP/1.1\r\n"));
  HttpAnswer extra = HttpExchange(listener.port(), get);
  EXPECT_TRUE(extra.connected);
  EXPECT_FALSE(extra.answered);

  EXPECT_TRUE(slow.ClosedByPeer());

  // The slot comes back when the listener has seen the slow client go.
  HttpAnswer again;
  for (int attempt = 0; attempt < 100 && !again.answered; ++attempt) {
    again = HttpExchange(listener.port(), get);
  }
  EXPECT_EQ(200, again.status);
  EXPECT_EQ("# HELP t_total Total.\n# TYPE t_total counter\nt_total 0\n",
            again.body);
}

}  // namespace
