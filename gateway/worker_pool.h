// Work that the gateway's event loop hands to threads of its own, so that
// the loop never waits for it, and the results handed back to the loop.
//
// A LoopInbox is the way back: any thread posts a closure, the loop watches
// the inbox's descriptor and runs what was posted, in its own thread.
// A WorkerPool runs queued work on a fixed set of threads and posts each
// job's "done" closure to the inbox when the work has run. Jobs queue by a
// key (the client's source): the threads take one job of each key in turn,
// so that a flood from some sources delays another source's job by a turn
// of the sources, not by the whole flood. A pool may also bound the jobs of
// one key that run at once: a key at its bound waits, and the others pass
// it. An idle thread that is woken is the one that went idle last, so
// that one client's jobs, one after another, find the same warm thread;
// a thread that has just run a job watches for the next one for a short
// while before it sleeps, so that a client's next job need not wake it.
#ifndef TARPON_GATEWAY_WORKER_POOL_H_
#define TARPON_GATEWAY_WORKER_POOL_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "comm/fd.h"
#include "contract/secret.h"
#include "contract/thread_annotations.h"

class LoopInbox {
 public:
  // Makes the descriptor; IsReady() tells whether that worked.
  LoopInbox();
  LoopInbox(const LoopInbox&) = delete;
  LoopInbox& operator=(const LoopInbox&) = delete;

  bool IsReady() const { return event_.valid(); }
  // Readable while something waits to be run.
  int GetFd() const { return event_.get(); }
  // From any thread: done is to run on the loop's thread. With wake the
  // descriptor wakes the loop at once; without, done waits for the loop's
  // next turn (the loop bounds its sleep while work is out).
  void Post(std::function<void()> done, bool wake = true);
  // On the loop's thread: runs everything posted so far, in order.
  void RunPosted();
  // True when something waits to be run.
  bool HasPosted() const;

 private:
  Fd event_;
  mutable Mutex mutex_;
  std::vector<std::function<void()>> posted_ TARPON_GUARDED_BY(mutex_);
  // The descriptor holds a count to read.
  bool woken_ TARPON_GUARDED_BY(mutex_) = false;
};

class WorkerPool {
 public:
  // threads worker threads (at least 1) with at most maxQueued jobs
  // waiting; each thread first runs threadStart, when given.
  WorkerPool(int threads, size_t maxQueued, LoopInbox& inbox,
             std::function<void()> threadStart = nullptr);
  // Drops the jobs still queued (their secrets wiped), waits for the
  // running ones and ends the threads; what they post is not run.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues work; once a worker has run it, done runs on the loop's thread,
  // woken at once when work returns true (see LoopInbox::Post). False,
  // with nothing queued, when maxQueued jobs already wait.
  bool Submit(std::function<bool()> work, std::function<void()> done,
              const std::string& key = std::string());
  // The same for work on a secret (a request holding passwords) that the
  // job owns: work gets it in place, and it is wiped when the job ends,
  // however it ends: run, refused here (a full queue) or dropped by the
  // destructor.
  bool Submit(Secret secret, std::function<bool(Secret* secret)> work,
              std::function<void()> done,
              const std::string& key = std::string());
  // At most limit jobs of one key run at once (0, the default: no bound).
  // Set before the first Submit.
  void SetRunningPerKey(size_t limit);
  // Jobs waiting or running.
  size_t GetPending() const;
  int GetThreads() const { return static_cast<int>(threads_.size()); }

 private:
  struct Job {
    std::function<bool()> work;
    std::function<void()> done;
    Secret secret;
    std::function<bool(Secret*)> secretWork;  // instead of work
    bool Run() { return secretWork ? secretWork(&secret) : work(); }
  };
  // A thread waiting for work, woken on its own.
  struct Idle {
    std::condition_variable wake;
    bool woken = false;
  };
  void Serve();
  bool Queue(Job job, const std::string& key) TARPON_EXCLUDES(mutex_);
  // Wakes the thread that went idle last, if any.
  void WakeOne() TARPON_REQUIRES(mutex_);
  // Unlocks, watches for a job to be submitted for a short while and locks
  // again.
  void WatchForJob() TARPON_REQUIRES(mutex_);
  // The place in turns_ of the first key whose job may run, or turns_'s
  // size.
  size_t FindRunnable() const TARPON_REQUIRES(mutex_);
  // Takes the next job that may run into *job and its key into *key, or
  // waits for one; false once the pool stops.
  bool TakeJob(bool* watch, Idle* idle, Job* job, std::string* key)
      TARPON_EXCLUDES(mutex_);
  // A job has run: its done goes to the loop; false once the pool stops.
  bool Ran(Job* job, const std::string& key, bool wake) TARPON_EXCLUDES(mutex_);

  LoopInbox& inbox_;
  const size_t maxQueued_;
  std::function<void()> threadStart_;
  mutable Mutex mutex_;
  // The idle threads, the one that went idle last at the back.
  std::vector<Idle*> idle_ TARPON_GUARDED_BY(mutex_);
  // Threads watching for the next job, and the jobs submitted so far,
  // which they watch.
  size_t watching_ TARPON_GUARDED_BY(mutex_) = 0;
  std::atomic<uint64_t> submitted_{0};
  // The jobs of each key, and the keys with jobs in the order of their turn.
  std::unordered_map<std::string, std::deque<Job>> queues_
      TARPON_GUARDED_BY(mutex_);
  std::deque<std::string> turns_ TARPON_GUARDED_BY(mutex_);
  size_t queued_ TARPON_GUARDED_BY(mutex_) = 0;
  size_t running_ TARPON_GUARDED_BY(mutex_) = 0;
  size_t runningPerKey_ TARPON_GUARDED_BY(mutex_) = 0;
  // Jobs running, for each key with one running (with a bound only).
  std::unordered_map<std::string, size_t> runningByKey_
      TARPON_GUARDED_BY(mutex_);
  bool stopping_ TARPON_GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_;
};

#endif  // TARPON_GATEWAY_WORKER_POOL_H_
