// The gateway's checker of new passwords: what it loads, what a reload
// does when a file went bad, and the codes and lines of its refusals.
#include "gateway/new_password_gate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "blocklist/blocklist.h"
#include "blocklist/fold.h"
#include "contract/tarpon_rc.h"

namespace {

class NewPasswordGateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarpon-gate-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    settings_.defaultList = Path("default.tbl");
  }
  void TearDown() override {
    SetNewPasswordCheck(nullptr, NewPasswordSettings(), nullptr);
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, std::system(command.c_str()));
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void WriteList(const std::string& name,
                 const std::vector<std::string>& words) const {
    std::vector<uint64_t> entries;
    for (const std::string& word : words)
      entries.push_back(EntryOf(Fold(word)));
    std::string error;
    ASSERT_TRUE(WriteBlocklist(Path(name), entries, 0, false, &error)) << error;
  }
  int CodeFor(const std::string& password) const {
    return CheckNewPassword("ALICE", password,
                            {"NETA.KSVHOST", "NETA", "KSVHOST", "hosta"})
        .code;
  }

  std::string dir_;
  NewPasswordSettings settings_;
};

TEST_F(NewPasswordGateTest, LoadsTheDefaultListOnlyWhenNoneIsNamed) {
  EXPECT_TRUE(ListsToLoad(settings_).empty());
  WriteList("default.tbl", {"dragon"});
  EXPECT_EQ(std::vector<std::string>{Path("default.tbl")},
            ListsToLoad(settings_));
  settings_.lists = {Path("site.tbl")};
  EXPECT_EQ(settings_.lists, ListsToLoad(settings_));
  settings_.listsOff = true;
  EXPECT_TRUE(ListsToLoad(settings_).empty());
}

TEST_F(NewPasswordGateTest, AReloadThatFailsKeepsTheListsInUse) {
  WriteList("site.tbl", {"dragon"});
  settings_.lists = {Path("site.tbl")};
  std::string error;
  auto checker = LoadNewPasswordCheck(settings_, &error);
  ASSERT_NE(nullptr, checker) << error;
  SetNewPasswordCheck(checker, settings_, nullptr);
  EXPECT_EQ(TARPON_RC_NEW_PASSWORD_COMMON, CodeFor("DRAGON12"));
  std::ofstream(Path("site.tbl"), std::ios::trunc) << "TARPONBL";
  EXPECT_EQ("TARPON SERVER new-password lists not reloaded (" +
                Path("site.tbl") + ": truncated header); the lists in use stay",
            ReloadNewPasswordCheck());
  EXPECT_EQ(TARPON_RC_NEW_PASSWORD_COMMON, CodeFor("DRAGON12"));
  // The same failure stops a start.
  EXPECT_EQ(nullptr, LoadNewPasswordCheck(settings_, &error));
  EXPECT_EQ(Path("site.tbl") + ": truncated header", error);
  WriteList("site.tbl", {"monkey"});
  EXPECT_EQ(
      "TARPON SERVER new-password lists reloaded: 1 lists, 1 entries, "
      "0 site words",
      ReloadNewPasswordCheck());
  EXPECT_EQ(0, CodeFor("DRAGON12"));
  EXPECT_EQ(TARPON_RC_NEW_PASSWORD_COMMON, CodeFor("M0NKEY"));
}

TEST_F(NewPasswordGateTest, RefusesWithTheCodeAndLineOfItsRule) {
  std::ofstream(Path("words")) << "# the company\nKorvid\n\n";
  settings_.wordFiles = {Path("words")};
  settings_.service = "tarponGateway";
  std::string error;
  auto checker = LoadNewPasswordCheck(settings_, &error);
  ASSERT_NE(nullptr, checker) << error;
  SetNewPasswordCheck(checker, settings_, nullptr);
  const struct {
    const char* password;
    int code;
    const char* line;
  } cases[] = {
      {"12345678", TARPON_RC_NEW_PASSWORD_COMMON,
       "TARPON SERVER E0031 : new password refused: it is a sequence of "
       "letters, digits or keys; choose a password that is not a run or a "
       "sequence such as AAAAAAAA, 12345678 or QWERTYUI"},
      {"ALICE2", TARPON_RC_NEW_PASSWORD_CONTEXT,
       "TARPON SERVER E0032 : new password refused: it contains the user ID; "
       "choose a password that does not contain the user ID, the host's "
       "name or the service's name"},
      {"KSVH0ST", TARPON_RC_NEW_PASSWORD_CONTEXT, nullptr},
      {"XNETA#7", TARPON_RC_NEW_PASSWORD_CONTEXT, nullptr},
      {"HOSTA99", TARPON_RC_NEW_PASSWORD_CONTEXT, nullptr},
      {"TARP0N", TARPON_RC_NEW_PASSWORD_CONTEXT, nullptr},
      {"GATEWAY1", 0, nullptr},
      {"KORVID", TARPON_RC_NEW_PASSWORD_CONTEXT, nullptr},
      {"XK7QZ9W2", 0, ""},
  };
  for (const auto& c : cases) {
    NewPasswordRefusal refusal = CheckNewPassword(
        "ALICE", c.password, {"NETA.KSVHOST", "NETA", "KSVHOST", "hosta"});
    EXPECT_EQ(c.code, refusal.code) << c.password;
    if (c.line != nullptr) {
      EXPECT_EQ(c.line, refusal.line) << c.password;
    }
  }
}

TEST_F(NewPasswordGateTest, ChecksNothingWithoutACheckerInForce) {
  SetNewPasswordCheck(nullptr, settings_, nullptr);
  EXPECT_EQ(0, CodeFor("AAAAAAAA"));
  EXPECT_EQ("", ReloadNewPasswordCheck());
}

}  // namespace
