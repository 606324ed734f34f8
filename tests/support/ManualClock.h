#pragma once
// Test helper: the service's clock stands still until the code waits on it
// (norvane::sleep_until), which moves it to the wait's deadline at once. A hold of five
// seconds takes no time, and its length can be read from the clock.
#include <atomic>

#include "platform/Clock.h"

namespace testing_support {

class ManualClock {
 public:
  explicit ManualClock(norvane::TimePoint start) : now_(start) {
    norvane::set_clock_for_tests([this] { return now_.load(); },
                                 [this](norvane::TimePoint at) { now_ = at; });
  }
  ~ManualClock() { norvane::set_clock_for_tests(nullptr); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

 private:
  std::atomic<norvane::TimePoint> now_;
};

}  // namespace testing_support
