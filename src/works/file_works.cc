#include "works/file_works.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "file/file_exception.h"
#include "file/paths.h"
#include "file/shared_file.h"
#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "transfer/transfer_error_data.h"
#include "works/chunk_works.h"

namespace halv {

namespace {

std::uint32_t FileConcurrency(const TransferWorkInterface& transfer) {
  return static_cast<std::uint32_t>(std::max(1, transfer.GetBehavior().settings.fileConcurrency));
}

std::shared_ptr<const PackageManifest> RequirePackage(const TransferWorkInterface& transfer,
                                                      const char* work) {
  std::shared_ptr<const PackageManifest> package = transfer.GetPackage();
  if (!package) throw std::logic_error(std::string(work) + " constructed without a package");
  return package;
}

}  // namespace

std::shared_ptr<TransferMultipleFilesWork> TransferMultipleFilesWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer) {
  const std::shared_ptr<const PackageManifest> package =
      RequirePackage(*transfer, "TransferMultipleFilesWork");
  if (package->GetRunFiles().empty() && package->GetOtherFiles().empty()) {
    throw std::logic_error("TransferMultipleFilesWork constructed with empty file set");
  }
  auto work = std::make_shared<TransferMultipleFilesWork>(transfer);
  if (!package->GetRunFiles().empty()) {
    work->AddChild(SequentialTransferMultipleFilesWork::Create(transfer, package->GetRunFiles()));
  }
  if (!package->GetOtherFiles().empty()) {
    work->AddChild(std::make_shared<LazyParallelTransferMultipleFilesWork>(transfer));
  }
  return work;
}

TransferMultipleFilesWork::TransferMultipleFilesWork(
    std::shared_ptr<TransferWorkInterface> transfer)
    : TransferWork(std::move(transfer)), SequentialWork(nullptr, 2) {
  ObserveCompletion(*this);
}

TransferMultipleFilesWork::~TransferMultipleFilesWork() = default;

void TransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "TransferMultipleFilesWork");
  DescribeParams(tree, false);
}

std::shared_ptr<SequentialTransferMultipleFilesWork> SequentialTransferMultipleFilesWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer, const FileCluster& cluster) {
  if (cluster.empty()) {
    throw std::logic_error("SequentialTransferMultipleFilesWork constructed with empty cluster");
  }
  auto work = std::make_shared<SequentialTransferMultipleFilesWork>(transfer, cluster.size());
  for (const std::shared_ptr<const FileManifest>& file : cluster) {
    work->AddChild(TransferSingleFileWork::Create(transfer, file));
  }
  return work;
}

SequentialTransferMultipleFilesWork::SequentialTransferMultipleFilesWork(
    std::shared_ptr<TransferWorkInterface> transfer, std::size_t count)
    : TransferWork(std::move(transfer)), SequentialWork(nullptr, count) {
  ObserveCompletion(*this);
}

SequentialTransferMultipleFilesWork::~SequentialTransferMultipleFilesWork() = default;

void SequentialTransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "SequentialTransferMultipleFilesWork");
  tree.put("important", true);
  DescribeParams(tree, false);
}

LazyParallelTransferMultipleFilesWork::LazyParallelTransferMultipleFilesWork(
    std::shared_ptr<TransferWorkInterface> transfer)
    : TransferWork(std::move(transfer)), LazyParallelWork(nullptr, FileConcurrency(*transfer_)) {
  if (RequirePackage(*transfer_, "LazyParallelTransferMultipleFilesWork")
          ->GetOtherFiles()
          .empty()) {
    throw std::logic_error("LazyParallelTransferMultipleFilesWork constructed with empty cluster");
  }
  ObserveCompletion(*this);
}

LazyParallelTransferMultipleFilesWork::~LazyParallelTransferMultipleFilesWork() = default;

void LazyParallelTransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "LazyParallelTransferMultipleFilesWork");
  tree.put("important", true);
  DescribeParams(tree, false);
}

void LazyParallelTransferMultipleFilesWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  LazyParallelWork::Reset();
  next_ = 0;
}

std::shared_ptr<Work> LazyParallelTransferMultipleFilesWork::NextChild() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const std::shared_ptr<const PackageManifest> package = transfer_->GetPackage();
  if (!package || next_ >= package->GetOtherFiles().size()) return nullptr;
  return TransferSingleFileWork::Create(transfer_, package->GetOtherFiles()[next_++]);
}

std::shared_ptr<TransferSingleFileWork> TransferSingleFileWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<const FileManifest> file) {
  auto work = std::make_shared<TransferSingleFileWork>(transfer, file);
  work->AddChild(std::make_shared<OpenAndAllocateFileWork>(transfer, work->fileData_));
  if (work->fileData_->fileSize != 0) {
    work->chunks_ =
        std::make_shared<LazyTransferMultipleChunksWork>(transfer, file, work->fileData_);
    work->AddChild(work->chunks_);
  }
  work->AddChild(std::make_shared<CloseFileWork>(transfer, work->fileData_));
  return work;
}

