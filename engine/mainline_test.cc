#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/ccb.h"
#include "engine/conversation.h"
#include "engine/options.h"
#include "engine/tarpon.h"

namespace {

// A node with one host partner LU and one side information profile, and a
// process-wide standard output captured for each test.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarpon-engine-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    Write("sna-node.conf",
          "[node]\nmodes = #BATCH #INTER\n\n"
          "[partner_lu hosta]\nname = NETA.KSVHOST\n\n"
          "[side_info KSVSYM]\npartner_lu = NETA.KSVHOST\nmode = #INTER\n"
          "tp_name = x'06F3F0F1'\nsecurity = none\n\n"
          "[side_info ALIASSYM]\npartner_lu = hosta\nmode = #BATCH\n"
          "tp_name = x'06F3F0F1'\nsecurity = none\n\n"
          "[host NETA.KSVHOST]\nusers = users.db\n"
          "mixed_case_passwords = no\npassword_history = 0\n"
          "min_password_length = 1\npersistent_signon = yes\n"
          "revoke_after = 0\n");
    Write("users.db", "ALICE SECRET1\n");
    setenv("TARPON_SNA_NODE", (dir_ + "/sna-node.conf").c_str(), 1);
    saved_ = std::cout.rdbuf(out_.rdbuf());
  }
  void TearDown() override {
    std::cout.rdbuf(saved_);
    unsetenv("TARPON_SNA_NODE");
    // The host leaves its lock file beside the database.
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
    chmod((dir_ + "/" + name).c_str(), 0600);  // as the host requires
  }
  std::string Out() {
    std::string text = out_.str();
    out_.str("");
    return text;
  }

  std::string dir_;
  std::ostringstream out_;
  std::streambuf* saved_ = nullptr;
};

const std::string kEnd = std::string("\n") + '\0';

TEST_F(EngineTest, RunCommandLineTakesAtMost49Tokens) {
  std::string line;
  for (int i = 0; i < 48; ++i) line += " -v";
  // 48 flags and "-?": 49 tokens run (the help text answers them).
  EXPECT_EQ(4, run_command_line((line + " -?").c_str()));
  EXPECT_EQ(0u, Out().find("\n\nVeltrix Korvid Common Server utility"));

  // One more is refused whole, in the engine's framing.
  EXPECT_EQ(14, run_command_line((line + " -? -v").c_str()));
  EXPECT_EQ(
      "\nThe command line holds more than 49 options and values.\n"
      "The request was not run.\n" +
          kEnd,
      Out());
  // Trailing white space is not a token.
  EXPECT_EQ(4, run_command_line((line + " -?  \t\n").c_str()));
  Out();
}

TEST_F(EngineTest, TarponBuildsAtMost199Characters) {
  // " -u a -p b -np c " is 17 characters; the options fill the rest.
  std::string fits = "-?" + std::string(199 - 17 - 2, ' ');
  EXPECT_EQ(4, tarpon("a", "b", "c", nullptr, fits.c_str()));
  Out();
  std::string tooLong = fits + " ";
  EXPECT_EQ(14, tarpon("a", "b", "c", nullptr, tooLong.c_str()));
  EXPECT_EQ(
      "\nThe command line is longer than 199 characters.\n"
      "The request was not run.\n" +
          kEnd,
      Out());
  // A long server alone is refused too, not cut.
  EXPECT_EQ(14, tarpon("a", "b", "c", std::string(300, 's').c_str(), nullptr));
  Out();
}

TEST_F(EngineTest, TarponLeavesTheServerOutForLocalRequests) {
  const std::string localAnswer =
      "\nERROR 57. Korvid Common Server KSV client version 02.00\n"
      "Veltrix Korvid Common Server\nKeysaver utility completed\n"
      "ChangePasswordUserExitReturnCode ....: 16 (Function not supported at "
      "this time)\n" +
      kEnd;
  // "-local" anywhere, even inside a longer word, keeps "-s" out; were it
  // in, it would be reported as left over.
  EXPECT_EQ(21, tarpon("alice", "secret1", "new1", "hosta", "-local"));
  EXPECT_EQ(localAnswer, Out());
  EXPECT_EQ(21, tarpon("alice", "secret1", "new1", nullptr, nullptr));
  EXPECT_EQ(localAnswer, Out());
  EXPECT_EQ(0, tarpon("alice", "secret1", "new1", "hosta", nullptr));
  EXPECT_EQ("\nPassword changed successfully.\n" + kEnd, Out());
}

