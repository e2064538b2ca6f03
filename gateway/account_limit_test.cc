// The limit per account on a clock of the test's own: the window, the hold
// and its growth, forgetting, and the guard that runs requests under it.
#include "gateway/account_limit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract/account_held.h"
#include "contract/tarpon_rc.h"
#include "gateway/account_guard.h"
#include "gateway/gateway_metrics.h"
#include "gateway/shared_state.h"
#include "tests/support/fake_clock.h"

namespace {

constexpr int kWrongPassword = TARPON_RC_HOST_STATUS_BASE + 2;

TEST(AccountLimitTest, ParsesTheSwitchValue) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"off", true},
      {"2:900:60:3600", true},
      {"1:1:1:1", true},
      {"0:900:60:3600", false},
      {"2:900:60:30", false},
      {"2:900:60", false},
      {"2:900:60:3600:1", false},
      {"2:-1:60:3600", false},
      {"", false},
  };
  for (const auto& c : cases) {
    AccountLimits limits;
    EXPECT_EQ(c.ok, ParseAccountLimits(c.text, &limits)) << c.text;
  }
}

// One account through its life: each step moves the clock to atMs, then
// checks (c), fails (f) or succeeds (s), and expects the seconds answered.
TEST(AccountLimitTest, HoldsGrowAndEndAndAccountsAreForgotten) {
  AccountLimits limits;
  ASSERT_TRUE(ParseAccountLimits("2:60:10:40", &limits));
  FakeClock clock(0);
  MemoryAccountStore store(limits, clock);
  const struct {
    int64_t atMs;
    char op;
    int seconds;
  } steps[] = {
      {0, 'f', 0},       {1000, 'c', 0},
      {1000, 'f', 10},  // the second failure within the window
      {2000, 'c', 20},  // a refused try doubles the hold, from now
      {3000, 'c', 40},   {4000, 'c', 40},  // up to the maximum
      {44000, 'c', 0},                     // over: tried again normally
      {44000, 'f', 40},  // held before: the next failure holds at once
      {84000, 'c', 0},   {84000, 's', 0},   // a change forgets it all
      {84000, 'f', 0},   {145001, 'f', 0},  // outside the window
      {146000, 'f', 10},  // hold to 156000, forgotten at 196000
      {196000, 'f', 0},   // forgotten: counted afresh
  };
  for (const auto& step : steps) {
    clock.Set(step.atMs);
    const std::string key = AccountKey("ALICE");
    int seconds = step.op == 'c'   ? store.Check(key)
                  : step.op == 'f' ? store.RecordFailure(key)
                                   : (store.RecordSuccess(key), 0);
    EXPECT_EQ(step.seconds, seconds) << step.op << " at " << step.atMs;
    EXPECT_EQ(0, store.Check(AccountKey("BOB")));
  }
}

TEST(AccountLimitTest, AFullTableKeepsTheHoldsInForce) {
  AccountLimits limits;
  ASSERT_TRUE(ParseAccountLimits("2:60:30:60", &limits));
  FakeClock clock(0);
  MemoryAccountStore store(limits, clock, 2);
  store.RecordFailure("HELD@H");
  EXPECT_EQ(30, store.RecordFailure("HELD@H"));
  // Every new account makes room by dropping one without a hold.
  for (int i = 0; i < 5; ++i) {
    clock.Advance(1000);
    store.RecordFailure("A" + std::to_string(i) + "@H");
    EXPECT_EQ(2u, store.GetTrackedCount());
  }
  EXPECT_GT(store.Check("HELD@H"), 0);
  // Nothing but holds: the one that ends first goes (the refused try
  // above made HELD's the longer).
  EXPECT_EQ(30, store.RecordFailure("A4@H"));
  clock.Advance(1000);
  store.RecordFailure("NEW@H");
  EXPECT_EQ(0, store.Check("A4@H"));
  EXPECT_GT(store.Check("HELD@H"), 0);
}

