#include "work/standard_workflow.h"

#include <algorithm>
#include <utility>

#include "work/simple_work.h"
#include "work/work_manager.h"

namespace halv {

namespace {

// Heap order: the front is the work whose path is lexicographically smallest, a proper prefix
// before its extensions.
bool LaterInTree(const std::shared_ptr<SimpleWork>& a, const std::shared_ptr<SimpleWork>& b) {
  return b->GetPath() < a->GetPath();
}

}  // namespace

std::shared_ptr<StandardWorkflow> StandardWorkflow::Create(const std::shared_ptr<Work>& root,
                                                           WorkManager* manager,
                                                           std::int32_t concurrency) {
  std::shared_ptr<StandardWorkflow> workflow(new StandardWorkflow(root, manager, concurrency));
  root->SetWorkflow(workflow);
  return workflow;
}

StandardWorkflow::StandardWorkflow(std::shared_ptr<Work> root, WorkManager* manager,
                                   std::int32_t concurrency)
    : root_(std::move(root)), manager_(manager), concurrency_(concurrency) {}

StandardWorkflow::~StandardWorkflow() = default;

bool StandardWorkflow::Start() {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (state_ != WorkflowState::NotStarted || starting_) {
      return false;
    }
    starting_ = true;
  }
  // The root's composites take their own locks while they queue; holding ours here would invert
  // the composite-then-workflow order. Nothing runs before the state becomes Running, so the
  // queueing cannot race with completions.
  root_->QueueAvailableWork(shared_from_this());
  std::lock_guard<std::recursive_mutex> guard(lock_);
  starting_ = false;
  if (state_ == WorkflowState::NotStarted) {
    state_ = WorkflowState::Running;
    Dispatch();
  }
  return true;
}

bool StandardWorkflow::Pause() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ == WorkflowState::Running) {
    state_ = WorkflowState::Paused;
  } else if (state_ == WorkflowState::RetryPending) {
    state_ = WorkflowState::PausedRetryPending;
  } else {
    return false;
  }
  StopRunning();
  return true;
}

bool StandardWorkflow::Resume() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ == WorkflowState::Paused) {
    state_ = WorkflowState::Running;
  } else if (state_ == WorkflowState::PausedRetryPending) {
    state_ = WorkflowState::RetryPending;
  } else {
    return false;
  }
  Dispatch();
  return true;
}

bool StandardWorkflow::Retry() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ == WorkflowState::RetryPending) {
    state_ = WorkflowState::Running;
  } else if (state_ == WorkflowState::PausedRetryPending) {
    state_ = WorkflowState::Paused;
  } else {
    return false;
  }
  Dispatch();
  return true;
}

WorkflowState StandardWorkflow::GetState() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return state_;
}

bool StandardWorkflow::IsStarted() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return state_ != WorkflowState::NotStarted;
}

bool StandardWorkflow::IsPaused() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return state_ == WorkflowState::Paused || state_ == WorkflowState::PausedRetryPending;
}

bool StandardWorkflow::IsRetryPending() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return IsRetryPendingLocked();
}

bool StandardWorkflow::IsFinished() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return IsFinishedLocked();
}

bool StandardWorkflow::IsFinishedLocked() const {
  return state_ == WorkflowState::Finished || state_ == WorkflowState::Aborted;
}

bool StandardWorkflow::IsRetryPendingLocked() const {
  return state_ == WorkflowState::RetryPending || state_ == WorkflowState::PausedRetryPending;
}

bool StandardWorkflow::Abort(const WorkStatus& status) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (state_ == WorkflowState::Aborted) {
      return false;
    }
    Pause();
    state_ = WorkflowState::Aborted;
    ready_.clear();
  }
  root_->NotifyComplete(status);
  return true;
}

void StandardWorkflow::AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  retryableErrorCallbacks_.push_back(callback);
}

void StandardWorkflow::Enqueue(const std::shared_ptr<SimpleWork>& work) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (IsFinishedLocked()) {
    return;
  }
  work->Reset();
  ready_.push_back(work);
  std::push_heap(ready_.begin(), ready_.end(), LaterInTree);
}

void StandardWorkflow::DispatchReady() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  Dispatch();
}

void StandardWorkflow::OnWorkExecuted(const std::shared_ptr<SimpleWork>& work,
                                      const WorkStatus& status) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  running_.erase(work);
  if (!IsFinishedLocked() &&
      (status.result == WorkResult::Stopped || status.result == WorkResult::Retryable)) {
    Enqueue(work);
  }
  Dispatch();
}

void StandardWorkflow::OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) {
  std::unique_lock<std::recursive_mutex> guard(lock_);
  if (state_ == WorkflowState::NotStarted || IsFinishedLocked()) {
    return;
  }
  if (status.result == WorkResult::Error ||
      (work == root_ &&
       (status.result == WorkResult::Success || status.result == WorkResult::Failure))) {
    StopRunning();
    state_ = WorkflowState::Finished;
    ready_.clear();
    return;
  }
  if (status.result == WorkResult::Retryable && !status.retry && !IsRetryPendingLocked()) {
    StopRunning();
    state_ = state_ == WorkflowState::Running ? WorkflowState::RetryPending
                                              : WorkflowState::PausedRetryPending;
    const std::vector<WorkflowRetryableErrorCallback*> callbacks = retryableErrorCallbacks_;
    guard.unlock();
    const std::shared_ptr<Workflow> self = shared_from_this();
    for (WorkflowRetryableErrorCallback* callback : callbacks) {
      callback->OnWorkflowRetryableError(self, work, status);
    }
  }
}

void StandardWorkflow::Dispatch() {
  while (state_ == WorkflowState::Running &&
         static_cast<std::int64_t>(running_.size()) < concurrency_ && !ready_.empty()) {
    std::pop_heap(ready_.begin(), ready_.end(), LaterInTree);
    std::shared_ptr<SimpleWork> work = std::move(ready_.back());
    ready_.pop_back();
    running_.insert(work);
    manager_->Execute(shared_from_this(), work);
  }
}

void StandardWorkflow::StopRunning() {
  for (const std::shared_ptr<SimpleWork>& work : running_) {
    work->RequestStop();
    work->Interrupt();
  }
}

}  // namespace halv
