// tarponrc -hosts end to end: a slow host and a fast one changed in one
// run, the first alone and the rest at once; a password one host refuses
// leaves a partial outcome, said plainly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/gateway_support.h"

namespace {

TEST(MultiHostE2eTest, ChangesAtEveryHostAndSaysWhichTookIt) {
  e2e::Sandbox box;
  // hosta answers after 300 ms; hostb and hostc at once, hostc keeping
  // the last three passwords.
  box.Write("sna-node.conf",
            std::string(e2e::kGatewayNodeConfig) +
                "answer_delay_ms = 300\n"
                "[partner_lu hostb]\nname = NETA.HOSTB\n"
                "[partner_lu hostc]\nname = NETA.HOSTC\n"
                "[host NETA.HOSTB]\nusers = b.db\n"
                "[host NETA.HOSTC]\nusers = c.db\npassword_history = 3\n");
  box.Write("users.db", "ALICE SECRET1\n");
  box.Write("b.db", "ALICE SECRET1\n");
  box.Write("c.db", "ALICE SECRET1 history=NEW1\n");
  const int port = e2e::FreeLoopbackPort();
  box.Write("services", "tarponGateway " + std::to_string(port) + "/tcp\n");
  const std::vector<std::string> env = {
      "TARPON_SNA_NODE=" + box.Path("sna-node.conf"),
      "TARPON_SERVICES=" + box.Path("services")};
  auto gateway =
      e2e::StartGateway(e2e::BinDir() + "/tarpons", box, "gateway", env);
  ASSERT_TRUE(gateway) << box.Read("gateway.err");
  const auto start = std::chrono::steady_clock::now();
  e2e::RunResult both = e2e::Run(e2e::BinDir() + "/tarponrc",
                                 {"127.0.0.1", "-u", "alice", "-p", "SECRET1",
                                  "-np", "NEW1", "-hosts", "hosta,hostb"},
                                 env, 20000);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(3000));
  EXPECT_EQ(0, both.status) << both.out << both.err;
  EXPECT_EQ(
      "TARPON CLIENT hosta: changed (rc=0000)\n"
      "TARPON CLIENT hostb: changed (rc=0000)\n"
      "TARPON CLIENT 2 of 2 hosts changed; the new password: hosta, hostb\n",
      both.out);
  // hostc keeps NEW1 among its last passwords: a partial outcome.
  e2e::RunResult partly = e2e::Run(e2e::BinDir() + "/tarponrc",
                                   {"127.0.0.1", "-u", "alice", "-p", "NEW1",
                                    "-np", "NEW2", "-hosts", "hostb,hostc"},
                                   env, 20000);
  EXPECT_EQ(3, partly.status) << partly.out;
  EXPECT_NE(std::string::npos,
            partly.out.find("TARPON CLIENT 1 of 2 hosts changed; the new "
                            "password: hostb; still the old password: hostc\n"))
      << partly.out;
  // -hosts names the destinations: no -s beside it.
  e2e::RunResult both2 = e2e::Run(e2e::BinDir() + "/tarponrc",
                                  {"127.0.0.1", "-u", "alice", "-p", "X", "-np",
                                   "Y", "-s", "hosta", "-hosts", "hostb"},
                                  env, 20000);
  EXPECT_EQ(1, both2.status);
  EXPECT_NE(std::string::npos, both2.err.find("TARPON CLIENT E0013 : "));
}

}  // namespace
