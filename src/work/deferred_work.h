#ifndef HALV_WORK_DEFERRED_WORK_H_
#define HALV_WORK_DEFERRED_WORK_H_

#include <memory>
#include <mutex>

#include <boost/property_tree/ptree.hpp>

#include "work/composite_work.h"

namespace halv {

// Holds a single child that may be supplied after the tree has started, from another work's
// thread; reports the child's status. Started without a child, it runs a NoOpWork.
// Ownership and threads as CompositeWork; SetWork and GetWork from any thread.
class DeferredWork : public CompositeWork {
 public:
  static std::shared_ptr<DeferredWork> Create(WorkCompleteCallback* callback = nullptr);

  explicit DeferredWork(WorkCompleteCallback* callback = nullptr);
  ~DeferredWork() override;

  // "name" = "DeferredWork".
  void Describe(boost::property_tree::ptree& tree) const override;
  void Reset() override;
  void OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) override;
  void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;
  bool IsActiveChild(const std::shared_ptr<Work>& child) override;
  CompositeProgress Advance(const std::shared_ptr<Work>& child, const WorkStatus& status) override;

  // Stores `child` (a NoOpWork when empty) if no child is set yet and returns true; otherwise
  // changes nothing and returns false.
  bool SetWork(const std::shared_ptr<Work>& child);
  std::shared_ptr<Work> GetWork() const;

 private:
  mutable std::mutex childMutex_;
  // Guarded by childMutex_.
  std::shared_ptr<Work> child_;
};

}  // namespace halv

#endif  // HALV_WORK_DEFERRED_WORK_H_
