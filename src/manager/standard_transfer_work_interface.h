#ifndef HALV_MANAGER_STANDARD_TRANSFER_WORK_INTERFACE_H_
#define HALV_MANAGER_STANDARD_TRANSFER_WORK_INTERFACE_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "manager/standard_transfer_data.h"
#include "transfer/transfer_work_interface.h"

namespace halv {

class StandardTransfer;

// The work interface of one incarnation of a StandardTransfer: forwards the works' reports to the
// transfer under the transfer's lock, until the transfer detaches it (on Suspend, and when the
// transfer is destroyed). A detached interface drops every report, so works of an abandoned
// workflow, or works that outlive their transfer, never reach it.
// Ownership: shared pointers, by the transfer and by every work of the incarnation's workflow; it
// shares the transfer's lock and keeps the incarnation's data alive, never the transfer.
// Thread-safety: any thread. `attached_` is read and written only under the transfer's lock.
class StandardTransferWorkInterface : public TransferWorkInterface,
                                      public WorkflowRetryableErrorCallback {
 public:
  using Lock = std::unique_lock<std::recursive_mutex>;

  StandardTransferWorkInterface(StandardTransfer* transfer,
                                std::shared_ptr<std::recursive_mutex> mutex,
                                std::shared_ptr<StandardTransferData> data);
  StandardTransferWorkInterface(const StandardTransferWorkInterface&) = delete;
  StandardTransferWorkInterface& operator=(const StandardTransferWorkInterface&) = delete;

  TransferParams GetParams() override;
  const TransferParams& GetParamsRef() const override { return data_->params; }
  const TransferBehavior& GetBehavior() const override { return data_->behavior; }
  std::shared_ptr<const PackageManifest> GetPackage() const override { return data_->package; }
  std::shared_ptr<const NodeListManifest> GetNodeList() const override { return data_->nodeList; }
  std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() const override;
  std::shared_ptr<HttpSession> GetSession() const override { return data_->session; }
  // Takes the transfer's lock: the transfer lets the folder go when it ends.
  std::shared_ptr<const Folder> GetDestination() const override;
  WorkCompleteCallback& GetWorkCompleteCallback() override { return workComplete_; }
  WorkCompleteCallback& GetPackageAcquireCallback() override { return packageAcquire_; }
  WorkCompleteCallback& GetNodeListAcquireCallback() override { return nodeListAcquire_; }
  WorkCompleteCallback& GetInitializeCallback() override { return initialize_; }
  WorkflowRetryableErrorCallback* GetRetryableErrorCallback() override { return this; }
  void OnFileReleased(const std::string& relativePath) override;
  void OnFileCommitted(const std::string& relativePath, const FileIdentity& identity) override;

  void OnWorkflowRetryableError(const std::shared_ptr<Workflow>& workflow,
                                const std::shared_ptr<Work>& work,
                                const WorkStatus& status) override;

  // Stops forwarding. The caller holds the transfer's lock.
  void Detach() { attached_ = false; }

  const std::shared_ptr<StandardTransferData>& GetData() const { return data_; }

 private:
  // A completion callback that forwards to one handler of the transfer.
  class InternalCallback : public WorkCompleteCallback {
   public:
    using Handler =
        std::function<void(const std::shared_ptr<Work>& work, const WorkStatus& status)>;
    explicit InternalCallback(Handler handler) : handler_(std::move(handler)) {}
    void OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) override {
      handler_(work, status);
    }

   private:
    const Handler handler_;
  };

  using TransferHandler = void (StandardTransfer::*)(Lock& lock, const std::shared_ptr<Work>& work,
                                                     const WorkStatus& status);
  // Takes the lock and, while attached, calls `handler` of the transfer with it.
  void Forward(TransferHandler handler, const std::shared_ptr<Work>& work,
               const WorkStatus& status);

  StandardTransfer* const transfer_;
  const std::shared_ptr<std::recursive_mutex> mutex_;
  const std::shared_ptr<StandardTransferData> data_;
  bool attached_ = true;  // guarded by *mutex_
  InternalCallback workComplete_;
  InternalCallback packageAcquire_;
  InternalCallback nodeListAcquire_;
  InternalCallback initialize_;
};

}  // namespace halv

#endif  // HALV_MANAGER_STANDARD_TRANSFER_WORK_INTERFACE_H_
