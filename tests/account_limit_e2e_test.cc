// End-to-end tests of the limit per account: guesses for one user ID from
// many sources never get the host to revoke it, and two gateways that share
// a Redis server give one allowance, keep serving on their own while it is
// gone, and take it up again when it is back. Loopback only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/proxy_header.h"
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
  if (fd < 0) return std::string("no connection: ") + std::strerror(errno);
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

// Sends requests at once, each from a new source behind the balancer at
// 127.0.0.2 (the i-th from 198.51.100.(first + i)); the return codes.
std::vector<std::string> Burst(int port, const std::string& options, int count,
                               int first = 1) {
  std::vector<std::string> codes(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      const std::string header = "PROXY TCP4 198.51.100." +
                                 std::to_string(first + i) +
                                 " 192.0.2.1 40000 5000\r\n";
      codes[i] = Request(port, options, "127.0.0.2", header);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return codes;
}

// How many of codes are code; the others are printed when a test fails.
::testing::AssertionResult Counted(const std::vector<std::string>& codes,
                                   const std::string& code, int expected) {
  const int n = static_cast<int>(std::count(codes.begin(), codes.end(), code));
  if (n == expected) return ::testing::AssertionSuccess();
  std::string all;
  for (const std::string& c : codes) all += c + " ";
  return ::testing::AssertionFailure()
         << n << " of " << code << ", not " << expected << ": " << all;
}

class GuardsHoldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.Write("sna-node.conf", e2e::RevokingNodeConfig());
    box_.Write("users.db", "ALICE SECRET1\n");
    chmod(box_.Path("users.db").c_str(), 0600);
    StartServices(box_, {"tarponGateway"});
    port_ = PortOf(box_, "tarponGateway");
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services")};
  }
  // The gateway, its counts in the sandbox's state file.
  // Each start logs to a file of its own; all share one state file.
  std::unique_ptr<e2e::Background> Start() {
    const std::string name = "gateway" + std::to_string(++starts_);
    auto gateway =
        e2e::StartGateway(e2e::BinDir() + "/tarpons", box_, name, env_,
                          {"-proxy-from", "127.0.0.2", "-state-file",
                           box_.Path("gateway.state")});
    EXPECT_TRUE(gateway) << box_.Read(name + ".err");
    return gateway;
  }
  e2e::RunResult Administer(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-state-file", box_.Path("gateway.state")};
    all.insert(all.end(), args.begin(), args.end());
    return e2e::Run(e2e::BinDir() + "/tarpons", all, env_, 10000);
  }
  bool Revoked() { return box_.Read("users.db").find("revoked") != npos; }

  static constexpr size_t npos = std::string::npos;
  e2e::Sandbox box_;
  int port_ = 0;
  int starts_ = 0;
  std::vector<std::string> env_;
};

// Sixty wrong passwords at once from sixty sources, then a restart, a
// kill -9 and more: the host sees one of them (the strangers' share), never
// its third, and the owner's source still changes the password.
TEST_F(GuardsHoldTest, BurstsRestartsAndCrashesNeverRevoke) {
  auto gateway = Start();
  ASSERT_TRUE(gateway);
  // The owner changes the password from 198.51.100.200.
  ASSERT_EQ("0000",
            Burst(port_, "-u alice -p SECRET1 -np NEW1 -s hosta", 1, 200)[0]);
  std::vector<std::string> codes =
      Burst(port_, "-u alice -p GUESS -np NEW2 -s hosta", 60);
  EXPECT_TRUE(Counted(codes, "2002", 1));
  EXPECT_TRUE(Counted(codes, "0030", 59));
  // Named another way, the host is the same host.
  codes = Burst(port_, "-u alice -p GUESS -np NEW2 -plu NETA.KSVHOST", 10, 100);
  EXPECT_TRUE(Counted(codes, "0030", 10));
  ASSERT_TRUE(gateway->SignalToEnd(SIGTERM));
  gateway = Start();
  ASSERT_TRUE(gateway);
  EXPECT_TRUE(Counted(Burst(port_, "-u alice -p GUESS -np NEW2 -s hosta", 20),
                      "0030", 20));
  gateway->Stop();  // kill -9
  gateway = Start();
  ASSERT_TRUE(gateway);
  EXPECT_EQ("0030", Burst(port_, "-u alice -p GUESS -np NEW2 -s hosta", 1)[0]);
  EXPECT_FALSE(Revoked()) << box_.Read("users.db");
  // The owner's source keeps its try, strangers or not.
  EXPECT_EQ("0000",
            Burst(port_, "-u alice -p NEW1 -np NEW3 -s hosta", 1, 200)[0]);
  EXPECT_EQ(0u, box_.Read("users.db").find("ALICE     NEW3"))
      << box_.Read("users.db");
  // The administrator lists and releases a held user ID.
  EXPECT_TRUE(Counted(Burst(port_, "-u alice -p GUESS -np NEW2 -s hosta", 5),
                      "2002", 1));
  e2e::RunResult held = Administer({"-held"});
  EXPECT_EQ(0, held.status) << held.err;
  EXPECT_EQ("ALICE@NETA.KSVHOST failures 1 held until released\n", held.out);
  e2e::RunResult release = Administer({"-release", "alice@neta.ksvhost"});
  EXPECT_EQ("released ALICE@NETA.KSVHOST\n", release.out) << release.err;
  EXPECT_EQ("2002", Burst(port_, "-u alice -p GUESS -np NEW2 -s hosta", 1)[0]);
  EXPECT_FALSE(Revoked());
}

