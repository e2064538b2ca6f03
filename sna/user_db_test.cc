#include "sna/user_db.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sna/host.h"
#include "tests/support/test_node.h"

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
      {"A X locked\n", 1, "unknown attribute for A"},
      {"A X history=B history=C\n", 1,
       "attribute \"history\" given twice for A"},
      // The first fault by line wins, a repeated ID or a bad record.
      {"A X\na Y\nLONELY\n", 2, "user A given twice"},
      {"A X\nLONELY\na Y\n", 2, "no password for LONELY"},
      {"B X\nA X\nB Y\nA Y\nB Z\n", 3, "user B given twice"},
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
  ASSERT_TRUE(sna::ParseUserDatabase("# head\r\nA   X\nb y expired\r\n",
                                     &database, &line, &error));
  sna::UserRecord* b = database.Find("B");
  b->expired = false;
  b->history = {"OLD1", "OLD2"};
  b->failures = 3;
  b->changed = true;
  EXPECT_EQ(
      "# head\r\nA   X\nB         y         history=OLD1,OLD2 failures=3\r\n",
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

// What UpdateUserDatabase gives "change": the database of the file as it
// is now, whether parsed again or not.
class UserDbCacheTest : public sna_test::NodeTest {
 protected:
  // Runs an update that changes nothing; returns its result and keeps
  // ALICE's password as seen and the parses it took.
  int Look(std::string* error) {
    uint64_t before = sna::UserDatabaseParseCount();
    int rc = sna::UpdateUserDatabase(
        Path("users.db"),
        [this](sna::UserDatabase* database) {
          const sna::UserRecord* alice = database->Find("ALICE");
          alice_ = alice == nullptr ? "" : alice->password;
          return false;
        },
        error);
    parses_ = sna::UserDatabaseParseCount() - before;
    return rc;
  }
  std::string alice_;
  uint64_t parses_ = 0;
};

TEST_F(UserDbCacheTest, UnchangedBytesAreParsedOnce) {
  std::string error;
  ASSERT_EQ(0, Look(&error)) << error;
  EXPECT_EQ(1u, parses_);
  EXPECT_EQ("SECRET1", alice_);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(0, Look(&error)) << error;
    EXPECT_EQ(0u, parses_);
    EXPECT_EQ("SECRET1", alice_);
  }
  // What "change" does to its copy without asking for a write is not kept.
  ASSERT_EQ(0, sna::UpdateUserDatabase(
                   Path("users.db"),
                   [](sna::UserDatabase* database) {
                     database->Find("ALICE")->password = "MUTATED";
                     database->users.clear();
                     return false;
                   },
                   &error));
  ASSERT_EQ(0, Look(&error)) << error;
  EXPECT_EQ(0u, parses_);
  EXPECT_EQ("SECRET1", alice_);
}

// Same size, same time stamp: only the bytes tell the versions apart.
TEST_F(UserDbCacheTest, EditOfTheSameSizeAndTimeStampIsSeen) {
  std::string error;
  ASSERT_EQ(0, Look(&error)) << error;
  struct stat before;
  ASSERT_EQ(0, stat(Path("users.db").c_str(), &before));
  std::string text = ReadFile("users.db");
  size_t at = text.find("SECRET1");
  ASSERT_NE(std::string::npos, at);
  text[at + 6] = '2';
  WriteFile("users.db", text);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, Path("users.db").c_str(), times, 0));
  struct stat after;
  ASSERT_EQ(0, stat(Path("users.db").c_str(), &after));
  ASSERT_EQ(before.st_size, after.st_size);
  ASSERT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);

  ASSERT_EQ(0, Look(&error)) << error;
  EXPECT_EQ(1u, parses_);
  EXPECT_EQ("SECRET2", alice_);
}

TEST_F(UserDbCacheTest, FaultyFileFailsEveryTimeUntilMended) {
  std::string error;
  ASSERT_EQ(0, Look(&error)) << error;
  WriteFile("users.db", std::string(sna_test::BaseUsers()) + "EVE\n");
  const std::string expected = Path("users.db") + ":6: no password for EVE";
  for (int i = 0; i < 2; ++i) {
    error.clear();
    EXPECT_EQ(-1, Look(&error));
    EXPECT_EQ(1u, parses_);
    EXPECT_EQ(expected, error);
  }
  WriteFile("users.db", sna_test::BaseUsers());
  ASSERT_EQ(0, Look(&error)) << error;
  EXPECT_EQ("SECRET1", alice_);
  // The mended file has the bytes of the last good parse.
  EXPECT_EQ(0u, parses_);
}

// A change rewrites the file; the next request sees what was written.
TEST_F(UserDbCacheTest, WrittenChangeIsSeenNext) {
  std::string error;
  ASSERT_EQ(0, Look(&error)) << error;
  ASSERT_EQ(0, sna::UpdateUserDatabase(
                   Path("users.db"),
                   [](sna::UserDatabase* database) {
                     sna::UserRecord* alice = database->Find("ALICE");
                     alice->password = "NEWPW";
                     alice->changed = true;
                     return true;
                   },
                   &error))
      << error;
  ASSERT_EQ(0, Look(&error)) << error;
  EXPECT_EQ("NEWPW", alice_);
}

