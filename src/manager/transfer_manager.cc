#include "manager/transfer_manager.h"

#include <vector>

#include "manager/stored_transfer.h"

namespace halv {

std::shared_ptr<Transfer> StoredTransferFactory::Create(const TransferParams& params,
                                                        const TransferBehavior& behavior) {
  return std::make_shared<StoredTransfer>(params, behavior, workflowFactory_, store_);
}

std::shared_ptr<Transfer> OfflineTransferManager::CreateTransfer(const TransferParams& params,
                                                                 const TransferBehavior& behavior) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (shutDown_) return nullptr;
  for (;;) {
    TransferParams copy = params;
    copy.transferId = NewTransferId();
    auto transfer = factory_->Create(copy, behavior);
    if (transfers_.emplace(copy.transferId, transfer).second) return transfer;
  }
}

std::shared_ptr<Transfer> OfflineTransferManager::GetTransfer(const std::string& transferId,
                                                              const TransferBehavior&) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (shutDown_) return nullptr;
  const auto found = transfers_.find(transferId);
  return found == transfers_.end() ? nullptr : found->second;
}

void OfflineTransferManager::Shutdown() {
  // A copy of the table, taken under the lock: a transfer's Suspend must not run under the
  // manager's lock, and nothing may change the table while it is walked.
  std::vector<std::shared_ptr<Transfer>> transfers;
  {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    shutDown_ = true;
    transfers.reserve(transfers_.size());
    for (const auto& entry : transfers_) transfers.push_back(entry.second);
  }
  for (const auto& transfer : transfers) transfer->Suspend();
}

std::shared_ptr<Transfer> TempFileTransferManager::GetTransfer(const std::string& transferId,
                                                               const TransferBehavior& behavior) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  // After shutdown nothing is restored: the walk over the table has already begun.
  if (shutDown_) return nullptr;
  if (auto transfer = OfflineTransferManager::GetTransfer(transferId, behavior)) return transfer;
  if (!store_) return nullptr;
  TransferManifest manifest;
  if (!store_->Load(transferId, manifest) || manifest.params.transferId != transferId) {
    return nullptr;
  }
  TransferParams params = manifest.params;
  params.stored = true;
  auto transfer = factory_->Create(params, behavior);
  transfers_.emplace(transferId, transfer);
  return transfer;
}

}  // namespace halv
