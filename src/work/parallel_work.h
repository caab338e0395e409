#ifndef HALV_WORK_PARALLEL_WORK_H_
#define HALV_WORK_PARALLEL_WORK_H_

#include <cstddef>
#include <memory>
#include <unordered_set>
#include <vector>

#include "work/composite_work.h"

namespace halv {

// Starts all its children at once; succeeds when every child has succeeded, and ends with Error
// carrying the child's data as soon as one fails.
// Ownership and threads as CompositeWork; children are added before the work starts.
class ParallelWork : public CompositeWork {
 public:
  explicit ParallelWork(WorkCompleteCallback* callback = nullptr);
  ~ParallelWork() override;

  void Reset() override;
  void OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) override;
  // Starts child i with path index i, for every child in order.
  void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;
  bool IsActiveChild(const std::shared_ptr<Work>& child) override;
  CompositeProgress Advance(const std::shared_ptr<Work>& child, const WorkStatus& status) override;
  // Room for `n` children.
  virtual void Reserve(std::size_t n);

  // Adds `child` unless it is held already; returns whether it was added.
  bool AddChild(const std::shared_ptr<Work>& child);

 private:
  // Guarded by lock_.
  std::vector<std::shared_ptr<Work>> children_;
  // The children that have not completed in this run.
  std::unordered_set<std::shared_ptr<Work>> pending_;
};

}  // namespace halv

#endif  // HALV_WORK_PARALLEL_WORK_H_
