#include "gateway/worker_pool.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <utility>

LoopInbox::LoopInbox() : event_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void LoopInbox::Post(std::function<void()> done, bool wake) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(done));
    if (!wake || woken_) return;
    woken_ = true;
  }
  uint64_t one = 1;
  ssize_t ignored = write(event_.get(), &one, sizeof one);
  (void)ignored;
}

void LoopInbox::RunPosted() {
  std::vector<std::function<void()>> posted;
  bool woken = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posted.swap(posted_);
    woken = std::exchange(woken_, false);
  }
  if (woken) {
    uint64_t count = 0;
    ssize_t ignored = read(event_.get(), &count, sizeof count);
    (void)ignored;
  }
  for (std::function<void()>& done : posted) done();
}

bool LoopInbox::HasPosted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !posted_.empty();
}

WorkerPool::WorkerPool(int threads, size_t maxQueued, LoopInbox& inbox,
                       std::function<void()> threadStart)
    : inbox_(inbox),
      maxQueued_(maxQueued),
      threadStart_(std::move(threadStart)) {
  if (threads < 1) threads = 1;
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Serve(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool WorkerPool::Submit(std::function<bool()> work,
                        std::function<void()> done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= maxQueued_) return false;
    queue_.push_back({std::move(work), std::move(done)});
  }
  ready_.notify_one();
  return true;
}

size_t WorkerPool::GetQueued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

size_t WorkerPool::GetPending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size() + running_;
}

void WorkerPool::Serve() {
  // Signals are the loop's: a stop or a reload must wake its thread.
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    sigaddset(&blocked, signal);
  }
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  if (threadStart_) threadStart_();
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      ++running_;
    }
    const bool wake = job.work();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
      if (stopping_) return;
    }
    inbox_.Post(std::move(job.done), wake);
  }
}
