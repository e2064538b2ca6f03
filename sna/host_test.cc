#include "sna/host.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sna/user_db.h"
#include "tests/support/test_node.h"

namespace {

using sna_test::Hex;
using sna_test::ReplyHex;

class HostTest : public sna_test::NodeTest {
 protected:
  void SetUp() override {
    NodeTest::SetUp();
    host_.users = Path("users.db");
  }
  std::string Answer(const std::string& request) {
    return Hex(sna::AnswerPasswordRequest(
        host_, reinterpret_cast<const unsigned char*>(request.data()),
        request.size()));
  }
  // The database line of "user" as the file holds it now.
  std::string LineOf(const std::string& user) {
    std::string text = ReadFile("users.db");
    size_t at = text.find("\n" + user + " ");
    if (at == std::string::npos) return "";
    size_t end = text.find('\n', at + 1);
    return text.substr(at + 1, end - at - 1);
  }
  sna::HostConfig host_;
};

TEST_F(HostTest, DecisionTable) {
  struct Case {
    const char* name;
    std::string request;
    int status;
    const char* user;
    const char* line_after;
  } cases[] = {
      {"unknown user", sna_test::Request("ZED", "X", "Y"), 0x01, "ALICE",
       "ALICE     SECRET1"},
      {"revoked", sna_test::Request("carol", "TOPSEC", "NEW1"), 0x07, "CAROL",
       "CAROL     TOPSEC    revoked"},
      {"wrong password counts", sna_test::Request("DAVE", "WRONG", "NEW1"),
       0x02, "DAVE", "DAVE      NEWONE    history=OLDONE,OLDER failures=2"},
      {"sign on, expired", sna_test::SignOn("BOB", "passw0rd"), 0x03, "BOB",
       "BOB       PASSW0RD  expired"},
      {"too long for min", sna_test::Request("ALICE", "SECRET1", "AB"), 0x04,
       "ALICE", "ALICE     SECRET1"},
      {"same as current", sna_test::Request("ALICE", "SECRET1", "secret1"),
       0x04, "ALICE", "ALICE     SECRET1"},
      {"in the history", sna_test::Request("DAVE", "NEWONE", "OLDER"), 0x04,
       "DAVE", "DAVE      NEWONE    history=OLDONE,OLDER"},
      {"bad character", sna_test::Request("ALICE", "SECRET1", "NEW.1"), 0x04,
       "ALICE", "ALICE     SECRET1"},
      {"expired may change", sna_test::Request("BOB", "PASSW0RD", "fresh#1"),
       0x00, "BOB", "BOB       FRESH#1   history=PASSW0RD"},
      {"change keeps newest history",
       sna_test::Request("DAVE", "NEWONE", "NEWTWO"), 0x00, "DAVE",
       "DAVE      NEWTWO    history=NEWONE,OLDONE"},
      {"sign on only", sna_test::SignOn("ALICE", "SECRET1"), 0x00, "ALICE",
       "ALICE     SECRET1"},
      {"format error", sna_test::Gds(0xFF01, ""), 0x06, "ALICE",
       "ALICE     SECRET1"},
  };
  host_.min_password_length = 3;
  host_.password_history = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("users.db", sna_test::BaseUsers());
    std::string reply = Answer(c.request);
    if (c.status == 0x06) {
      EXPECT_EQ("000F1221000BFF0203000604010001", reply);
    } else {
      EXPECT_EQ(ReplyHex(c.status), reply);
    }
    EXPECT_EQ(c.line_after, LineOf(c.user));
  }
}

TEST_F(HostTest, RevokesAfterFailuresInARow) {
  host_.revoke_after = 2;
  EXPECT_EQ(ReplyHex(2), Answer(sna_test::SignOn("ALICE", "NO")));
  // A right password ends the row.
  EXPECT_EQ(ReplyHex(0), Answer(sna_test::SignOn("ALICE", "SECRET1")));
  EXPECT_EQ("ALICE     SECRET1", LineOf("ALICE"));
  EXPECT_EQ(ReplyHex(2), Answer(sna_test::SignOn("ALICE", "NO")));
  EXPECT_EQ(ReplyHex(2), Answer(sna_test::SignOn("ALICE", "NO")));
  EXPECT_EQ("ALICE     SECRET1   revoked failures=2", LineOf("ALICE"));
  EXPECT_EQ(ReplyHex(7), Answer(sna_test::SignOn("ALICE", "SECRET1")));
}

TEST_F(HostTest, SettingsChangeTheVerdict) {
  host_.persistent_signon = false;
  EXPECT_EQ(ReplyHex(8), Answer(sna_test::SignOn("ALICE", "secret1")));
  host_.persistent_signon = true;
  host_.mixed_case_passwords = true;
  EXPECT_EQ(ReplyHex(2), Answer(sna_test::SignOn("ALICE", "secret1")));
  EXPECT_EQ(ReplyHex(0),
            Answer(sna_test::Request("ALICE", "SECRET1", "Mixed1")));
  EXPECT_EQ("ALICE     Mixed1", LineOf("ALICE"));
  host_.password_history = 0;
  EXPECT_EQ(ReplyHex(0),
            Answer(sna_test::Request("ALICE", "Mixed1", "SECRET1")));
  EXPECT_EQ("ALICE     SECRET1", LineOf("ALICE"));
}

TEST_F(HostTest, KeepsCommentsAndOtherLinesAndMode0600) {
  ASSERT_EQ(ReplyHex(0), Answer(sna_test::Request("ALICE", "SECRET1", "NEW1")));
  std::string expected = sna_test::BaseUsers();
  expected.replace(expected.find("ALICE     SECRET1"), 17, "ALICE     NEW1");
  EXPECT_EQ(expected, ReadFile("users.db"));
  struct stat info;
  ASSERT_EQ(0, stat(Path("users.db").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
}

// A database that cannot be used is answered with X'07', named on
// standard error, and left as it is.
TEST_F(HostTest, UnusableDatabaseAnswers07AndIsLeftAlone) {
  const std::string broken = "ALICE SECRET1\nBOB PASSW0RD expird\n";
  const std::string db = Path("users.db");
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string error;
  } cases[] = {
      {"broken", [&] { WriteFile("users.db", broken); },
       db + ":2: unknown attribute for BOB"},
      {"missing", [&] { unlink(db.c_str()); },
       db + ": cannot open: No such file or directory"},
      {"open to others",
       [&] {
         WriteFile("users.db", broken);
         chmod(db.c_str(), 0644);
       },
       db + ": mode 0644 lets the group or others read passwords: chmod 600 " +
           db},
      {"a FIFO",
       [&] {
         unlink(db.c_str());
         mkfifo(db.c_str(), 0600);
       },
       db + ": not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    struct stat before;
    bool existed = lstat(db.c_str(), &before) == 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReplyHex(7), Answer(sna_test::Request("ALICE", "SECRET1", "N1")));
    EXPECT_EQ("tarpon sna node: " + c.error + "\n",
              testing::internal::GetCapturedStderr());
    struct stat after;
    EXPECT_EQ(existed, lstat(db.c_str(), &after) == 0);
    if (existed) {
      EXPECT_EQ(before.st_ino, after.st_ino);
    }
  }
}

}  // namespace
