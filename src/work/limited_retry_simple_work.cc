#include "work/limited_retry_simple_work.h"

namespace halv {

LimitedRetrySimpleWork::LimitedRetrySimpleWork(std::uint32_t retryLimit,
                                               WorkCompleteCallback* callback)
    : SimpleWork(callback), retryLimit_(retryLimit) {}

LimitedRetrySimpleWork::~LimitedRetrySimpleWork() = default;

bool LimitedRetrySimpleWork::ShouldRetry() {
  if (retryCount_ >= retryLimit_) {
    return false;
  }
  ++retryCount_;
  return true;
}

void LimitedRetrySimpleWork::Reset() {
  SimpleWork::Reset();
  retryCount_ = 0;
}

}  // namespace halv
