#include "sna/user_db.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "sna/host.h"
#include "sna/test_node.h"

namespace {

TEST(UserDbTest, ParsesRecordsAndRefusesFaultsByLine) {
  sna::UserDatabase database;
  int line = 0;
  std::string error;
  ASSERT_TRUE(sna::ParseUserDatabase(std::string(sna_test::BaseUsers()) +
                                         "\n  # indented comment\r\n" +
                                         "eve\tpw revoked expired",
                                     &database, &line, &error));
  ASSERT_EQ(5u, database.users.size());
  const sna::UserRecord* dave = database.Find("dave");
  ASSERT_NE(nullptr, dave);
  EXPECT_EQ("NEWONE", dave->password);
  ASSERT_EQ(2u, dave->history.size());
  EXPECT_EQ("OLDER", dave->history[1]);
  EXPECT_EQ(1, dave->failures);
  const sna::UserRecord* eve = database.Find("EVE");
  ASSERT_NE(nullptr, eve);
  EXPECT_TRUE(eve->revoked && eve->expired);

  struct Case {
    const char* text;
    int line;
    const char* error;
  } cases[] = {
      {"A B\nLONELY\n", 2, "no password for LONELY"},
      {"NINECHARS X\n", 1, "bad user ID \"NINECHARS\""},
      {"A.B X\n", 1, "bad user ID \"A.B\""},
      {"A 123456789\n", 1, "bad password for A"},
      {"A X failures=x\n", 1, "bad failure count \"x\" for A"},
      {"A X failures=123456\n", 1, "bad failure count \"123456\" for A"},
      {"A X history=B,,C\n", 1, "bad history for A"},
      {"A X expired expired\n", 1, "attribute \"expired\" given twice for A"},
      {"A X\n#\na Y\n", 3, "user A given twice"},
      {"A X locked\n", 1, "unknown attribute \"locked\" for A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(sna::ParseUserDatabase(c.text, &database, &line, &error));
    EXPECT_EQ(c.line, line);
    EXPECT_EQ(c.error, error);
  }
}

TEST(UserDbTest, FormatsChangedRecordsOnly) {
  sna::UserDatabase database;
  int line = 0;
  std::string error;
  ASSERT_TRUE(sna::ParseUserDatabase("# head\nA   X\nb y expired\n", &database,
                                     &line, &error));
  sna::UserRecord* b = database.Find("B");
  b->expired = false;
  b->history = {"OLD1", "OLD2"};
  b->failures = 3;
  b->changed = true;
  EXPECT_EQ("# head\nA   X\nB         y         history=OLD1,OLD2 failures=3\n",
            sna::FormatUserDatabase(database));
}

class UserDbFileTest : public sna_test::NodeTest {};

// Several processes change different users' passwords at once; every
// change must be in the file afterwards.
TEST_F(UserDbFileTest, ConcurrentWritersAllPersist) {
  std::string users;
  const int kWriters = 6;
  const int kRounds = 5;
  for (int i = 0; i < kWriters; ++i) {
    users += "USER" + std::to_string(i) + " P0\n";
  }
  WriteFile("users.db", users);
  sna::HostConfig host;
  host.users = Path("users.db");
  host.password_history = 0;
  pid_t children[kWriters];
  for (int i = 0; i < kWriters; ++i) {
    children[i] = fork();
    ASSERT_GE(children[i], 0);
    if (children[i] == 0) {
      std::string user = "USER" + std::to_string(i);
      for (int round = 0; round < kRounds; ++round) {
        std::string request = sna_test::Request(
            user, "P" + std::to_string(round), "P" + std::to_string(round + 1));
        std::string reply = sna::AnswerPasswordRequest(
            host, reinterpret_cast<const unsigned char*>(request.data()),
            request.size());
        if (reply.size() != 11 || reply[10] != 0) _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string expected;
  for (int i = 0; i < kWriters; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "USER%-5d P%d\n", i, kRounds);
    expected += line;
  }
  EXPECT_EQ(expected, ReadFile("users.db"));
}

// A writer killed at any moment leaves the old file or the new one.
TEST_F(UserDbFileTest, KilledWriterLeavesAParseableFile) {
  std::string users;
  for (int i = 0; i < 200; ++i) users += "U" + std::to_string(i) + " PASS\n";
  WriteFile("users.db", users);
  for (int attempt = 0; attempt < 3; ++attempt) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string ignored;
      for (int n = 0;; ++n) {
        sna::UpdateUserDatabase(
            Path("users.db"),
            [n](sna::UserDatabase* database) {
              for (sna::UserRecord& record : database->users) {
                record.failures = n % 1000;
                record.changed = true;
              }
              return true;
            },
            &ignored);
      }
    }
    usleep(20000 + attempt * 7000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    sna::UserDatabase database;
    int line = 0;
    std::string error;
    ASSERT_TRUE(
        sna::ParseUserDatabase(ReadFile("users.db"), &database, &line, &error))
        << error;
    EXPECT_EQ(200u, database.users.size());
  }
}

}  // namespace
