#ifndef HALV_TRANSFER_TRANSFER_WORK_INTERFACE_H_
#define HALV_TRANSFER_TRANSFER_WORK_INTERFACE_H_

#include <memory>
#include <string>

#include "file/beneath.h"
#include "file/folder.h"
#include "transfer/transfer_behavior.h"
#include "transfer/transfer_params.h"
#include "transfer/transfer_progress_updater.h"
#include "work/work.h"
#include "work/work_status.h"
#include "work/workflow.h"

namespace halv {

class HttpSession;
class NodeListManifest;
class PackageManifest;

// Everything a transfer work may ask of its transfer; works never see the transfer itself.
// Ownership: shared pointers, by every work of the transfer's workflow; it keeps the transfer's
// data of one incarnation alive but never the transfer.
// Thread-safety: every operation from any work-manager thread. GetParams, the callbacks and
// OnFileReleased take the transfer's lock; the other getters read members that are written
// before the works that read them start, and take no lock.
class TransferWorkInterface {
 public:
  virtual ~TransferWorkInterface() = default;

  // A copy taken under the transfer's lock.
  virtual TransferParams GetParams() = 0;
  // Without the lock: for readers that only need the ids, which never change.
  virtual const TransferParams& GetParamsRef() const = 0;
  virtual const TransferBehavior& GetBehavior() const = 0;
  // Empty until the transfer has acquired it.
  virtual std::shared_ptr<const PackageManifest> GetPackage() const = 0;
  virtual std::shared_ptr<const NodeListManifest> GetNodeList() const = 0;
  virtual std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() const = 0;
  virtual std::shared_ptr<HttpSession> GetSession() const = 0;
  // The destination folder, opened and locked once by Start; every file of the package is
  // reached beneath it. Empty before Start. Holding it keeps the destination locked.
  virtual std::shared_ptr<const Folder> GetDestination() const = 0;
  // The callbacks that report the end of the whole package work, of the package manifest work,
  // of the node list work and of the initialization work.
  virtual WorkCompleteCallback& GetWorkCompleteCallback() = 0;
  virtual WorkCompleteCallback& GetPackageAcquireCallback() = 0;
  virtual WorkCompleteCallback& GetNodeListAcquireCallback() = 0;
  virtual WorkCompleteCallback& GetInitializeCallback() = 0;
  virtual WorkflowRetryableErrorCallback* GetRetryableErrorCallback() = 0;
  // The work that had the destination file at `relativePath` (relative to the destination
  // folder) open has let it go.
  virtual void OnFileReleased(const std::string& relativePath) = 0;
  // The file at `relativePath` is verified and at its final name as `identity`; the transfer
  // checks that it still is before it calls itself complete. A later call for the path wins.
  virtual void OnFileCommitted(const std::string& relativePath, const FileIdentity& identity) = 0;
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_WORK_INTERFACE_H_
