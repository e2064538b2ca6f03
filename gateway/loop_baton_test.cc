// The loop's own jobs under watch, and the loop passing between threads;
// run under ThreadSanitizer by scripts/tsan.sh.
#include "gateway/loop_baton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;

TEST(LoopBatonTest, AJobWithinItsTickKeepsTheLoop) {
  LoopBaton baton(milliseconds(10000), -1);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<bool> stayed;
  bool allOnCaller = true;  // the loop's alone: no atomic needed
  int turns = 0;
  baton.Run([&] {
    allOnCaller &= std::this_thread::get_id() == caller;
    if (++turns > 3) return false;
    int ran = 0;
    stayed.push_back(baton.RunWatched([&ran] { ++ran; }) && ran == 1);
    return true;
  });
  EXPECT_EQ(std::vector<bool>({true, true, true}), stayed);
  EXPECT_TRUE(allOnCaller);
  EXPECT_FALSE(baton.HasLateJob());
  EXPECT_EQ(0u, baton.GetTakeOvers());
}

// A job that runs on loses the loop, which goes on on another thread
// meanwhile, never in two threads at once; a thread that lost it takes it
// on again later, and Run returns on its caller.
TEST(LoopBatonTest, TheLoopGoesOnElsewhereWhileALateJobRuns) {
  std::atomic<int> leads{0};
  LoopBaton baton(milliseconds(1), -1, nullptr, [&leads] { ++leads; });
  const std::thread::id caller = std::this_thread::get_id();
  // What a thread that lost the loop still touches is atomic.
  std::atomic<int> inTurn{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> turnsElsewhere{0};
  std::atomic<int> lateJobs{0};
  std::atomic<int> stayed{0};
  std::set<std::thread::id> loopThreads;  // the loop's own
  int turns = 0;
  baton.Run([&] {
    if (++inTurn > 1) overlapped = true;
    loopThreads.insert(std::this_thread::get_id());
    const bool more = ++turns < 10000 && lateJobs < 3;
    if (more && !baton.HasLateJob()) {
      // Each job runs until the loop has turned on another thread.
      const int seen = turnsElsewhere;
      const auto until = std::chrono::steady_clock::now() + milliseconds(5000);
      --inTurn;
      if (!baton.RunWatched([&] {
            while (turnsElsewhere == seen &&
                   std::chrono::steady_clock::now() < until) {
              std::this_thread::yield();
            }
          })) {
        ++lateJobs;
        return true;  // the loop is another thread's
      }
      ++inTurn;
      ++stayed;
    } else if (baton.HasLateJob()) {
      ++turnsElsewhere;
      // The late job's end comes back as the loop's inbox would bring it,
      // once its thread waits for the loop again.
      std::this_thread::sleep_for(milliseconds(10));
      if (turnsElsewhere % 3 == 0) baton.EndLateJob();
    }
    --inTurn;
    return more;
  });
  EXPECT_EQ(std::this_thread::get_id(), caller);
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(3, lateJobs.load());
  EXPECT_EQ(0, stayed.load());
  EXPECT_EQ(3u, baton.GetTakeOvers());
  EXPECT_EQ(3, leads.load());
  // A thread that lost the loop waits for it and is taken first: three
  // hand-overs need one thread besides the caller (two should the caller
  // be slow to wait again on a busy machine), not three.
  EXPECT_GE(loopThreads.size(), 2u);
  EXPECT_LE(loopThreads.size(), 3u);
}

}  // namespace
