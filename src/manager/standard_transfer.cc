#include "manager/standard_transfer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "config/not_given.h"
#include "event/json_writer.h"
#include "file/destination_lock.h"
#include "file/paths.h"
#include "file/shared_file.h"
#include "manager/transfer_events.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_manifest.h"
#include "manifest/package_manifest.h"
#include "optimizer/transfer_optimizer.h"
#include "transfer/transfer_error_data.h"
#include "transfer/transfer_status_data.h"
#include "transfer/transfer_status_impl.h"
#include "work/workflow.h"
#include "works/package_works.h"
#include "works/transfer_workflow_factory.h"

namespace halv {

namespace {

bool IsInitializing(TransferState state) {
  return state == TransferState::Initializing || state == TransferState::InitializingPaused;
}

std::uint64_t ExistingFileSize(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)
             ? static_cast<std::uint64_t>(info.st_size)
             : 0;
}

// The folder to delete destination files beneath: the locked one while the transfer holds it,
// otherwise the folder opened again by its path (a cancel after the transfer let it go); empty
// when it cannot be opened.
std::shared_ptr<const Folder> FolderForDeletion(const StandardTransferData& data) {
  if (data.destinationLock) return data.destinationLock->folder();
  try {
    return Folder::Open(data.params.destPath);
  } catch (const FileException&) {
    return nullptr;
  }
}

bool IsFinishedState(TransferState state) {
  return state == TransferState::Complete || state == TransferState::Canceled;
}

}  // namespace

StandardTransfer::StandardTransfer(const TransferParams& params, const TransferBehavior& behavior,
                                   TransferWorkflowFactory* workflowFactory)
    : mutex_(std::make_shared<std::recursive_mutex>()), workflowFactory_(workflowFactory) {
  Lock lock(*mutex_);
  Reset(params, behavior);
  EnsureWorkflow();
  if (params.stored) StoredStatus().state = TransferState::Suspended;
}

StandardTransfer::~StandardTransfer() {
  // Works that outlive the transfer keep its interface; from now on it drops their reports.
  std::shared_ptr<Workflow> workflow;
  {
    const Lock lock(*mutex_);
    if (interface_) interface_->Detach();
    workflow = std::move(workflow_);
  }
  if (workflow) workflow->Pause();
}

void StandardTransfer::Reset(const TransferParams& params, const TransferBehavior& behavior) {
  auto data = std::make_shared<StandardTransferData>(params, behavior);
  auto workInterface = std::make_shared<StandardTransferWorkInterface>(this, mutex_, data);
  if (interface_) interface_->Detach();
  data_ = std::move(data);
  interface_ = std::move(workInterface);
}

void StandardTransfer::EnsureWorkflow() {
  if (workflow_ || !workflowFactory_) return;
  workflow_ = workflowFactory_->CreateWorkflow(interface_);
  workflow_->AddRetryableErrorCallback(interface_->GetRetryableErrorCallback());
}

TransferStatus& StandardTransfer::StoredStatus() { return data_->status->StoredStatus(); }

void StandardTransfer::SetState(TransferState state) {
  StoredStatus().state = state;
  if (IsFinishedState(state)) data_->destinationLock.reset();
  ReleaseWorkflow();
}

void StandardTransfer::ReleaseWorkflow() {
  if (!workflow_) return;
  workflow_->Pause();
  workflow_.reset();
}

TransferStatus StandardTransfer::Fire(Lock& lock, const TransferEvent& event) {
  TransferStatus status = DoGetStatus(lock);
  lock.unlock();
  event.Fire();
  return status;
}

// Public commands: each takes the lock and runs its counterpart with it.

TransferStatus StandardTransfer::Initialize() {
  Lock lock(*mutex_);
  return DoInitialize(lock);
}

TransferStatus StandardTransfer::Start(const std::string& destPath) {
  Lock lock(*mutex_);
  return DoStart(lock, destPath);
}

TransferStatus StandardTransfer::Cancel(bool deleteFiles) {
  Lock lock(*mutex_);
  return DoCancel(lock, deleteFiles);
}

TransferStatus StandardTransfer::Pause() {
  Lock lock(*mutex_);
  return DoPause(lock);
}

TransferStatus StandardTransfer::Resume() {
  Lock lock(*mutex_);
  return DoResume(lock);
}

TransferStatus StandardTransfer::Retry() {
  Lock lock(*mutex_);
  return DoRetry(lock);
}