// A trusted front end vouches, in its PROXY header, for the owner's device
// of a user ID: from an address never seen, it still has the owner's try
// once strangers have used theirs.
TEST_F(GuardsHoldTest, AVouchedDeviceKeepsTheOwnersTry) {
  auto gateway = Start();
  ASSERT_TRUE(gateway);
  ASSERT_EQ("0000",
            Burst(port_, "-u alice -p SECRET1 -np NEW1 -s hosta", 1, 200)[0]);
  EXPECT_TRUE(Counted(Burst(port_, "-u alice -p GUESS -np NEW2 -s hosta", 20),
                      "2002", 1));
  sockaddr_storage from = {};
  sockaddr_storage to = {};
  auto& in = reinterpret_cast<sockaddr_in&>(from);
  in.sin_family = AF_INET;
  inet_pton(AF_INET, "203.0.113.9", &in.sin_addr);
  reinterpret_cast<sockaddr_in&>(to).sin_family = AF_INET;
  const std::string change = "-u alice -p NEW1 -np KV7QX2NB -s hosta";
  EXPECT_EQ("0030", Request(port_, change, "127.0.0.2",
                            EncodeProxyV2(from, to, "BOB")));
  EXPECT_EQ("0000", Request(port_, change, "127.0.0.2",
                            EncodeProxyV2(from, to, "ALICE")));
  EXPECT_FALSE(Revoked());
}

// The remote client says who is held and what to do, and exits 30; the
// log names the held user ID by its keyed hash only.
TEST_F(GuardsHoldTest, AHeldPersonIsToldWhatToDo) {
  auto gateway = Start();
  ASSERT_TRUE(gateway);
  for (int i = 0; i < 2; ++i) {
    Burst(port_, "-u secret1 -p GUESS -np NEW1 -s hosta", 1, i + 1);
  }
  e2e::RunResult client = e2e::Run(e2e::BinDir() + "/tarponrc",
                                   {"127.0.0.1", "-u", "secret1", "-p", "GUESS",
                                    "-np", "NEW1", "-s", "hosta"},
                                   env_, 20000);
  EXPECT_EQ(30, client.status) << client.out;
  EXPECT_NE(npos, client.out.find(
                      "TARPON SERVER E0030 : user SECRET1 at NETA.KSVHOST: "
                      "changes held back after failed sign-ons until the "
                      "help desk releases the user ID; change the password at "
                      "the host's own sign-on, or ask the help desk\n"))
      << client.out;
  e2e::WaitForText(box_, "gateway1.log", "tarponRc(30) \n", 5000);
  const std::string log = box_.Read("gateway1.log");
  EXPECT_EQ(npos, log.find("SECRET1")) << log;
  EXPECT_EQ(npos, log.find("secret1")) << log;
}

