#include "works/package_works.h"

#include <exception>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "config/not_given.h"
#include "event/work_log_manager.h"
#include "file/beneath.h"
#include "file/file_exception.h"
#include "file/shared_file.h"
#include "manifest/manifest_exception.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_list_manifest_factory.h"
#include "manifest/package_manifest.h"
#include "manifest/package_manifest_factory.h"
#include "transfer/transfer_error_data.h"
#include "works/file_works.h"

namespace halv {

namespace {

// The failure of a manifest work: network failures may be retried, anything else may not.
WorkStatus ManifestFailureStatus(std::exception_ptr exception) {
  try {
    std::rethrow_exception(exception);
  } catch (const ManifestStreamException&) {
    return WorkStatus(WorkResult::Retryable,
                      std::make_shared<TransferExceptionData>(TransferError::ConnectionError,
                                                              std::current_exception()));
  } catch (const ManifestException&) {
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::ManifestError,
                                                              std::current_exception()));
  } catch (const std::bad_alloc&) {
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::InsufficientMemory,
                                                              std::current_exception()));
  } catch (...) {
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::UnknownError,
                                                              std::current_exception()));
  }
}

}  // namespace

PackageStatusData::PackageStatusData(std::shared_ptr<const PackageManifest> package)
    : package_(std::move(package)) {}

PackageStatusData::~PackageStatusData() = default;

void PackageStatusData::Describe(boost::property_tree::ptree& tree) const {
  if (!package_) {
    tree.put("package", "null");
    return;
  }
  tree.put("packageId", package_->GetId());
  tree.put("partnerId", package_->GetPartnerId());
  tree.put("versionId", package_->GetVersionId());
}

NodeListStatusData::NodeListStatusData(std::shared_ptr<const NodeListManifest> nodeList)
    : nodeList_(std::move(nodeList)) {}

NodeListStatusData::~NodeListStatusData() = default;

void NodeListStatusData::Describe(boost::property_tree::ptree& tree) const {
  if (!nodeList_) {
    tree.put("nodes", "null");
    return;
  }
  tree.put("count", nodeList_->GetNodes().size());
  // Nodes left out for a host that forms no URL: the log says which, so the list can be mended.
  std::string leftOut;
  for (const std::string& host : nodeList_->GetLeftOutHosts()) {
    leftOut += (leftOut.empty() ? "" : " ") + host;
  }
  if (!leftOut.empty()) tree.put("leftOutHosts", leftOut);
}

std::shared_ptr<TransferPackageWork> TransferPackageWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer) {
  auto work = std::make_shared<TransferPackageWork>(transfer);
  auto deferred = DeferredWork::Create(transfer->GetBehavior().logManager);
  work->AddChild(InitializeTransferWork::Create(transfer, deferred));
  work->AddChild(deferred);
  work->AddChild(std::make_shared<PlaceEntriesWork>(transfer));
  return work;
}

TransferPackageWork::TransferPackageWork(std::shared_ptr<TransferWorkInterface> transfer)
    : TransferWork(std::move(transfer)), SequentialWork(&transfer_->GetWorkCompleteCallback(), 3) {
  ObserveCompletion(*this);
}

TransferPackageWork::~TransferPackageWork() = default;

void TransferPackageWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "TransferPackageWork");
  DescribeParams(tree, true);
}

std::shared_ptr<InitializeTransferWork> InitializeTransferWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<DeferredWork> deferred) {
  auto work = std::make_shared<InitializeTransferWork>(transfer);
  work->AddChild(GetManifestsWork::Create(transfer));
  work->AddChild(std::make_shared<ConstructTransferFromPackageWork>(transfer, std::move(deferred)));
  return work;
}

InitializeTransferWork::InitializeTransferWork(std::shared_ptr<TransferWorkInterface> transfer)
    : TransferWork(std::move(transfer)), SequentialWork(&transfer_->GetInitializeCallback(), 2) {
  ObserveCompletion(*this);
}

InitializeTransferWork::~InitializeTransferWork() = default;

void InitializeTransferWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "InitializeTransferWork");
  DescribeParams(tree, true);
}

std::shared_ptr<GetManifestsWork> GetManifestsWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer) {
  auto work = std::make_shared<GetManifestsWork>(transfer);
  const int configured = transfer->GetBehavior().settings.manifestRetryLimit;
  const std::uint32_t limit = configured < 0 ? 0u : static_cast<std::uint32_t>(configured);
  work->Reserve(2);
  work->AddChild(std::make_shared<GetPackageManifestWork>(transfer, limit));
  work->AddChild(std::make_shared<GetNodeListWork>(transfer, limit));
  return work;
}

GetManifestsWork::GetManifestsWork(std::shared_ptr<TransferWorkInterface> transfer)
    : TransferWork(std::move(transfer)) {
  ObserveCompletion(*this);
}

GetManifestsWork::~GetManifestsWork() = default;

void GetManifestsWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "GetManifestsWork");
  DescribeParams(tree, true);
}

GetPackageManifestWork::GetPackageManifestWork(std::shared_ptr<TransferWorkInterface> transfer,
                                               std::uint32_t retryLimit)
    : TransferWork(std::move(transfer)),
      LimitedRetrySimpleWork(retryLimit, &transfer_->GetPackageAcquireCallback()) {
  ObserveCompletion(*this);
  ObserveRetries(*this);
}

GetPackageManifestWork::~GetPackageManifestWork() = default;

void GetPackageManifestWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "GetPackageManifestWork");
  DescribeParams(tree, true);
}