TransferStatus StandardTransfer::Suspend() {
  Lock lock(*mutex_);
  return DoSuspend(lock);
}

TransferStatus StandardTransfer::Restore() {
  Lock lock(*mutex_);
  return DoRestore(lock);
}

std::shared_ptr<TransferWorkInterface> StandardTransfer::GetWorkInterface() {
  const Lock lock(*mutex_);
  return interface_;
}

TransferStatus StandardTransfer::GetStatus() {
  Lock lock(*mutex_);
  const std::uint64_t due =
      static_cast<std::uint64_t>(data_->behavior.settings.periodicEventInterval) * 1000;
  if (data_->status->PeekActiveTimeDelta() <= due) return DoGetStatus(lock);
  const TransferPeriodicEvent event(interface_, *data_->status);
  return Fire(lock, event);
}

bool StandardTransfer::HasSufficientSpace(const std::string& destPath) {
  const Lock lock(*mutex_);
  const TransferStatus& status = StoredStatus();
  if (status.state != TransferState::Initialized || !data_->package) return false;
  const Space space = MeasureSpace(destPath);
  return !space.available || *space.available >= space.needed;
}

StandardTransfer::Space StandardTransfer::MeasureSpace(const std::string& destPath) const {
  // At the peak every file is written beside the one it replaces, which stays until the new
  // one is complete; what partial files of an earlier run hold is already taken.
  Space space;
  for (const auto& file : data_->package->GetFiles()) {
    std::uint64_t partial = 0;
    try {
      partial = ExistingFileSize(JoinPath(destPath, PartialFilePath(file->GetPath())));
    } catch (...) {
      // A path that cannot be formed was refused with its document; it needs no space here.
    }
    space.needed += file->GetSize() - std::min(file->GetSize(), partial);
  }
  // A destination not made yet lies on the disk of its nearest existing folder.
  std::string measured = destPath;
  while (!measured.empty() && !PathExists(measured)) {
    const std::size_t slash = measured.find_last_of('/');
    measured = slash == std::string::npos ? std::string(".") : measured.substr(0, slash);
    if (measured.empty()) measured = "/";
  }
  // Space that cannot be measured is no refusal: the allocation still finds a full disk.
  space.available = GetAvailableSpace(measured);
  return space;
}

