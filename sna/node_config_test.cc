#include "sna/node_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "contract/sna_services.h"
#include "tests/support/test_node.h"

namespace {

class NodeConfigTest : public sna_test::NodeTest {
 protected:
  // Starts the library on "config" and returns what went to standard error.
  std::string StartupError(const std::string& config, int expected_rc) {
    WriteConfig(config);
    WCPICDATA data;
    testing::internal::CaptureStderr();
    EXPECT_EQ(expected_rc, WinCPICStartup(0x0001, &data));
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(NodeConfigTest, ExampleStylePassesWithComments) {
  std::string config =
      "; comment\n"
      "[node]\n"
      "modes = #BATCH #INTER          ; the modes\n"
      "                               ; (indented comment)\n"
      "  default_local_lu = WKSTN1\n"
      "[local_lu WKSTN1]\n"
      "name = neta.wkstn1\n"
      "[side_info KSVSYM]\n"
      "partner_lu = hosta\n"
      "mode = #inter\n"
      "tp_name = KSVTP\n"
      "security = program\n"
      "[host neta.ksvhost]\n"
      "users = /abs/users.db\n"
      "mixed_case_passwords = yes\n"
      "password_history = 3\n"
      "min_password_length = 6\n"
      "persistent_signon = no\n"
      "revoke_after = 5\n"
      "answer_delay_ms = 250\n"
      "[faults]\n"
      "cminit = 24\n"
      "ALLOCATE = 0x0003 0x10086021\n"
      "reply = x'00 0B 12 21'\n";
  sna::NodeConfig parsed;
  std::string error;
  ASSERT_TRUE(sna::ParseNodeConfig(config, "f", "/d", &parsed, &error))
      << error;
  EXPECT_EQ("NETA.WKSTN1", parsed.local_lus["WKSTN1"]);
  EXPECT_EQ("WKSTN1", parsed.default_local_lu);
  EXPECT_TRUE(parsed.KnowsMode("#inter"));
  const sna::SideInfo& info = parsed.side_info["KSVSYM"];
  EXPECT_EQ("hosta", info.partner_lu);
  EXPECT_EQ("#INTER", info.mode);
  EXPECT_EQ("\xD2\xE2\xE5\xE3\xD7", info.tp_name);
  EXPECT_EQ(sna::Security::kProgram, info.security);
  const sna::HostConfig& host = parsed.hosts["NETA.KSVHOST"];
  EXPECT_EQ("/abs/users.db", host.users);
  EXPECT_TRUE(host.mixed_case_passwords);
  EXPECT_EQ(3, host.password_history);
  EXPECT_EQ(6, host.min_password_length);
  EXPECT_FALSE(host.persistent_signon);
  EXPECT_EQ(5, host.revoke_after);
  EXPECT_EQ(250, host.answer_delay_ms);
  ASSERT_NE(nullptr, parsed.FindFault("ALLOCATE"));
  EXPECT_EQ(0x10086021u, parsed.FindFault("ALLOCATE")->secondary);
  EXPECT_EQ(24u, parsed.FindFault("cminit")->primary);
  EXPECT_EQ(std::string("\x00\x0B\x12\x21", 4), parsed.reply_fault);
}

TEST_F(NodeConfigTest, FaultsNameTheFileLineAndFault) {
  const std::string base = sna_test::BaseConfig();  // 14 lines
  struct Case {
    std::string config;
    std::string fault;
  } cases[] = {
      {base + "[side_info KSVSYM2]\npartnr_lu = X\n",
       ":16: unknown key \"partnr_lu\" in [side_info KSVSYM2]"},
      {base + "[gateway]\nport = 1\n", ":15: unknown section [gateway]"},
      {base + "[partner_lu hosta]\nname = A.B\n",
       ":15: duplicate section [partner_lu hosta]"},
      {base + "[host neta.ksvhost]\nusers = x\n",
       ":15: duplicate section [host neta.ksvhost]"},
      {base + "users = again\n",
       ":15: duplicate key \"users\" in [host NETA.KSVHOST]"},
      {base + "revoke_after = -1\n",
       ":15: bad value \"-1\" for \"revoke_after\" in [host NETA.KSVHOST] "
       "(0-255)"},
      {base + "answer_delay_ms = 600001\n",
       ":15: bad value \"600001\" for \"answer_delay_ms\" in "
       "[host NETA.KSVHOST] (0-600000)"},
      {base + "persistent_signon = maybe\n",
       ":15: bad value \"maybe\" for \"persistent_signon\" in "
       "[host NETA.KSVHOST] (yes or no)"},
      {base + "[side_info lower]\nmode = X\n",
       ":15: bad symbolic destination \"lower\" in [side_info lower] (1-8 "
       "characters, upper-case)"},
      {base + "[side_info NEW]\nmode = #BATCH\n",
       ":15: missing key \"partner_lu\" in [side_info NEW]"},
      {base + "[side_info NEW]\npartner_lu = hosta\nmode = #BATCH\n"
              "tp_name = x'06F3F'\n",
       ":18: bad value \"x'06F3F'\" for \"tp_name\" in [side_info NEW] "
       "(x'hex digits')"},
      {base + "[faults]\nALLOCATE = 3 4 5\n",
       ":16: bad value \"3 4 5\" for \"ALLOCATE\" in [faults] (a primary and "
       "a secondary return code)"},
      {base + "[faults]\ncmfoo = 1\n",
       ":16: unknown key \"cmfoo\" in [faults]"},
      {base + "this line has no equals sign\n", ":15: syntax error"},
      {base + "[local_lu X]\nname = NOPERIOD\n",
       ":16: bad value \"NOPERIOD\" for \"name\" in [local_lu X] "
       "(NETID.LUNAME)"},
      {"[local_lu A]\nname = N.A\n", ":2: missing section [node]"},
      {"[node]\nmodes = #BATCH\ndefault_local_lu = NOPE\n",
       ":3: default_local_lu \"NOPE\" names no [local_lu]"},
      {"[node]\nmodes = " + std::string(1100, 'M') + "\n", ":2: line too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ("tarpon sna node: " + ConfigPath() + c.fault + "\n",
              StartupError(c.config, WCPICSYSNOTREADY));
  }
}

// A reply fault may hold 256 bytes, written with blanks between them.
TEST_F(NodeConfigTest, ReplyFaultTakesUpTo256Bytes) {
  for (size_t bytes : {256, 257}) {
    std::string hex;
    for (size_t i = 0; i < bytes; ++i) hex += "0A ";
    sna::NodeConfig parsed;
    std::string error;
    bool ok = sna::ParseNodeConfig(
        sna_test::BaseConfig("[faults]\nreply = x'" + hex + "'\n"), "f", ".",
        &parsed, &error);
    EXPECT_EQ(bytes == 256, ok) << error;
    if (ok) {
      EXPECT_EQ(256u, parsed.reply_fault.size());
    }
  }
}

TEST_F(NodeConfigTest, MissingFileOrVariableIsNotReady) {
  unsetenv("TARPON_SNA_NODE");
  WCPICDATA data;
  testing::internal::CaptureStderr();
  EXPECT_EQ(WCPICSYSNOTREADY, WinCPICStartup(0x0001, &data));
  EXPECT_EQ("tarpon sna node: TARPON_SNA_NODE is not set\n",
            testing::internal::GetCapturedStderr());
  setenv("TARPON_SNA_NODE", Path("nothere.conf").c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(WCPICSYSNOTREADY, WinCPICStartup(0x0001, &data));
  EXPECT_EQ("tarpon sna node: " + Path("nothere.conf") +
                ": cannot open: No such file or directory\n",
            testing::internal::GetCapturedStderr());
  // A FIFO is refused at once rather than waited on.
  ASSERT_EQ(0, mkfifo(Path("fifo.conf").c_str(), 0600));
  setenv("TARPON_SNA_NODE", Path("fifo.conf").c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(WCPICSYSNOTREADY, WinCPICStartup(0x0001, &data));
  EXPECT_EQ("tarpon sna node: " + Path("fifo.conf") + ": not a regular file\n",
            testing::internal::GetCapturedStderr());
  // The APPC verbs answer the same way.
  TP_STARTED block{};
  block.opcode = AP_TP_STARTED;
  testing::internal::CaptureStderr();
  APPC(&block);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(AP_COMM_SUBSYSTEM_NOT_LOADED, block.primary_rc);
}

TEST_F(NodeConfigTest, StartupChecksVersionAndDescribesTheNode) {
  WCPICDATA data;
  EXPECT_EQ(WCPICVERNOTSUPPORTED, WinCPICStartup(0x0101, &data));
  EXPECT_EQ(WCPICVERNOTSUPPORTED, WinCPICStartup(0x0002, &data));
  ASSERT_EQ(0, WinCPICStartup(0x0001, &data));
  EXPECT_EQ(0x0001, data.wVersion);
  EXPECT_EQ("Tarpon emulated SNA node 2.0", std::string(data.szDescription));
  EXPECT_EQ(0, WinCPICCleanup());
  EXPECT_EQ(WCPICINVALID, WinCPICCleanup());
}

// The configuration is read at every start; only its bytes decide whether
// the last parse still holds.
TEST_F(NodeConfigTest, RereadKeepsTheParseOfUnchangedBytesOnly) {
  std::string error;
  std::shared_ptr<const sna::NodeConfig> first =
      sna::LoadSharedNodeConfig(&error);
  ASSERT_NE(nullptr, first) << error;
  uint64_t parses = sna::NodeConfigParseCount();
  EXPECT_EQ(first, sna::LoadSharedNodeConfig(&error));
  EXPECT_EQ(parses, sna::NodeConfigParseCount());

  // The same size and time stamp, one byte different.
  WriteConfig(sna_test::BaseConfig("[faults]\ncminit = 24\n"));
  struct stat before;
  ASSERT_EQ(0, stat(ConfigPath().c_str(), &before));
  first = sna::LoadSharedNodeConfig(&error);
  ASSERT_NE(nullptr, first) << error;
  WriteConfig(sna_test::BaseConfig("[faults]\ncminit = 25\n"));
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, ConfigPath().c_str(), times, 0));
  parses = sna::NodeConfigParseCount();
  std::shared_ptr<const sna::NodeConfig> second =
      sna::LoadSharedNodeConfig(&error);
  ASSERT_NE(nullptr, second) << error;
  EXPECT_EQ(parses + 1, sna::NodeConfigParseCount());
  EXPECT_EQ(24u, first->FindFault("cminit")->primary);
  EXPECT_EQ(25u, second->FindFault("cminit")->primary);

  // A faulty file is parsed, and its fault reported, every time.
  WriteConfig(sna_test::BaseConfig("[faults]\ncminit = lots\n"));
  const std::string expected =
      ConfigPath() +
      ":16: bad value \"lots\" for \"cminit\" in [faults] (one return code)";
  for (int i = 0; i < 2; ++i) {
    parses = sna::NodeConfigParseCount();
    error.clear();
    EXPECT_EQ(nullptr, sna::LoadSharedNodeConfig(&error));
    EXPECT_EQ(expected, error);
    EXPECT_EQ(parses + 1, sna::NodeConfigParseCount());
  }
  // And so is the node's start: no configuration stays in effect.
  EXPECT_EQ("tarpon sna node: " + expected + "\n",
            StartupError(sna_test::BaseConfig("[faults]\ncminit = lots\n"),
                         WCPICSYSNOTREADY));
  EXPECT_EQ(nullptr, sna::Node().config);
}

}  // namespace

namespace {

TEST(ExampleConfigTest, ShippedExampleParses) {
  const std::string root = TARPON_SOURCE_DIR;
  setenv("TARPON_SNA_NODE", (root + "/examples/sna-node.conf").c_str(), 1);
  sna::NodeConfig config;
  std::string error;
  EXPECT_TRUE(sna::LoadNodeConfig(&config, &error)) << error;
  EXPECT_EQ(root + "/examples/users.db", config.hosts["NETA.KSVHOST"].users);
  unsetenv("TARPON_SNA_NODE");
}

}  // namespace
