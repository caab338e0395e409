#include "work/work.h"

#include "work/composite_work.h"
#include "work/workflow.h"

namespace halv {

Work::Work() = default;

Work::Work(WorkCompleteCallback* callback) {
  if (callback != nullptr) {
    completeCallbacks_.push_back(callback);
  }
}

Work::~Work() = default;

void Work::Describe(boost::property_tree::ptree& /*tree*/) const {}

bool Work::ShouldRetry() { return false; }

bool Work::IsImportant() const { return false; }

void Work::DescribeStatus(const WorkStatus& status, boost::property_tree::ptree& tree) const {
  Describe(tree);
  if (IsImportant()) tree.put("important", true);
  boost::property_tree::ptree statusTree;
  status.Describe(statusTree);
  tree.put_child("workStatus", statusTree);
}

void Work::SetParent(const std::shared_ptr<CompositeWork>& parent) { parent_ = parent; }

void Work::SetWorkflow(const std::shared_ptr<Workflow>& workflow) {
  workflow_ = workflow;
  OnWorkflowSet(workflow);
}

void Work::AddCompleteCallback(WorkCompleteCallback* callback) {
  if (callback != nullptr) {
    completeCallbacks_.push_back(callback);
  }
}

void Work::NotifyComplete(const WorkStatus& status) {
  const std::shared_ptr<Work> self = SharedFromThis();
  if (const std::shared_ptr<Workflow> workflow = workflow_.lock()) {
    workflow->OnWorkComplete(self, status);
  }
  for (WorkCompleteCallback* callback : completeCallbacks_) {
    callback->OnWorkComplete(self, status);
  }
  if (const std::shared_ptr<CompositeWork> parent = parent_.lock()) {
    static_cast<WorkCompleteCallback&>(*parent).OnWorkComplete(self, status);
  }
}

}  // namespace halv
