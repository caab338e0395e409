#include "test_transfer_work_interface.h"

#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "file/file_exception.h"
#include "manifest/package_manifest.h"
#include "works/package_works.h"

namespace halv::test {

void CountingProgressUpdater::AddTransferredBytes(std::uint64_t count) {
  const std::int64_t now = transferred += static_cast<std::int64_t>(count);
  std::int64_t peak = peakTransferred.load();
  while (now > peak && !peakTransferred.compare_exchange_weak(peak, now)) {
  }
}

void CountingProgressUpdater::RemoveTransferredBytes(std::uint64_t count) {
  transferred -= static_cast<std::int64_t>(count);
}

TransferServices::TransferServices(const std::string& manifestHost, const Settings& settings,
                                   std::uint32_t threads, const Clock& clock)
    : packages(manifestHost, requests, settings.manifestConnectTimeout, settings.manifestTimeout),
      nodeLists(manifestHost, requests, settings.manifestConnectTimeout, settings.manifestTimeout),
      optimizer(settings, clock),
      workManager(threads) {
  behavior.settings = settings;
  behavior.sessionFactory = &sessions;
  behavior.requestFactory = &requests;
  behavior.fileFactory = &files;
  behavior.packageFactory = &packages;
  behavior.nodeListFactory = &nodeLists;
  behavior.optimizer = &optimizer;
  behavior.workManager = &workManager;
}

TransferServices::~TransferServices() { workManager.Drain(); }

TestTransferWorkInterface::TestTransferWorkInterface(TransferParams params,
                                                     TransferBehavior behavior,
                                                     std::shared_ptr<HttpSession> session)
    : behavior_(std::move(behavior)),
      session_(std::move(session)),
      progress_(std::make_shared<CountingProgressUpdater>()),
      params_(std::move(params)) {}

TestTransferWorkInterface::~TestTransferWorkInterface() = default;

std::shared_ptr<const Folder> TestTransferWorkInterface::GetDestination() const {
  try {
    return Folder::Open(params_.destPath);
  } catch (const FileException&) {
    return nullptr;
  }
}

TransferParams TestTransferWorkInterface::GetParams() {
  std::lock_guard<std::mutex> lock(mutex_);
  return params_;
}

std::shared_ptr<const PackageManifest> TestTransferWorkInterface::GetPackage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return package_;
}

std::shared_ptr<const NodeListManifest> TestTransferWorkInterface::GetNodeList() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nodeList_;
}

void TestTransferWorkInterface::SetPackage(std::shared_ptr<const PackageManifest> package) {
  std::lock_guard<std::mutex> lock(mutex_);
  package_ = std::move(package);
}

void TestTransferWorkInterface::SetNodeList(std::shared_ptr<const NodeListManifest> nodeList) {
  std::lock_guard<std::mutex> lock(mutex_);
  nodeList_ = std::move(nodeList);
}

void TestTransferWorkInterface::OnFileReleased(const std::string& relativePath) {
  std::lock_guard<std::mutex> lock(mutex_);
  releasedFiles_.push_back(relativePath);
}

void TestTransferWorkInterface::OnWorkflowRetryableError(
    const std::shared_ptr<Workflow>& /*workflow*/, const std::shared_ptr<Work>& work,
    const WorkStatus& status) {
  boost::property_tree::ptree tree;
  work->Describe(tree);
  std::lock_guard<std::mutex> lock(mutex_);
  retryableErrors_.push_back({tree.get<std::string>("name", ""), status});
  changed_.notify_all();
}

void TestTransferWorkInterface::Recorder::OnWorkComplete(const std::shared_ptr<Work>& work,
                                                         const WorkStatus& status) {
  boost::property_tree::ptree tree;
  work->Describe(tree);
  RecordedCompletion record{tree.get<std::string>("name", ""), status};
  std::lock_guard<std::mutex> lock(owner_->mutex_);
  switch (kind_) {
    case Kind::Package:
      if (status.result == WorkResult::Success) {
        if (auto data = std::dynamic_pointer_cast<PackageStatusData>(status.data)) {
          owner_->package_ = data->GetPackage();
          // The transfer fetches chunks of the version it acquired.
          if (owner_->package_) owner_->params_.versionId = owner_->package_->GetVersionId();
        }
      }
      owner_->packageAcquisitions_.push_back(std::move(record));
      break;
    case Kind::NodeList:
      if (status.result == WorkResult::Success) {
        if (auto data = std::dynamic_pointer_cast<NodeListStatusData>(status.data)) {
          owner_->nodeList_ = data->GetNodeList();
        }
      }
      owner_->nodeListAcquisitions_.push_back(std::move(record));
      break;
    case Kind::Initialize:
      owner_->initializations_.push_back(std::move(record));
      break;
    case Kind::Complete:
      owner_->completions_.push_back(std::move(record));
      break;
  }
  owner_->changed_.notify_all();
}

bool TestTransferWorkInterface::RunToEnd(const std::shared_ptr<Workflow>& workflow,
                                         std::chrono::seconds limit) {
  std::size_t completions;
  std::size_t holds;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    completions = completions_.size();
    holds = retryableErrors_.size();
  }
  workflow->AddRetryableErrorCallback(this);
  workflow->Start();
  std::unique_lock<std::mutex> lock(mutex_);
  const bool ended = changed_.wait_for(lock, limit, [&] {
    return completions_.size() > completions || retryableErrors_.size() > holds;
  });
  return ended;
}

std::vector<RecordedCompletion> TestTransferWorkInterface::Completions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return completions_;
}

std::vector<RecordedCompletion> TestTransferWorkInterface::PackageAcquired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return packageAcquisitions_;
}

std::vector<RecordedCompletion> TestTransferWorkInterface::NodeListAcquired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nodeListAcquisitions_;
}

std::vector<RecordedCompletion> TestTransferWorkInterface::Initialized() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return initializations_;
}

std::vector<RecordedCompletion> TestTransferWorkInterface::RetryableErrors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return retryableErrors_;
}

std::vector<std::string> TestTransferWorkInterface::ReleasedFiles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return releasedFiles_;
}

}  // namespace halv::test
