#include "gateway/worker_pool.h"

#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "comm/signal_block.h"

LoopInbox::LoopInbox() : event_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void LoopInbox::Post(std::function<void()> done, bool wake) {
  // The descriptor is written and read under the lock, so that it is
  // readable exactly while woken_ says so: a wake-up is never lost nor
  // left behind to wake the loop for nothing.
  MutexLock lock(&mutex_);
  posted_.push_back(std::move(done));
  if (!wake || woken_) return;
  woken_ = true;
  uint64_t one = 1;
  ssize_t ignored = write(event_.get(), &one, sizeof one);
  (void)ignored;
}

void LoopInbox::RunPosted() {
  std::vector<std::function<void()>> posted;
  {
    MutexLock lock(&mutex_);
    posted.swap(posted_);
    if (std::exchange(woken_, false)) {
      uint64_t count = 0;
      ssize_t ignored = read(event_.get(), &count, sizeof count);
      (void)ignored;
    }
  }
  for (std::function<void()>& done : posted) done();
}

bool LoopInbox::HasPosted() const {
  MutexLock lock(&mutex_);
  return !posted_.empty();
}

WorkerPool::WorkerPool(int threads, size_t maxQueued, LoopInbox& inbox,
                       std::function<void()> threadStart)
    : inbox_(inbox),
      maxQueued_(maxQueued),
      threadStart_(std::move(threadStart)) {
  if (threads < 1) threads = 1;
  // Signals are the loop's: a stop or a reload must wake its thread.
  SignalBlock loopsSignals({SIGTERM, SIGINT, SIGHUP, SIGPIPE});
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Serve(); });
}

WorkerPool::~WorkerPool() {
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
    queues_.clear();
    turns_.clear();
    queued_ = 0;
    for (Idle* idle : idle_) {
      idle->woken = true;
      idle->wake.notify_one();
    }
    idle_.clear();
  }
  for (std::thread& thread : threads_) thread.join();
}

bool WorkerPool::Submit(std::function<bool()> work, std::function<void()> done,
                        const std::string& key) {
  Job job;
  job.work = std::move(work);
  job.done = std::move(done);
  return Queue(std::move(job), key);
}

bool WorkerPool::Submit(Secret secret, std::function<bool(Secret*)> work,
                        std::function<void()> done, const std::string& key) {
  Job job;
  job.secret = std::move(secret);
  job.secretWork = std::move(work);
  job.done = std::move(done);
  // Refused, the job and its secret end here.
  return Queue(std::move(job), key);
}

bool WorkerPool::Queue(Job job, const std::string& key) {
  MutexLock lock(&mutex_);
  if (queued_ >= maxQueued_) return false;
  std::deque<Job>& jobs = queues_[key];
  if (jobs.empty()) turns_.push_back(key);
  jobs.push_back(std::move(job));
  ++queued_;
  submitted_.fetch_add(1, std::memory_order_release);
  // A watching thread takes the job without a wake-up.
  if (watching_ == 0) WakeOne();
  return true;
}

void WorkerPool::WakeOne() {
  if (idle_.empty()) return;
  Idle* idle = idle_.back();
  idle_.pop_back();
  idle->woken = true;
  idle->wake.notify_one();
}

void WorkerPool::SetRunningPerKey(size_t limit) {
  // The threads already look at the bound while they wait.
  MutexLock lock(&mutex_);
  runningPerKey_ = limit;
  WakeOne();
}

size_t WorkerPool::GetPending() const {
  MutexLock lock(&mutex_);
  return queued_ + running_;
}

void WorkerPool::Serve() {
  if (threadStart_) threadStart_();
  Idle idle;
  bool watch = false;  // a job has just run here
  for (;;) {
    Job job;
    std::string key;
    if (!TakeJob(&watch, &idle, &job, &key)) return;
    const bool wake = job.Run();
    watch = true;
    if (!Ran(&job, key, wake)) return;
  }
}

bool WorkerPool::TakeJob(bool* watch, Idle* idle, Job* job, std::string* key) {
  MutexLock lock(&mutex_);
  size_t turn = 0;
  while (!stopping_ && (turn = FindRunnable()) >= turns_.size()) {
    if (std::exchange(*watch, false)) {
      WatchForJob();
      continue;
    }
    idle->woken = false;
    idle_.push_back(idle);
    idle->wake.wait(lock.Unique(), [idle] { return idle->woken; });
  }
  if (stopping_) return false;
  // That key's first job; the key goes to the back while it has more.
  *key = std::move(turns_[turn]);
  turns_.erase(turns_.begin() + static_cast<std::ptrdiff_t>(turn));
  auto jobs = queues_.find(*key);
  *job = std::move(jobs->second.front());
  jobs->second.pop_front();
  if (jobs->second.empty()) {
    queues_.erase(jobs);
  } else {
    turns_.push_back(*key);
  }
  --queued_;
  ++running_;
  if (runningPerKey_ > 0) ++runningByKey_[*key];
  // A wake-up spent on a job that had to wait for its key's bound is made
  // good here: another runnable job gets a thread of its own.
  if (FindRunnable() < turns_.size()) WakeOne();
  return true;
}

// Posted before the job stops counting as pending: a loop that sees no job
// pending finds its done in the inbox, woken or not.
bool WorkerPool::Ran(Job* job, const std::string& key, bool wake) {
  MutexLock lock(&mutex_);
  if (stopping_) return false;
  inbox_.Post(std::move(job->done), wake);
  --running_;
  // A job of this key that waited for the bound is this thread's next.
  if (runningPerKey_ > 0) {
    auto running = runningByKey_.find(key);
    if (running != runningByKey_.end() && --running->second == 0) {
      runningByKey_.erase(running);
    }
  }
  return true;
}

void WorkerPool::WatchForJob() {
  // Bounded: a little longer than a client on the same machine takes to
  // read a reply and send its next request. The thread yields meanwhile,
  // so that the loop that makes the next job is not kept from the core.
  constexpr auto kWatch = std::chrono::microseconds(200);
  const uint64_t seen = submitted_.load(std::memory_order_acquire);
  ++watching_;
  mutex_.unlock();
  const auto until = std::chrono::steady_clock::now() + kWatch;
  while (submitted_.load(std::memory_order_acquire) == seen &&
         std::chrono::steady_clock::now() < until) {
    sched_yield();
  }
  mutex_.lock();
  --watching_;
}

size_t WorkerPool::FindRunnable() const {
  if (runningPerKey_ == 0 || turns_.empty()) return 0;
  for (size_t turn = 0; turn < turns_.size(); ++turn) {
    auto running = runningByKey_.find(turns_[turn]);
    if (running == runningByKey_.end() || running->second < runningPerKey_) {
      return turn;
    }
  }
  return turns_.size();
}
