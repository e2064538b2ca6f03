// End-to-end tests of what the gateway allows a network: the caps on
// connections without a whole request, the penalty for an address that
// keeps failing to sign on, and the signals that stop the gateway and
// reopen its log. Loopback addresses only; every wait is bounded.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/gateway_support.h"

namespace {

using Args = std::vector<std::string>;

class GatewayNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.Write("sna-node.conf", e2e::kGatewayNodeConfig);
    box_.Write("users.db", "ALICE SECRET1\nBOB PASSW0RD\n");
    port_ = e2e::FreeLoopbackPort();
    ASSERT_GT(port_, 0);
    box_.Write("services", "tarponGateway " + std::to_string(port_) + "/tcp\n");
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services")};
  }
  void TearDown() override {
    for (int fd : held_) close(fd);
  }

  void Start(const Args& extra = {}) {
    Args args{"-log", box_.Path("gateway.log")};
    args.insert(args.end(), extra.begin(), extra.end());
    gateway_ = std::make_unique<e2e::Background>(
        e2e::BinDir() + "/tarpons", args, env_, box_.Path("gateway.out"),
        box_.Path("gateway.err"));
    ASSERT_TRUE(gateway_->Started());
    ASSERT_TRUE(
        e2e::WaitForText(box_, "gateway.log", "TARPON SERVER started ", 10000));
  }

  // A connection from source that sends nothing, held until the test ends.
  int Hold(const std::string& source) {
    int fd = e2e::ConnectFrom(source, port_);
    if (fd >= 0) held_.push_back(fd);
    return fd;
  }

  // True when the gateway closed fd within waitMs.
  static bool Closed(int fd, int waitMs) {
    pollfd ready = {fd, POLLIN, 0};
    char byte;
    return poll(&ready, 1, waitMs) == 1 && recv(fd, &byte, 1, 0) <= 0;
  }

  e2e::RunResult Change(const std::string& user, const std::string& from,
                        const std::string& to) {
    return e2e::Run(
        e2e::BinDir() + "/tarponrc",
        {"127.0.0.1", "-u", user, "-p", from, "-np", to, "-plu", "hosta"},
        env_);
  }

  std::string Log(const std::string& until,
                  const std::string& file = "gateway.log") {
    e2e::WaitForText(box_, file, until, 10000);
    return e2e::WithoutTimeStamps(box_.Read(file));
  }

  // Holds the host database's lock, as another process changing it would.
  int HoldDatabaseLock() {
    int lock = open(box_.Path("users.db.lock").c_str(),
                    O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0 && flock(lock, LOCK_EX) != 0) {
      close(lock);
      return -1;
    }
    return lock;
  }

  // Until a thread of the gateway's sleeps between its tries for the lock
  // (bounded): a conversation thread, or one that holds the loop (the main
  // thread or another) when it holds a lone client's conversation itself.
  // A sanitizer's own thread, which sleeps too, is none of these.
  void WaitForTheEngineToWait() {
    const std::string tasks =
        "/proc/" + std::to_string(gateway_->pid()) + "/task";
    long long deadline = e2e::NowMs() + 5000;
    while (e2e::NowMs() < deadline) {
      for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::string name;
        std::string where;
        std::getline(std::ifstream(task.path() / "comm"), name);
        std::getline(std::ifstream(task.path() / "wchan"), where);
        const bool main =
            task.path().filename() == std::to_string(gateway_->pid());
        if ((main || name == "tarpons-engine" || name == "tarpons-loop") &&
            where.find("sleep") != std::string::npos) {
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  e2e::Sandbox box_;
  int port_ = -1;
  std::vector<std::string> env_;
  std::vector<int> held_;
  std::unique_ptr<e2e::Background> gateway_;
};

TEST_F(GatewayNetworkTest, EachCapClosesTheConnectionBeyondItAndLogsIt) {
  Start({"-persource", "2", "-maxstartups", "3"});
  struct Case {
    const char* source;
    bool closed;
  };
  const Case cases[] = {
      {"127.0.0.2", false}, {"127.0.0.2", false}, {"127.0.0.2", true},
      {"127.0.0.3", false}, {"127.0.0.4", true},
  };
  std::vector<int> fds;
  for (const Case& c : cases) {
    fds.push_back(Hold(c.source));
    ASSERT_GE(fds.back(), 0);
    if (c.closed) {
      EXPECT_TRUE(Closed(fds.back(), 5000)) << c.source;
    }
  }
  std::string log = Log("(3)\n");
  EXPECT_NE(std::string::npos,
            log.find("TARPON SERVER refused IP(127.0.0.2): too many "
                     "connections without a request from this address (2)\n"
                     "TARPON SERVER refused IP(127.0.0.4): too many "
                     "connections without a request (3)\n"))
      << log;
  // Both refusals are logged, so the others were taken and are held.
  for (size_t i = 0; i < fds.size(); ++i) {
    EXPECT_EQ(cases[i].closed, Closed(fds[i], 0)) << cases[i].source;
  }
}

TEST_F(GatewayNetworkTest, PenaltyStartsAfterRepeatedFailuresNeverAfterTwo) {
  // The limit per account would hold alice back first.
  Start({"-accountlimit", "off"});
  using e2e::kBanner;
  struct Case {
    const char* user;
    const char* password;
    const char* code;  // nullptr: refused without an answer
  };
  const Case cases[] = {
      {"alice", "wrong1", "2002"},  {"alice", "wrong2", "2002"},
      {"alice", "secret1", "0000"}, {"nobody", "x", "2001"},
      {"alice", "wrong3", "2002"},  {"alice", "wrong4", "2002"},
      {"bob", "passw0rd", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user + std::string(" ") + c.password);
    e2e::RunResult run = Change(c.user, c.password, "new1");
    if (c.code != nullptr) {
      EXPECT_EQ(0u, run.out.find(std::string(kBanner) + c.code)) << run.out;
    } else {
      EXPECT_EQ(std::string::npos, run.out.find(kBanner)) << run.out;
    }
  }
  // ALICE's change went through after two mistakes; BOB's never ran.
  std::string users = box_.Read("users.db");
  EXPECT_EQ(0u, users.find("ALICE     NEW1")) << users;
  EXPECT_NE(std::string::npos, users.find("\nBOB PASSW0RD\n")) << users;
  EXPECT_NE(std::string::npos,
            Log("seconds\n")
                .find("TARPON SERVER penalty for IP(127.0.0.1): 5 "
                      "failed sign-ons, refused for 30 seconds\n"));
}

// SIGTERM while the engine waits for the host's database: the change is
// made and answered, a connection without a request is closed, and the
// gateway ends in order.
TEST_F(GatewayNetworkTest, StopsInOrderOnSigtermDuringASession) {
  Start();
  int lock = open(box_.Path("users.db.lock").c_str(),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(0, flock(lock, LOCK_EX));
  int idle = e2e::ConnectFrom("127.0.0.2", port_);
  ASSERT_GE(idle, 0);
  held_.push_back(idle);
  e2e::RunResult run;
  std::thread client([&] { run = Change("alice", "secret1", "new1"); });
  WaitForTheEngineToWait();
  kill(gateway_->pid(), SIGTERM);
  flock(lock, LOCK_UN);
  close(lock);
  client.join();
  EXPECT_NE(std::string::npos, run.out.find("rc=0000)\n")) << run.out;
  EXPECT_EQ(0, gateway_->Wait(10000));
  char byte;
  EXPECT_EQ(0, recv(idle, &byte, 1, 0));
  std::string log = e2e::WithoutTimeStamps(box_.Read("gateway.log"));
  EXPECT_NE(std::string::npos,
            log.find("user(alice) @host(hosta) tarponRc(0) \n"
                     "TARPON SERVER ended\n"))
      << log;
}

// While the engine waits for the host's database, the loop goes on: help
// is answered, caps refuse and a flood of refusals is one line.
TEST_F(GatewayNetworkTest, NeverWaitsForTheEngine) {
  Start({"-persource", "1"});
  int lock = HoldDatabaseLock();
  ASSERT_GE(lock, 0);
  long long start = e2e::NowMs();
  e2e::RunResult help =
      e2e::Run(e2e::BinDir() + "/tarponrc", {"127.0.0.1", "-?"}, env_);
  EXPECT_LT(e2e::NowMs() - start, 1000);
  EXPECT_NE(std::string::npos, help.out.find("rc=0004)")) << help.out;
  e2e::RunResult change;
  std::thread client([&] { change = Change("alice", "secret1", "new1"); });
  WaitForTheEngineToWait();
  ASSERT_GE(Hold("127.0.0.3"), 0);
  start = e2e::NowMs();
  for (int i = 0; i < 300; ++i) {
    int fd = e2e::ConnectFrom("127.0.0.3", port_);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(Closed(fd, 2000));
    close(fd);
  }
  EXPECT_LT(e2e::NowMs() - start, 4000);
  flock(lock, LOCK_UN);
  close(lock);
  client.join();
  EXPECT_NE(std::string::npos, change.out.find("rc=0000)\n")) << change.out;
  std::string log = Log("tarponRc(0) \n");
  size_t first = log.find("TARPON SERVER refused IP(127.0.0.3)");
  EXPECT_NE(std::string::npos, first) << log;
  EXPECT_EQ(std::string::npos,
            log.find("TARPON SERVER refused IP(127.0.0.3)", first + 1))
      << log;
}

// A mixed run's log, line by line: every event is one whole line that
// starts with its time stamp; only the dump of a session that ended
// abnormally follows its line unstamped.
TEST_F(GatewayNetworkTest, WritesEveryEventAsOneWholeLine) {
  env_.push_back("TARPON_SESSION_TIMEOUT=1");
  Start({"-persource", "1"});
  close(e2e::ConnectFrom("127.0.0.2", port_));   // closes at once
  ASSERT_GE(Hold("127.0.0.3"), 0);               // times out
  EXPECT_TRUE(Closed(Hold("127.0.0.3"), 5000));  // refused by the cap
  Change("alice", "secret1", "new1");
  Change("bob", "wrong", "new1");
  ASSERT_TRUE(e2e::WaitForText(box_, "gateway.log", "within 1 second\n", 5000));
  ASSERT_TRUE(gateway_->SignalToEnd(SIGTERM));
  ASSERT_EQ(0, gateway_->Wait(0));
  const std::regex stamp(
      "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:"
      "\\d\\d \\d{4} : (.*)");
  const std::regex event(
      "TARPON SERVER (starting|started|listening on |ended|"
      "refused IP\\(127\\.0\\.0\\.3\\): "
      "too many connections without a request from this address \\(1\\)).*|"
      "Session id\\(\\d+\\) (IP\\(127\\.0\\.0\\.\\d\\) "
      "(closed before a whole request|no whole request within 1 second|"
      "user\\((alice|bob)\\) @host\\(hosta\\) tarponRc\\(\\d+\\) )|"
      "ended abnormally)");
  const std::regex dump(
      "|Server formatted dump |Connection object state .*|Reason .*|"
      "Socket number .*|Last external API .*|Session id  .*|"
      "Client's address is:|Address object state .*|Host name .*|"
      "Service port name .*|struct sockaddr_in .*|   sin_.*");
  std::istringstream log(box_.Read("gateway.log"));
  std::string line;
  int events = 0;
  bool inDump = false;
  std::smatch match;
  while (std::getline(log, line)) {
    SCOPED_TRACE(line);
    if (std::regex_match(line, match, stamp)) {
      std::string rest = match[1];
      EXPECT_TRUE(std::regex_match(rest, event));
      inDump = rest.find("ended abnormally") != std::string::npos;
      ++events;
    } else {
      EXPECT_TRUE(inDump && std::regex_match(line, dump));
    }
  }
  EXPECT_EQ(10, events);
  EXPECT_EQ('\n', box_.Read("gateway.log").back());
}

// The gateway listens on both families: a change from ::1 is logged with
// the standard text of its address, and counted apart from IPv4's.
TEST_F(GatewayNetworkTest, ChangesAPasswordOverIpv6) {
  int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 loopback = {};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_addr = in6addr_loopback;
  bool ipv6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&loopback),
                                 sizeof loopback) == 0;
  if (probe >= 0) close(probe);
  if (!ipv6) GTEST_SKIP() << "no IPv6 loopback";
  Start();
  e2e::RunResult run = e2e::Run(
      e2e::BinDir() + "/tarponrc",
      {"::1", "-u", "alice", "-p", "secret1", "-np", "new1", "-plu", "hosta"},
      env_);
  EXPECT_NE(std::string::npos, run.out.find("rc=0000)\n")) << run.out;
  EXPECT_NE(std::string::npos,
            Log("tarponRc(0) \n")
                .find("Session id(1) IP(::1) user(alice) @host(hosta) "
                      "tarponRc(0) \n"));
}

TEST_F(GatewayNetworkTest, ReopensItsLogOnSighup) {
  Start();
  ASSERT_EQ(0, std::rename(box_.Path("gateway.log").c_str(),
                           box_.Path("gateway.log.1").c_str()));
  ASSERT_TRUE(gateway_->Signal(SIGHUP, [this](int ms) {
    return e2e::WaitForText(box_, "gateway.log", "TARPON SERVER log reopened\n",
                            ms);
  }));
  Change("alice", "secret1", "new1");
  EXPECT_EQ(
      "TARPON SERVER log reopened\n"
      "Session id(1) IP(127.0.0.1) user(alice) @host(hosta) tarponRc(0) \n",
      Log("tarponRc(0) \n"));
  EXPECT_EQ(std::string::npos,
            box_.Read("gateway.log.1").find("Session id(1)"));
}

}  // namespace

