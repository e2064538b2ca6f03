// Lets the thread that runs an event loop run a job of its own in the
// loop's place, without the loop ever waiting on it for long.
//
// The loop runs in turns, on whichever thread holds it. At the end of a
// turn its thread may run a job itself (RunWatched), sparing the job the
// crossing to another thread and back. A watchdog looks at the job every
// tick: when the loop has something to do (its descriptor is readable) or
// the same job has run for a whole tick, the loop goes on at once on
// another thread (one that waits, or a new one), and the job's thread, its
// job done, waits until the loop comes back to it or ends. The loop's
// state passes between threads under the baton's lock only: the thread
// that holds the loop is the only one to touch it.
#ifndef TARPON_GATEWAY_LOOP_BATON_H_
#define TARPON_GATEWAY_LOOP_BATON_H_

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "contract/thread_annotations.h"

class LoopBaton {
 public:
  // readyFd (not owned, -1 for none) is readable while the loop has work;
  // threadStart runs first on each thread that the baton starts to hold
  // the loop, and onLead on a thread each time the loop passes to it.
  LoopBaton(std::chrono::microseconds tick, int readyFd,
            std::function<void()> threadStart = nullptr,
            std::function<void()> onLead = nullptr);
  // Run must have returned.
  ~LoopBaton();
  LoopBaton(const LoopBaton&) = delete;
  LoopBaton& operator=(const LoopBaton&) = delete;

  // Runs turn over and over, on this thread and on those the loop passes
  // to, until it returns false; returns on this thread once it has and the
  // threads the baton started have ended.
  void Run(const std::function<bool()>& turn);
  // From within a turn, as its last step: runs job on this thread. True
  // when the loop stayed with this thread. False when it went on elsewhere
  // meanwhile: the caller must return from the turn touching nothing of the
  // loop's; the job is late until the loop calls EndLateJob.
  bool RunWatched(const std::function<void()>& job);
  // True from the time a job lost the loop until EndLateJob. The loop
  // runs no job while one is late.
  bool HasLateJob() const;
  void EndLateJob();
  // The jobs that lost the loop so far.
  uint64_t GetTakeOvers() const;

 private:
  // Waits for the loop (unless leading) and runs its turns while it has
  // it, until the loop ends.
  void Follow(int self, bool leading) TARPON_EXCLUDES(mutex_);
  // Tells the watchdog and the waiting threads that the baton closes, and
  // joins them.
  void CloseAndJoin() TARPON_EXCLUDES(mutex_);
  void Watch() TARPON_EXCLUDES(mutex_);
  // The loop goes on on a waiting thread or a new one.
  void TakeOver() TARPON_REQUIRES(mutex_);
  bool IsLoopReady() const;

  const std::chrono::microseconds tick_;
  const int readyFd_;
  std::function<void()> threadStart_;
  std::function<void()> onLead_;
  mutable Mutex mutex_;
  std::condition_variable turnCv_;   // the loop passed, or ended
  std::condition_variable watchCv_;  // a job began, or the baton closes
  const std::function<bool()>* turn_ TARPON_GUARDED_BY(mutex_) = nullptr;
  // The thread that holds the loop: 0 is Run's caller.
  int leader_ TARPON_GUARDED_BY(mutex_) = 0;
  // Threads waiting for the loop.
  std::vector<int> waiting_ TARPON_GUARDED_BY(mutex_);
  bool ended_ TARPON_GUARDED_BY(mutex_) = false;
  bool closing_ TARPON_GUARDED_BY(mutex_) = false;
  // The jobs run so far, and the one under watch (0: none).
  uint64_t jobs_ TARPON_GUARDED_BY(mutex_) = 0;
  uint64_t runningJob_ TARPON_GUARDED_BY(mutex_) = 0;
  bool lateJob_ TARPON_GUARDED_BY(mutex_) = false;
  uint64_t takeOvers_ TARPON_GUARDED_BY(mutex_) = 0;
  bool watchAsleep_ TARPON_GUARDED_BY(mutex_) = false;
  sigset_t runMask_;  // Run's caller's signals, which loop threads share
  // Started under the lock by the first watched job; joined once closing_
  // is set, when no job starts any more.
  std::thread watchdog_;
  // Helper i + 1 is thread i + 1.
  std::vector<std::thread> helpers_ TARPON_GUARDED_BY(mutex_);
};

#endif  // TARPON_GATEWAY_LOOP_BATON_H_
