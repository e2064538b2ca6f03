// The one clock behind every deadline and penalty: milliseconds on a steady
// clock. Code that decides by time takes a Clock, so that a test can hand
// it a clock of its own (tests/support/fake_clock.h) and move time by hand.
#ifndef TARPON_COMM_CLOCK_H_
#define TARPON_COMM_CLOCK_H_

#include <chrono>
#include <cstdint>

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; never goes back.
  virtual int64_t NowMs() const = 0;

  // The process's steady clock.
  static const Clock& Steady();
};

class SteadyClock : public Clock {
 public:
  int64_t NowMs() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

// Milliseconds since the epoch, for times that must outlive the process
// (a restart's steady clock starts anew). May step back with the system's
// clock: what keeps such times allows for it.
class WallClock : public Clock {
 public:
  int64_t NowMs() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  static const Clock& Get() {
    static const WallClock clock;
    return clock;
  }
};

inline const Clock& Clock::Steady() {
  static const SteadyClock clock;
  return clock;
}

#endif  // TARPON_COMM_CLOCK_H_
