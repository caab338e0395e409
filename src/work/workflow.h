#ifndef HALV_WORK_WORKFLOW_H_
#define HALV_WORK_WORKFLOW_H_

#include <cstdint>
#include <memory>

#include "work/work.h"
#include "work/work_status.h"

namespace halv {

class SimpleWork;
class Workflow;

// Where a workflow stands. Finished and Aborted are final.
enum class WorkflowState : std::uint8_t {
  NotStarted = 0,
  Running = 1,
  Paused = 2,
  // A work gave up with Retryable; nothing is dispatched until Retry.
  RetryPending = 3,
  PausedRetryPending = 4,
  // The root completed, or some work reported Error.
  Finished = 5,
  Aborted = 6,
};

// Told when a work of a workflow gives up with Retryable; the owner decides whether and when to
// call Retry, Pause or Abort.
// Thread-safety: called on a work-manager thread, with no workflow or composite lock held.
class WorkflowRetryableErrorCallback {
 public:
  virtual ~WorkflowRetryableErrorCallback() = default;
  // `status` is the give-up status (Retryable, retry false).
  virtual void OnWorkflowRetryableError(const std::shared_ptr<Workflow>& workflow,
                                        const std::shared_ptr<Work>& work,
                                        const WorkStatus& status) = 0;
};

// Runs one work tree: queues its ready leaves, runs a bounded number at once on a work manager,
// and can be paused, resumed, held for a retry and aborted. Its OnWorkComplete hears every
// completion in the tree before the work's observers and parent.
// Thread-safety: every operation may be called from any thread.
class Workflow : public WorkCompleteCallback {
 public:
  ~Workflow() override = default;
  void OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) override = 0;
  // Queues the root's ready works and starts dispatching; false when already started.
  virtual bool Start() = 0;
  // Stops the running works and dispatches nothing until Resume; false when not running.
  virtual bool Pause() = 0;
  virtual bool Resume() = 0;
  // Releases the hold that a give-up put on the workflow; false when none is pending.
  virtual bool Retry() = 0;
  virtual WorkflowState GetState() const = 0;
  virtual bool IsStarted() const = 0;
  virtual bool IsPaused() const = 0;
  virtual bool IsRetryPending() const = 0;
  virtual bool IsFinished() const = 0;
  // Ends the workflow and hands `status` to the root's observers as the tree's final status;
  // false when already aborted.
  virtual bool Abort(const WorkStatus& status) = 0;
  // Only before Start; the callback is not owned and must outlive the workflow.
  virtual void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) = 0;
  // Resets `work` and makes it ready, unless the workflow is finished; does not dispatch.
  virtual void Enqueue(const std::shared_ptr<SimpleWork>& work) = 0;
  // Starts ready works up to the concurrency: for a work enqueued outside a completion (which
  // dispatches by itself), from any thread holding no engine lock but composites'.
  virtual void DispatchReady() {}
  // Called by the work manager after the work's NotifyComplete.
  virtual void OnWorkExecuted(const std::shared_ptr<SimpleWork>& work,
                              const WorkStatus& status) = 0;
};

}  // namespace halv

#endif  // HALV_WORK_WORKFLOW_H_
