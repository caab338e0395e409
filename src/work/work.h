#ifndef HALV_WORK_WORK_H_
#define HALV_WORK_WORK_H_

#include <cstdint>
#include <memory>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "work/work_descriptor.h"
#include "work/work_status.h"

namespace halv {

class CompositeWork;
class Work;
class Workflow;

// The position of a work in its tree: the child indices from the root down (empty for a root).
using WorkPath = std::vector<std::uint32_t>;

// Told when a work completes one run with a final or holding status.
// Thread-safety: called on whichever thread finished the work; implementations lock what they
// share.
class WorkCompleteCallback {
 public:
  virtual ~WorkCompleteCallback() = default;
  virtual void OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) = 0;
};

// A unit that runs once, reports one WorkStatus, and may be run again. Leaves are SimpleWork,
// inner nodes CompositeWork; a tree runs under a Workflow.
// Ownership: always held by shared pointers; parents own their children; a work refers to its
// parent and its workflow weakly; the complete callbacks are not owned and must outlive the work.
// Thread-safety: the tree is built and its callbacks registered on one thread before it starts;
// afterwards completions arrive on work-manager threads and the workflow and composites serialize
// them.
class Work : public WorkDescriptor {
 public:
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;
  ~Work() override;

  // Writes nothing; concrete works write "name" and what a reader of the log needs.
  void Describe(boost::property_tree::ptree& tree) const override;
  // Whether its completion matters to a reader of the log at the default level. Asked before the
  // work is described, so that a completion no line will show costs no description.
  virtual bool IsImportant() const;
  // Asked after a Retryable result whether to try again. Counting implementations increment their
  // counter when they answer true.
  virtual bool ShouldRetry();
  // Returns the work to its not-yet-run state; called every time it is queued.
  virtual void Reset() = 0;
  // Describe, "important" = true when IsImportant, and the status as a child "workStatus".
  virtual void DescribeStatus(const WorkStatus& status, boost::property_tree::ptree& tree) const;
  virtual std::shared_ptr<Work> SharedFromThis() = 0;
  virtual std::shared_ptr<const Work> SharedFromThis() const = 0;
  virtual void SetParent(const std::shared_ptr<CompositeWork>& parent);
  // Remembers the workflow weakly, then hands it to OnWorkflowSet.
  virtual void SetWorkflow(const std::shared_ptr<Workflow>& workflow);
  virtual void OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) = 0;
  // Makes this work, or those of its children that may run now, ready in `workflow`.
  virtual void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) = 0;

  // Only before the work starts.
  void AddCompleteCallback(WorkCompleteCallback* callback);

  // The single completion path of every work, called once per run by whoever finished it: the
  // workflow hears first, then the complete callbacks in order, then the parent (when it is still
  // alive). Call it with no lock of this work held.
  void NotifyComplete(const WorkStatus& status);

  const WorkPath& GetPath() const { return path_; }
  // Set by the parent when it starts this work, before the work is queued.
  void SetPath(WorkPath path) { path_ = std::move(path); }

 protected:
  Work();
  // A null callback adds nothing.
  explicit Work(WorkCompleteCallback* callback);

  std::shared_ptr<Workflow> GetWorkflow() const { return workflow_.lock(); }
  std::shared_ptr<CompositeWork> GetParent() const { return parent_.lock(); }

 private:
  std::weak_ptr<Workflow> workflow_;
  std::vector<WorkCompleteCallback*> completeCallbacks_;
  std::weak_ptr<CompositeWork> parent_;
  WorkPath path_;
};

}  // namespace halv

#endif  // HALV_WORK_WORK_H_
