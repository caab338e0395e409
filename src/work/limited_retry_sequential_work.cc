#include "work/limited_retry_sequential_work.h"

#include "work/workflow.h"

namespace halv {

LimitedRetrySequentialWork::LimitedRetrySequentialWork(WorkCompleteCallback* callback,
                                                       std::uint32_t retryLimit)
    : SequentialWork(callback, 2), retryLimit_(retryLimit) {}

LimitedRetrySequentialWork::~LimitedRetrySequentialWork() = default;

bool LimitedRetrySequentialWork::ShouldRetry() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (retryCount_ >= retryLimit_) {
    return false;
  }
  ++retryCount_;
  return true;
}

void LimitedRetrySequentialWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  retryCount_ = 0;
  SequentialWork::Reset();
}

CompositeProgress LimitedRetrySequentialWork::Advance(const std::shared_ptr<Work>& child,
                                                      const WorkStatus& status) {
  if (status.result == WorkResult::Failure) {
    CompositeProgress progress;
    progress.status = WorkStatus(WorkResult::Retryable, status.data);
    return progress;
  }
  return SequentialWork::Advance(child, status);
}

void LimitedRetrySequentialWork::Restart() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SequentialWork::Reset();
  if (const std::shared_ptr<Workflow> workflow = GetWorkflow()) {
    QueueAvailableWork(workflow);
  }
}

std::uint32_t LimitedRetrySequentialWork::GetRetryCount() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return retryCount_;
}

}  // namespace halv
