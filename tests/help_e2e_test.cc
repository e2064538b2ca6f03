// --help, -? and --version on every program, run as a new user would: no
// SNA node, no gateway. --help prints the usage with every option and
// exits 0; the texts of old come first, as -? prints them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e_support.h"
#include "tests/support/expected_texts.h"

namespace {

using Args = std::vector<std::string>;

std::string HelpProgram(const std::string& name) {
  return e2e::BinDir() + "/" + name;
}

// No node, wherever the test runs.
const Args kWithoutNode = {"TARPON_SNA_NODE=/nonexistent/sna-node.conf"};

struct HelpCase {
  const char* name;
  // What --help's text begins with ("" for none of old).
  std::string first;
  // Each option, as the text names it.
  std::vector<const char*> options;
};

TEST(HelpTest, EveryProgramListsEveryOptionWithoutTheNode) {
  const HelpCase programs[] = {
      {"tarpon",
       expected::kShortUsage,
       {"-u ",       "-p ",    "-np ",
        "-s ",       "-sd ",   "-plu ",
        "-m ",       "-lu ",   "-v ",
        "-M ",       "-? ",    "-comapi",
        "-d ",       "-local", "-cpic",
        "-noterm",   "-log ",  "-ftrace",
        "--version", "--help", "TARPON_SNA_NODE"}},
      {"tarpons",
       "\nVeltrix Korvid Common Server tarpon server utility program syntax: "
       "\n\n",
       {"-S ",
        "-t ",
        "-log ",
        "-maxstartups",
        "-persource",
        "-penalties",
        "-accountlimit",
        "-state-file",
        "-state-key",
        "-held",
        "-release",
        "-stop-timeout",
        "-shared-state ",
        "-shared-state-password",
        "-shared-gateways",
        "-on-event",
        "-spool",
        "-on-change-sync",
        "-blocklist",
        "-blockwords",
        "-listen",
        "-ipv6prefix",
        "-proxy-from",
        "-conversations",
        "-metrics",
        "-check",
        "-log-format",
        "--version",
        "--help",
        "-? "}},
      {"tarponrc",
       "\nVeltrix Korvid CS: tarpon client utility program syntax :\n\n",
       {"-H ", "-S ", "-t ", "-? ", "-hosts", "--version", "--help",
        "TARPON_CLIENT_TIMEOUT", "TARPON_TLS_CA"}},
      {"tarpon-web",
       "usage: tarpon-web ",
       {"-listen",
        "-cert",
        "-key",
        "-destinations",
        "-rules",
        "-gateway",
        "-http",
        "-lang",
        "-assets",
        "-proxy-header",
        "-proxy-from",
        "-timeout",
        "-max-connections",
        "-per-source",
        "-device-key",
        "-device-days",
        "-metrics",
        "-log-format",
        "-check",
        "--version",
        "--help",
        "-?",
        "/readyz",
        "TARPON_WEB_OPTIONS"}},
      {"tarpon-blocklist",
       "usage: tarpon-blocklist ",
       {"build", "check", "info", "-min-count", "-o ", "-u ", "--version",
        "--help"}},
  };
  for (const HelpCase& p : programs) {
    SCOPED_TRACE(p.name);
    e2e::RunResult help =
        e2e::Run(HelpProgram(p.name), {"--help"}, kWithoutNode);
    EXPECT_EQ(0, help.status) << help.err;
    EXPECT_EQ("", help.err);
    EXPECT_EQ(0u, help.out.find(p.first)) << help.out;
    for (const char* option : p.options) {
      EXPECT_NE(std::string::npos, help.out.find(option)) << option;
    }
    e2e::RunResult version =
        e2e::Run(HelpProgram(p.name), {"--version"}, kWithoutNode);
    EXPECT_EQ(0, version.status);
    EXPECT_EQ(std::string(p.name) + " " + TARPON_VERSION + "\n", version.out);
  }
}

// -? is the help of old, byte for byte: tarpon starts the SNA node first
// (without one: ERROR 46, exit 8, as --help says), tarpons and tarponrc
// print their texts and exit 4; --help begins with the same bytes.
TEST(HelpTest, QuestionMarkKeepsItsOldBehaviour) {
  e2e::RunResult local = e2e::Run(HelpProgram("tarpon"), {"-?"}, kWithoutNode);
  EXPECT_EQ(8, local.status);
  EXPECT_NE(std::string::npos, local.out.find(expected::ErrorPrefix(46)));
  EXPECT_NE(std::string::npos, local.out.find("WCPICSYSNOTREADY"));
  EXPECT_EQ(std::string::npos, local.out.find("Command syntax:"));
  for (const char* name : {"tarpons", "tarponrc"}) {
    SCOPED_TRACE(name);
    e2e::RunResult old = e2e::Run(HelpProgram(name), {"-?"}, kWithoutNode);
    e2e::RunResult help = e2e::Run(HelpProgram(name), {"--help"}, kWithoutNode);
    EXPECT_EQ(4, old.status);
    ASSERT_FALSE(old.out.empty());
    EXPECT_EQ(0u, help.out.find(old.out.substr(0, old.out.find("Further"))));
  }
  // --help wins over every other argument, and needs no host or gateway.
  e2e::RunResult late =
      e2e::Run(HelpProgram("tarponrc"),
               {"gateway.example", "-u", "ALICE", "--help"}, kWithoutNode);
  EXPECT_EQ(0, late.status);
  EXPECT_EQ("", late.err);
}

}  // namespace
