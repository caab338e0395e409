#include "work/sequential_work.h"

#include "work/workflow.h"

namespace halv {

SequentialWork::SequentialWork() : SequentialWork(nullptr, 2) {}

SequentialWork::SequentialWork(WorkCompleteCallback* callback, std::size_t reserve)
    : CompositeWork(callback) {
  children_.reserve(reserve);
}

SequentialWork::~SequentialWork() = default;

void SequentialWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  CompositeWork::Reset();
  current_ = 0;
  for (const std::shared_ptr<Work>& child : children_) {
    child->Reset();
  }
}

void SequentialWork::OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const std::shared_ptr<Work>& child : children_) {
    child->SetWorkflow(workflow);
  }
}

void SequentialWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!children_.empty()) {
    StartChild(children_.front(), workflow, 0);
  }
}

bool SequentialWork::IsActiveChild(const std::shared_ptr<Work>& child) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return !IsComplete() && !children_.empty() && children_[current_] == child;
}

CompositeProgress SequentialWork::Advance(const std::shared_ptr<Work>& /*child*/,
                                          const WorkStatus& status) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (status.result == WorkResult::Failure || current_ + 1 >= children_.size()) {
    return CompositeProgress(status);
  }
  ++current_;
  if (const std::shared_ptr<Workflow> workflow = GetWorkflow()) {
    StartChild(children_[current_], workflow, 0);
  }
  return CompositeProgress();
}

void SequentialWork::AddChild(const std::shared_ptr<Work>& child) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    children_.push_back(child);
  }
  AdoptChild(child);
}

}  // namespace halv