// A hung host, named three ways, takes no more than its share of the
// conversations: a change at another host is answered at once. A stop
// waits for it a set time, then answers "stopping" and ends.
TEST(AccountLimitE2eTest, AHungHostNamedThreeWaysLeavesTheOthers) {
  e2e::Sandbox box;
  box.Write("sna-node.conf",
            std::string(e2e::kGatewayNodeConfig) +
                "answer_delay_ms = 20000\n"
                "[partner_lu hostb]\nname = NETA.OTHER\n"
                "[side_info KSVSYM]\npartner_lu = NETA.KSVHOST\n"
                "mode = #BATCH\ntp_name = x'06F3F0F1'\nsecurity = none\n"
                "[host NETA.OTHER]\nusers = other.db\n");
  box.Write("users.db", "ALICE SECRET1\n");
  box.Write("other.db", "BOB SECRET1\n");
  StartServices(box, {"tarponGateway"});
  const int port = PortOf(box, "tarponGateway");
  const std::vector<std::string> env = {
      "TARPON_SNA_NODE=" + box.Path("sna-node.conf"),
      "TARPON_SERVICES=" + box.Path("services")};
  auto gateway = e2e::StartGateway(
      e2e::BinDir() + "/tarpons", box, "gateway", env,
      {"-conversations", "4", "-penalties", "off", "-stop-timeout", "1"});
  ASSERT_TRUE(gateway) << box.Read("gateway.err");
  const char* names[] = {"-s hosta", "-plu NETA.KSVHOST", "-sd KSVSYM"};
  std::vector<std::string> hung(6);
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([port, &hung, name = names[i % 3], i] {
      hung[i] = Request(
          port, "-u user" + std::to_string(i) + " -p X -np QZ7K9X " + name);
    });
  }
  usleep(500 * 1000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("0000", Request(port, "-u bob -p SECRET1 -np NEW1 -s hostb"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  start = std::chrono::steady_clock::now();
  kill(gateway->pid(), SIGTERM);
  EXPECT_EQ(9, gateway->Wait(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  for (std::thread& thread : threads) thread.join();
  // Those with the host were told; those waiting for a conversation too.
  EXPECT_TRUE(Counted(hung, "0021", 6));
  EXPECT_NE(
      std::string::npos,
      box.Read("gateway.log").find("conversations abandoned at the stop"));
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
  auto first = e2e::StartGateway(
      e2e::BinDir() + "/tarpons", box, "one", env,
      {"-S", "gatewayOne", "-shared-state", store, "-proxy-from", "127.0.0.2"});
  auto second = e2e::StartGateway(
      e2e::BinDir() + "/tarpons", box, "two", env,
      {"-S", "gatewayTwo", "-shared-state", store, "-proxy-from", "127.0.0.2"});
  ASSERT_TRUE(first && second) << box.Read("one.err") << box.Read("two.err");
  auto guess = [](int port, const std::string& user) {
    return Request(port, "-u " + user + " -p WRONG -np NEW1 -s hosta");
  };
  // Forty at once through both: one allowance of two (no owner is known
  // yet), and one try in flight at a time.
  std::vector<std::string> both;
  std::thread other(
      [&] { both = Burst(two, "-u alice -p WRONG -np NEW2 -s hosta", 20); });
  std::vector<std::string> codes =
      Burst(one, "-u alice -p WRONG -np NEW2 -s hosta", 20, 100);
  other.join();
  codes.insert(codes.end(), both.begin(), both.end());
  // One in flight at a time: the second try may come after the first ends.
  EXPECT_TRUE(Counted(codes, "2002", 1) || Counted(codes, "2002", 2))
      << Counted(codes, "2002", 2).message();
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
  // The store pauses: each gateway grants half the allowance (a failure
  // counted alone weighs two), and both keep answering.
  kill(redis->pid(), SIGSTOP);
  std::vector<std::string> alone = {guess(one, "bob"), guess(two, "bob"),
                                    guess(one, "bob"), guess(two, "bob")};
  EXPECT_EQ((std::vector<std::string>{"2001", "2001", "0030", "0030"}), alone);
  // Back: after the wait for a retry, both count there again.
  kill(redis->pid(), SIGCONT);
  usleep(1200 * 1000);
  std::vector<std::string> again = {guess(one, "carol"), guess(two, "carol"),
                                    guess(one, "carol"), guess(one, "bob")};
  // What was counted alone is counted there too.
  EXPECT_EQ((std::vector<std::string>{"2001", "2001", "0030", "0030"}), again);
  for (const char* name : {"one.log", "two.log"}) {
    // A session's line is written after its reply has gone.
    e2e::WaitForText(box, name, "answers again: counting there", 5000);
    std::string log = box.Read(name);
    EXPECT_NE(std::string::npos,
              log.find("counting in this gateway's own store until it "
                       "answers"))
        << log;
    EXPECT_NE(std::string::npos, log.find("answers again: counting there"))
        << log;
    // Logged once, however many requests met the store down.
    EXPECT_EQ(log.find("own store until"), log.rfind("own store until"));
  }
  EXPECT_EQ(std::string::npos, box.Read("users.db").find("revoked"));
}

}  // namespace
