#ifndef HALV_WORK_LAZY_PARALLEL_WORK_H_
#define HALV_WORK_LAZY_PARALLEL_WORK_H_

#include <cstdint>
#include <memory>
#include <unordered_set>

#include "work/composite_work.h"

namespace halv {

// Runs children produced on demand by NextChild, at most `capacity` at once: each completion
// replaces one child by the next. Succeeds when no child is left active; ends with Error carrying
// the child's data as soon as one fails.
// Ownership and threads as CompositeWork; NextChild is called under `lock_`.
class LazyParallelWork : public CompositeWork {
 public:
  // Throws std::invalid_argument for a capacity of 0.
  LazyParallelWork(WorkCompleteCallback* callback, std::uint32_t capacity);
  ~LazyParallelWork() override;

  // Clears the count of created children; subclasses reset their own cursor.
  void Reset() override;
  // Children are created later and receive the workflow when they are adopted.
  void OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) override;
  // Starts children from NextChild until `capacity` have been created.
  void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;
  bool IsActiveChild(const std::shared_ptr<Work>& child) override;
  CompositeProgress Advance(const std::shared_ptr<Work>& child, const WorkStatus& status) override;
  // Room for `capacity` active children; throws std::invalid_argument for 0.
  virtual void Reserve(std::uint32_t capacity);
  // A new child on every call, or empty when none is left.
  virtual std::shared_ptr<Work> NextChild() = 0;

  // Makes `child` active unless it is already; returns whether it was added.
  bool AddChild(const std::shared_ptr<Work>& child);

 protected:
  // Starts `child` beside the children NextChild gave, beyond the capacity, while this work is
  // incomplete, has a workflow and some child is still active (so that its completion is still
  // awaited), and dispatches it; returns whether it started it. From any thread holding no engine
  // lock.
  bool StartExtraChild(const std::shared_ptr<Work>& child);

 private:
  // Guarded by lock_.
  std::unordered_set<std::shared_ptr<Work>> active_;
  std::uint32_t capacity_;
  std::uint32_t created_ = 0;
};

}  // namespace halv

#endif  // HALV_WORK_LAZY_PARALLEL_WORK_H_