// A writer killed mid-write leaves its new file; the next writer removes
// it, and only it.
TEST_F(UserDbFileTest, NextChangeRemovesLeftoverNewFiles) {
  struct File {
    const char* name;
    mode_t mode;
    bool removed;
  } files[] = {
      {"users.db.scratch-a1B2c3", 0600, true},
      {"users.db.scratch-ZZZZZZ", 0600, true},
      {"users.db.scratch-a1B2c", 0600, false},
      {"users.db.scratch-a1B2c3d", 0600, false},
      {"users.db.scratch-a1B.c3", 0600, false},
      {"users.db.scratch-a1B2c3.bak", 0600, false},
      {"users.db.scratch-a1B2c4", 0644, false},  // made readable: not ours
      {"users.db.backup", 0600, false},
      {"users.db.a1B2c3", 0600, false},
      {"other.db.scratch-a1B2c3", 0600, false},
      {"xusers.db.scratch-a1B2c3", 0600, false},
  };
  for (const File& file : files) {
    WriteFile(file.name, "LEFT      OVER\n");
    ASSERT_EQ(0, chmod(Path(file.name).c_str(), file.mode));
  }
  // A link to the database under a scratch name, and a second name of a
  // file: neither is a writer's leftover.
  ASSERT_EQ(0, symlink(Path("users.db").c_str(),
                       Path("users.db.scratch-Link01").c_str()));
  WriteFile("kept", "KEPT      DATA\n");
  ASSERT_EQ(0, chmod(Path("kept").c_str(), 0600));
  ASSERT_EQ(
      0, link(Path("kept").c_str(), Path("users.db.scratch-Hard01").c_str()));

  sna::HostConfig host;
  host.users = Path("users.db");
  std::string request = sna_test::Request("ALICE", "SECRET1", "FRESH1");
  std::string reply = sna::AnswerPasswordRequest(
      host, reinterpret_cast<const unsigned char*>(request.data()),
      request.size());
  EXPECT_EQ(sna_test::ReplyHex(0), sna_test::Hex(reply));

  for (const File& file : files) {
    SCOPED_TRACE(file.name);
    EXPECT_EQ(!file.removed, access(Path(file.name).c_str(), F_OK) == 0);
  }
  struct stat status;
  EXPECT_EQ(0, lstat(Path("users.db.scratch-Link01").c_str(), &status));
  EXPECT_EQ("KEPT      DATA\n", ReadFile("users.db.scratch-Hard01"));
  EXPECT_NE(std::string::npos,
            ReadFile("users.db").find("\nALICE     FRESH1\n"));
}

// A database reached through a link is changed where it lives; the link
// stays a link. A lock file that is a link is refused, and a lock someone
// holds is waited for a bounded time.
TEST_F(UserDbFileTest, FollowsDatabaseLinksButNeverLockLinks) {
  ASSERT_EQ(0, mkdir(Path("real").c_str(), 0700));
  WriteFile("real/users.db", sna_test::BaseUsers());
  ASSERT_EQ(0, symlink("real/users.db", Path("link.db").c_str()));
  auto change = [](sna::UserDatabase* database) {
    database->Find("ALICE")->password = "VIALINK";
    database->Find("ALICE")->changed = true;
    return true;
  };
  std::string error;
  ASSERT_EQ(0, sna::UpdateUserDatabase(Path("link.db"), change, &error))
      << error;
  struct stat status;
  ASSERT_EQ(0, lstat(Path("link.db").c_str(), &status));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_NE(std::string::npos, ReadFile("real/users.db").find("VIALINK"));
  EXPECT_EQ(0, access(Path("real/users.db.lock").c_str(), F_OK));
  EXPECT_NE(0, access(Path("link.db.lock").c_str(), F_OK));

  ASSERT_EQ(0, symlink(Path("planted").c_str(), Path("users.db.lock").c_str()));
  EXPECT_EQ(-1, sna::UpdateUserDatabase(Path("users.db"), change, &error));
  EXPECT_EQ(
      0u, error.find(Path("users.db.lock") + ": cannot open the lock file: "));
  EXPECT_NE(0, access(Path("planted").c_str(), F_OK));

  ASSERT_EQ(0, unlink(Path("users.db.lock").c_str()));
  int held = open(Path("users.db.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, flock(held, LOCK_EX));
  EXPECT_EQ(-1, sna::UpdateUserDatabase(Path("users.db"), change, &error,
                                        std::chrono::milliseconds(100)));
  EXPECT_EQ(Path("users.db.lock") + ": still locked after 0.1 s", error);
  close(held);
  EXPECT_EQ(sna_test::BaseUsers(), ReadFile("users.db"));
}

}  // namespace
