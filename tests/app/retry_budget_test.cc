#include "app/retry_budget.h"

#include <chrono>
#include <optional>

#include <gtest/gtest.h>

#include "manual_clock.h"

namespace halv {
namespace {

using std::chrono::seconds;

// Each row: the seconds that pass before a failure (the wait just given, or a while of progress
// when `progress`), and the wait that failure gets (-1: none, the budget is spent).
TEST(RetryBudgetTest, WaitsGrowToTheLongestAndStopAtTheLimitAndProgressRenewsThem) {
  test::ManualClock clock;
  RetryBudget budget(seconds(60), clock);
  struct Step {
    int passes;
    bool progress;
    int wait;
  } const steps[] = {
      {0, false, 1},   {1, false, 2},  {2, false, 4},
      {4, false, 8},   {8, false, 16}, {16, false, 16},  // 31 s gone
      {16, false, 13},  // 47 s gone: the last wait ends at the limit
      {13, false, -1},  // 60 s gone: spent
      {5, true, 1},     // progress in between: a new run of failures
      {1, false, 2},
  };
  for (const Step& step : steps) {
    clock.Advance(seconds(step.passes));
    if (step.progress) budget.Reset();
    const std::optional<Clock::Duration> wait = budget.NextWait();
    if (step.wait < 0) {
      EXPECT_FALSE(wait);
    } else {
      ASSERT_TRUE(wait);
      EXPECT_EQ(*wait, seconds(step.wait));
    }
  }
}

TEST(RetryBudgetTest, AZeroLimitNeverRetries) {
  test::ManualClock clock;
  RetryBudget budget(seconds(0), clock);
  EXPECT_FALSE(budget.NextWait());
}

}  // namespace
}  // namespace halv
