#include "platform/Clock.h"

#include <mutex>

namespace norvane {
namespace {
std::mutex clock_mutex;
std::function<TimePoint()> test_clock;
}  // namespace

TimePoint now() {
  std::lock_guard<std::mutex> lock(clock_mutex);
  return test_clock ? test_clock() : std::chrono::system_clock::now();
}

void set_clock_for_tests(std::function<TimePoint()> clock) {
  std::lock_guard<std::mutex> lock(clock_mutex);
  test_clock = std::move(clock);
}

}  // namespace norvane
