// End to end: the gateway refuses a common new password and one holding
// the user ID for every client, before any host is asked and without
// counting a failure; a list that went bad is refused at start, and at a
// reload, which keeps the list in use. Loopback only.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/gateway_support.h"

namespace {

class BlocklistE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.Write("sna-node.conf", e2e::kGatewayNodeConfig);
    box_.Write("users.db", "ALICE SECRET1\n");
    chmod(box_.Path("users.db").c_str(), 0600);
    box_.Write(
        "services",
        "tarponGateway " + std::to_string(e2e::FreeLoopbackPort()) + "/tcp\n");
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf"),
            "TARPON_SERVICES=" + box_.Path("services")};
    box_.Write("common.txt", "password\nsunshine\n");
    e2e::RunResult built = e2e::Run(
        e2e::BinDir() + "/tarpon-blocklist",
        {"build", "-o", box_.Path("common.tbl"), box_.Path("common.txt")}, {},
        10000);
    ASSERT_EQ(0, built.status) << built.err;
  }
  e2e::RunResult Change(const std::string& next) const {
    return e2e::Run(e2e::BinDir() + "/tarponrc",
                    {"127.0.0.1", "-u", "alice", "-p", "SECRET1", "-np", next,
                     "-s", "hosta"},
                    env_, 20000);
  }

  e2e::Sandbox box_;
  std::vector<std::string> env_;
};

TEST_F(BlocklistE2eTest, RefusesBeforeTheHostAndKeepsTheListOnABadReload) {
  auto gateway =
      e2e::StartGateway(e2e::BinDir() + "/tarpons", box_, "gateway", env_,
                        {"-blocklist", box_.Path("common.tbl")});
  ASSERT_TRUE(gateway) << box_.Read("gateway.err");
  const std::string common =
      "TARPON SERVER E0031 : new password refused: it is on the list of "
      "common passwords; choose a password that is not on the list of common "
      "passwords";
  // More refusals than the account limit's two failures: none is one.
  for (const char* next : {"P@ssw0rd", "SUNSH1NE", "pa$$word"}) {
    e2e::RunResult run = Change(next);
    EXPECT_EQ(31, run.status) << next << run.out;
    EXPECT_NE(std::string::npos, run.out.find(common)) << run.out;
  }
  e2e::RunResult context = Change("ALICE7");
  EXPECT_EQ(32, context.status) << context.out;
  EXPECT_NE(std::string::npos, context.out.find("it contains the user ID"));
  EXPECT_EQ("ALICE SECRET1\n", box_.Read("users.db"));
  // Written in place, cut short: the reload refuses it, the list stays.
  box_.Write("common.tbl", "TARPONBL");
  kill(gateway->pid(), SIGHUP);
  ASSERT_TRUE(
      e2e::WaitForText(box_, "gateway.log", "the lists in use stay", 5000))
      << box_.Read("gateway.log");
  EXPECT_NE(std::string::npos,
            box_.Read("gateway.log")
                .find("new-password lists not reloaded (" +
                      box_.Path("common.tbl") + ": truncated header)"));
  EXPECT_EQ(31, Change("Password").status);
  e2e::RunResult changed = Change("KV7QX2NB");
  EXPECT_EQ(0, changed.status) << changed.out;
  EXPECT_NE(std::string::npos, box_.Read("users.db").find("KV7QX2NB"));
}

TEST_F(BlocklistE2eTest, ABadListStopsTheStartAndTheCheckNamesIt) {
  e2e::RunResult check =
      e2e::Run(e2e::BinDir() + "/tarpons",
               {"-check", "-blocklist", box_.Path("common.tbl")}, env_, 10000);
  EXPECT_NE(std::string::npos,
            check.out.find("ok      new-password list " +
                           box_.Path("common.tbl") + ": 2 entries, built "))
      << check.out;
  std::string bytes = box_.Read("common.tbl");
  bytes[bytes.size() - 1] ^= 1;
  box_.Write("common.tbl", bytes);
  e2e::RunResult start =
      e2e::Run(e2e::BinDir() + "/tarpons",
               {"-blocklist", box_.Path("common.tbl")}, env_, 10000);
  EXPECT_EQ(7, start.status);
  EXPECT_NE(std::string::npos,
            start.err.find("TARPON SERVER E0020 : new-password list refused: " +
                           box_.Path("common.tbl") +
                           ": wrong checksum. Terminating."))
      << start.err;
  check =
      e2e::Run(e2e::BinDir() + "/tarpons",
               {"-check", "-blocklist", box_.Path("common.tbl")}, env_, 10000);
  EXPECT_EQ(1, check.status);
  EXPECT_NE(std::string::npos,
            check.out.find("FAILED  new-password list " +
                           box_.Path("common.tbl") + ": wrong checksum"))
      << check.out;
}

}  // namespace