WorkStatus GetPackageManifestWork::ExecuteTask() {
  try {
    const TransferParams params = transfer_->GetParams();
    const std::string version = params.versionId == kNotGiven ? std::string() : params.versionId;
    const std::string locator =
        version.empty() ? params.packageId : params.packageId + "/" + version;
    std::shared_ptr<PackageManifest> package =
        transfer_->GetBehavior().packageFactory->Create(locator, transfer_->GetSession());
    return WorkStatus(WorkResult::Success, std::make_shared<PackageStatusData>(std::move(package)));
  } catch (...) {
    return ManifestFailureStatus(std::current_exception());
  }
}

GetNodeListWork::GetNodeListWork(std::shared_ptr<TransferWorkInterface> transfer,
                                 std::uint32_t retryLimit)
    : TransferWork(std::move(transfer)),
      LimitedRetrySimpleWork(retryLimit, &transfer_->GetNodeListAcquireCallback()) {
  ObserveCompletion(*this);
  ObserveRetries(*this);
}

GetNodeListWork::~GetNodeListWork() = default;

void GetNodeListWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "GetNodeListWork");
  DescribeParams(tree, true);
}

WorkStatus GetNodeListWork::ExecuteTask() {
  try {
    std::shared_ptr<NodeListManifest> nodes = transfer_->GetBehavior().nodeListFactory->Create(
        transfer_->GetParams().partnerId, transfer_->GetSession());
    return WorkStatus(WorkResult::Success, std::make_shared<NodeListStatusData>(std::move(nodes)));
  } catch (...) {
    return ManifestFailureStatus(std::current_exception());
  }
}

ConstructTransferFromPackageWork::ConstructTransferFromPackageWork(
    std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<DeferredWork> deferred)
    : TransferWork(std::move(transfer)), deferred_(std::move(deferred)) {
  ObserveCompletion(*this);
}

ConstructTransferFromPackageWork::~ConstructTransferFromPackageWork() = default;

void ConstructTransferFromPackageWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "ConstructTransferFromPackageWork");
  DescribeParams(tree, true);
}

WorkStatus ConstructTransferFromPackageWork::ExecuteTask() {
  try {
    if (!deferred_->SetWork(TransferMultipleFilesWork::Create(transfer_))) {
      return WorkStatus(WorkResult::Error, std::make_shared<TransferErrorData>(
                                               TransferError::UnknownError,
                                               "ConstructTransferFromPackageWork::ExecuteTask "
                                               "failed; DeferredWork already assigned"));
    }
    return WorkStatus(WorkResult::Success);
  } catch (const ManifestException&) {
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::ManifestError,
                                                              std::current_exception()));
  } catch (...) {
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::UnknownError,
                                                              std::current_exception()));
  }
}

PlaceEntriesWork::PlaceEntriesWork(std::shared_ptr<TransferWorkInterface> transfer)
    : TransferWork(std::move(transfer)) {
  ObserveCompletion(*this);
}

PlaceEntriesWork::~PlaceEntriesWork() = default;

void PlaceEntriesWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "PlaceEntriesWork");
  DescribeParams(tree, false);
}

WorkStatus PlaceEntriesWork::ExecuteTask() {
  const std::shared_ptr<const PackageManifest> package = transfer_->GetPackage();
  if (!package) {
    return WorkStatus(WorkResult::Error, std::make_shared<TransferErrorData>(
                                             TransferError::UnknownError,
                                             "PlaceEntriesWork::ExecuteTask has no package"));
  }
  try {
    SharedFileFactory& factory = *transfer_->GetBehavior().fileFactory;
    const std::shared_ptr<const Folder> folder = transfer_->GetDestination();
    if (!folder) throw FileBadPathException();
    // Every file is verified and in its place by now, so a hard link names the right bytes; it
    // is reported with its file's identity, which the last check then finds at both paths.
    for (const PackageHardLink& link : package->GetHardLinks()) {
      transfer_->OnFileCommitted(link.path,
                                 factory.PlaceHardLink(*folder, link.path, link.file->GetPath()));
    }
    // The document was refused when a link could lead outside the destination or a path passed
    // through one, so the order of the links does not matter. An absolute link is made like any
    // other: nothing of ours reads or writes through a link.
    std::map<std::string, FileIdentity> links;
    for (const PackageLink& link : package->GetLinks()) {
      const FileIdentity placed = factory.PlaceLink(*folder, link.path, link.target);
      links[link.path] = placed;
      transfer_->OnFileCommitted(link.path, placed);
    }
    // The document's links stay inside among themselves (its absolute links lead out by
    // design), but links already in the destination (an earlier version's, the user's) may
    // combine with them to lead outside: the tree as it now stands on disk is followed.
    std::set<std::string> absolute;
    for (const PackageLink& link : package->GetLinks()) {
      if (link.IsAbsolute()) absolute.insert(link.path);
    }
    for (const PackageLink& link : package->GetLinks()) {
      if (link.IsAbsolute()) continue;
      const std::optional<std::string> through =
          LinkLeadsOutside(folder->descriptor(), link.path, absolute);
      if (!through) continue;
      // Only the link made here is removed, never what took its place meanwhile.
      const std::optional<FileIdentity> there = IdentityBeneath(folder->descriptor(), link.path);
      const FileIdentity& placed = links[link.path];
      if (there && there->device == placed.device && there->inode == placed.inode) {
        factory.Delete(*folder, link.path);
      }
      throw FileUnsafePathException(
          "\"" + link.path + "\" would lead outside the destination" +
          (*through == link.path ? std::string() : " through \"" + *through + "\"") +
          ", which is not the package's; it is removed");
    }
    for (const std::string& path : package->GetFolders()) {
      transfer_->OnFileCommitted(path, factory.PlaceFolder(*folder, path));
    }
    return WorkStatus(WorkResult::Success);
  } catch (...) {
    return FileFailureStatus(std::current_exception());
  }
}

}  // namespace halv
