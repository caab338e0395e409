#include "app/retry_budget.h"

#include <algorithm>

namespace halv {

RetryBudget::RetryBudget(Clock::Duration limit, const Clock& clock)
    : limit_(limit), clock_(clock) {}

std::optional<Clock::Duration> RetryBudget::NextWait() {
  const Clock::TimePoint now = clock_.Now();
  if (!firstFailure_) firstFailure_ = now;
  const Clock::Duration left = *firstFailure_ + limit_ - now;
  if (left <= Clock::Duration::zero()) return std::nullopt;
  const Clock::Duration wait = std::min(nextWait_, left);
  nextWait_ = std::min<Clock::Duration>(nextWait_ * 2, kLongestWait);
  return wait;
}

void RetryBudget::Reset() {
  firstFailure_.reset();
  nextWait_ = kFirstWait;
}

}  // namespace halv
