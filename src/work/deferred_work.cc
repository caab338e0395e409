#include "work/deferred_work.h"

#include "work/no_op_work.h"
#include "work/workflow.h"

namespace halv {

std::shared_ptr<DeferredWork> DeferredWork::Create(WorkCompleteCallback* callback) {
  return std::make_shared<DeferredWork>(callback);
}

DeferredWork::DeferredWork(WorkCompleteCallback* callback) : CompositeWork(callback) {}

DeferredWork::~DeferredWork() = default;

void DeferredWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "DeferredWork");
}

void DeferredWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  CompositeWork::Reset();
  if (const std::shared_ptr<Work> child = GetWork()) {
    child->Reset();
  }
}

void DeferredWork::OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) {
  if (const std::shared_ptr<Work> child = GetWork()) {
    child->SetWorkflow(workflow);
  }
}

void DeferredWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SetWork(nullptr);
  StartChild(GetWork(), workflow, 0);
}

bool DeferredWork::IsActiveChild(const std::shared_ptr<Work>& child) {
  return child != nullptr && child == GetWork();
}

CompositeProgress DeferredWork::Advance(const std::shared_ptr<Work>& /*child*/,
                                        const WorkStatus& status) {
  return CompositeProgress(status);
}

bool DeferredWork::SetWork(const std::shared_ptr<Work>& child) {
  std::lock_guard<std::mutex> guard(childMutex_);
  if (child_) {
    return false;
  }
  child_ = child ? child : std::make_shared<NoOpWork>();
  // Adopted before the mutex is released, so that a concurrent start never queues a child that
  // does not know its parent and workflow yet.
  AdoptChild(child_);
  return true;
}

std::shared_ptr<Work> DeferredWork::GetWork() const {
  std::lock_guard<std::mutex> guard(childMutex_);
  return child_;
}

}  // namespace halv
