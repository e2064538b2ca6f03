// End-to-end tests of the limit per account: guesses for one user ID from
// many sources never get the host to revoke it, and two gateways that share
// a Redis server give one allowance, keep serving on their own while it is
// gone, and take it up again when it is back. Loopback only.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/record_format.h"
#include "tests/support/gateway_support.h"

namespace {

// Sends a request of options to port from source, after header when one is
// given; the reply's return code, or "closed".
std::string Request(int port, const std::string& options,
                    const std::string& source = "127.0.0.1",
                    const std::string& header = "") {
  const char userData[record_format::kUserDataLength] = {};
  int fd = e2e::ConnectFrom(source, port);
  if (fd < 0) return "no connection";
  std::string bytes = header + record_format::EncodeDataRecord(
                                   userData, options.data(),
                                   static_cast<uint32_t>(options.size()));
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  std::string reply = e2e::SendAndReadToClose(fd, "", 10000);
  if (reply.size() < record_format::kHeaderLength) return "closed";
  return std::string(reply.data() + 8, strnlen(reply.data() + 8, 16));
}

int StartServices(e2e::Sandbox& box, const std::vector<std::string>& names) {
  std::string services;
  int first = 0;
  for (const std::string& name : names) {
    int port = e2e::FreeLoopbackPort();
    if (first == 0) first = port;
    services += name + " " + std::to_string(port) + "/tcp\n";
  }
  box.Write("services", services);
  return first;
}

int PortOf(const e2e::Sandbox& box, const std::string& name) {
  std::string services = box.Read("services");
  size_t at = services.find(name + " ");
  return at == std::string::npos
             ? 0
             : std::atoi(services.c_str() + at + name.size() + 1);
}

TEST(AccountLimitE2eTest, GuessesFromManySourcesNeverRevokeTheUserId) {
  e2e::Sandbox box;
  box.Write("sna-node.conf", e2e::RevokingNodeConfig());
  box.Write("users.db", "ALICE SECRET1\n");
  chmod(box.Path("users.db").c_str(), 0600);
  StartServices(box, {"tarponGateway"});
  int port = PortOf(box, "tarponGateway");
  const std::vector<std::string> env = {
      "TARPON_SNA_NODE=" + box.Path("sna-node.conf"),
      "TARPON_SERVICES=" + box.Path("services")};
  auto gateway = e2e::StartGateway(e2e::BinDir() + "/tarpons", box, "gateway",
                                   env, {"-proxy-from", "127.0.0.2"});
  ASSERT_TRUE(gateway) << box.Read("gateway.err");
  // A balancer at 127.0.0.2 brings a new source each time.
  std::vector<std::string> codes;
  for (int i = 1; i <= 8; ++i) {
    std::string header = "PROXY TCP4 198.51.100." + std::to_string(i) +
                         " 192.0.2.1 40000 5000\r\n";
    codes.push_back(Request(
        port, "-u alice -p GUESS" + std::to_string(i) + " -np NEW1 -s hosta",
        "127.0.0.2", header));
  }
  EXPECT_EQ((std::vector<std::string>{"2002", "2002", "0030", "0030", "0030",
                                      "0030", "0030", "0030"}),
            codes);
  EXPECT_EQ(std::string::npos, box.Read("users.db").find("revoked"))
      << box.Read("users.db");
  // The remote client says who is held and for how long, exits 30, and
  // the right password too waits for the hold to end.
  e2e::RunResult client = e2e::Run(e2e::BinDir() + "/tarponrc",
                                   {"127.0.0.1", "-u", "alice", "-p", "SECRET1",
                                    "-np", "NEW1", "-s", "hosta"},
                                   env, 20000);
  EXPECT_EQ(30, client.status) << client.out;
  const std::string line =
      "TARPON SERVER E0030 : user ALICE at HOSTA: changes held back for ";
  EXPECT_NE(std::string::npos, client.out.find(line)) << client.out;
  e2e::WaitForText(box, "gateway.log", "tarponRc(30) \n", 5000);
  std::string log = e2e::WithoutTimeStamps(box.Read("gateway.log"));
  EXPECT_NE(std::string::npos, log.find(line)) << log;
  EXPECT_NE(std::string::npos,
            log.find("TARPON SERVER hold for user ALICE at HOSTA after failed "
                     "sign-ons: changes held back for 60 seconds"))
      << log;
}

using e2e::StartRedis;

TEST(AccountLimitE2eTest, TwoGatewaysSharingRedisGiveOneAllowance) {
  if (access("/usr/bin/redis-server", X_OK) != 0) {
    GTEST_SKIP() << "redis-server is not installed";
  }
  e2e::Sandbox box;
  box.Write("sna-node.conf", e2e::RevokingNodeConfig());
  box.Write("users.db", "ALICE SECRET1\n");
  chmod(box.Path("users.db").c_str(), 0600);
  StartServices(box, {"gatewayOne", "gatewayTwo", "redis"});
  const int one = PortOf(box, "gatewayOne");
  const int two = PortOf(box, "gatewayTwo");
  const int redisPort = PortOf(box, "redis");
  auto redis = StartRedis(box, redisPort);
  ASSERT_TRUE(redis) << box.Read("redis.out");
  const std::vector<std::string> env = {
      "TARPON_SNA_NODE=" + box.Path("sna-node.conf"),
      "TARPON_SERVICES=" + box.Path("services")};
  const std::string store = "redis://127.0.0.1:" + std::to_string(redisPort);
  auto first = e2e::StartGateway(e2e::BinDir() + "/tarpons", box, "one", env,
                                 {"-S", "gatewayOne", "-shared-state", store});
  auto second = e2e::StartGateway(e2e::BinDir() + "/tarpons", box, "two", env,
                                  {"-S", "gatewayTwo", "-shared-state", store});
  ASSERT_TRUE(first && second) << box.Read("one.err") << box.Read("two.err");
  auto guess = [](int port, const std::string& user) {
    return Request(port, "-u " + user + " -p WRONG -np NEW1 -s hosta");
  };
  // Alternating: one allowance of two, not two of two.
  std::vector<std::string> shared = {guess(one, "alice"), guess(two, "alice"),
                                     guess(one, "alice"), guess(two, "alice")};
  EXPECT_EQ((std::vector<std::string>{"2002", "2002", "0030", "0030"}), shared);
  // One address guessing at five user IDs through both gateways: five
  // failures together start its penalty at both.
  std::vector<std::string> spread;
  for (int i = 1; i <= 6; ++i) {
    spread.push_back(
        Request(i % 2 == 1 ? one : two,
                "-u user" + std::to_string(i) + " -p WRONG -np NEW1 -s hosta",
                "127.0.0.5"));
  }
  EXPECT_EQ((std::vector<std::string>{"2001", "2001", "2001", "2001", "2001",
                                      "closed"}),
            spread);
  // The store stops: each gateway counts on its own and keeps serving.
  redis->Stop();
  std::vector<std::string> alone = {guess(one, "bob"), guess(two, "bob"),
                                    guess(one, "bob"), guess(one, "bob"),
                                    guess(two, "bob"), guess(two, "bob")};
  EXPECT_EQ((std::vector<std::string>{"2001", "2001", "2001", "0030", "2001",
                                      "0030"}),
            alone);
  // Back: after the second's wait for a retry, both count there again.
  redis = StartRedis(box, redisPort);
  ASSERT_TRUE(redis);
  usleep(1200 * 1000);
  std::vector<std::string> again = {guess(one, "carol"), guess(two, "carol"),
                                    guess(one, "carol")};
  EXPECT_EQ((std::vector<std::string>{"2001", "2001", "0030"}), again);
  for (const char* name : {"one.log", "two.log"}) {
    // A session's line is written after its reply has gone.
    e2e::WaitForText(box, name, "answers again: counting there", 5000);
    std::string log = box.Read(name);
    EXPECT_NE(std::string::npos,
              log.find("counting in memory until it answers"))
        << log;
    EXPECT_NE(std::string::npos, log.find("answers again: counting there"))
        << log;
    // Logged once, however many requests met the store down.
    EXPECT_EQ(log.find("counting in memory"), log.rfind("counting in memory"));
  }
  EXPECT_EQ(std::string::npos, box.Read("users.db").find("revoked"));
}

}  // namespace
