#ifndef HALV_WORK_LIMITED_RETRY_SEQUENTIAL_WORK_H_
#define HALV_WORK_LIMITED_RETRY_SEQUENTIAL_WORK_H_

#include <cstdint>
#include <memory>

#include "work/sequential_work.h"

namespace halv {

// A sequence that starts again from its first child when a child fails, at most `retryLimit`
// times; then it reports Retryable (retry false, the child's data) and holds its workflow until
// Retry. Its budget stays used up until the sequence itself is reset by its parent, so every later
// failure reports at once.
// Ownership and threads as CompositeWork.
class LimitedRetrySequentialWork : public SequentialWork {
 public:
  LimitedRetrySequentialWork(WorkCompleteCallback* callback, std::uint32_t retryLimit);
  ~LimitedRetrySequentialWork() override;

  // True, counting one retry, while the budget lasts.
  bool ShouldRetry() override;
  // Clears the retry count, then resets the sequence.
  void Reset() override;
  // A child's Failure becomes a Retryable progress that is not complete.
  CompositeProgress Advance(const std::shared_ptr<Work>& child, const WorkStatus& status) override;
  // Resets the sequence but keeps the retry count, then queues it again.
  void Restart() override;

  std::uint32_t GetRetryCount() const;

 private:
  const std::uint32_t retryLimit_;
  // Guarded by lock_.
  std::uint32_t retryCount_ = 0;
};

}  // namespace halv

#endif  // HALV_WORK_LIMITED_RETRY_SEQUENTIAL_WORK_H_
