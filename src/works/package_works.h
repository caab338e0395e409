#ifndef HALV_WORKS_PACKAGE_WORKS_H_
#define HALV_WORKS_PACKAGE_WORKS_H_

#include <cstdint>
#include <memory>

#include <boost/property_tree/ptree_fwd.hpp>

#include "transfer/transfer_work.h"
#include "work/deferred_work.h"
#include "work/limited_retry_simple_work.h"
#include "work/parallel_work.h"
#include "work/sequential_work.h"
#include "work/simple_work.h"
#include "work/work_status.h"

namespace halv {

class NodeListManifest;
class PackageManifest;

// The package a manifest work acquired, handed to the transfer's package callback.
// Ownership: shared pointers inside a WorkStatus. Thread-safety: immutable once built.
class PackageStatusData : public virtual WorkStatusData {
 public:
  explicit PackageStatusData(std::shared_ptr<const PackageManifest> package);
  ~PackageStatusData() override;

  // "packageId", "partnerId", "versionId"; "package" = "null" without a package.
  void Describe(boost::property_tree::ptree& tree) const override;

  const std::shared_ptr<const PackageManifest>& GetPackage() const { return package_; }

 private:
  const std::shared_ptr<const PackageManifest> package_;
};

// The node list a manifest work acquired, handed to the transfer's node list callback.
// Ownership and threads as PackageStatusData.
class NodeListStatusData : public virtual WorkStatusData {
 public:
  explicit NodeListStatusData(std::shared_ptr<const NodeListManifest> nodeList);
  ~NodeListStatusData() override;

  // "count" = the number of nodes, and "leftOutHosts" (space-separated) when the list left
  // nodes out; "nodes" = "null" without a list.
  void Describe(boost::property_tree::ptree& tree) const override;

  const std::shared_ptr<const NodeListManifest>& GetNodeList() const { return nodeList_; }

 private:
  const std::shared_ptr<const NodeListManifest> nodeList_;
};

// The top of a transfer's tree: initialize (manifests, file works), transfer the files, place the
// package's other entries. Its completion is the end of the transfer.
// Ownership: held by shared pointers, the root of the transfer's workflow. Thread-safety: as
// SequentialWork; Create on one thread before the work starts.
class TransferPackageWork : public TransferWork, public SequentialWork {
 public:
  static std::shared_ptr<TransferPackageWork> Create(
      std::shared_ptr<TransferWorkInterface> transfer);

  explicit TransferPackageWork(std::shared_ptr<TransferWorkInterface> transfer);
  ~TransferPackageWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  bool IsImportant() const override { return true; }
};

// Fetches both manifests, then builds the file works into the deferred work.
class InitializeTransferWork : public TransferWork, public SequentialWork {
 public:
  static std::shared_ptr<InitializeTransferWork> Create(
      std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<DeferredWork> deferred);

  explicit InitializeTransferWork(std::shared_ptr<TransferWorkInterface> transfer);
  ~InitializeTransferWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
};

// The package manifest and the node list at the same time.
class GetManifestsWork : public TransferWork, public ParallelWork {
 public:
  static std::shared_ptr<GetManifestsWork> Create(std::shared_ptr<TransferWorkInterface> transfer);

  explicit GetManifestsWork(std::shared_ptr<TransferWorkInterface> transfer);
  ~GetManifestsWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
};

// Fetches the package manifest of the transfer's package and version (the current one for "?").
// Network failures are retried within the limit; a wrong, missing or malformed manifest is not.
class GetPackageManifestWork : public TransferWork, public LimitedRetrySimpleWork {
 public:
  GetPackageManifestWork(std::shared_ptr<TransferWorkInterface> transfer, std::uint32_t retryLimit);
  ~GetPackageManifestWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  bool IsImportant() const override { return true; }
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}
};

// Fetches the node list of the transfer's partner.
class GetNodeListWork : public TransferWork, public LimitedRetrySimpleWork {
 public:
  GetNodeListWork(std::shared_ptr<TransferWorkInterface> transfer, std::uint32_t retryLimit);
  ~GetNodeListWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  bool IsImportant() const override { return true; }
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}
};

// Builds the file works of the acquired package into the deferred work.
class ConstructTransferFromPackageWork : public TransferWork, public SimpleWork {
 public:
  ConstructTransferFromPackageWork(std::shared_ptr<TransferWorkInterface> transfer,
                                   std::shared_ptr<DeferredWork> deferred);
  ~ConstructTransferFromPackageWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}

 private:
  const std::shared_ptr<DeferredWork> deferred_;
};

// Once every file is complete and in its place: the package's hard links are made second names
// of their verified files, then its symbolic links and its empty folders are made, each
// registered as committed so that the last check before "complete" finds it still what was made
// here. An entry of the user's where one of these must go fails the work, naming it; nothing is
// removed.
class PlaceEntriesWork : public TransferWork, public SimpleWork {
 public:
  explicit PlaceEntriesWork(std::shared_ptr<TransferWorkInterface> transfer);
  ~PlaceEntriesWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  bool IsImportant() const override { return true; }
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}
};

}  // namespace halv

#endif  // HALV_WORKS_PACKAGE_WORKS_H_
