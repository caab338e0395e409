#ifndef HALV_WORK_STANDARD_WORKFLOW_H_
#define HALV_WORK_STANDARD_WORKFLOW_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "work/work.h"
#include "work/workflow.h"

namespace halv {

class SimpleWork;
class WorkManager;

// Runs one work tree on a work manager: ready leaves wait in a heap ordered by their path in the
// tree (works of earlier children anywhere in the tree first), at most `concurrency` run at once.
// Finishes when the root completes or any work reports Error; a work that gives up with Retryable
// holds it in RetryPending and is reported to the retryable-error callbacks.
// Ownership: held by shared pointers (Create); owns the root; the manager and the callbacks are not
// owned and must outlive it.
// Thread-safety: every operation from any thread. Lock order: a composite's lock may be held when
// this workflow's lock is taken, never the other way round; the root's NotifyComplete in Abort and
// the retryable-error callbacks are called with the lock released. Interrupt is called with the
// lock held.
class StandardWorkflow : public Workflow, public std::enable_shared_from_this<StandardWorkflow> {
 public:
  // Creates the workflow and hands it to every work of the tree. `manager` must outlive it.
  static std::shared_ptr<StandardWorkflow> Create(const std::shared_ptr<Work>& root,
                                                  WorkManager* manager, std::int32_t concurrency);

  StandardWorkflow(const StandardWorkflow&) = delete;
  StandardWorkflow& operator=(const StandardWorkflow&) = delete;
  ~StandardWorkflow() override;

  void OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) override;
  bool Start() override;
  bool Pause() override;
  bool Resume() override;
  bool Retry() override;
  WorkflowState GetState() const override;
  bool IsStarted() const override;
  bool IsPaused() const override;
  bool IsRetryPending() const override;
  bool IsFinished() const override;
  bool Abort(const WorkStatus& status) override;
  void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) override;
  void Enqueue(const std::shared_ptr<SimpleWork>& work) override;
  void DispatchReady() override;
  void OnWorkExecuted(const std::shared_ptr<SimpleWork>& work, const WorkStatus& status) override;

 private:
  StandardWorkflow(std::shared_ptr<Work> root, WorkManager* manager, std::int32_t concurrency);

  // Hands ready works to the manager while running and below the concurrency bound.
  void Dispatch();
  // Asks every running work to stop; they report back through OnWorkExecuted as usual.
  void StopRunning();
  bool IsFinishedLocked() const;
  bool IsRetryPendingLocked() const;

  // Constant after construction.
  const std::shared_ptr<Work> root_;
  WorkManager* const manager_;
  const std::int32_t concurrency_;

  mutable std::recursive_mutex lock_;
  // Guarded by lock_. A heap whose front is the work with the smallest path.
  std::vector<std::shared_ptr<SimpleWork>> ready_;
  std::unordered_set<std::shared_ptr<SimpleWork>> running_;
  WorkflowState state_ = WorkflowState::NotStarted;
  // Set while Start queues the root's works with the lock released.
  bool starting_ = false;
  std::vector<WorkflowRetryableErrorCallback*> retryableErrorCallbacks_;
};

}  // namespace halv

#endif  // HALV_WORK_STANDARD_WORKFLOW_H_
