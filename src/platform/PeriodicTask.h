#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace norvane {

// A thread of its own that runs a job at once (always, even when stopped right away), then again each time its interval has passed
// or it is poked, until it is stopped. It waits on a condition between runs (a poke or a stop
// ends the wait at once), so a stop never waits out an interval, only a job that runs.
//
// Poke and Stop are safe from any thread; the job runs on the task's thread alone.
class TPeriodicTask {
 public:
  // `interval` is asked after each run: how long until the next one.
  TPeriodicTask(std::function<std::chrono::milliseconds()> interval, std::function<void()> job);
  ~TPeriodicTask();  // Stop()
  TPeriodicTask(const TPeriodicTask&) = delete;
  TPeriodicTask& operator=(const TPeriodicTask&) = delete;

  // Runs the job again as soon as the one running (if any) has ended.
  void Poke();
  // Ends the thread once the job that runs (if any) has ended, and joins it.
  void Stop();

 private:
  void Execute(std::stop_token stop);

  std::function<std::chrono::milliseconds()> interval_;
  std::function<void()> job_;
  std::mutex mutex_;  // guards poked_
  std::condition_variable_any wake_;
  bool poked_ = false;
  std::jthread thread_;  // last: it starts once everything above is set
};

}  // namespace norvane
