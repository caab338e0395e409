#ifndef HALV_TESTS_SUPPORT_MANUAL_CLOCK_H_
#define HALV_TESTS_SUPPORT_MANUAL_CLOCK_H_

#include <atomic>
#include <stdexcept>

#include "work/clock.h"

namespace halv::test {

// A clock that stands still until the test advances it, so that rates, time-outs and periodic
// work are checked without sleeping. Starts at the clock's epoch.
// Thread-safety: Now and Advance from any thread.
class ManualClock final : public Clock {
 public:
  TimePoint Now() const override { return TimePoint(Duration(now_.load())); }

  // Moves the clock forward by `step`; a negative step would break monotonicity and throws
  // std::invalid_argument.
  void Advance(Duration step) {
    if (step < Duration::zero()) throw std::invalid_argument("ManualClock cannot go back");
    now_.fetch_add(step.count());
  }

 private:
  std::atomic<Duration::rep> now_{0};
};

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_MANUAL_CLOCK_H_
