#ifndef HALV_MANAGER_STORED_TRANSFER_H_
#define HALV_MANAGER_STORED_TRANSFER_H_

#include <mutex>
#include <string>

#include "manager/standard_transfer.h"
#include "store/manifest_store.h"
#include "store/transfer_manifest.h"

namespace halv {

// A transfer whose description is kept in the transfer store from Start until it ends (complete,
// canceled or failed), so that a suspended transfer can be restored by id in a later run.
// Ownership and thread-safety: as StandardTransfer; the store outlives it. The store is written
// without the transfer's lock.
class StoredTransfer : public StandardTransfer {
 public:
  StoredTransfer(const TransferParams& params, const TransferBehavior& behavior,
                 TransferWorkflowFactory* workflowFactory, ManifestStore<TransferManifest>* store);

  // Saves the description once the transfer really started. A failed save changes nothing.
  TransferStatus Start(const std::string& destPath) override;
  // Removes the description, except when the transfer is cleanly suspended.
  TransferStatus Cancel(bool deleteFiles) override;

 protected:
  void Forget(const std::string& transferId) override;

 private:
  ManifestStore<TransferManifest>* const store_;
  // A transfer with nothing to fetch can end, and forget its record on a worker thread, before
  // Start has saved it: saving and forgetting take this mutex (a leaf), and a record forgotten
  // since Start is not saved.
  std::mutex recordMutex_;
  bool forgotten_ = false;
};

}  // namespace halv

#endif  // HALV_MANAGER_STORED_TRANSFER_H_