TransferSingleFileWork::TransferSingleFileWork(std::shared_ptr<TransferWorkInterface> transfer,
                                               std::shared_ptr<const FileManifest> file)
    : TransferWork(std::move(transfer)),
      SequentialWork(nullptr, 3),
      fileData_(std::make_shared<TransferSharedFileData>(file->GetPath(), file->GetSize())) {
  ObserveCompletion(*this);
}

TransferSingleFileWork::~TransferSingleFileWork() {
  try {
    if (chunks_) chunks_->ReleaseWindows();
    fileData_->sharedFile.reset();
    // What a cancel with deletion may remove: the unfinished file, or the finished one if
    // nothing of the user's was at its path; never a file this run replaced.
    if (!fileData_->committed) {
      transfer_->OnFileReleased(fileData_->filePath + kPartialFileSuffix);
    } else if (fileData_->createdFinal) {
      transfer_->OnFileReleased(fileData_->filePath);
    }
  } catch (...) {
    // The transfer learns nothing more of a file whose release failed; a destructor must not
    // throw.
  }
}

void TransferSingleFileWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "TransferSingleFileWork");
  tree.put("important", true);
  DescribeParams(tree, false);
  fileData_->Describe(tree);
}

void TransferSingleFileWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SequentialWork::Reset();
  fileData_->sharedFile.reset();
  fileData_->allocatedEmpty = false;
}

OpenAndAllocateFileWork::OpenAndAllocateFileWork(std::shared_ptr<TransferWorkInterface> transfer,
                                                 std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(transfer)), fileData_(std::move(fileData)) {
  ObserveCompletion(*this);
}

OpenAndAllocateFileWork::~OpenAndAllocateFileWork() = default;

void OpenAndAllocateFileWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "OpenAndAllocateFileWork");
  tree.put("important", true);
  DescribeParams(tree, false);
  fileData_->Describe(tree);
}

WorkStatus OpenAndAllocateFileWork::ExecuteTask() {
  try {
    SharedFileFactory& factory = *transfer_->GetBehavior().fileFactory;
    const std::string& folder = transfer_->GetParamsRef().destPath;
    const std::string& path = fileData_->filePath;
    const std::uint64_t size = fileData_->fileSize;
    const std::uint64_t end = size == 0 ? 0 : size - 1;
    const std::shared_ptr<const PackageManifest> package = transfer_->GetPackage();
    const bool program = factory.IsExecutable(folder, path) ||
                         (package && !package->GetRun().empty() && path == package->GetRun());
    for (bool firstTry = true;; firstTry = false) {
      // The file is written under its partial name: whatever is at the final name stays there
      // until this file is complete, verified and on disk.
      std::shared_ptr<SharedFile> file =
          factory.Create(folder, path, SharedFileMode::Staged, 0, end);
      // A program is never runnable while this run may still write it, also when an earlier run
      // left it at its full size with chunks not yet verified.
      if (program) file->DenyExecute();
      bool allocated = false;
      if (file->GetSize() != size) {
        if (file->GetSize() != 0) {
          // The partial file of another version: it is started again.
          file.reset();
          if (firstTry && factory.Delete(folder, path + kPartialFileSuffix)) continue;
          throw FileInUseException();
        }
        // The chunks of the file being replaced are taken over and verified like any others;
        // only those that changed are downloaded.
        allocated = file->Seed(size) == 0 && size != 0;
      }
      fileData_->allocatedEmpty = allocated;
      fileData_->committed = false;
      fileData_->sharedFile = std::move(file);
      return WorkStatus(WorkResult::Success);
    }
  } catch (...) {
    return FileFailureStatus(std::current_exception());
  }
}

void OpenAndAllocateFileWork::Reset() {
  SimpleWork::Reset();
  fileData_->sharedFile.reset();
  fileData_->allocatedEmpty = false;
}

CloseFileWork::CloseFileWork(std::shared_ptr<TransferWorkInterface> transfer,
                             std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(transfer)), fileData_(std::move(fileData)) {
  ObserveCompletion(*this);
}

CloseFileWork::~CloseFileWork() = default;

void CloseFileWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "CloseFileWork");
  DescribeParams(tree, false);
  fileData_->Describe(tree);
}

WorkStatus CloseFileWork::ExecuteTask() {
  try {
    if (fileData_->sharedFile && !fileData_->committed) {
      // A pipeline run again after its file was renamed replaces this run's own file.
      if (!fileData_->sharedFile->Commit()) fileData_->createdFinal = true;
      fileData_->committed = true;
    }
  } catch (...) {
    return FileFailureStatus(std::current_exception());
  }
  fileData_->sharedFile.reset();
  fileData_->allocatedEmpty = false;
  return WorkStatus(WorkResult::Success);
}

}  // namespace halv
