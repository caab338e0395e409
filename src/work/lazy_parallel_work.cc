#include "work/lazy_parallel_work.h"

#include <stdexcept>
#include <vector>

#include "work/workflow.h"

namespace halv {

LazyParallelWork::LazyParallelWork(WorkCompleteCallback* callback, std::uint32_t capacity)
    : CompositeWork(callback), capacity_(capacity) {
  LazyParallelWork::Reserve(capacity);
}

LazyParallelWork::~LazyParallelWork() = default;

void LazyParallelWork::Reserve(std::uint32_t capacity) {
  if (capacity == 0) {
    throw std::invalid_argument("LazyParallelWork::Reserve called with zero capacity");
  }
  std::lock_guard<std::recursive_mutex> guard(lock_);
  active_.reserve(capacity);
}

void LazyParallelWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  CompositeWork::Reset();
  created_ = 0;
}

void LazyParallelWork::OnWorkflowSet(const std::shared_ptr<Workflow>& /*workflow*/) {}

void LazyParallelWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const std::uint32_t first = created_;
  std::vector<std::shared_ptr<Work>> batch;
  while (created_ < capacity_) {
    std::shared_ptr<Work> child = NextChild();
    if (!child) {
      break;
    }
    if (AddChild(child)) {
      batch.push_back(std::move(child));
    }
    ++created_;
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    StartChild(batch[i], workflow, first + static_cast<std::uint32_t>(i));
  }
}

bool LazyParallelWork::IsActiveChild(const std::shared_ptr<Work>& child) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return active_.count(child) != 0;
}

CompositeProgress LazyParallelWork::Advance(const std::shared_ptr<Work>& child,
                                            const WorkStatus& status) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (status.result == WorkResult::Failure) {
    return CompositeProgress(WorkStatus(WorkResult::Error, status.data));
  }
  active_.erase(child);
  if (std::shared_ptr<Work> next = NextChild()) {
    const std::uint32_t index = created_++;
    if (AddChild(next)) {
      if (const std::shared_ptr<Workflow> workflow = GetWorkflow()) {
        StartChild(next, workflow, index);
      }
    }
  }
  if (active_.empty()) {
    return CompositeProgress(WorkStatus(WorkResult::Success));
  }
  return CompositeProgress();
}

bool LazyParallelWork::StartExtraChild(const std::shared_ptr<Work>& child) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const std::shared_ptr<Workflow> workflow = GetWorkflow();
  if (!workflow || active_.empty() || IsComplete() || !AddChild(child)) return false;
  StartChild(child, workflow, created_++);
  workflow->DispatchReady();
  return true;
}

bool LazyParallelWork::AddChild(const std::shared_ptr<Work>& child) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!active_.insert(child).second) {
      return false;
    }
  }
  AdoptChild(child);
  return true;
}

}  // namespace halv
