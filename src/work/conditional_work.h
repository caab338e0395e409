#ifndef HALV_WORK_CONDITIONAL_WORK_H_
#define HALV_WORK_CONDITIONAL_WORK_H_

#include <memory>

#include "work/composite_work.h"

namespace halv {

// Runs a condition child, then the success branch when the condition succeeded or the failure
// branch otherwise, and reports the branch's status.
// Ownership and threads as CompositeWork; subclasses set the three children before the work starts,
// once the work is held by a shared pointer (adopting a child needs one, so not in a constructor).
class ConditionalWork : public CompositeWork {
 public:
  explicit ConditionalWork(WorkCompleteCallback* callback = nullptr);
  ~ConditionalWork() override;

  void Reset() override;
  void OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) override;
  // Starts the condition; throws std::logic_error when a child is missing.
  void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;
  bool IsActiveChild(const std::shared_ptr<Work>& child) override;
  CompositeProgress Advance(const std::shared_ptr<Work>& child, const WorkStatus& status) override;

 protected:
  // Each setter stores its child only when none is stored yet.
  void SetCondition(const std::shared_ptr<Work>& child);
  void SetOnSuccess(const std::shared_ptr<Work>& child);
  void SetOnFailure(const std::shared_ptr<Work>& child);

 private:
  // Guarded by lock_.
  std::shared_ptr<Work> condition_;
  std::shared_ptr<Work> onSuccess_;
  std::shared_ptr<Work> onFailure_;
  std::shared_ptr<Work> current_;
};

}  // namespace halv

#endif  // HALV_WORK_CONDITIONAL_WORK_H_
