#include "gateway/loop_baton.h"

#include <poll.h>
#include <pthread.h>

#include <utility>

#include "comm/signal_block.h"

namespace {

// Idle ticks after which the watchdog sleeps until the next job, so that
// an idle gateway is not woken every tick.
constexpr int kIdleTicks = 1000;

}  // namespace

LoopBaton::LoopBaton(std::chrono::microseconds tick, int readyFd,
                     std::function<void()> threadStart,
                     std::function<void()> onLead)
    : tick_(tick),
      readyFd_(readyFd),
      threadStart_(std::move(threadStart)),
      onLead_(std::move(onLead)) {
  sigemptyset(&runMask_);
}

LoopBaton::~LoopBaton() {
  // Run joins its threads; this only covers a Run that never came.
  CloseAndJoin();
}

void LoopBaton::Run(const std::function<bool()>& turn) {
  pthread_sigmask(SIG_SETMASK, nullptr, &runMask_);
  {
    MutexLock lock(&mutex_);
    turn_ = &turn;
    leader_ = 0;
    ended_ = false;
  }
  Follow(0, true);
  CloseAndJoin();
  MutexLock lock(&mutex_);
  waiting_.clear();
  turn_ = nullptr;
  closing_ = false;
}

void LoopBaton::CloseAndJoin() {
  {
    MutexLock lock(&mutex_);
    closing_ = true;
    watchCv_.notify_all();
    turnCv_.notify_all();
  }
  // Once the watchdog has ended no helper starts.
  if (watchdog_.joinable()) watchdog_.join();
  std::vector<std::thread> helpers;
  {
    MutexLock lock(&mutex_);
    helpers.swap(helpers_);
  }
  for (std::thread& helper : helpers) helper.join();
}

void LoopBaton::Follow(int self, bool leading) {
  MutexLock lock(&mutex_);
  for (;;) {
    if (!leading) {
      waiting_.push_back(self);
      while (!ended_ && !closing_ && leader_ != self) {
        turnCv_.wait(lock.Unique());
      }
      for (size_t i = 0; i < waiting_.size(); ++i) {
        if (waiting_[i] == self) {
          waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
      }
      if (ended_ || closing_) return;
      lock.Unlock();
      if (onLead_) onLead_();
      lock.Lock();
    }
    leading = false;
    for (;;) {
      const std::function<bool()>* turn = turn_;
      lock.Unlock();
      const bool more = (*turn)();
      lock.Lock();
      // A job of the turn lost the loop: this thread waits again.
      if (leader_ != self) break;
      if (!more) {
        ended_ = true;
        turnCv_.notify_all();
        return;
      }
    }
  }
}

bool LoopBaton::RunWatched(const std::function<void()>& job) {
  uint64_t mine = 0;
  int self = 0;
  {
    MutexLock lock(&mutex_);
    mine = ++jobs_;
    runningJob_ = mine;
    self = leader_;
    if (!watchdog_.joinable()) {
      // Signals are for the threads that hold the loop.
      SignalBlock all;
      watchdog_ = std::thread([this] { Watch(); });
    } else if (watchAsleep_) {
      watchCv_.notify_one();
    }
  }
  job();
  MutexLock lock(&mutex_);
  if (runningJob_ == mine) runningJob_ = 0;
  // The loop cannot have come back meanwhile: this thread did not wait.
  return leader_ == self;
}

bool LoopBaton::HasLateJob() const {
  MutexLock lock(&mutex_);
  return lateJob_;
}

void LoopBaton::EndLateJob() {
  MutexLock lock(&mutex_);
  lateJob_ = false;
}

uint64_t LoopBaton::GetTakeOvers() const {
  MutexLock lock(&mutex_);
  return takeOvers_;
}

void LoopBaton::Watch() {
  pthread_setname_np(pthread_self(), "tarpons-watch");
  MutexLock lock(&mutex_);
  int idleTicks = 0;
  while (!closing_) {
    if (runningJob_ == 0 && idleTicks >= kIdleTicks) {
      watchAsleep_ = true;
      while (runningJob_ == 0 && !closing_) watchCv_.wait(lock.Unique());
      watchAsleep_ = false;
      idleTicks = 0;
      continue;
    }
    const uint64_t seenJob = runningJob_;
    const uint64_t seenJobs = jobs_;
    watchCv_.wait_for(lock.Unique(), tick_);
    if (closing_) break;
    if (runningJob_ == 0) {
      idleTicks = jobs_ == seenJobs ? idleTicks + 1 : 0;
      continue;
    }
    idleTicks = 0;
    // The same job for a whole tick, or anything else for the loop to do.
    if (runningJob_ == seenJob) {
      TakeOver();
      continue;
    }
    // The loop's descriptor is looked at without the lock, which the job's
    // thread takes when the job ends; the job must still run afterwards.
    const uint64_t job = runningJob_;
    lock.Unlock();
    const bool ready = IsLoopReady();
    lock.Lock();
    if (ready && !closing_ && runningJob_ == job) TakeOver();
  }
}

bool LoopBaton::IsLoopReady() const {
  if (readyFd_ < 0) return false;
  pollfd ready = {readyFd_, POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

void LoopBaton::TakeOver() {
  runningJob_ = 0;
  lateJob_ = true;
  ++takeOvers_;
  if (!waiting_.empty()) {
    leader_ = waiting_.back();
  } else {
    leader_ = static_cast<int>(helpers_.size()) + 1;
    helpers_.emplace_back([this, self = leader_] {
      pthread_sigmask(SIG_SETMASK, &runMask_, nullptr);
      if (threadStart_) threadStart_();
      Follow(self, false);
    });
  }
  turnCv_.notify_all();
}
