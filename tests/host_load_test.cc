// End-to-end tests of the host's user database under load: many tarpon
// processes changing passwords at once against one emulated host, and a
// tarpon killed with SIGKILL while it changes a password.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sna/user_db.h"
#include "tests/support/gateway_support.h"

namespace {

using Args = std::vector<std::string>;

const char kNodeConfig[] =
    "[node]\n"
    "modes = #BATCH\n"
    "[partner_lu hosta]\n"
    "name = NETA.KSVHOST\n"
    "[host NETA.KSVHOST]\n"
    "users = users.db\n";

// tarpon ends its output with one NUL character.
const std::string kChangedOutput("\nPassword changed successfully.\n\n\0", 34);

class HostLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.Write("sna-node.conf", kNodeConfig);
    env_ = {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf")};
  }

  Args ChangeArgs(const std::string& user, const std::string& from,
                  const std::string& to) const {
    return {"-u", user, "-p", from, "-np", to, "-plu", "hosta"};
  }

  // The database as the host reads it; fails the test when it does not
  // parse.
  sna::UserDatabase Database() const {
    sna::UserDatabase database;
    int line = 0;
    std::string error;
    EXPECT_TRUE(
        sna::ParseUserDatabase(box_.Read("users.db"), &database, &line, &error))
        << "line " << line << ": " << error;
    return database;
  }

  e2e::Sandbox box_;
  std::vector<std::string> env_;
};

// Eight processes at a time, each changing its own user's password twenty
// times in a row: every change must be in the file at the end.
TEST_F(HostLoadTest, ConcurrentProgramsLoseNoChange) {
  constexpr int kWriters = 8;
  constexpr int kRounds = 20;
  std::string users = "# load\n";
  for (int i = 0; i < kWriters; ++i) {
    users += "USER" + std::to_string(i) + " P0\n";
  }
  box_.Write("users.db", users);
  const std::string tarpon = e2e::BinDir() + "/tarpon";
  // Per writer: the first round that went wrong and what it printed.
  std::vector<std::string> faults(kWriters);
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&, i] {
      std::string user = "USER" + std::to_string(i);
      for (int round = 0; round < kRounds && faults[i].empty(); ++round) {
        e2e::RunResult run =
            e2e::Run(tarpon,
                     ChangeArgs(user, "P" + std::to_string(round),
                                "P" + std::to_string(round + 1)),
                     env_, 30000);
        if (run.status != 0 || run.out != kChangedOutput) {
          faults[i] = "round " + std::to_string(round) + ": status " +
                      std::to_string(run.status) + "\n" + run.out + run.err;
        }
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  for (int i = 0; i < kWriters; ++i) EXPECT_EQ("", faults[i]) << "USER" << i;

  sna::UserDatabase database = Database();
  ASSERT_EQ(static_cast<size_t>(kWriters), database.users.size());
  for (int i = 0; i < kWriters; ++i) {
    const sna::UserRecord* record = database.Find("USER" + std::to_string(i));
    ASSERT_NE(nullptr, record) << i;
    EXPECT_EQ("P" + std::to_string(kRounds), record->password) << i;
    EXPECT_EQ(0, record->failures) << i;
  }
  EXPECT_EQ("# load", database.lines[0]);
}

// The names in the sandbox that begin with "users.db." other than the
// lock file: the host's new files before their rename.
std::vector<std::string> NewFiles(const e2e::Sandbox& box) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(box.dir(), error)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("users.db.", 0) == 0 && name != "users.db.lock") {
      names.push_back(name);
    }
  }
  return names;
}

// Whether "now" holds a name that "before" does not: a new file appeared
// (the host removes what killed writers left as it begins to write).
bool HasNewName(const std::vector<std::string>& now,
                const std::vector<std::string>& before) {
  for (const std::string& name : now) {
    if (std::find(before.begin(), before.end(), name) == before.end()) {
      return true;
    }
  }
  return false;
}

// Whether the child has ended; it stays unreaped.
bool Ended(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info,
                WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// tarpon killed while it changes a password, half of the time the moment
// the host's new file appears (so in the middle of the rewrite), half of
// the time at moments spread over a run: the file always parses, keeps
// every user, and holds the old password or the new one.
TEST_F(HostLoadTest, KilledWriterLeavesTheOldOrTheNewPassword) {
  // A large file makes the host's rewrite take long enough to be hit.
  constexpr int kOthers = 5000;
  std::string users = "ALICE PW0\n";
  for (int i = 0; i < kOthers; ++i) {
    users += "U" + std::to_string(i) + " SECRET" + std::to_string(i % 10) +
             " failures=1\n";
  }
  box_.Write("users.db", users);
  const std::string tarpon = e2e::BinDir() + "/tarpon";

  // How long one whole change takes here.
  long long start = e2e::NowMs();
  e2e::RunResult run =
      e2e::Run(tarpon, ChangeArgs("alice", "pw0", "pw1"), env_, 30000);
  ASSERT_EQ(kChangedOutput, run.out) << run.err;
  long long duration = e2e::NowMs() - start;

  int current = 1;
  int midWrite = 0;
  constexpr int kKills = 12;
  for (int k = 0; k < kKills; ++k) {
    SCOPED_TRACE("kill " + std::to_string(k));
    const std::string from = "PW" + std::to_string(current);
    const std::string to = "PW" + std::to_string(current + 1);
    const std::vector<std::string> leftovers = NewFiles(box_);
    {
      e2e::Background writer(tarpon, ChangeArgs("alice", from, to), env_,
                             box_.Path("writer.out"), box_.Path("writer.err"));
      ASSERT_TRUE(writer.Started());
      if (k % 2 == 0) {
        long long deadline = e2e::NowMs() + 5000;
        while (!HasNewName(NewFiles(box_), leftovers) && !Ended(writer.pid()) &&
               e2e::NowMs() < deadline) {
        }
        if (HasNewName(NewFiles(box_), leftovers)) ++midWrite;
      } else {
        usleep(static_cast<useconds_t>(duration * 1000 * k / kKills));
      }
      writer.Stop();  // SIGKILL, reaped
    }
    sna::UserDatabase database = Database();
    ASSERT_EQ(static_cast<size_t>(kOthers + 1), database.users.size());
    const sna::UserRecord* alice = database.Find("ALICE");
    ASSERT_NE(nullptr, alice);
    if (alice->password == to) {
      ++current;
    } else {
      ASSERT_EQ(from, alice->password);
    }
    const sna::UserRecord* last =
        database.Find("U" + std::to_string(kOthers - 1));
    ASSERT_NE(nullptr, last);
    EXPECT_EQ("SECRET" + std::to_string((kOthers - 1) % 10), last->password);
    EXPECT_EQ(1, last->failures);
  }
  // Most kills timed by the new file did land in the middle of a rewrite.
  EXPECT_GE(midWrite, kKills / 6);

  // The host still works on what the kills left.
  run = e2e::Run(tarpon,
                 ChangeArgs("alice", "PW" + std::to_string(current), "FINAL"),
                 env_, 30000);
  EXPECT_EQ(kChangedOutput, run.out) << run.err;
  sna::UserDatabase database = Database();
  ASSERT_NE(nullptr, database.Find("ALICE"));
  EXPECT_EQ("FINAL", database.Find("ALICE")->password);
  // The new files of the killed writers are gone.
  EXPECT_EQ(std::vector<std::string>(), NewFiles(box_));
}

}  // namespace
