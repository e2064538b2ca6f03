// End-to-end test of two gateways behind HAProxy, configured by the shipped
// dist/haproxy/tarpons.cfg with loopback ports put in: a client's changes
// all succeed while each gateway in turn is stopped and started again, and
// one source's bad passwords penalise that source only. Skipped when
// haproxy is not installed (CI installs it). Loopback only.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "comm/record_format.h"
#include "tests/support/gateway_support.h"
#include "tests/support/haproxy_support.h"

namespace {

// The shipped configuration on loopback ports, its checks ten times as
// often, so that the test waits less for HAProxy to see a gateway go and
// come back.
std::string TestConfig(int front, int gw1, int gw2, int metrics1,
                       int metrics2) {
  return e2e::ReplaceOnce(
      e2e::LoopbackHaproxyConfig(TARPON_SOURCE_DIR "/dist/haproxy/tarpons.cfg",
                                 front, gw1, gw2, metrics1, metrics2),
      "inter 2s fastinter 500ms downinter 1s",
      "inter 200ms fastinter 50ms downinter 100ms");
}

// One request as a record from source; the reply's return code, or
// "closed" when no whole reply came.
std::string RequestFrom(const std::string& source, int port,
                        const std::string& request) {
  int fd = e2e::ConnectFrom(source, port);
  if (fd < 0) return "no connection";
  const char userData[record_format::kUserDataLength] = {};
  std::string record = record_format::EncodeDataRecord(
      userData, request.data(), static_cast<uint32_t>(request.size()));
  std::string reply = e2e::SendAndReadToClose(fd, record, 10000);
  if (reply.size() < record_format::kHeaderLength) return "closed";
  return std::string(reply.data() + 8, strnlen(reply.data() + 8, 4));
}

class RollingRestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    haproxy_ = e2e::FindHaproxy();
    if (haproxy_.empty()) GTEST_SKIP() << "haproxy is not installed";
    box_.Write("sna-node.conf", e2e::kGatewayNodeConfig);
    box_.Write("users.db", "ALICE START1\nBOB PASSW0RD\n");
    front_ = e2e::FreeLoopbackPort();
    box_.Write("front.services",
               "tarponGateway " + std::to_string(front_) + "/tcp\n");
    for (int g = 0; g < 2; ++g) {
      ports_[g] = e2e::FreeLoopbackPort();
      metrics_[g] = e2e::FreeLoopbackPort();
      ASSERT_TRUE(StartGateway(g)) << box_.Read(LastName(g) + ".err");
    }
    std::string config =
        TestConfig(front_, ports_[0], ports_[1], metrics_[0], metrics_[1]);
    ASSERT_NE("", config) << "dist/haproxy/tarpons.cfg changed its shape";
    box_.Write("haproxy.cfg", config);
    haproxyProcess_ = std::make_unique<e2e::Background>(
        haproxy_,
        std::vector<std::string>{"-db", "-f", box_.Path("haproxy.cfg")},
        std::vector<std::string>{}, box_.Path("haproxy.out"),
        box_.Path("haproxy.err"));
    ASSERT_TRUE(e2e::WaitForPort(front_, 10000)) << box_.Read("haproxy.err");
  }

  std::string LastName(int g) const {
    return "gw" + std::to_string(g + 1) + "-" + std::to_string(starts_[g]);
  }

  // Starts gateway g on its port, with a log of its own for each start.
  bool StartGateway(int g) {
    ++starts_[g];
    std::string services = "gw" + std::to_string(g + 1) + ".services";
    box_.Write(services,
               "tarponGateway " + std::to_string(ports_[g]) + "/tcp\n");
    gateways_[g] = e2e::StartGateway(
        e2e::BinDir() + "/tarpons", box_, LastName(g),
        {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
         "TARPON_SERVICES=" + box_.Path(services)},
        // The per-source penalties are the point here;
        // the balancer asks the metrics' /readyz.
        {"-proxy-from", "127.0.0.1", "-accountlimit", "off", "-metrics",
         "127.0.0.1:" + std::to_string(metrics_[g])});
    return gateways_[g] != nullptr;
  }

  // SIGTERM to gateway g; its exit status, or -1 after 10 s.
  int StopGateway(int g) {
    kill(gateways_[g]->pid(), SIGTERM);
    return gateways_[g]->Wait(10000);
  }

  // How often HAProxy has said gateway g is in state ("UP" or "DOWN").
  int TimesSaid(int g, const std::string& state) {
    std::string err = box_.Read("haproxy.err");
    std::string text = "tarpons/gw" + std::to_string(g + 1) + " is " + state;
    int count = 0;
    for (size_t at = err.find(text); at != std::string::npos;
         at = err.find(text, at + 1)) {
      ++count;
    }
    return count;
  }

  // Waits, bounded, until HAProxy says gateway g is in state once more
  // than before.
  bool WaitForState(int g, const std::string& state, int before) {
    long long deadline = e2e::NowMs() + 15000;
    while (TimesSaid(g, state) == before && e2e::NowMs() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return TimesSaid(g, state) > before;
  }

  std::string haproxy_;
  e2e::Sandbox box_;
  int front_ = -1;
  int ports_[2] = {-1, -1};
  int metrics_[2] = {-1, -1};
  int starts_[2] = {0, 0};
  std::unique_ptr<e2e::Background> gateways_[2];
  std::unique_ptr<e2e::Background> haproxyProcess_;
};

