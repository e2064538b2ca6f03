// The thread a piece of state belongs to, checked where it is used: debug
// and sanitizer builds (TARPON_THREAD_CHECKS) abort, naming what was
// touched, when another thread touches it; release builds check nothing
// and keep no thread ID.
//
//   ThreadOwner owner_{"the web loop's state"};   // the constructing thread
//   void Step() { owner_.Check(); ... }
//   owner_.TakeOn();   // hand over: the old owner is done, and the two
//                      // threads have synchronised since
#ifndef TARPON_CONTRACT_THREAD_OWNER_H_
#define TARPON_CONTRACT_THREAD_OWNER_H_

#include <cstdio>
#include <cstdlib>
#include <thread>

#if !defined(NDEBUG) || defined(TARPON_THREAD_CHECKS)
constexpr bool kChecksThreadOwner = true;
#else
constexpr bool kChecksThreadOwner = false;
#endif

class ThreadOwner {
 public:
  // what names the state in the fault's line; a literal.
  explicit ThreadOwner(const char* what) : what_(what) { TakeOn(); }

  // Makes the calling thread the owner.
  void TakeOn() {
    if (kChecksThreadOwner) owner_ = std::this_thread::get_id();
  }
  // Aborts, when the build checks threads, unless the caller is the owner.
  void Check() const {
    if (kChecksThreadOwner && std::this_thread::get_id() != owner_) {
      std::fprintf(stderr, "%s used by a thread other than its owner\n", what_);
      std::abort();
    }
  }
  bool IsOwner() const {
    return !kChecksThreadOwner || std::this_thread::get_id() == owner_;
  }

 private:
  const char* what_;
  std::thread::id owner_;
};

#endif  // TARPON_CONTRACT_THREAD_OWNER_H_
