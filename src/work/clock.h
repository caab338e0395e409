#ifndef HALV_WORK_CLOCK_H_
#define HALV_WORK_CLOCK_H_

#include <chrono>

namespace halv {

// The one source of monotonic time for everything that measures rates, waits or fires
// periodically. Code takes a Clock instead of calling std::chrono directly, so that tests drive
// time by hand and never sleep.
// Thread-safety: Now may be called from any thread at any time. Ownership: not owned by its
// users; whoever hands a clock to an object keeps it alive for that object's whole life.
class Clock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;

  // Never earlier than a previous result of the same clock; says nothing about the wall clock.
  virtual TimePoint Now() const = 0;
};

// The product's clock: std::chrono::steady_clock.
class SteadyClock final : public Clock {
 public:
  TimePoint Now() const override;

  // The process-wide instance, alive until the process exits; the default of every class that
  // takes a clock.
  static const Clock& Instance();
};

}  // namespace halv

#endif  // HALV_WORK_CLOCK_H_
