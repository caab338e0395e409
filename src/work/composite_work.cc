#include "work/composite_work.h"

#include <utility>

#include "work/workflow.h"

namespace halv {

CompositeWork::CompositeWork() = default;

CompositeWork::CompositeWork(WorkCompleteCallback* callback) : Work(callback) {}

CompositeWork::~CompositeWork() = default;

void CompositeWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  progress_ = CompositeProgress();
}

std::shared_ptr<Work> CompositeWork::SharedFromThis() { return shared_from_this(); }

std::shared_ptr<const Work> CompositeWork::SharedFromThis() const { return shared_from_this(); }

void CompositeWork::AdoptChild(const std::shared_ptr<Work>& child) {
  child->SetParent(shared_from_this());
  if (const std::shared_ptr<Workflow> workflow = GetWorkflow()) {
    child->SetWorkflow(workflow);
  }
}

void CompositeWork::Restart() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  Reset();
  if (const std::shared_ptr<Workflow> workflow = GetWorkflow()) {
    QueueAvailableWork(workflow);
  }
}

void CompositeWork::StartChild(const std::shared_ptr<Work>& child,
                               const std::shared_ptr<Workflow>& workflow, std::uint32_t index) {
  WorkPath childPath;
  childPath.reserve(GetPath().size() + 1);
  childPath = GetPath();
  childPath.push_back(index);
  child->SetPath(std::move(childPath));
  child->QueueAvailableWork(workflow);
}

bool CompositeWork::IsComplete() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return progress_.complete;
}

void CompositeWork::OnWorkComplete(const std::shared_ptr<Work>& child,
                                   const WorkStatus& childStatus) {
  std::unique_lock<std::recursive_mutex> guard(lock_);
  if (progress_.complete) {
    return;
  }
  if (!IsActiveChild(child)) {
    progress_ = CompositeProgress(WorkStatus(
        WorkResult::Error, std::make_shared<WorkErrorData>(
                               "Invalid child progress for CompositeWork::OnWorkComplete")));
  } else {
    switch (childStatus.result) {
      case WorkResult::Stopped:
      case WorkResult::Retryable:
        break;
      case WorkResult::Error:
        progress_ = CompositeProgress(childStatus);
        break;
      case WorkResult::Success:
      case WorkResult::Failure:
        progress_ = Advance(child, childStatus);
        break;
    }
  }
  if (progress_.complete) {
    if (progress_.status.result != WorkResult::Error) {
      progress_.status.data.reset();
    }
    const WorkStatus status = progress_.status;
    guard.unlock();
    NotifyComplete(status);
    return;
  }
  if (progress_.status.result == WorkResult::Retryable) {
    progress_.status.retry = ShouldRetry();
    if (!progress_.status.retry) {
      const WorkStatus status = progress_.status;
      guard.unlock();
      NotifyComplete(status);
      guard.lock();
    }
    Restart();
  }
}

}  // namespace halv
