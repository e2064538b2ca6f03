// The store of answers for retries: what it finds, and that its bounds
// (count, bytes, age) hold, one step after another on a clock the test
// moves.
#include "web/idempotency.h"

#include <string>

#include "gtest/gtest.h"

namespace {

using Found = IdempotencyStore::Found;

TEST(IdempotencyStoreTest, FindsKeepsAndForgetsWithinItsBounds) {
  IdempotencyStore::Limits limits;
  limits.entries = 3;
  limits.bytes = 10;
  limits.age = std::chrono::seconds(600);
  IdempotencyStore store(limits);
  IdempotencyStore::Clock::time_point now;
  struct Step {
    const char* what;
    int seconds;               // the clock's move before the step
    std::string key, request;  // request: as the digest of one
    Found found;
    bool keep;         // for kNew: Finish keeps the answer
    std::string body;  // the answer kept; for kReplay the one expected
  };
  const Step steps[] = {
      {"a new key", 0, "a", "ALICE", Found::kNew, true, "first"},
      {"its retry", 1, "a", "ALICE", Found::kReplay, false, "first"},
      {"the key with another request", 0, "a", "BOB", Found::kReused, false,
       ""},
      {"an answer that is no verdict", 0, "b", "BOB", Found::kNew, false, ""},
      {"is not kept", 0, "b", "BOB", Found::kNew, true, "12345"},
      {"over the bytes: the oldest goes", 0, "c", "CAROL", Found::kNew, true,
       "6789"},
      {"so its key is new again", 0, "a", "BOB", Found::kNew, true, "x"},
      {"the others stay", 0, "b", "BOB", Found::kReplay, false, "12345"},
      {"over the count: the oldest goes", 0, "d", "DAVE", Found::kNew, true,
       ""},
      {"b is gone", 0, "b", "BOB", Found::kNew, false, ""},
      {"past their age all go", 600, "c", "CAROL", Found::kNew, false, ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    now += std::chrono::seconds(step.seconds);
    std::string slot;
    IdempotencyStore::Answer answer;
    ASSERT_EQ(step.found,
              store.Begin(step.key, step.request, now, &slot, &answer));
    if (step.found == Found::kReplay) {
      EXPECT_EQ(step.body, answer.body);
    }
    if (step.found != Found::kNew) continue;
    // Under way until it ends.
    IdempotencyStore::Answer ignored;
    std::string other;
    EXPECT_EQ(Found::kInFlight,
              store.Begin(step.key, step.request, now, &other, &ignored));
    answer.status = 422;
    answer.body = step.body;
    store.Finish(slot, step.keep, answer, now);
    EXPECT_LE(store.size(), limits.entries);
  }
  EXPECT_EQ(0u, store.size());
}

}  // namespace