TEST(AccountLimitTest, GuardAnswersForAHeldAccountWithoutTheHost) {
  AccountLimits limits;
  ASSERT_TRUE(ParseAccountLimits("2:60:60:600", &limits));
  FakeClock clock(0);
  MemoryAccountStore store(limits, clock);
  GatewayMetrics metrics;
  std::vector<std::string> ran;
  int hostAnswer = kWrongPassword;
  AccountGuard guard(limits, store, &metrics, [&](const std::string& options) {
    ran.push_back(options);
    EngineRun run;
    run.returnCode = hostAnswer;
    return run;
  });
  const std::string alice = "-u alice -p WRONG -np NEW1 -s hosta";
  EXPECT_EQ(kWrongPassword, guard.Run(alice).returnCode);
  EngineRun second = guard.Run("-s HostA -np NEW1 -p WRONG -u ALICE");
  ASSERT_EQ(1u, second.notes.size());
  EXPECT_NE(std::string::npos, second.notes[0].find("ALICE at HOSTA"));
  // Held: the host is not asked, whoever asks and however it is spelt.
  EngineRun held = guard.Run(alice);
  EXPECT_EQ(TARPON_RC_ACCOUNT_HELD, held.returnCode);
  EXPECT_EQ(2u, ran.size());
  EXPECT_EQ(120, AccountHeldSeconds(held.text.substr(1)));
  ASSERT_EQ(1u, held.notes.size());
  EXPECT_EQ(AccountHeldText("ALICE", "HOSTA", 120), held.notes[0]);
  EXPECT_EQ(30, tarpon_exit_status(held.returnCode));
  // Another name of the host is the same account.
  EXPECT_EQ(TARPON_RC_ACCOUNT_HELD,
            guard.Run("-u alice -p A -np B -plu NETA.KSVHOST").returnCode);
  // Other accounts and requests that name no account go through.
  hostAnswer = TARPON_RC_OK;
  EXPECT_EQ(TARPON_RC_OK, guard.Run("-u bob -p A -np B -s hosta").returnCode);
  EXPECT_EQ(TARPON_RC_OK, guard.Run("-?").returnCode);
  EXPECT_EQ(4u, ran.size());
  const std::string served = metrics.registry().Render();
  EXPECT_NE(std::string::npos,
            served.find("tarpons_account_changes_held_total 2\n"));
  EXPECT_NE(std::string::npos,
            served.find("tarpons_account_holds_started_total 1\n"));
}

TEST(AccountLimitTest, ReadsTheSharedStateUrl) {
  const struct {
    const char* url;
    const char* host;  // null: refused
    int port;
    int database;
  } cases[] = {
      {"redis://127.0.0.1", "127.0.0.1", 6379, 0},
      {"redis://store.example:6380/3", "store.example", 6380, 3},
      {"redis://[::1]:7000", "::1", 7000, 0},
      {"redis://[::1]/2", "::1", 6379, 2},
      {"redis://h:0", nullptr, 0, 0},
      {"redis://h:70000", nullptr, 0, 0},
      {"redis://h:", nullptr, 0, 0},
      {"redis://h/16", nullptr, 0, 0},
      {"redis://u:pw@h", nullptr, 0, 0},  // no password in the URL
      {"redis://", nullptr, 0, 0},
      {"http://h", nullptr, 0, 0},
      {"redis://[::1", nullptr, 0, 0},
  };
  for (const auto& c : cases) {
    SharedStateAddress address;
    bool ok = ParseSharedStateUrl(c.url, &address);
    EXPECT_EQ(c.host != nullptr, ok) << c.url;
    if (!ok || c.host == nullptr) continue;
    EXPECT_EQ(c.host, address.host) << c.url;
    EXPECT_EQ(c.port, address.port) << c.url;
    EXPECT_EQ(c.database, address.database) << c.url;
  }
}

}  // namespace
