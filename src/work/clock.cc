#include "work/clock.h"

namespace halv {

Clock::TimePoint SteadyClock::Now() const { return std::chrono::steady_clock::now(); }

const Clock& SteadyClock::Instance() {
  // Never destroyed, so objects that outlive static destruction may still read it.
  static const SteadyClock* const instance = new SteadyClock;
  return *instance;
}

}  // namespace halv
