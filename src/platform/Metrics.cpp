#include "platform/Metrics.h"

#include <atomic>
#include <mutex>

namespace norvane::metrics {

namespace {

struct State {
  std::array<std::array<std::atomic<std::uint64_t>, kOutcomes>, kOperations> operations{};
  std::array<std::atomic<std::uint64_t>, kReportAnswers> reports{};
  std::atomic<std::uint64_t> recovered_confirmed{0}, recovered_undone{0};
  std::atomic<std::uint64_t> prints_done{0}, prints_failed{0};
  std::atomic<TimePoint::rep> last_payment_end{0};
  std::mutex listener_mutex;  // guards listener
  std::function<void()> listener;
};

State& state() {
  static State s;
  return s;
}

}  // namespace

void CountOperation(Operation operation, Outcome outcome) {
  State& s = state();
  s.operations[static_cast<int>(operation)][static_cast<int>(outcome)]++;
  if (operation == Operation::Sale) s.last_payment_end = now().time_since_epoch().count();
  std::lock_guard<std::mutex> lock(s.listener_mutex);
  if (s.listener) s.listener();
}

void CountReport(ReportAnswer answer) { state().reports[static_cast<int>(answer)]++; }

void CountRecoveredPayment(bool confirmed) {
  (confirmed ? state().recovered_confirmed : state().recovered_undone)++;
}

void CountPrint(bool printed) { (printed ? state().prints_done : state().prints_failed)++; }

Counters Read() {
  State& s = state();
  Counters c;
  for (int o = 0; o < kOperations; ++o)
    for (int r = 0; r < kOutcomes; ++r) c.operations[o][r] = s.operations[o][r];
  for (int a = 0; a < kReportAnswers; ++a) c.reports[a] = s.reports[a];
  c.recovered_confirmed = s.recovered_confirmed;
  c.recovered_undone = s.recovered_undone;
  c.prints_done = s.prints_done;
  c.prints_failed = s.prints_failed;
  c.last_payment_end = TimePoint(TimePoint::duration(s.last_payment_end.load()));
  return c;
}

void SetOnOperationEnded(std::function<void()> listener) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.listener_mutex);
  s.listener = std::move(listener);
}

}  // namespace norvane::metrics