// The client makes its changes in a thread of its own; the test stops each
// gateway while they go on: a change the gateway has accepted is served
// through its stop, and the changes after it meet a refused connect and
// are redispatched. A test that fails early ends the thread after its
// change.
class Client {
 public:
  Client(const std::string& services, int changes)
      : services_(services), changes_(changes), thread_([this] { Run(); }) {}
  ~Client() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopWanted_ = true;
    }
    Join();
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  void Run() {
    for (int i = 0; i < changes_; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopWanted_) break;
      }
      std::string old = i == 0 ? "START1" : NewPassword(i - 1);
      e2e::RunResult result = e2e::Run(e2e::BinDir() + "/tarponrc",
                                       {"127.0.0.1", "-u", "ALICE", "-p", old,
                                        "-np", NewPassword(i), "-s", "hosta"},
                                       {"TARPON_SERVICES=" + services_}, 30000);
      if (result.status != 0 && failures_.empty()) {
        failures_ = "change " + std::to_string(i) + ": " + result.out;
      }
      if (result.status != 0) ++failed_;
      ++done_;
    }
  }

  static std::string NewPassword(int i) { return i % 2 == 0 ? "PWA" : "PWB"; }

  // Waits, bounded, for count changes done; false when the client did not
  // get there in time.
  bool WaitFor(int count) {
    long long deadline = e2e::NowMs() + 30000;
    while (done_ < count && e2e::NowMs() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done_ >= count;
  }

  int done() const { return done_; }
  int failed() const { return failed_; }
  const std::string& failures() const { return failures_; }

 private:
  std::string services_;
  int changes_;
  std::mutex mutex_;
  bool stopWanted_ = false;
  std::atomic<int> done_{0};
  std::atomic<int> failed_{0};
  std::string failures_;
  std::thread thread_;  // last: starts once the rest is there
};

TEST_F(RollingRestartTest, RestartsLoseNoChangeAndPenaltiesStayPerSource) {
  constexpr int kChanges = 300;
  Client client(box_.Path("front.services"), kChanges);
  for (int g = 0; g < 2; ++g) {
    SCOPED_TRACE("gateway " + std::to_string(g + 1));
    int downBefore = TimesSaid(g, "DOWN");
    int upBefore = TimesSaid(g, "UP");
    ASSERT_TRUE(client.WaitFor(60 + 100 * g));
    EXPECT_EQ(0, StopGateway(g));
    // Changes go on while HAProxy notices; a refused connect is retried on
    // the other gateway.
    ASSERT_TRUE(WaitForState(g, "DOWN", downBefore))
        << box_.Read("haproxy.err");
    ASSERT_TRUE(StartGateway(g)) << box_.Read(LastName(g) + ".err");
    ASSERT_TRUE(WaitForState(g, "UP", upBefore)) << box_.Read("haproxy.err");
  }
  client.Join();
  EXPECT_EQ(kChanges, client.done());
  EXPECT_EQ(0, client.failed()) << client.failures();
  EXPECT_NE(std::string::npos,
            box_.Read("users.db").find(Client::NewPassword(kChanges - 1)));

  const std::string bad = "-u BOB -p WRONG1 -np NEWPW1 -s hosta";
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ("2002", RequestFrom("127.0.0.9", front_, bad)) << i;
  }
  // The balancer is trusted: the penalised address is answered, not cut.
  EXPECT_EQ("0030", RequestFrom("127.0.0.9", front_, bad));
  EXPECT_EQ("0000", RequestFrom("127.0.0.10", front_,
                                "-u BOB -p PASSW0RD -np NEWPW2 -s hosta"));
  std::string logs =
      box_.Read(LastName(0) + ".log") + box_.Read(LastName(1) + ".log");
  EXPECT_NE(std::string::npos, logs.find("penalty for IP(127.0.0.9): "))
      << logs;
}

}  // namespace
