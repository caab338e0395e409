#include "manager/standard_transfer_work_interface.h"

#include "file/destination_lock.h"

#include "manager/standard_transfer.h"
#include "transfer/transfer_status_impl.h"

namespace halv {

StandardTransferWorkInterface::StandardTransferWorkInterface(
    StandardTransfer* transfer, std::shared_ptr<std::recursive_mutex> mutex,
    std::shared_ptr<StandardTransferData> data)
    : transfer_(transfer),
      mutex_(std::move(mutex)),
      data_(std::move(data)),
      workComplete_([this](const std::shared_ptr<Work>& work, const WorkStatus& status) {
        Forward(&StandardTransfer::OnWorkComplete, work, status);
      }),
      packageAcquire_([this](const std::shared_ptr<Work>& work, const WorkStatus& status) {
        Forward(&StandardTransfer::OnPackageAcquire, work, status);
      }),
      nodeListAcquire_([this](const std::shared_ptr<Work>& work, const WorkStatus& status) {
        Forward(&StandardTransfer::OnNodeListAcquire, work, status);
      }),
      initialize_([this](const std::shared_ptr<Work>& work, const WorkStatus& status) {
        Forward(&StandardTransfer::OnInitialize, work, status);
      }) {}

TransferParams StandardTransferWorkInterface::GetParams() {
  const Lock lock(*mutex_);
  return data_->params;
}

std::shared_ptr<const Folder> StandardTransferWorkInterface::GetDestination() const {
  const Lock lock(*mutex_);
  return data_->destinationLock ? data_->destinationLock->folder() : nullptr;
}

std::shared_ptr<TransferProgressUpdater> StandardTransferWorkInterface::GetProgressUpdater() const {
  return data_->status;
}

void StandardTransferWorkInterface::OnFileReleased(const std::string& relativePath) {
  Lock lock(*mutex_);
  if (attached_) transfer_->OnFileReleased(lock, relativePath);
}

void StandardTransferWorkInterface::OnFileCommitted(const std::string& relativePath,
                                                    const FileIdentity& identity) {
  Lock lock(*mutex_);
  if (attached_) transfer_->OnFileCommitted(lock, relativePath, identity);
}

void StandardTransferWorkInterface::OnWorkflowRetryableError(
    const std::shared_ptr<Workflow>& workflow, const std::shared_ptr<Work>& work,
    const WorkStatus& status) {
  Lock lock(*mutex_);
  if (attached_) transfer_->OnWorkflowRetryableError(lock, workflow, work, status);
}

void StandardTransferWorkInterface::Forward(TransferHandler handler,
                                            const std::shared_ptr<Work>& work,
                                            const WorkStatus& status) {
  Lock lock(*mutex_);
  if (attached_) (transfer_->*handler)(lock, work, status);
}

}  // namespace halv