// Host conversations run at once: changes to a slow host hold neither a
// change to another host nor a help request, even when the slow host has
// taken its whole share and more of its changes wait; each client gets
// exactly the text it would get alone.
TEST_F(GatewayNetworkTest, ConversationsNeverWaitForEachOther) {
  box_.Write("sna-node.conf", std::string(e2e::kGatewayNodeConfig) +
                                  "answer_delay_ms = 1500\n"
                                  "[partner_lu hostb]\nname = NETA.FAST\n"
                                  "[host NETA.FAST]\nusers = fast.db\n");
  std::string users;
  for (int i = 0; i < 4; ++i) users += "SLOW" + std::to_string(i) + " OLD\n";
  box_.Write("users.db", users);
  box_.Write("fast.db", "ALICE SECRET1\n");
  Start({"-conversations", "4"});  // three for one destination
  auto fast = [&](const std::string& from, const std::string& to) {
    return e2e::Run(
        e2e::BinDir() + "/tarponrc",
        {"127.0.0.1", "-u", "alice", "-p", from, "-np", to, "-plu", "hostb"},
        env_);
  };
  e2e::RunResult alone = fast("secret1", "new1");
  ASSERT_NE(std::string::npos, alone.out.find("rc=0000)\n")) << alone.out;

  std::vector<e2e::RunResult> slow(4);
  std::vector<std::thread> clients;
  long long start = e2e::NowMs();
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&, i] {
      slow[i] = e2e::Run(e2e::BinDir() + "/tarponrc",
                         {"127.0.0.1", "-u", "slow" + std::to_string(i), "-p",
                          "old", "-np", "new", "-plu", "hosta"},
                         env_);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  long long asked = e2e::NowMs();
  e2e::RunResult help =
      e2e::Run(e2e::BinDir() + "/tarponrc", {"127.0.0.1", "-?"}, env_);
  EXPECT_NE(std::string::npos, help.out.find("rc=0004)")) << help.out;
  e2e::RunResult again = fast("new1", "secret1");
  EXPECT_LT(e2e::NowMs() - asked, 1000);
  EXPECT_EQ(alone.out, again.out);
  for (std::thread& client : clients) client.join();
  // Three at once, then the fourth: two answer delays, not four.
  EXPECT_LT(e2e::NowMs() - start, 4 * 1500);
  for (const e2e::RunResult& run : slow) {
    EXPECT_EQ(alone.out, run.out);
  }
}
