#ifndef HALV_WORK_SEQUENTIAL_WORK_H_
#define HALV_WORK_SEQUENTIAL_WORK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "work/composite_work.h"

namespace halv {

// Runs its children one after another; completes with the first Failure or after the last child,
// with that child's result and no data.
// Every child is started with path index 0: only one of them is ever ready at a time.
// Ownership and threads as CompositeWork; children are added before the work starts.
class SequentialWork : public CompositeWork {
 public:
  SequentialWork();
  SequentialWork(WorkCompleteCallback* callback, std::size_t reserve);
  ~SequentialWork() override;

  void Reset() override;
  void OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) override;
  // Starts the first child; with no children nothing is queued and the work never completes.
  void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;
  bool IsActiveChild(const std::shared_ptr<Work>& child) override;
  CompositeProgress Advance(const std::shared_ptr<Work>& child, const WorkStatus& status) override;

  // Appends `child`; a child added twice runs twice.
  void AddChild(const std::shared_ptr<Work>& child);

 private:
  // Guarded by lock_.
  std::vector<std::shared_ptr<Work>> children_;
  std::uint32_t current_ = 0;
};

}  // namespace halv

#endif  // HALV_WORK_SEQUENTIAL_WORK_H_