std::string StandardTransfer::GetNodeStatistics() {
  std::shared_ptr<const NodeListManifest> nodeList;
  TransferOptimizer* optimizer = nullptr;
  {
    const Lock lock(*mutex_);
    nodeList = data_->nodeList;
    optimizer = data_->behavior.optimizer;
  }
  if (!nodeList || nodeList->GetNodes().empty()) return "[]";
  boost::property_tree::ptree array;
  for (const auto& node : nodeList->GetNodes()) {
    auto statistics = optimizer ? optimizer->GetStatistics(*node) : node->GetStatistics();
    boost::property_tree::ptree element;
    node->WithStatistics(std::move(statistics))->Write(element);
    array.push_back({"", element});
  }
  // The narrow writer keeps a tree of empty keys an array, where the property-tree writer
  // would make it an object.
  std::string text = ToNarrowJson(array);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Counterparts, called with the lock held.

TransferStatus StandardTransfer::DoGetStatus(Lock&) { return data_->status->GetStatus(); }

TransferStatus StandardTransfer::DoInitialize(Lock& lock) {
  const TransferStatus& status = StoredStatus();
  if (status.state != TransferState::Initializing || status.error != TransferError::None ||
      !workflow_ || !workflow_->Start()) {
    return DoGetStatus(lock);
  }
  const TransferInitializeEvent event(interface_);
  return Fire(lock, event);
}

TransferStatus StandardTransfer::DoStart(Lock& lock, const std::string& destPath) {
  const std::string& stored = data_->params.destPath;
  const bool storedGiven = stored != kNotGiven;
  const bool destGiven = destPath != kNotGiven;
  const bool accepted = storedGiven ? (!destGiven || destPath == stored) : destGiven;
  const TransferStatus& status = StoredStatus();
  if (!accepted || status.state != TransferState::Initialized ||
      status.error != TransferError::None || !workflow_) {
    return DoGetStatus(lock);
  }
  const std::string& dest = storedGiven ? stored : destPath;
  if (!data_->package) return DoGetStatus(lock);
  // Another transfer into the same folder would overwrite this one's files, or this one its.
  try {
    data_->destinationLock = DestinationLock::Acquire(dest);
  } catch (const std::exception& error) {
    return Fail(lock, error.what(), TransferError::FileAccessError);
  }
  // A package that cannot fit ends before any file is allocated, not with a full disk midway.
  const Space space = MeasureSpace(dest);
  if (space.available && *space.available < space.needed) {
    return Fail(lock,
                "not enough space in " + dest + ": " + std::to_string(space.needed) +
                    " bytes needed, " + std::to_string(*space.available) + " available",
                TransferError::InsufficientSpace);
  }
  if (!storedGiven) data_->params.destPath = destPath;
  StoredStatus().state = TransferState::Transferring;
  workflow_->Resume();
  const TransferStartEvent event(interface_);
  return Fire(lock, event);
}

TransferStatus StandardTransfer::DoPause(Lock& lock) {
  const TransferState state = StoredStatus().state;
  if ((state != TransferState::Initializing && state != TransferState::Transferring) ||
      !workflow_ || !workflow_->Pause()) {
    return DoGetStatus(lock);
  }
  StoredStatus().state = state == TransferState::Initializing ? TransferState::InitializingPaused
                                                              : TransferState::Paused;
  const TransferPauseEvent event(interface_);
  return Fire(lock, event);
}

TransferStatus StandardTransfer::DoResume(Lock& lock) {
  const TransferState state = StoredStatus().state;
  if ((state != TransferState::InitializingPaused && state != TransferState::Paused) ||
      !workflow_ || !workflow_->Resume()) {
    return DoGetStatus(lock);
  }
  StoredStatus().state = state == TransferState::InitializingPaused ? TransferState::Initializing
                                                                    : TransferState::Transferring;
  const TransferResumeEvent event(interface_);
  return Fire(lock, event);
}

TransferStatus StandardTransfer::DoRetry(Lock& lock) {
  TransferStatus& status = StoredStatus();
  if (status.error == TransferError::None || !status.retryable || !workflow_ ||
      !workflow_->Retry()) {
    return DoGetStatus(lock);
  }
  status.error = TransferError::None;
  status.retryable = false;
  status.errorMessage.clear();
  const TransferRetryEvent event(interface_);
  return Fire(lock, event);
}

TransferStatus StandardTransfer::DoCancel(Lock& lock, bool deleteFiles) {
  const TransferStatus& status = StoredStatus();
  if (deleteFiles &&
      (status.state != TransferState::Suspended || status.error != TransferError::None)) {
    data_->deleteFilesOnCancel = true;
    SharedFileFactory* files = data_->behavior.fileFactory;
    const std::shared_ptr<const Folder> folder = FolderForDeletion(*data_);
    if (files && folder) {
      for (const std::string& path : data_->releasedFiles) files->Delete(*folder, path);
    }
    data_->releasedFiles.clear();
  }
  if (StoredStatus().IsFinished()) return DoGetStatus(lock);
  SetState(TransferState::Canceled);
  const TransferCancelEvent event(interface_, *data_->status);
  return Fire(lock, event);
}

TransferStatus StandardTransfer::DoSuspend(Lock& lock) {
  const TransferStatus& status = StoredStatus();
  const TransferState oldState = status.state;
  if (!data_->params.stored &&
      (IsInitializing(oldState) || oldState == TransferState::Initialized)) {
    return DoCancel(lock, false);
  }
  const bool cleanlyComplete =
      oldState == TransferState::Complete && status.error == TransferError::None;
  if (status.IsFinished() && !cleanlyComplete) return DoGetStatus(lock);

  const auto oldInterface = interface_;
  const auto oldData = data_;
  Reset(oldData->params, oldData->behavior);
  data_->params.stored = true;
  // The workflow belongs to the incarnation that ends; the new one makes its own on Restore.
  SetState(TransferState::Suspended);
  if (oldState == TransferState::Complete) return DoGetStatus(lock);
  const TransferSuspendEvent event(oldInterface, *oldData->status);
  return Fire(lock, event);
}

TransferStatus StandardTransfer::DoRestore(Lock& lock) {
  TransferStatus& status = StoredStatus();
  if (status.state != TransferState::Suspended || status.error != TransferError::None) {
    return DoGetStatus(lock);
  }
  EnsureWorkflow();
  if (workflow_) workflow_->Start();
  StoredStatus().state = TransferState::Initializing;
  const TransferRestoreEvent event(interface_);
  return Fire(lock, event);
}

// Handlers of work reports.

void StandardTransfer::OnPackageAcquire(Lock& lock, const std::shared_ptr<Work>&,
                                        const WorkStatus& status) {
  if (StoredStatus().IsFinished() || status.result != WorkResult::Success) return;
  if (!IsInitializing(StoredStatus().state)) {
    return Violate(lock, "Transfer::OnPackageAcquire called but transfer is not initializing",
                   TransferError::UnknownError);
  }
  const auto* data = dynamic_cast<const PackageStatusData*>(status.data.get());
  if (!data || !data->GetPackage()) {
    return Violate(lock,
                   "Transfer::OnPackageAcquire called but data is not PackageStatusData or package "
                   "is null",
                   TransferError::UnknownError);
  }
  const auto& package = data->GetPackage();
  if (package->GetPartnerId() != data_->params.partnerId ||
      package->GetId() != data_->params.packageId) {
    // Most often a partner id given wrongly: the user is told which ids the document holds.
    return Violate(
        lock,
        "the document is package " + package->GetId() + " of partner " + package->GetPartnerId(),
        TransferError::ManifestError);
  }
  data_->package = package;
  data_->params.versionId = package->GetVersionId();
}

void StandardTransfer::OnNodeListAcquire(Lock& lock, const std::shared_ptr<Work>&,
                                         const WorkStatus& status) {
  if (StoredStatus().IsFinished() || status.result != WorkResult::Success) return;
  if (!IsInitializing(StoredStatus().state)) {
    return Violate(lock, "Transfer::OnNodeListAcquire called but transfer is not initializing",
                   TransferError::UnknownError);
  }
  const auto* data = dynamic_cast<const NodeListStatusData*>(status.data.get());
  if (!data || !data->GetNodeList()) {
    return Violate(lock,
                   "Transfer::OnNodeListAcquire called but data is not NodeListStatusData or "
                   "nodelist is null",
                   TransferError::UnknownError);
  }
  data_->nodeList = data->GetNodeList();
}

void StandardTransfer::OnInitialize(Lock& lock, const std::shared_ptr<Work>&,
                                    const WorkStatus& status) {
  if (StoredStatus().IsFinished() || status.result != WorkResult::Success) return;
  if (!IsInitializing(StoredStatus().state)) {
    return Violate(lock, "Transfer::OnInitialize called but transfer is not initializing",
                   TransferError::UnknownError);
  }
  if (!data_->package) {
    return Violate(lock, "Transfer::OnInitialize called but package is missing",
                   TransferError::UnknownError);
  }
  if (!data_->nodeList) {
    return Violate(lock, "Transfer::OnInitialize called but nodelist is missing",
                   TransferError::UnknownError);
  }
  StoredStatus().state = TransferState::Initialized;
  data_->status->SetPackage(*data_->package);
  // Nothing may touch a file before Start.
  if (workflow_) workflow_->Pause();
  const TransferInitializeCompleteEvent event(interface_);
  Fire(lock, event);
}

void StandardTransfer::OnWorkComplete(Lock& lock, const std::shared_ptr<Work>&,
                                      const WorkStatus& status) {
  if (StoredStatus().IsFinished()) return;
  if (status.result == WorkResult::Stopped || status.result == WorkResult::Retryable) return;
  if (status.result == WorkResult::Success) {
    const TransferStatus snapshot = DoGetStatus(lock);
    const std::uint64_t total = data_->package ? data_->package->GetTotalSize() : 0;
    const bool complete = data_->package &&
                          (snapshot.state == TransferState::Transferring ||
                           snapshot.state == TransferState::Paused) &&
                          snapshot.error == TransferError::None &&
                          snapshot.transferredBytes == total && snapshot.completedBytes == total &&
                          snapshot.totalBytes == total;
    if (!complete) {
      return Violate(lock,
                     "Transfer::OnWorkComplete called with Success result but progress is not "
                     "complete",
                     TransferError::UnknownError);
    }
    // Complete means complete on disk: every folder flushed, every path still the file that was
    // verified. The flushes run under the transfer's lock; nothing else is left to do by then.
    if (!data_->destinationLock) {
      return Violate(lock, "Transfer::OnWorkComplete called without the destination held",
                     TransferError::UnknownError);
    }
    try {
      ConfirmBeneath(data_->destinationLock->folder()->descriptor(), data_->committedFiles);
    } catch (const std::exception& error) {
      Fail(lock, error.what(), TransferError::FileAccessError);
      return;
    }
    SetState(TransferState::Complete);
    const std::string id = data_->params.transferId;
    const TransferCompleteEvent event(interface_, *data_->status);
    Fire(lock, event);
    Forget(id);
    return;
  }
  const auto* data = dynamic_cast<const TransferStatusData*>(status.data.get());
  if (!data) {
    return Violate(lock,
                   "Transfer::OnWorkComplete called with error result but data is not "
                   "TransferStatusData",
                   TransferError::UnknownError);
  }
  if (data->ToTransferError() == TransferError::None) {
    return Violate(lock,
                   "Transfer::OnWorkComplete called with error result but data->ToTransferError() "
                   "is None",
                   TransferError::UnknownError);
  }
  TransferStatus& edit = StoredStatus();
  edit.error = data->ToTransferError();
  edit.errorMessage = data->Message();
  edit.retryable = false;
  data_->destinationLock.reset();
  ReleaseWorkflow();
  const std::string id = data_->params.transferId;
  const TransferFatalErrorEvent event(interface_, *data_->status, *data);
  Fire(lock, event);
  Forget(id);
}

void StandardTransfer::OnWorkflowRetryableError(Lock& lock,
                                                const std::shared_ptr<Workflow>& workflow,
                                                const std::shared_ptr<Work>&,
                                                const WorkStatus& status) {
  if (StoredStatus().IsFinished() || StoredStatus().error != TransferError::None) return;
  if (workflow != workflow_) {
    return Violate(lock, "Transfer::OnWorkflowRetryableError called on wrong workflow",
                   TransferError::UnknownError);
  }
  if (status.result != WorkResult::Retryable || status.retry) {
    return Violate(lock, "Transfer::OnWorkflowRetryableError called with incorrect status",
                   TransferError::UnknownError);
  }
  const auto* data = dynamic_cast<const TransferStatusData*>(status.data.get());
  if (!data) {
    return Violate(lock, "Transfer::OnWorkflowRetryableError called with invalid data",
                   TransferError::UnknownError);
  }
  if (data->ToTransferError() == TransferError::None) {
    return Violate(lock, "Transfer::OnWorkflowRetryableError called with TransferError::None",
                   TransferError::UnknownError);
  }
  TransferStatus& edit = StoredStatus();
  edit.error = data->ToTransferError();
  edit.errorMessage = data->Message();
  edit.retryable = true;
  const TransferRetryableErrorEvent event(interface_, *data_->status, *data);
  Fire(lock, event);
}

void StandardTransfer::OnFileReleased(Lock&, const std::string& relativePath) {
  if (data_->deleteFilesOnCancel) {
    SharedFileFactory* files = data_->behavior.fileFactory;
    if (const std::shared_ptr<const Folder> folder = FolderForDeletion(*data_); files && folder) {
      files->Delete(*folder, relativePath);
    }
  } else {
    data_->releasedFiles.insert(relativePath);
  }
}

void StandardTransfer::OnFileCommitted(Lock&, const std::string& relativePath,
                                       const FileIdentity& identity) {
  data_->committedFiles[relativePath] = identity;
}

void StandardTransfer::Violate(Lock& lock, const std::string& message, TransferError error) {
  Fail(lock, message, error);
}

TransferStatus StandardTransfer::Fail(Lock& lock, const std::string& message, TransferError error) {
  TransferStatus& edit = StoredStatus();
  edit.error = error;
  edit.errorMessage = message;
  edit.retryable = false;
  data_->destinationLock.reset();
  const auto data = std::make_shared<TransferErrorData>(error, message);
  const TransferFatalErrorEvent event(interface_, *data_->status, *data);
  // The workflow is read and cleared under the lock and aborted after it is released, so that
  // the abort, which reaches the root's observers, never runs under the transfer's lock.
  std::shared_ptr<Workflow> workflow = std::move(workflow_);
  const TransferStatus status = DoGetStatus(lock);
  const std::string id = data_->params.transferId;
  lock.unlock();
  if (workflow) workflow->Abort(WorkStatus(WorkResult::Error, data));
  event.Fire();
  Forget(id);
  return status;
}

}  // namespace halv
