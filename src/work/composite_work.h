#ifndef HALV_WORK_COMPOSITE_WORK_H_
#define HALV_WORK_COMPOSITE_WORK_H_

#include <cstdint>
#include <memory>
#include <mutex>

#include "work/work.h"
#include "work/work_status.h"

namespace halv {

// How far a composite has come in its current run.
struct CompositeProgress {
  // Not complete, status (Error, no data).
  CompositeProgress() : status(WorkResult::Error) {}
  // Complete unless the status is Stopped or Retryable.
  explicit CompositeProgress(const WorkStatus& fromStatus)
      : complete(fromStatus.result != WorkResult::Stopped &&
                 fromStatus.result != WorkResult::Retryable),
        status(fromStatus) {}

  bool complete = false;
  WorkStatus status;
};

// An inner node of a work tree: holds children, queues those that may run in the workflow (it never
// runs anything itself), hears their completions and derives one status from theirs.
// Ownership: held by shared pointers; owns its children, which refer to it weakly.
// Thread-safety: children complete on work-manager threads; each composite serializes them with its
// recursive `lock_`, under which it may enter the workflow (lock order: composite, then workflow).
// NotifyComplete is always called with `lock_` released.
class CompositeWork : public Work,
                      public WorkCompleteCallback,
                      public std::enable_shared_from_this<CompositeWork> {
 public:
  ~CompositeWork() override;

  // Progress back to initial; subclasses reset their own state and every child they hold.
  void Reset() override;
  std::shared_ptr<Work> SharedFromThis() override;
  std::shared_ptr<const Work> SharedFromThis() const override;
  // Makes this composite the child's parent and hands it the workflow when there is one. Needs this
  // composite to be held by a shared pointer already: never call it from a constructor.
  virtual void AdoptChild(const std::shared_ptr<Work>& child);
  // Whether a completion from `child` is expected now. Called under `lock_`.
  virtual bool IsActiveChild(const std::shared_ptr<Work>& child) = 0;
  // The subclass's rule for a child that completed with Success or Failure; may start further
  // children. Called under `lock_`.
  virtual CompositeProgress Advance(const std::shared_ptr<Work>& child,
                                    const WorkStatus& status) = 0;
  // Reset, then queue again in the workflow.
  virtual void Restart();

  // The child-completion handler.
  void OnWorkComplete(const std::shared_ptr<Work>& child, const WorkStatus& childStatus) override;

  bool IsComplete() const;

 protected:
  CompositeWork();
  explicit CompositeWork(WorkCompleteCallback* callback);

  // Gives the child its path (this work's path followed by `index`) and queues it.
  void StartChild(const std::shared_ptr<Work>& child, const std::shared_ptr<Workflow>& workflow,
                  std::uint32_t index);

  mutable std::recursive_mutex lock_;

 private:
  // Guarded by lock_.
  CompositeProgress progress_;
};

}  // namespace halv

#endif  // HALV_WORK_COMPOSITE_WORK_H_