TEST_F(EngineTest, TarponWithResultCapturesTheOutput) {
  std::streambuf* before = std::cout.rdbuf();
  char text[300];
  ApiResult result = {-1, sizeof text, text};
  EXPECT_EQ(4, tarpon("a", "b", "c", nullptr, &result, "-comapi"));
  EXPECT_EQ(4, result.returnCode);
  const std::string info =
      "\n\nINFORMATION 2.\nSna product .....: Tarpon emulated SNA node (CPIC "
      "api used) (CPIC and APPC apis used) \n\n";
  EXPECT_EQ(info, std::string(text));
  EXPECT_EQ(before, std::cout.rdbuf());  // restored
  EXPECT_EQ("", Out());                  // nothing leaked past the capture

  // A small buffer holds a terminated prefix.
  char small[6];
  result = {-1, sizeof small, small};
  tarpon("a", "b", "c", nullptr, &result, "-comapi");
  EXPECT_EQ(info.substr(0, 5), std::string(small));
  char one[1] = {'x'};
  result = {-1, 1, one};
  tarpon("a", "b", "c", nullptr, &result, "-comapi");
  EXPECT_EQ('\0', one[0]);
  result = {-1, 0, nullptr};
  EXPECT_EQ(4, tarpon("a", "b", "c", nullptr, &result, "-comapi"));
  EXPECT_EQ(4, result.returnCode);
}

// Runs process_input_parameters on a copy of the arguments.
class OptionsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_EQ(0, initialize(&ccb_));
  }
  void TearDown() override {
    cleanup(&ccb_);
    EngineTest::TearDown();
  }
  int Process(std::vector<std::string> args) {
    args_ = args;
    args_.insert(args_.begin(), "tarpon");
    std::vector<char*> argv;
    for (std::string& arg : args_) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return process_input_parameters(static_cast<int>(args_.size()), argv.data(),
                                    &ccb_);
  }
  static std::string Value(Lu62Field& field) {
    return field.isSet() ? field.get() : "<unset>";
  }

  CommunicationsControlBlock ccb_;
  std::vector<std::string> args_;
};

TEST_F(OptionsTest, ServerNamingAProfileTakesTheModeFromIt) {
  ASSERT_EQ(0, Process({"-s", "ksvsym", "-u", "a", "-p", "b", "-np", "c"}));
  EXPECT_EQ("ksvsym", Value(ccb_.symbolicDestination));
  EXPECT_EQ(1, ccb_.conversationInitialized);
  EXPECT_EQ("<unset>", Value(ccb_.modeName));
  ASSERT_EQ(0, process_input_files(&ccb_));
  EXPECT_EQ("NETA.KSVHOST", Value(ccb_.qualifiedPartnerLuName));
  EXPECT_EQ(1, ccb_.partnerLuFromSideInfo);
  EXPECT_EQ("#INTER", Value(ccb_.modeName));
  EXPECT_EQ("", Out());
}

TEST_F(OptionsTest, CommandLineNamesWinOverTheProfile) {
  ASSERT_EQ(0, Process({"-sd", "ALIASSYM", "-plu", "NETA.OTHER", "-m", "#inter",
                        "-u", "a", "-p", "b", "-np", "c"}));
  ASSERT_EQ(0, process_input_files(&ccb_));
  EXPECT_EQ("NETA.OTHER", Value(ccb_.qualifiedPartnerLuName));
  EXPECT_EQ("<unset>", Value(ccb_.partnerLuAlias));
  EXPECT_EQ(0, ccb_.partnerLuFromSideInfo);
  EXPECT_EQ("#inter", Value(ccb_.modeName));
}

TEST_F(OptionsTest, ProfileNamingAnAliasFillsTheAlias) {
  ASSERT_EQ(0, Process({"-sd", "ALIASSYM", "-u", "a", "-p", "b", "-np", "c"}));
  ASSERT_EQ(0, process_input_files(&ccb_));
  EXPECT_EQ("hosta", Value(ccb_.partnerLuAlias));
  EXPECT_EQ("<unset>", Value(ccb_.qualifiedPartnerLuName));
  EXPECT_EQ(0, ccb_.partnerLuFromSideInfo);
  EXPECT_EQ("#BATCH", Value(ccb_.modeName));
}

TEST_F(OptionsTest, CpicServerIsTheProfileWithoutAProbe) {
  ASSERT_EQ(
      0, Process({"-cpic", "-s", "KSVSYM", "-u", "a", "-p", "b", "-np", "c"}));
  EXPECT_EQ("KSVSYM", Value(ccb_.symbolicDestination));
  EXPECT_EQ(0, ccb_.conversationInitialized);
  EXPECT_EQ(1, ccb_.cpicUsed);
  // The mode defaults and the profile's mode is not used.
  EXPECT_EQ("#BATCH", Value(ccb_.modeName));
  ASSERT_EQ(0, process_input_files(&ccb_));
  EXPECT_EQ("#BATCH", Value(ccb_.modeName));
}

