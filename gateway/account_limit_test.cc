// The hold rule and the limit per account on a clock of the test's own:
// one table of timelines run against every store (memory, the state file,
// a real redis-server), the parser, and the guard's reserve and settle.
#include "gateway/account_limit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "contract/account_held.h"
#include "contract/tarpon_rc.h"
#include "gateway/account_db.h"
#include "gateway/account_guard.h"
#include "gateway/gateway_metrics.h"
#include "gateway/shared_state.h"
#include "tests/support/fake_clock.h"
#include "tests/support/gateway_support.h"

namespace {

constexpr int kWrongPassword = TARPON_RC_HOST_STATUS_BASE + 2;
constexpr int64_t kLeaseMs = 5000;

TEST(AccountLimitTest, ParsesTheSwitchValue) {
  const struct {
    const char* text;
    const char* policy;  // as FormatHoldPolicy writes it; null: refused
    int ownerTries;
  } cases[] = {
      {"off", "off", 0},
      {"2", "2:0:0:0", 1},
      {"1", "1:0:0:0", 0},
      {"2:600", "2:600:600:600", 1},
      {"2:900:60:3600", "2:900:60:3600", 1},
      {"0", nullptr, 0},
      {"2:900:60:30", nullptr, 0},
      {"2:900:60", nullptr, 0},
      {"2:0", nullptr, 0},
      {"2:-1:60:3600", nullptr, 0},
      {"", nullptr, 0},
  };
  for (const auto& c : cases) {
    AccountLimits limits;
    ASSERT_EQ(c.policy != nullptr, ParseAccountLimits(c.text, &limits))
        << c.text;
    if (c.policy == nullptr) continue;
    EXPECT_EQ(c.policy, FormatHoldPolicy(limits.policy)) << c.text;
    EXPECT_EQ(c.ownerTries, limits.policy.ownerTries) << c.text;
  }
}

// One account through its life. Each step moves the clock to atMs, then:
// 's' reserves a stranger's try, 'o' the owner device's (both expect the
// seconds held, -1 until cleared, 0 granted; the owner is the source
// that last changed the password); 'f', 'c', 'n' settle the last granted
// try as failed, changed or neutral (expect the seconds of a hold it
// starts, and of a hold of strangers alone it starts, and whether a change
// ended one; a reserve, of a hold an earlier try's lapsed lease started);
// 'x' releases the account (expects 0).
struct Step {
  int64_t atMs;
  char op;
  int expected;
  int strangers = 0;
  bool released = false;
  int lapsed = 0;
};
struct Timeline {
  const char* name;
  const char* policy;
  std::vector<Step> steps;
};

const Timeline kTimelines[] = {
    {"held until cleared, the owner keeps a try",
     "2",
     {{0, 'o', 0},
      {0, 'c', 0},  // a change names the owner
      {1000, 's', 0},
      {1000, 'f', 0, -1},  // a stranger's failure: strangers held
      {2000, 's', -1},     // the strangers' share is used
      {2000, 'o', 0},
      {2000, 'n', 0},  // neutral: the try comes back
      {3000, 'o', 0},
      {3000, 'f', -1},  // the limit: held until cleared
      {9999000, 'o', -1},
      {9999000, 's', -1},  // however long one waits
      {9999000, 'x', 0},   // the administrator's release
      {9999000, 's', 0},
      {9999000, 'f', 0, -1}}},
    {"a lapsed lease that starts a hold says so",
     "1:60",
     {{0, 's', 0},                    // granted, never settled
      {6000, 's', 60, 0, false, 60},  // its failure starts the hold
      {7000, 's', 59}}},
    {"the owner's change ends the strangers' hold",
     "2",
     {{0, 'o', 0},
      {0, 'c', 0},
      {1000, 's', 0},
      {1000, 'f', 0, -1},
      {2000, 'o', 0},
      {2000, 'c', 0, 0, true},
      {3000, 's', 0},
      {3000, 'n', 0}}},
    {"one try in flight; a lease that ends counts as a failure",
     "2",
     {{0, 's', 0},  // granted, never settled
      {1000, 's', 4},
      {1000, 'o', 4},   // held while it is in flight
      {6000, 's', 0},   // its lease over: one failure
      {6000, 'f', -1},  // no owner yet: the limit's two
      {7000, 'o', -1},
      {7000, 'x', 0},
      {7000, 'o', 0},
      {7000, 'c', 0}}},
    {"a host that forgets: held until it has forgotten",
     "2:60",
     {{0, 's', 0},
      {0, 'f', 0},
      {1000, 's', 0},
      {1000, 'f', 60},  // the limit: a hold of 60 s
      {30000, 'o', 31},
      {61000, 's', 0},
      {61000, 'f', 0},  // a fresh count after it
      {122000, 's', 0},
      {122000, 'f', 0}}},  // the window forgot the last
    {"timed holds grow after a hold, up to the longest",
     "1:60:10:40",
     {{0, 's', 0},
      {0, 'f', 10},
      {5000, 's', 5},
      {10000, 's', 0},
      {10000, 'f', 20},  // within 40 s of the last: twice
      {30000, 's', 0},
      {30000, 'f', 40},  // and up to the longest
      {70000, 's', 0},
      {70000, 'f', 40},
      {200000, 's', 0},
      {200000, 'f', 10}}},  // long after: the first again
};

// Runs timeline against store (on clock) and reports each step's answer.
void RunTimeline(const Timeline& timeline, AccountStore& store,
                 FakeClock& clock, const std::string& storeName) {
  int64_t token = 0;
  // From now on the wall clock, as a shared store's expiry reads times.
  const int64_t base = WallClock::Get().NowMs();
  for (const Step& step : timeline.steps) {
    clock.Set(base + step.atMs);
    int got = 0;
    if (step.op == 's' || step.op == 'o') {
      AccountTry attempt{"k", step.op == 'o' ? "owner" : "stranger", false, 1,
                         kLeaseMs};
      AccountStore::Answer answer = store.Reserve(attempt);
      ASSERT_FALSE(answer.failed) << storeName;
      if (answer.heldMs == 0) token = answer.token;
      got = HeldSeconds(answer.heldMs);
      EXPECT_EQ(step.lapsed, answer.holdStarted)
          << storeName << ": " << timeline.name << ", at " << step.atMs;
    } else if (step.op == 'x') {
      got = store.Release("k") ? 0 : 1;
    } else {
      const TryOutcome outcome = step.op == 'f'   ? TryOutcome::kFailed
                                 : step.op == 'c' ? TryOutcome::kChanged
                                                  : TryOutcome::kNeutral;
      AccountStore::Answer answer =
          store.Settle("k", token, outcome, "", "owner");
      got = answer.holdStarted;
      EXPECT_EQ(step.strangers, answer.strangersHeld)
          << storeName << ": " << timeline.name << ", at " << step.atMs;
      EXPECT_EQ(step.released, answer.released)
          << storeName << ": " << timeline.name << ", at " << step.atMs;
    }
    EXPECT_EQ(step.expected, got)
        << storeName << ": " << timeline.name << ", at " << step.atMs
        << " ms, '" << step.op << "'";
  }
}

AccountLimits Limits(const char* text) {
  AccountLimits limits;
  EXPECT_TRUE(ParseAccountLimits(text, &limits)) << text;
  return limits;
}

TEST(AccountLimitTest, EveryStoreFollowsTheTimelines) {
  e2e::Sandbox box;
  const int port = e2e::FreeLoopbackPort();
  auto redis = e2e::StartRedis(box, port);
  int run = 0;
  for (const Timeline& timeline : kTimelines) {
    const AccountLimits limits = Limits(timeline.policy);
    FakeClock clock(0);
    MemoryAccountStore memory(limits, clock);
    RunTimeline(timeline, memory, clock, "memory");
    std::string why;
    auto file = FileAccountStore::Open(box.Path("state" + std::to_string(run)),
                                       limits, clock, &why);
    ASSERT_TRUE(file) << why;
    RunTimeline(timeline, *file, clock, "state file");
    if (redis == nullptr) continue;
    SharedStateAddress address;
    address.host = "127.0.0.1";
    address.port = port;
    address.deadlineMs = 2000;
    address.prefix = "t" + std::to_string(run++) + ":";
    MemoryAccountStore local(limits, clock);
    SharedAccountStore shared(address, limits, HoldPolicy(), local, 2, clock);
    RunTimeline(timeline, shared, clock, "redis");
    EXPECT_TRUE(shared.IsUsingStore());
  }
  if (redis == nullptr) GTEST_SKIP() << "redis-server is not installed";
}

// The state file outlives its store: a new one, as after a crash, holds
// what the last one counted, and a try in flight then counts once its
// lease is over.
TEST(AccountLimitTest, TheStateFileRemembersAcrossARestart) {
  e2e::Sandbox box;
  const AccountLimits limits = Limits("2");
  FakeClock clock(0);
  std::string why;
  {
    auto file = FileAccountStore::Open(box.Path("state"), limits, clock, &why);
    ASSERT_TRUE(file) << why;
    AccountStore::Answer granted =
        file->Reserve({"k", "a", false, 1, kLeaseMs});
    file->Settle("k", granted.token, TryOutcome::kFailed, "ALICE@NETA.HOST",
                 "");
    file->Reserve({"k", "a", true, 1, kLeaseMs});  // then killed
  }
  auto file = FileAccountStore::Open(box.Path("state"), limits, clock, &why);
  ASSERT_TRUE(file) << why;
  clock.Set(kLeaseMs);
  EXPECT_EQ(kUntilCleared, file->Reserve({"k", "a", true, 1, kLeaseMs}).heldMs);
  std::vector<HeldAccount> held = file->ListHeld();
  ASSERT_EQ(1u, held.size());
  EXPECT_EQ("ALICE@NETA.HOST", held[0].name);
  EXPECT_EQ(2, held[0].failures);
  EXPECT_TRUE(file->Release("ALICE@NETA.HOST"));
  EXPECT_TRUE(file->ListHeld().empty());
}

// While Redis is away, each failure counted locally weighs as many as
// the gateways that share it; the local count goes back when it answers.
TEST(AccountLimitTest, AStoreAwayLeavesEachGatewayItsShare) {
  const AccountLimits limits = Limits("2");
  FakeClock clock(0);
  SharedStateAddress nowhere;
  nowhere.host = "127.0.0.1";
  nowhere.port = e2e::FreeLoopbackPort();
  MemoryAccountStore local(limits, clock);
  SharedAccountStore shared(nowhere, limits, HoldPolicy(), local, 2, clock);
  AccountStore::Answer first = shared.Reserve({"k", "a", true, 1, kLeaseMs});
  ASSERT_EQ(0, first.heldMs);
  EXPECT_LT(first.token, 0);
  shared.Settle("k", first.token, TryOutcome::kFailed, "", "");
  EXPECT_EQ(2, local.CountOf("k"));
  EXPECT_EQ(kUntilCleared,
            shared.Reserve({"k", "a", true, 1, kLeaseMs}).heldMs);
  EXPECT_EQ(1u, shared.TakeNotes().size());
}

// A guard over a memory store of limits, on a clock of its own.
struct GuardRig {
  explicit GuardRig(const char* policy)
      : limits(Limits(policy)),
        store(limits, clock),
        guard(limits, store, keys, &metrics, kLeaseMs) {}
  AccountLimits limits;
  FakeClock clock{0};
  MemoryAccountStore store;
  AccountKeys keys{std::string(32, 'k')};
  GatewayMetrics metrics;
  AccountGuard guard;
};

TEST(AccountLimitTest, GuardReservesBeforeAndSettlesAfter) {
  GuardRig rig("2");
  AccountGuard& guard = rig.guard;
  AccountGuard::Ticket first = guard.Reserve("ALICE", "NETA.HOST", "a", false);
  ASSERT_TRUE(first.granted);
  // A second try while the first is with the host is held back.
  AccountGuard::Ticket second = guard.Reserve("ALICE", "NETA.HOST", "b", false);
  ASSERT_FALSE(second.granted);
  EXPECT_EQ(TARPON_RC_ACCOUNT_HELD, second.refusal.returnCode);
  EXPECT_EQ("\n" + AccountHeldText("ALICE", "NETA.HOST", 5) + "\n",
            second.refusal.text);
  // Nobody's typed user ID is kept in the log before the host knows it.
  EXPECT_EQ(std::string::npos, second.refusal.logText.find("ALICE"));
  EngineRun run;
  run.returnCode = kWrongPassword;
  run.logText = "user(ALICE) @host(NETA.HOST) ";
  guard.Settle(first, &run);
  EXPECT_EQ("user(ALICE) @host(NETA.HOST) ", run.logText);
  // No owner yet: the second failure is the limit.
  AccountGuard::Ticket next = guard.Reserve("ALICE", "NETA.HOST", "c", false);
  ASSERT_TRUE(next.granted);
  guard.Settle(next, &run);
  AccountGuard::Ticket third = guard.Reserve("ALICE", "NETA.HOST", "c", false);
  ASSERT_FALSE(third.granted);
  EXPECT_EQ("\n" + AccountHeldUntilReleasedText("ALICE", "NETA.HOST") + "\n",
            third.refusal.text);
  EXPECT_EQ(kAccountHeldRetrySeconds,
            AccountHeldSeconds(third.refusal.notes.at(0)));
  // The host said "unknown user": the log keeps the keyed hash only.
  AccountGuard::Ticket other =
      guard.Reserve("SECRET1", "NETA.HOST", "a", false);
  ASSERT_TRUE(other.granted);
  run.returnCode = TARPON_RC_HOST_STATUS_BASE + 1;
  run.logText = "user(SECRET1) @host(NETA.HOST) ";
  guard.Settle(other, &run);
  EXPECT_EQ(
      "user(" + guard.Hidden("SECRET1", "NETA.HOST") + ") @host(NETA.HOST) ",
      run.logText);
}

// A try whose lease ended unsettled (its gateway gone) counts as a failure;
// when that starts a hold, the next try's refusal says so, as a settled
// failure's would, for the hold's event.
TEST(AccountLimitTest, AHoldALapsedLeaseStartedSaysSo) {
  GuardRig rig("1:60");
  AccountGuard& guard = rig.guard;
  ASSERT_TRUE(guard.Reserve("ALICE", "NETA.HOST", "a", false).granted);
  rig.clock.Set(kLeaseMs + 1000);
  AccountGuard::Ticket next = guard.Reserve("ALICE", "NETA.HOST", "b", false);
  ASSERT_FALSE(next.granted);
  const std::vector<std::string>& notes = next.refusal.notes;
  EXPECT_NE(notes.end(),
            std::find(notes.begin(), notes.end(),
                      "TARPON SERVER hold for user ALICE at NETA.HOST after "
                      "failed sign-ons: changes held back for 60 seconds"))
      << notes.size();
  // Found again, it is no new hold.
  EXPECT_EQ(
      1u, guard.Reserve("ALICE", "NETA.HOST", "b", false).refusal.notes.size());
}

// A stranger's failure that leaves the owner's try alone holds everybody
// else, and says so; a change that ends that hold says so too (a release
// by the change). The owner's own slip holds nobody, and says nothing.
TEST(AccountLimitTest, AHoldForStrangersAndItsEndSaySo) {
  const struct {
    const char* failedFrom;  // the source of the one failure before
    bool released;
  } cases[] = {{"stranger", true}, {"owner", false}};
  const std::string kReleased =
      "TARPON SERVER hold for user ALICE at NETA.HOST released by a change";
  const std::string kHeld =
      "TARPON SERVER hold for user ALICE at NETA.HOST after failed sign-ons: "
      "changes but the owner's held back until a success or a release";
  auto has = [](const std::vector<std::string>& notes,
                const std::string& note) {
    return std::find(notes.begin(), notes.end(), note) != notes.end();
  };
  for (const auto& c : cases) {
    GuardRig rig("2");
    AccountGuard& guard = rig.guard;
    MemoryAccountStore& store = rig.store;
    auto attempt = [&](const char* source, int code) {
      AccountGuard::Ticket ticket =
          guard.Reserve("ALICE", "NETA.HOST", source, false);
      EngineRun run;
      run.returnCode = code;
      if (ticket.granted) guard.Settle(ticket, &run);
      return run.notes;
    };
    // The owner's change names its device; then one failure.
    EXPECT_TRUE(attempt("owner", TARPON_RC_OK).empty());
    EXPECT_EQ(c.released, has(attempt(c.failedFrom, kWrongPassword), kHeld))
        << c.failedFrom;
    EXPECT_EQ(c.released, !store.ListHeld().empty()) << c.failedFrom;
    EXPECT_EQ(c.released, has(attempt("owner", TARPON_RC_OK), kReleased))
        << c.failedFrom;
    EXPECT_TRUE(store.ListHeld().empty()) << c.failedFrom;
  }
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
