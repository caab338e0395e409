#ifndef HALV_MANAGER_TRANSFER_MANAGER_H_
#define HALV_MANAGER_TRANSFER_MANAGER_H_

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "manager/transfer.h"
#include "store/manifest_store.h"
#include "store/transfer_manifest.h"
#include "transfer/transfer_behavior.h"
#include "transfer/transfer_params.h"

namespace halv {

class TransferWorkflowFactory;

// Makes transfers, so that the manager does not depend on the concrete class.
// Thread-safety: Create from any thread.
class TransferFactory {
 public:
  TransferFactory() = default;
  TransferFactory(const TransferFactory&) = delete;
  TransferFactory& operator=(const TransferFactory&) = delete;
  virtual ~TransferFactory() = default;

  virtual std::shared_ptr<Transfer> Create(const TransferParams& params,
                                           const TransferBehavior& behavior) = 0;
};

// Makes StoredTransfers over one store and one workflow factory, which it does not own.
class StoredTransferFactory : public TransferFactory {
 public:
  StoredTransferFactory(ManifestStore<TransferManifest>* store,
                        TransferWorkflowFactory* workflowFactory)
      : store_(store), workflowFactory_(workflowFactory) {}

  std::shared_ptr<Transfer> Create(const TransferParams& params,
                                   const TransferBehavior& behavior) override;

 private:
  ManifestStore<TransferManifest>* const store_;
  TransferWorkflowFactory* const workflowFactory_;
};

// Owns every transfer of the run.
// Ownership: owned by value by the assembly; holds the transfers until it is destroyed.
// Thread-safety: any thread. The manager's lock is never held while a transfer's lock is taken,
// except inside the factory, which builds a new, unshared transfer.
class TransferManager {
 public:
  TransferManager() = default;
  TransferManager(const TransferManager&) = delete;
  TransferManager& operator=(const TransferManager&) = delete;
  virtual ~TransferManager() = default;

  // A new transfer with a fresh id, not yet initialized; empty after Shutdown.
  virtual std::shared_ptr<Transfer> CreateTransfer(const TransferParams& params,
                                                   const TransferBehavior& behavior) = 0;
  // The transfer with that id; empty when there is none.
  virtual std::shared_ptr<Transfer> GetTransfer(const std::string& transferId,
                                                const TransferBehavior& behavior) = 0;
  // Suspends every transfer (a transfer that never started is cancelled); afterwards nothing is
  // created or restored.
  virtual void Shutdown() = 0;
};

// Keeps the transfers of this run in memory.
class OfflineTransferManager : public TransferManager {
 public:
  explicit OfflineTransferManager(TransferFactory* factory) : factory_(factory) {}

  std::shared_ptr<Transfer> CreateTransfer(const TransferParams& params,
                                           const TransferBehavior& behavior) override;
  std::shared_ptr<Transfer> GetTransfer(const std::string& transferId,
                                        const TransferBehavior& behavior) override;
  void Shutdown() override;

 protected:
  TransferFactory* const factory_;
  std::recursive_mutex mutex_;
  // Guarded by mutex_.
  bool shutDown_ = false;
  std::unordered_map<std::string, std::shared_ptr<Transfer>> transfers_;
};

// Also restores, by id, the transfers whose description is in the store.
class TempFileTransferManager : public OfflineTransferManager {
 public:
  TempFileTransferManager(TransferFactory* factory, ManifestStore<TransferManifest>* store)
      : OfflineTransferManager(factory), store_(store) {}

  // A transfer of this run, or one restored from the store in state Suspended. Nothing is
  // restored after Shutdown.
  std::shared_ptr<Transfer> GetTransfer(const std::string& transferId,
                                        const TransferBehavior& behavior) override;

 private:
  ManifestStore<TransferManifest>* const store_;
};

}  // namespace halv

#endif  // HALV_MANAGER_TRANSFER_MANAGER_H_
