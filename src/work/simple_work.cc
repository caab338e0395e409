#include "work/simple_work.h"

#include <exception>

#include "work/workflow.h"

namespace halv {

SimpleWork::SimpleWork() = default;

SimpleWork::SimpleWork(WorkCompleteCallback* callback) : Work(callback) {}

SimpleWork::~SimpleWork() = default;

void SimpleWork::Reset() { stopRequested_.store(false, std::memory_order_release); }

std::shared_ptr<Work> SimpleWork::SharedFromThis() { return shared_from_this(); }

std::shared_ptr<const Work> SimpleWork::SharedFromThis() const { return shared_from_this(); }

void SimpleWork::OnWorkflowSet(const std::shared_ptr<Workflow>& /*workflow*/) {}

void SimpleWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
  workflow->Enqueue(shared_from_this());
}

WorkStatus SimpleWork::Execute() {
  try {
    while (!IsStopRequested()) {
      WorkStatus status = ExecuteTask();
      status.retry = status.result == WorkResult::Retryable && ShouldRetry();
      if (!status.retry) {
        return status;
      }
      if (!retryCallbacks_.empty()) {
        const std::shared_ptr<SimpleWork> self = shared_from_this();
        for (SimpleWorkRetryCallback* callback : retryCallbacks_) {
          callback->OnWorkRetry(self, status);
        }
      }
    }
    return WorkStatus(WorkResult::Stopped);
  } catch (...) {
    return WorkStatus(WorkResult::Error,
                      std::make_shared<WorkExceptionData>(std::current_exception()));
  }
}

void SimpleWork::AddRetryCallback(SimpleWorkRetryCallback* callback) {
  if (callback != nullptr) {
    retryCallbacks_.push_back(callback);
  }
}

}  // namespace halv
