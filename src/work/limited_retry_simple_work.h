#ifndef HALV_WORK_LIMITED_RETRY_SIMPLE_WORK_H_
#define HALV_WORK_LIMITED_RETRY_SIMPLE_WORK_H_

#include <cstdint>

#include "work/simple_work.h"

namespace halv {

// A simple work whose task runs at most `retryLimit` + 1 times per queuing before it gives up with
// Retryable; every queuing starts a fresh budget.
// Ownership and threads as SimpleWork.
class LimitedRetrySimpleWork : public SimpleWork {
 public:
  explicit LimitedRetrySimpleWork(std::uint32_t retryLimit,
                                  WorkCompleteCallback* callback = nullptr);
  ~LimitedRetrySimpleWork() override;

  // True, counting one retry, while the budget lasts.
  bool ShouldRetry() override;
  // Clears the stop request and the retry count.
  void Reset() override;

  std::uint32_t GetRetryCount() const { return retryCount_; }

 private:
  const std::uint32_t retryLimit_;
  // Touched only by the thread running the work, and by Reset while the work is not running.
  std::uint32_t retryCount_ = 0;
};

}  // namespace halv

#endif  // HALV_WORK_LIMITED_RETRY_SIMPLE_WORK_H_
