#include "work/conditional_work.h"

#include <stdexcept>

#include "work/workflow.h"

namespace halv {

ConditionalWork::ConditionalWork(WorkCompleteCallback* callback) : CompositeWork(callback) {}

ConditionalWork::~ConditionalWork() = default;

void ConditionalWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  CompositeWork::Reset();
  current_ = condition_;
  for (const std::shared_ptr<Work>* child : {&condition_, &onSuccess_, &onFailure_}) {
    if (*child) {
      (*child)->Reset();
    }
  }
}

void ConditionalWork::OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const std::shared_ptr<Work>* child : {&condition_, &onFailure_, &onSuccess_}) {
    if (*child) {
      (*child)->SetWorkflow(workflow);
    }
  }
}

void ConditionalWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!condition_ || !onSuccess_ || !onFailure_) {
    throw std::logic_error("ConditionalWork::QueueAvailableWork called with incomplete children");
  }
  StartChild(condition_, workflow, 0);
}

bool ConditionalWork::IsActiveChild(const std::shared_ptr<Work>& child) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return !IsComplete() && child == current_;
}

CompositeProgress ConditionalWork::Advance(const std::shared_ptr<Work>& child,
                                           const WorkStatus& status) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (child == condition_) {
    current_ = status.result == WorkResult::Success ? onSuccess_ : onFailure_;
    if (const std::shared_ptr<Workflow> workflow = GetWorkflow()) {
      StartChild(current_, workflow, 0);
    }
    return CompositeProgress();
  }
  return CompositeProgress(status);
}

void ConditionalWork::SetCondition(const std::shared_ptr<Work>& child) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (condition_) {
      return;
    }
    condition_ = child;
    current_ = child;
  }
  AdoptChild(child);
}

void ConditionalWork::SetOnSuccess(const std::shared_ptr<Work>& child) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (onSuccess_) {
      return;
    }
    onSuccess_ = child;
  }
  AdoptChild(child);
}

void ConditionalWork::SetOnFailure(const std::shared_ptr<Work>& child) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (onFailure_) {
      return;
    }
    onFailure_ = child;
  }
  AdoptChild(child);
}

}  // namespace halv
