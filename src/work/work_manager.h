#ifndef HALV_WORK_WORK_MANAGER_H_
#define HALV_WORK_WORK_MANAGER_H_

#include <memory>

namespace halv {

class SimpleWork;
class Workflow;

// Runs simple works on a pool of threads as soon as one is free. Knows nothing of trees or
// ordering: the workflow decides what is ready and how many may run.
// Thread-safety: Execute and Run may be called from any thread, also from inside a running work.
class WorkManager {
 public:
  virtual ~WorkManager() = default;

  // Runs a standalone work and then its NotifyComplete on a worker thread; returns at once.
  // Anything the work or its observers throw is dropped.
  virtual void Execute(const std::shared_ptr<SimpleWork>& work) = 0;
  // Runs a work of `workflow` on a worker thread, then its NotifyComplete, then
  // workflow->OnWorkExecuted; an exception from any of these aborts the workflow with Error.
  // Returns at once.
  virtual void Execute(const std::shared_ptr<Workflow>& workflow,
                       const std::shared_ptr<SimpleWork>& work) = 0;

  // Resets a standalone work and executes it.
  void Run(const std::shared_ptr<SimpleWork>& work);
};

}  // namespace halv

#endif  // HALV_WORK_WORK_MANAGER_H_
