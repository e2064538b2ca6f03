// A clock for tests of code that decides by time.
#ifndef TARPON_TESTS_SUPPORT_FAKE_CLOCK_H_
#define TARPON_TESTS_SUPPORT_FAKE_CLOCK_H_

#include <cstdint>

#include "comm/clock.h"

// A clock that stands still until a test moves it.
class FakeClock : public Clock {
 public:
  explicit FakeClock(int64_t startMs = 1000000) : nowMs_(startMs) {}
  int64_t NowMs() const override { return nowMs_; }
  void Advance(int64_t ms) { nowMs_ += ms; }
  void Set(int64_t ms) { nowMs_ = ms; }

 private:
  int64_t nowMs_;
};

#endif  // TARPON_TESTS_SUPPORT_FAKE_CLOCK_H_
