#include "work/parallel_work.h"

#include <cstdint>

#include "work/workflow.h"

namespace halv {

ParallelWork::ParallelWork(WorkCompleteCallback* callback) : CompositeWork(callback) {
  ParallelWork::Reserve(2);
}

ParallelWork::~ParallelWork() = default;

void ParallelWork::Reserve(std::size_t n) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  children_.reserve(n);
  pending_.reserve(n);
}

void ParallelWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  CompositeWork::Reset();
  pending_.clear();
  pending_.insert(children_.begin(), children_.end());
  for (const std::shared_ptr<Work>& child : children_) {
    child->Reset();
  }
}

void ParallelWork::OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const std::shared_ptr<Work>& child : children_) {
    child->SetWorkflow(workflow);
  }
}

void ParallelWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (std::size_t i = 0; i < children_.size(); ++i) {
    StartChild(children_[i], workflow, static_cast<std::uint32_t>(i));
  }
}

bool ParallelWork::IsActiveChild(const std::shared_ptr<Work>& child) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return pending_.count(child) != 0;
}

CompositeProgress ParallelWork::Advance(const std::shared_ptr<Work>& child,
                                        const WorkStatus& status) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (status.result == WorkResult::Failure) {
    return CompositeProgress(WorkStatus(WorkResult::Error, status.data));
  }
  pending_.erase(child);
  if (pending_.empty()) {
    return CompositeProgress(WorkStatus(WorkResult::Success));
  }
  return CompositeProgress();
}

bool ParallelWork::AddChild(const std::shared_ptr<Work>& child) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!pending_.insert(child).second) {
      return false;
    }
    children_.push_back(child);
  }
  AdoptChild(child);
  return true;
}

}  // namespace halv