TEST_F(OptionsTest, ServerResolvesToAPartnerLuWhenNoProfileHasItsName) {
  struct Case {
    const char* server;
    const char* alias;
    const char* qualified;
  };
  const Case cases[] = {{"hosta", "hosta", "<unset>"},
                        {"neta.ksvhost", "<unset>", "neta.ksvhost"},
                        {"NETA.LONGNAME1", "<unset>", "NETA.LONGNAME1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    CommunicationsControlBlock ccb;
    args_ = {"tarpon", "-s", c.server, "-u", "a", "-p", "b", "-np", "c"};
    std::vector<char*> argv;
    for (std::string& arg : args_) argv.push_back(&arg[0]);
    ASSERT_EQ(0, process_input_parameters(static_cast<int>(argv.size()),
                                          argv.data(), &ccb));
    EXPECT_EQ(c.alias, Value(ccb.partnerLuAlias));
    EXPECT_EQ(c.qualified, Value(ccb.qualifiedPartnerLuName));
    EXPECT_EQ(c.server, Value(ccb.serverName));
    EXPECT_EQ("<unset>", Value(ccb.symbolicDestination));
    EXPECT_EQ("#BATCH", Value(ccb.modeName));
  }
}

TEST_F(OptionsTest, SymdestDecidesWhenTheServerIsNoProfile) {
  ASSERT_EQ(0, Process({"-sd", "KSVSYM", "-s", "hosta", "-u", "a", "-p", "b",
                        "-np", "c"}));
  EXPECT_EQ("", Out());
  EXPECT_EQ("hosta", Value(ccb_.serverName));
  EXPECT_EQ("<unset>", Value(ccb_.partnerLuAlias));
  EXPECT_EQ("KSVSYM", Value(ccb_.symbolicDestination));
}

TEST_F(OptionsTest, NoDestinationTakesTheLocalPath) {
  ASSERT_EQ(0, Process({"-u", "alice", "-p", "b", "-np", "c", "-v", "-log"}));
  EXPECT_EQ(1, ccb_.localChange);
  EXPECT_EQ(1, ccb_.verbose);
  EXPECT_EQ(1, ccb_.logRequested);
  EXPECT_STREQ("alice", ccb_.user);
  EXPECT_STREQ("b", ccb_.oldPassword);
  EXPECT_STREQ("c", ccb_.newPassword);
}

TEST_F(OptionsTest, OnlyFlagsAreAHelpRequest) {
  EXPECT_EQ(4, Process({"-v", "-log"}));
  EXPECT_EQ(0, ccb_.verbose);
  EXPECT_EQ(0, ccb_.logRequested);
  EXPECT_EQ(0, ccb_.localChange);
}

TEST_F(OptionsTest, DatabaseLookupIsNotAvailable) {
  char symdest[9] = "KEEP";
  EXPECT_EQ(16, get_symdest_from_database(symdest, "DB"));
  EXPECT_STREQ("KEEP", symdest);
  ASSERT_EQ(0, Process({"-d", "DB", "-u", "a", "-p", "b", "-np", "c"}));
  EXPECT_EQ("DB", Value(ccb_.databaseName));
  EXPECT_EQ("#BATCH", Value(ccb_.modeName));
  EXPECT_EQ(0, process_input_files(&ccb_));
  EXPECT_EQ("<unset>", Value(ccb_.symbolicDestination));
}

TEST_F(OptionsTest, PasswordPromptNeedsATerminal) {
  // Standard input of the test may be a terminal; take it away.
  int savedInput = dup(STDIN_FILENO);
  int none = open("/dev/null", O_RDONLY);
  ASSERT_GE(none, 0);
  dup2(none, STDIN_FILENO);
  close(none);
  char password[9] = "KEEP";
  int rc = get_password_safely(password, 8, "prompt", nullptr);
  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
  EXPECT_EQ(8, rc);
  EXPECT_STREQ("KEEP", password);
  EXPECT_EQ(0u, Out().find("ERROR 50. "));
}

TEST(ExitStatusTest, HostVerdictsNeverWrapIntoSuccess) {
  const struct {
    int rc;
    int exitStatus;
  } cases[] = {
      {0, 0},      {14, 14},    {255, 255},  {1020, 120},
      {1024, 124}, {2001, 201}, {2054, 254}, {2000, 255},
      {2055, 255}, {256, 255},  {-1, 255},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.exitStatus, tarpon_exit_status(c.rc)) << c.rc;
  }
}

}  // namespace

