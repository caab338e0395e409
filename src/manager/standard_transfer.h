#ifndef HALV_MANAGER_STANDARD_TRANSFER_H_
#define HALV_MANAGER_STANDARD_TRANSFER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "manager/standard_transfer_data.h"
#include "manager/standard_transfer_work_interface.h"
#include "manager/transfer.h"
#include "transfer/transfer_error.h"

namespace halv {

class TransferEvent;
class TransferWorkflowFactory;
class Workflow;
class WorkStatusData;

// The transfer state machine: user commands and work reports serialise on one recursive lock,
// every transition raises one transfer event, fired after the lock is released.
// Ownership: shared pointers, by the transfer manager. Its work interfaces share its lock but
// never keep it alive; the destructor detaches the current one.
// Thread-safety: any thread. The handlers are called only by the work interface, with the lock
// held; a handler that fires an event releases the lock first and touches nothing of the
// transfer afterwards.
class StandardTransfer : public Transfer {
 public:
  using Lock = StandardTransferWorkInterface::Lock;

  StandardTransfer(const TransferParams& params, const TransferBehavior& behavior,
                   TransferWorkflowFactory* workflowFactory);
  ~StandardTransfer() override;

  TransferStatus Initialize() override;
  TransferStatus Start(const std::string& destPath) override;
  bool HasSufficientSpace(const std::string& destPath) override;
  TransferStatus GetStatus() override;
  TransferStatus Cancel(bool deleteFiles) override;
  TransferStatus Pause() override;
  TransferStatus Resume() override;
  TransferStatus Retry() override;
  TransferStatus Suspend() override;
  TransferStatus Restore() override;
  std::shared_ptr<TransferWorkInterface> GetWorkInterface() override;
  std::string GetNodeStatistics() override;

  // Reports of the current incarnation's works, through its interface.
  virtual void OnWorkComplete(Lock& lock, const std::shared_ptr<Work>& work,
                              const WorkStatus& status);
  virtual void OnPackageAcquire(Lock& lock, const std::shared_ptr<Work>& work,
                                const WorkStatus& status);
  virtual void OnNodeListAcquire(Lock& lock, const std::shared_ptr<Work>& work,
                                 const WorkStatus& status);
  virtual void OnInitialize(Lock& lock, const std::shared_ptr<Work>& work,
                            const WorkStatus& status);
  virtual void OnWorkflowRetryableError(Lock& lock, const std::shared_ptr<Workflow>& workflow,
                                        const std::shared_ptr<Work>& work,
                                        const WorkStatus& status);
  virtual void OnFileReleased(Lock& lock, const std::string& relativePath);
  virtual void OnFileCommitted(Lock& lock, const std::string& relativePath,
                               const FileIdentity& identity);

 protected:
  virtual TransferStatus DoInitialize(Lock& lock);
  virtual TransferStatus DoStart(Lock& lock, const std::string& destPath);
  virtual TransferStatus DoGetStatus(Lock& lock);
  virtual TransferStatus DoCancel(Lock& lock, bool deleteFiles);
  virtual TransferStatus DoPause(Lock& lock);
  virtual TransferStatus DoResume(Lock& lock);
  virtual TransferStatus DoRetry(Lock& lock);
  virtual TransferStatus DoSuspend(Lock& lock);
  virtual TransferStatus DoRestore(Lock& lock);

  // Called once the transfer ended complete or with an error that no Retry can lift, with no
  // lock held; a kept description of it may go.
  virtual void Forget(const std::string& /*transferId*/) {}

  Lock TakeLock() { return Lock(*mutex_); }
  const std::shared_ptr<StandardTransferData>& GetData() const { return data_; }

 private:
  // The bytes the destination must find free for the package; `available` is empty when the
  // free space cannot be measured.
  struct Space {
    std::uint64_t needed = 0;
    std::optional<std::uint64_t> available;
  };
  Space MeasureSpace(const std::string& destPath) const;
  // A new incarnation: new data and interface; the old interface is detached first.
  void Reset(const TransferParams& params, const TransferBehavior& behavior);
  void EnsureWorkflow();
  void SetState(TransferState state);
  void ReleaseWorkflow();
  TransferStatus& StoredStatus();
  // Takes the snapshot, releases the lock, fires `event`; returns the snapshot.
  TransferStatus Fire(Lock& lock, const TransferEvent& event);
  // A broken contract of a work report: sets `error` (not retryable), aborts the workflow and
  // raises a fatal-error event carrying `message`.
  // Returns the status taken before the lock was released.
  TransferStatus Fail(Lock& lock, const std::string& message, TransferError error);
  // Fail, for the handlers of work reports, which return nothing.
  void Violate(Lock& lock, const std::string& message, TransferError error);

  const std::shared_ptr<std::recursive_mutex> mutex_;
  TransferWorkflowFactory* const workflowFactory_;
  // Guarded by *mutex_.
  std::shared_ptr<StandardTransferData> data_;
  std::shared_ptr<StandardTransferWorkInterface> interface_;
  std::shared_ptr<Workflow> workflow_;
};

}  // namespace halv

#endif  // HALV_MANAGER_STANDARD_TRANSFER_H_
