// Signals blocked in the calling thread for a scope. A thread started
// inside the scope inherits the blocked mask from its first instruction, so
// that a signal for the process is never delivered to it, not even before
// its own code could block it.
#ifndef TARPON_COMM_SIGNAL_BLOCK_H_
#define TARPON_COMM_SIGNAL_BLOCK_H_

#include <pthread.h>

#include <csignal>
#include <initializer_list>

class SignalBlock {
 public:
  // Blocks every signal.
  SignalBlock() {
    sigset_t blocked;
    sigfillset(&blocked);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  // Blocks the given signals.
  explicit SignalBlock(std::initializer_list<int> signals) {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : signals) sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

#endif  // TARPON_COMM_SIGNAL_BLOCK_H_
