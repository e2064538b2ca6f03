// The account a request names, as the engine's own scanner reads it.
#include "engine/request_account.h"

#include <gtest/gtest.h>

namespace {

TEST(RequestAccountTest, ReadsUserAndDestinationAsTheEngineDoes) {
  const struct {
    const char* options;
    const char* user;  // null: no account
    const char* destination;
  } cases[] = {
      {"-u alice -p A -np B -s hosta -log -noterm", "ALICE", "HOSTA"},
      {"  -s\thosta   -u Alice ", "ALICE", "HOSTA"},
      {"/u alice /s hosta", "ALICE", "HOSTA"},
      {"-u alice -sd side1", "ALICE", "SIDE1"},
      {"-u alice -plu neta.ksvhost -m #BATCH", "ALICE", "NETA.KSVHOST"},
      {"-u alice -s hosta -plu neta.ksvhost", "ALICE", "HOSTA"},
      // A flag between a switch and its value: the engine takes it out
      // first, so the value is the next word.
      {"-u -v alice -s -log hosta -noterm", "ALICE", "HOSTA"},
      // It takes "-d" and its value before "-s".
      {"-u alice -s -d db1 hosta", "ALICE", "HOSTA"},
      {"-u alice -local -s hosta", nullptr, nullptr},
      {"-u alice -p A -np B -local", nullptr, nullptr},
      {"-u alice", nullptr, nullptr},
      {"-s hosta -p A -np B", nullptr, nullptr},
      {"-u ninechars -s hosta", nullptr, nullptr},  // the engine refuses it
      {"-u alice -s eighteen.characters", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    RequestAccount account;
    bool named = read_request_account(c.options, &account);
    EXPECT_EQ(c.user != nullptr, named) << c.options;
    if (!named || c.user == nullptr) continue;
    EXPECT_EQ(c.user, account.user) << c.options;
    EXPECT_EQ(c.destination, account.destination) << c.options;
  }
}

TEST(RequestAccountTest, ReadsTheNewPasswordAsGiven) {
  const struct {
    const char* options;
    const char* password;  // null: none
  } cases[] = {
      {"-u alice -p Old1 -np New2x -s hosta -log -noterm", "New2x"},
      {"-np n3w -s hosta -u alice -p old", "n3w"},
      {"-u alice -p old -s hosta", nullptr},
      {"-u alice -p old -np -s hosta", nullptr},
      {"-u alice -p old -np toolongvalue -s hosta", nullptr},
      {"-u alice -p old -np new -local", nullptr},
  };
  for (const auto& c : cases) {
    RequestAccount account;
    std::string password = "left over";
    bool found = read_request_new_password(c.options, &account, &password);
    EXPECT_EQ(c.password != nullptr, found) << c.options;
    EXPECT_EQ(c.password != nullptr ? c.password : "", password) << c.options;
    if (found) {
      EXPECT_EQ("ALICE", account.user) << c.options;
    }
  }
}

}  // namespace
