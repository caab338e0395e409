#ifndef HALV_APP_RETRY_BUDGET_H_
#define HALV_APP_RETRY_BUDGET_H_

#include <chrono>
#include <optional>

#include "work/clock.h"

namespace halv {

// How long a front end keeps retrying a transfer that failed for a transient cause (the network):
// waits of 1, 2, 4, 8, then 16 seconds between tries, for at most `limit` from the first failure
// of an unbroken run of failures; progress in between starts a new run. A limit of zero never
// retries. The times are the clock's, so tests drive them by hand.
// Ownership: a local of the front end. Thread-safety: none; one thread (the monitor's) uses it.
class RetryBudget {
 public:
  static constexpr std::chrono::seconds kFirstWait{1};
  static constexpr std::chrono::seconds kLongestWait{16};

  RetryBudget(Clock::Duration limit, const Clock& clock);

  // After a transient failure: how long to wait before the next try, or none when the budget
  // is spent. The wait never reaches past the end of the budget.
  std::optional<Clock::Duration> NextWait();
  // The transfer made progress: the next failure starts a new run with a full budget.
  void Reset();

 private:
  const Clock::Duration limit_;
  const Clock& clock_;
  std::optional<Clock::TimePoint> firstFailure_;
  Clock::Duration nextWait_ = kFirstWait;
};

}  // namespace halv

#endif  // HALV_APP_RETRY_BUDGET_H_
