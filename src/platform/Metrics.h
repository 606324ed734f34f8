#pragma once
// The counts a chain of stores watches (payments, reports, prints), kept for the whole process
// in one place that every room of the service can reach. Counting is a few atomic additions:
// safe from any thread, and cheap enough for the payment path. The service writes them out
// (service/MetricsFile.h); nothing here knows where.
#include <array>
#include <cstdint>
#include <functional>

#include "platform/Clock.h"

namespace norvane::metrics {

// What a TEF operation was, and how it ended.
enum class Operation { Sale, Cancellation, Reprint };
enum class Outcome {
  Approved,         // approved, and confirmed by the sales back-end's answer
  Declined,         // refused by the authoriser
  Canceled,         // stopped by the operator, the customer, a lost client or the library
  UndoneByBackEnd,  // approved, then undone: the back-end refused the report or did not answer
  Failed,           // ended by an error before any result (an error reply says why)
  Pending,          // approved and decided, not yet settled by the library: the settler finishes it
};
// How the sales back-end answered a payment's report.
enum class ReportAnswer { Accepted, Refused, NoAnswer };

inline constexpr int kOperations = 3;
inline constexpr int kOutcomes = 6;
inline constexpr int kReportAnswers = 3;

struct Counters {
  std::array<std::array<std::uint64_t, kOutcomes>, kOperations> operations{};
  std::array<std::uint64_t, kReportAnswers> reports{};
  std::uint64_t recovered_confirmed = 0;  // settled after a restart by the back-end's answer
  std::uint64_t recovered_undone = 0;
  std::uint64_t prints_done = 0;
  std::uint64_t prints_failed = 0;
  TimePoint last_payment_end{};  // when the last sale ended; the epoch while none has
};

void CountOperation(Operation operation, Outcome outcome);
void CountReport(ReportAnswer answer);
void CountRecoveredPayment(bool confirmed);
void CountPrint(bool printed);

Counters Read();

// Called (on the counting thread) each time an operation has ended, so that its numbers go
// out at once; an empty function stops the calls.
void SetOnOperationEnded(std::function<void()> listener);

}  // namespace norvane::metrics
