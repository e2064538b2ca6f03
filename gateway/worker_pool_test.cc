// Work handed to threads and back to the loop's thread through the inbox;
// run under ThreadSanitizer by scripts/tsan.sh.
#include "gateway/worker_pool.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace {

TEST(WorkerPoolTest, RunsWorkOnItsThreadsAndDoneOnTheLoops) {
  LoopInbox inbox;
  ASSERT_TRUE(inbox.IsReady());
  const std::thread::id loop = std::this_thread::get_id();
  std::atomic<int> worked{0};
  int done = 0;  // the loop's alone: no atomic needed
  bool doneOnLoop = true;
  {
    WorkerPool pool(2, 100, inbox);
    for (int i = 0; i < 100; ++i) {
      ASSERT_TRUE(pool.Submit(
          [&] {
            ++worked;
            return true;
          },
          [&] {
            ++done;
            doneOnLoop &= std::this_thread::get_id() == loop;
          }));
    }
    for (int turn = 0; turn < 100 && done < 100; ++turn) {
      pollfd ready = {inbox.GetFd(), POLLIN, 0};
      if (poll(&ready, 1, 100) == 1) inbox.RunPosted();
    }
  }
  EXPECT_EQ(100, worked);
  EXPECT_EQ(100, done);
  EXPECT_TRUE(doneOnLoop);
}

// One source's flood does not hold another's job behind it.
TEST(WorkerPoolTest, TakesTheSourcesInTurn) {
  LoopInbox inbox;
  std::atomic<bool> release{false};
  std::mutex mutex;
  std::string order;
  {
    WorkerPool pool(1, 100, inbox);
    ASSERT_TRUE(pool.Submit(
        [&] {
          while (!release) std::this_thread::yield();
          return true;
        },
        [] {}, "first"));
    auto job = [&](char name) {
      return [&, name] {
        std::lock_guard<std::mutex> lock(mutex);
        order += name;
        return true;
      };
    };
    for (int i = 0; i < 3; ++i)
      ASSERT_TRUE(pool.Submit(
          job('f'), [] {}, "flood"));
    ASSERT_TRUE(pool.Submit(
        job('h'), [] {}, "honest"));
    release = true;
    for (int turn = 0; turn < 1000; ++turn) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (order.size() == 4) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_EQ("fhff", order);
}

TEST(WorkerPoolTest, RefusesWorkBeyondItsQueue) {
  LoopInbox inbox;
  std::atomic<bool> release{false};
  WorkerPool pool(1, 1, inbox);
  auto wait = [&] {
    while (!release) std::this_thread::yield();
    return true;
  };
  ASSERT_TRUE(pool.Submit(wait, [] {}));
  // The first job may still be queued or already running: fill the queue.
  bool refused = false;
  for (int i = 0; i < 3 && !refused; ++i) refused = !pool.Submit(wait, [] {});
  EXPECT_TRUE(refused);
  release = true;
}

// A job that owns a secret hands it to its work in place; refused or left
// queued at the end, it takes the secret with it: no copy stays behind
// with the caller.
TEST(WorkerPoolTest, AJobOwnsItsSecretHoweverItEnds) {
  LoopInbox inbox;
  std::atomic<bool> release{false};
  std::atomic<int> seen{0};
  auto secret = [](const char* text) {
    std::string bytes = text;
    return Secret(&bytes);
  };
  {
    WorkerPool pool(1, 1, inbox);
    ASSERT_TRUE(pool.Submit(
        secret("RUNS1"),
        [&](Secret* mine) {
          seen = mine->Text() == "RUNS1" ? 1 : -1;
          while (!release) std::this_thread::yield();
          return true;
        },
        [] {}));
    while (seen == 0) std::this_thread::yield();
    ASSERT_EQ(1, seen);
    Secret queued = secret("QUEUED1");
    EXPECT_TRUE(pool.Submit(
        std::move(queued), [](Secret*) { return true; }, [] {}));
    Secret refused = secret("REFUSED");
    EXPECT_FALSE(pool.Submit(
        std::move(refused), [](Secret*) { return true; }, [] {}));
    EXPECT_TRUE(queued.empty());
    EXPECT_TRUE(refused.empty());
    release = true;
  }  // the queued job may be dropped here, its secret with it
}

// A key at its bound waits while another key's job passes it, and it
// never runs more jobs at once than the bound.
TEST(WorkerPoolTest, BoundsTheJobsOfOneKeyThatRunAtOnce) {
  LoopInbox inbox;
  std::atomic<bool> release{false};
  std::atomic<int> slowRunning{0};
  std::atomic<int> slowPeak{0};
  std::atomic<int> slowDone{0};
  std::atomic<bool> fastDone{false};
  {
    WorkerPool pool(3, 100, inbox);
    pool.SetRunningPerKey(2);
    auto slow = [&] {
      int now = ++slowRunning;
      int peak = slowPeak;
      while (now > peak && !slowPeak.compare_exchange_weak(peak, now)) {
      }
      while (!release) std::this_thread::yield();
      --slowRunning;
      ++slowDone;
      return true;
    };
    for (int i = 0; i < 4; ++i)
      ASSERT_TRUE(pool.Submit(
          slow, [] {}, "slow"));
    ASSERT_TRUE(pool.Submit(
        [&] {
          fastDone = true;
          return true;
        },
        [] {}, "fast"));
    for (int turn = 0; turn < 5000 && !fastDone; ++turn) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(fastDone);
    EXPECT_EQ(0, slowDone);
    release = true;
    for (int turn = 0; turn < 5000 && slowDone < 4; ++turn) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_EQ(4, slowDone);
  EXPECT_EQ(2, slowPeak);
}

// Jobs one after another, as a lone client makes them: submitted while the
// last thread still watches for the next, just as it stops, and long after
// it sleeps; every one runs.
TEST(WorkerPoolTest, RunsJobsSubmittedAroundTheWatch) {
  LoopInbox inbox;
  std::atomic<int> ran{0};
  WorkerPool pool(4, 100, inbox);
  int submitted = 0;
  for (int gapUs : {0, 50, 150, 200, 250, 400, 2000}) {
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(pool.Submit(
          [&] {
            ++ran;
            return true;
          },
          [] {}));
      ++submitted;
      for (int turn = 0; turn < 2000 && ran < submitted; ++turn) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_EQ(submitted, ran) << "gap " << gapUs << " us, job " << i;
      inbox.RunPosted();
      std::this_thread::sleep_for(std::chrono::microseconds(gapUs));
    }
  }
}

}  // namespace
