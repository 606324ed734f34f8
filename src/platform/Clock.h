#pragma once
#include <chrono>
#include <functional>

namespace norvane {

using TimePoint = std::chrono::system_clock::time_point;

// The one clock of the service. Tests replace it to check expiry and date-dependent
// names; an empty function goes back to the system clock.
TimePoint now();
// Sleeps until the service's clock reads `deadline` (at once when it is past). A test
// clock given `move_to` is moved to the deadline instead of slept on (move_to runs under
// the clock's lock: it sets the time, it does not wait); a test clock without one sleeps
// for real the time it has left to the deadline.
void sleep_until(TimePoint deadline);
// The clock waits are measured on: monotonic, so that a time sync that steps the wall
// clock back an hour never holds a wait for an hour. Under a test clock it follows that
// clock (as a count since its epoch), and sleeping on it moves or sleeps as above.
using WaitPoint = std::chrono::steady_clock::time_point;
WaitPoint wait_now();
void sleep_until(WaitPoint deadline);
void set_clock_for_tests(std::function<TimePoint()> clock,
                         std::function<void(TimePoint)> move_to = nullptr);

}  // namespace norvane
