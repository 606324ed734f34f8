#pragma once
#include <chrono>
#include <functional>

namespace norvane {

using TimePoint = std::chrono::system_clock::time_point;

// The one clock of the service. Tests replace it to check expiry and date-dependent
// names; an empty function goes back to the system clock.
TimePoint now();
void set_clock_for_tests(std::function<TimePoint()> clock);

}  // namespace norvane
