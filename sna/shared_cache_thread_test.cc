// The parse caches of the configuration and the user database, used from
// many threads while the files change under them. Run under ThreadSanitizer
// by scripts/tsan.sh.
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sna/node_config.h"
#include "sna/user_db.h"
#include "tests/support/test_node.h"

namespace {

class SharedCacheThreadTest : public sna_test::NodeTest {
 protected:
  // Replaces "name" in one step, so that a reader sees one version whole.
  void Swap(const std::string& name, const std::string& text) {
    WriteFile(name + ".new", text);
    ASSERT_EQ(0, rename(Path(name + ".new").c_str(), Path(name).c_str()));
  }
};

TEST_F(SharedCacheThreadTest, ReadersSeeOneWholeVersionWhileFilesChange) {
  constexpr int kReaders = 8;
  constexpr int kRounds = 150;
  constexpr int kMaxSwaps = 5000;
  const std::string configs[] = {
      sna_test::BaseConfig("[faults]\ncminit = 24\n"),
      sna_test::BaseConfig("[faults]\ncminit = 25\n")};
  const std::string users[] = {"ALICE A1\nDAVE D\n", "ALICE A2\nDAVE D\n"};
  Swap("node.conf", configs[0]);
  Swap("users.db", users[0]);
  std::atomic<int> faults{0};
  std::atomic<int> done{0};
  auto reader = [&](int index) {
    for (int round = 0; round < kRounds; ++round) {
      std::string error;
      std::shared_ptr<const sna::NodeConfig> config =
          sna::LoadSharedNodeConfig(&error);
      const sna::Fault* fault =
          config == nullptr ? nullptr : config->FindFault("cminit");
      if (fault == nullptr || (fault->primary != 24 && fault->primary != 25)) {
        ++faults;
      }
      std::string password;
      bool write = index == 0 && round % 10 == 0;  // one thread also writes
      int rc = sna::UpdateUserDatabase(
          Path("users.db"),
          [&](sna::UserDatabase* database) {
            password = database->Find("ALICE")->password;
            database->Find("DAVE")->failures = round;
            database->Find("DAVE")->changed = write;
            return write;
          },
          &error);
      if (rc != 0 || (password != "A1" && password != "A2")) ++faults;
    }
    ++done;
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i) threads.emplace_back(reader, i);
  // The files change for as long as the readers run.
  for (int swap = 1; swap <= kMaxSwaps && done.load() < kReaders; ++swap) {
    Swap("node.conf", configs[swap % 2]);
    Swap("users.db", users[swap % 2]);
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, faults.load());
}

}  // namespace
