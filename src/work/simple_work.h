#ifndef HALV_WORK_SIMPLE_WORK_H_
#define HALV_WORK_SIMPLE_WORK_H_

#include <atomic>
#include <memory>
#include <vector>

#include "work/work.h"
#include "work/work_status.h"

namespace halv {

class SimpleWork;

// Told each time a simple work is about to run its task again after a Retryable attempt.
// Thread-safety: called on the work-manager thread that runs the work.
class SimpleWorkRetryCallback {
 public:
  virtual ~SimpleWorkRetryCallback() = default;
  // `status` is the failed attempt's status (Retryable, retry true).
  virtual void OnWorkRetry(const std::shared_ptr<SimpleWork>& work, const WorkStatus& status) = 0;
};

// A leaf of a work tree: one task, run on a work-manager thread, retried at once for as long as
// ShouldRetry allows.
// Ownership: held by shared pointers; the retry callbacks are not owned and must outlive the work.
// Thread-safety: ExecuteTask runs on one work-manager thread at a time; RequestStop and Interrupt
// may come from any thread while it runs.
class SimpleWork : public Work, public std::enable_shared_from_this<SimpleWork> {
 public:
  ~SimpleWork() override;

  // Clears the stop request; subclasses also clear their counters.
  void Reset() override;
  std::shared_ptr<Work> SharedFromThis() override;
  std::shared_ptr<const Work> SharedFromThis() const override;
  // A leaf has nothing to forward the workflow to.
  void OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) override;
  // Enqueues this work in `workflow`.
  void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;
  // The task itself, on a worker thread; may throw.
  virtual WorkStatus ExecuteTask() = 0;
  // Makes a running ExecuteTask give up soon; called after RequestStop, from another thread, also
  // when no task is running. Must not call back into the workflow.
  virtual void Interrupt() = 0;

  // Runs the task until it returns a status that is not retried, or until a stop is requested
  // (then the result is Stopped). Never throws: an exception from the task becomes Error with a
  // WorkExceptionData.
  WorkStatus Execute();

  // Only before the work starts.
  void AddRetryCallback(SimpleWorkRetryCallback* callback);

  // Set by the workflow when it stops its running works; polled between attempts.
  void RequestStop() { stopRequested_.store(true, std::memory_order_release); }
  bool IsStopRequested() const { return stopRequested_.load(std::memory_order_acquire); }

 protected:
  SimpleWork();
  explicit SimpleWork(WorkCompleteCallback* callback);

 private:
  // Written by the workflow's thread while the task polls it from a worker thread.
  std::atomic<bool> stopRequested_{false};
  std::vector<SimpleWorkRetryCallback*> retryCallbacks_;
};

}  // namespace halv

#endif  // HALV_WORK_SIMPLE_WORK_H_
