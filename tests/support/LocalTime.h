#pragma once
// Test helper: a local date and time as a reading of the service's clock, for tests that
// fix the clock (norvane::set_clock_for_tests) at a chosen moment.
#include <chrono>
#include <ctime>

#include "platform/Clock.h"

namespace testing_support {

inline norvane::TimePoint local_time(int year, int month, int day, int hour, int minute,
                                     int second, int millisecond = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm)) +
         std::chrono::milliseconds(millisecond);
}

}  // namespace testing_support
