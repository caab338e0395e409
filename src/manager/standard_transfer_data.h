#ifndef HALV_MANAGER_STANDARD_TRANSFER_DATA_H_
#define HALV_MANAGER_STANDARD_TRANSFER_DATA_H_

#include <map>
#include <memory>
#include <string>
#include <unordered_set>

#include "file/beneath.h"
#include "transfer/transfer_behavior.h"
#include "transfer/transfer_params.h"

namespace halv {

class DestinationLock;

class HttpSession;
class NodeListManifest;
class PackageManifest;
class TransferStatusImpl;

// The mutable data of one incarnation of a transfer: a new one replaces it on Suspend.
// Ownership: shared pointers, by the transfer, its work interface and the events built from it.
// Thread-safety: every member is read and written under the owning transfer's lock, except the
// constant behaviour and session, the status object's byte counters (lock-free), and package and
// nodeList, which are written before the works that read them without the lock are started.
struct StandardTransferData {
  // Creates the live status for `params` and the transfer's HTTP session.
  StandardTransferData(const TransferParams& params, const TransferBehavior& behavior);

  TransferParams params;
  const TransferBehavior behavior;
  const std::shared_ptr<TransferStatusImpl> status;
  std::shared_ptr<const PackageManifest> package;
  std::shared_ptr<const NodeListManifest> nodeList;
  const std::shared_ptr<HttpSession> session;
  bool deleteFilesOnCancel = false;
  // Taken by Start and dropped when the transfer ends: no other transfer writes into the
  // destination. Its folder stays locked while files and windows of works still finishing hold
  // it. Guarded by the transfer's lock.
  std::shared_ptr<DestinationLock> destinationLock;
  // Destination files, relative to params.destPath, that works of this incarnation let go.
  std::unordered_set<std::string> releasedFiles;
  // What each file was verified as once at its final name, checked again before Complete.
  std::map<std::string, FileIdentity> committedFiles;
};

}  // namespace halv

#endif  // HALV_MANAGER_STANDARD_TRANSFER_DATA_H_
