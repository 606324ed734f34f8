#include "platform/PeriodicTask.h"

namespace norvane {

TPeriodicTask::TPeriodicTask(std::function<std::chrono::milliseconds()> interval, std::function<void()> job)
    : interval_(std::move(interval)), job_(std::move(job)), thread_([this](std::stop_token stop) { Execute(stop); }) {}

TPeriodicTask::~TPeriodicTask() { Stop(); }

void TPeriodicTask::Poke() {
  std::lock_guard<std::mutex> lock(mutex_);
  poked_ = true;
  wake_.notify_all();
}

void TPeriodicTask::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();  // wakes the wait below: it is registered with the stop token
  thread_.join();
}

void TPeriodicTask::Execute(std::stop_token stop) {
  // The first run happens whatever comes: a task stopped at once has still run once.
  do {
    job_();
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, stop, interval_(), [this] { return poked_; });
    poked_ = false;
  } while (!stop.stop_requested());
}

}  // namespace norvane
