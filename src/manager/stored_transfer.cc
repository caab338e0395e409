#include "manager/stored_transfer.h"

namespace halv {

StoredTransfer::StoredTransfer(const TransferParams& params, const TransferBehavior& behavior,
                               TransferWorkflowFactory* workflowFactory,
                               ManifestStore<TransferManifest>* store)
    : StandardTransfer(params, behavior, workflowFactory), store_(store) {}

TransferStatus StoredTransfer::Start(const std::string& destPath) {
  Lock lock = TakeLock();
  const auto data = GetData();
  {
    const std::lock_guard<std::mutex> record(recordMutex_);
    forgotten_ = false;
  }
  const TransferStatus status = DoStart(lock, destPath);
  // A refused start leaves no record: only a transfer that really started is kept.
  if (!lock.owns_lock() && store_ && status.state == TransferState::Transferring &&
      status.error == TransferError::None) {
    lock.lock();
    const TransferManifest manifest(data->params);
    const std::string key = data->params.transferId;
    lock.unlock();
    const std::lock_guard<std::mutex> record(recordMutex_);
    if (!forgotten_) store_->Save(key, manifest);
  }
  return status;
}

TransferStatus StoredTransfer::Cancel(bool deleteFiles) {
  Lock lock = TakeLock();
  const std::string key = GetData()->params.transferId;
  const TransferStatus status = DoCancel(lock, deleteFiles);
  if (lock.owns_lock()) lock.unlock();
  const bool keep = status.state == TransferState::Suspended && status.error == TransferError::None;
  if (!keep && store_) store_->Remove(key);
  return status;
}

void StoredTransfer::Forget(const std::string& transferId) {
  const std::lock_guard<std::mutex> record(recordMutex_);
  forgotten_ = true;
  if (store_) store_->Remove(transferId);
}

}  // namespace halv
