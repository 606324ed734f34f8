#include "platform/Clock.h"

#include <mutex>
#include <thread>

namespace norvane {
namespace {
std::mutex clock_mutex;
std::function<TimePoint()> test_clock;
std::function<void(TimePoint)> test_move_to;
}  // namespace

TimePoint now() {
  std::lock_guard<std::mutex> lock(clock_mutex);
  return test_clock ? test_clock() : std::chrono::system_clock::now();
}

void sleep_until(TimePoint deadline) {
  std::unique_lock<std::mutex> lock(clock_mutex);
  if (!test_clock) {
    lock.unlock();
    std::this_thread::sleep_until(deadline);
    return;
  }
  const auto left = deadline - test_clock();
  if (test_move_to) {
    if (left.count() > 0) test_move_to(deadline);
    return;
  }
  lock.unlock();
  std::this_thread::sleep_for(left);
}

WaitPoint wait_now() {
  std::lock_guard<std::mutex> lock(clock_mutex);
  if (!test_clock) return std::chrono::steady_clock::now();
  return WaitPoint(std::chrono::duration_cast<std::chrono::steady_clock::duration>(test_clock().time_since_epoch()));
}

void sleep_until(WaitPoint deadline) {
  bool testing = false;
  {
    std::lock_guard<std::mutex> lock(clock_mutex);
    testing = static_cast<bool>(test_clock);
  }
  if (!testing) {
    std::this_thread::sleep_until(deadline);
    return;
  }
  sleep_until(TimePoint(std::chrono::duration_cast<std::chrono::system_clock::duration>(deadline.time_since_epoch())));
}

void set_clock_for_tests(std::function<TimePoint()> clock, std::function<void(TimePoint)> move_to) {
  std::lock_guard<std::mutex> lock(clock_mutex);
  test_clock = std::move(clock);
  test_move_to = std::move(move_to);
}

}  // namespace norvane