// Requests run at once on several threads, each writing to its own
// capture: every run must give exactly the text the same request gives
// alone. Each changing thread owns its user and swaps its password back
// and forth, so that every run's answer is known.
// The request is read once: what Begin found is what the gateway counts
// and reports.
TEST_F(EngineTest, BeginExposesTheAccountAndDestinationItFound) {
  const struct {
    const char* options;
    const char* user;  // null: Begin ends the request itself
    const char* named;
    const char* partner;
  } cases[] = {
      // The partner LU: its alias as named, or its qualified name.
      {"-u alice -p A -np B2 -s hosta -noterm", "ALICE", "HOSTA", "hosta"},
      {"  -s\thosta   -u Alice -p A -np B2", "ALICE", "HOSTA", "hosta"},
      {"/u alice /p A /np B2 /s hosta", "ALICE", "HOSTA", "hosta"},
      {"-u alice -p A -np B2 -sd KSVSYM", "ALICE", "KSVSYM", "NETA.KSVHOST"},
      {"-u alice -p A -np B2 -plu neta.ksvhost", "ALICE", "NETA.KSVHOST",
       "NETA.KSVHOST"},
      // A flag between a switch and its value: the engine takes it out
      // first, so the value is the next word.
      {"-u -v alice -p A -np B2 -s -noterm hosta", "ALICE", "HOSTA", "hosta"},
      {"-u alice -p A -np B2 -s hosta -plu neta.ksvhost", nullptr, "", ""},
      {"-u ninechars -p A -np B2 -s hosta", nullptr, "", ""},
      {"-u alice -p A -np B2 -s eighteen.characters", nullptr, "", ""},
      {"", nullptr, "", ""},
  };
  for (const auto& c : cases) {
    TarponRequest request;
    const bool more = request.Begin(c.options);
    EXPECT_EQ(c.user != nullptr, more) << c.options;
    if (!more) continue;
    EXPECT_EQ(c.user, request.GetUser()) << c.options;
    EXPECT_EQ(c.named, request.GetNamedDestination()) << c.options;
    EXPECT_EQ(c.partner, request.GetDestination()) << c.options;
    EXPECT_STREQ("B2", request.GetNewPassword()) << c.options;
    request.Refuse(TARPON_RC_BAD_OPTION, "not run\n");
  }
  Out();
}

TEST_F(EngineTest, ConcurrentRunsGiveEachItsOwnText) {
  std::string users;
  constexpr int kChangers = 4;
  for (int i = 0; i < kChangers; ++i) {
    users += "USER" + std::to_string(i) + " FIRST" + std::to_string(i) + "\n";
  }
  Write("users.db", "ALICE SECRET1\n" + users);
  struct Case {
    std::string user, oldPassword, newPassword, server, options;
  };
  std::vector<std::vector<Case>> threads;
  for (int i = 0; i < kChangers; ++i) {
    std::string n = std::to_string(i);
    // Even threads go by the profile (CPI-C), odd ones by the alias.
    std::string server = i % 2 == 0 ? "KSVSYM" : "hosta";
    threads.push_back({{"user" + n, "first" + n, "second" + n, server, ""},
                       {"user" + n, "second" + n, "first" + n, server, ""}});
  }
  threads.push_back({{"alice", "wrong", "new1", "KSVSYM", ""},
                     {"alice", "wrong", "new1", "hosta", "-m #INTER"}});
  threads.push_back({{"alice", "a", "b", "nohost", ""},
                     {"alice", "a", "b", "KSVSYM", "-zz"}});
  threads.push_back(
      {{"alice", "a", "b", "", "-?"}, {"alice", "a", "b", "", "-comapi"}});

  auto run = [](const Case& c) {
    std::vector<char> text(4000);
    ApiResult result = {-1, static_cast<int32_t>(text.size()), text.data()};
    tarpon(c.user.c_str(), c.oldPassword.c_str(), c.newPassword.c_str(),
           c.server.empty() ? nullptr : c.server.c_str(), &result,
           c.options.empty() ? nullptr : c.options.c_str());
    return std::to_string(result.returnCode) + ":" + text.data();
  };
  // Alone, in order: each thread's cases once round.
  std::vector<std::vector<std::string>> expected;
  for (const std::vector<Case>& cases : threads) {
    expected.emplace_back();
    for (const Case& c : cases) expected.back().push_back(run(c));
  }
  ASSERT_EQ(0, expected[0][0].find("0:")) << expected[0][0];
  ASSERT_EQ(0, expected[0][1].find("0:")) << expected[0][1];

  constexpr int kRounds = 10;
  std::vector<std::vector<std::string>> seen(threads.size());
  std::vector<std::thread> running;
  for (size_t t = 0; t < threads.size(); ++t) {
    running.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (const Case& c : threads[t]) seen[t].push_back(run(c));
      }
    });
  }
  for (std::thread& thread : running) thread.join();
  for (size_t t = 0; t < threads.size(); ++t) {
    ASSERT_EQ(kRounds * threads[t].size(), seen[t].size());
    for (size_t i = 0; i < seen[t].size(); ++i) {
      ASSERT_EQ(expected[t][i % threads[t].size()], seen[t][i])
          << "thread " << t << " run " << i;
    }
  }
  EXPECT_EQ("", Out());  // nothing reached the process's standard output
}
