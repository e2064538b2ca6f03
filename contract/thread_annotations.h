// Thread rules the compiler checks: Clang's thread-safety analysis
// (-Wthread-safety) on members behind a lock, through a Mutex that says it
// is a capability. Under GCC the macros are empty and Mutex is a plain
// std::mutex underneath.
//
//   Mutex mutex_;
//   int count_ TARPON_GUARDED_BY(mutex_);
//   void Step() TARPON_REQUIRES(mutex_);   // called with mutex_ held
//   { MutexLock lock(&mutex_); ++count_; }
#ifndef TARPON_CONTRACT_THREAD_ANNOTATIONS_H_
#define TARPON_CONTRACT_THREAD_ANNOTATIONS_H_

#include <mutex>

#if defined(__clang__)
#define TARPON_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TARPON_THREAD_ATTRIBUTE(x)
#endif

#define TARPON_CAPABILITY(x) TARPON_THREAD_ATTRIBUTE(capability(x))
#define TARPON_SCOPED_CAPABILITY TARPON_THREAD_ATTRIBUTE(scoped_lockable)
#define TARPON_GUARDED_BY(x) TARPON_THREAD_ATTRIBUTE(guarded_by(x))
#define TARPON_PT_GUARDED_BY(x) TARPON_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define TARPON_REQUIRES(...) \
  TARPON_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define TARPON_EXCLUDES(...) \
  TARPON_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define TARPON_ACQUIRE(...) \
  TARPON_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define TARPON_RELEASE(...) \
  TARPON_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TARPON_NO_THREAD_SAFETY_ANALYSIS \
  TARPON_THREAD_ATTRIBUTE(no_thread_safety_analysis)

// std::mutex as a capability the analysis knows.
class TARPON_CAPABILITY("mutex") Mutex {
 public:
  void lock() TARPON_ACQUIRE() { mutex_.lock(); }
  void unlock() TARPON_RELEASE() { mutex_.unlock(); }
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for a scope; Unlock and Lock let it go and take it again
// inside the scope. Unique() is the lock a std::condition_variable waits
// on (the wait lets the mutex go and takes it again before it returns).
class TARPON_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) TARPON_ACQUIRE(mutex)
      : lock_(mutex->native()) {}
  ~MutexLock() TARPON_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() TARPON_RELEASE() { lock_.unlock(); }
  void Lock() TARPON_ACQUIRE() { lock_.lock(); }
  std::unique_lock<std::mutex>& Unique() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

#endif  // TARPON_CONTRACT_THREAD_ANNOTATIONS_H_
