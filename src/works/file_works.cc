#include "works/file_works.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "config/settings.h"
#include "file/beneath.h"
#include "file/crc32.h"
#include "file/file_exception.h"
#include "file/paths.h"
#include "file/shared_file.h"
#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "sign/sha256.h"
#include "transfer/transfer_error_data.h"
#include "transfer/transfer_progress_updater.h"
#include "works/chunk_works.h"
#include "works/replace_files_work.h"
#include "works/reuse_works.h"

namespace halv {

namespace {

std::shared_ptr<const PackageManifest> RequirePackage(const TransferWorkInterface& transfer,
                                                      const char* work) {
  std::shared_ptr<const PackageManifest> package = transfer.GetPackage();
  if (!package) throw std::logic_error(std::string(work) + " constructed without a package");
  return package;
}

// The files of a package transferred at once: fileConcurrency, or, when its files hold at most
// two chunks each on average, as many as one file may have requests in flight. A small file is a
// single request between an open and a rename, and a few files at a time left the nodes idle;
// in an update each also waits for its bytes to reach the disk before it replaces the old file,
// and the file system commits the waits of files that close together in one go.
std::uint32_t FilesInFlight(const TransferWorkInterface& transfer) {
  const Settings& settings = transfer.GetBehavior().settings;
  const PackageManifest::FileList& files =
      RequirePackage(transfer, "LazyParallelTransferMultipleFilesWork")->GetOtherFiles();
  std::uint64_t chunks = 0;
  for (const auto& file : files) chunks += file->GetChunkCount();
  const int inFlight = chunks <= 2 * files.size()
                           ? std::max(settings.fileConcurrency, settings.maxRequestsInFlight)
                           : settings.fileConcurrency;
  return static_cast<std::uint32_t>(std::max(1, inFlight));
}

// Files smaller than this are checked on one thread: starting others costs more than it saves.
constexpr std::uint64_t kParallelCheckMin = std::uint64_t{64} << 20;
// Read and hash at most this much at a time, whatever chunk size a document claims.
constexpr std::size_t kCheckBlock = std::size_t{1} << 20;

// Whether chunks first..last - 1 of `file` as they stand on disk match `manifest`, read in
// order, as the page cache reads ahead best. Stops early once `mismatch` is set, by this
// stripe or another.
bool StripeMatches(SharedFile& file, const FileManifest& manifest, std::uint32_t first,
                   std::uint32_t last, std::atomic<bool>& mismatch) {
  const bool sha256 = !manifest.GetSha256s().empty();
  std::vector<unsigned char> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(kCheckBlock, manifest.GetSize())));
  Sha256Hasher hasher;
  for (std::uint32_t chunk = first; chunk < last && !mismatch.load(std::memory_order_relaxed);
       ++chunk) {
    const std::uint64_t lower = std::uint64_t{chunk} * manifest.GetChunkSize();
    const std::uint64_t length =
        std::min<std::uint64_t>(manifest.GetChunkSize(), manifest.GetSize() - lower);
    std::uint32_t crc = 0;
    for (std::uint64_t done = 0; done < length;) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
      const std::size_t read = file.ReadAt(buffer.data(), want, lower + done);
      if (read == 0) return false;
      if (sha256) {
        hasher.Update(buffer.data(), read);
      } else {
        crc = Crc32(buffer.data(), read, crc);
      }
      done += read;
    }
    const bool right = sha256 ? hasher.Finish() == manifest.GetSha256s().at(chunk)
                              : crc == manifest.GetChecksums().at(chunk);
    if (!right) return false;
  }
  return true;
}

// Whether every chunk of `file` as it stands on disk matches `manifest`. A large file is cut
// into one run of consecutive chunks per processor, checked at once: reading from the page cache
// and SHA-256 each take about as long as the other on one core, so one thread would take their
// sum. The first failure (a wrong chunk, or an exception) stops the others.
bool EveryChunkMatches(SharedFile& file, const FileManifest& manifest) {
  const std::uint32_t chunks = manifest.GetChunkCount();
  const std::uint32_t processors = std::max(1u, std::thread::hardware_concurrency());
  const std::uint32_t stripes =
      manifest.GetSize() < kParallelCheckMin ? 1 : std::min(processors, chunks);
  std::atomic<bool> mismatch{false};
  std::vector<std::exception_ptr> errors(stripes);
  std::vector<std::thread> helpers;
  auto check = [&](std::uint32_t stripe) {
    const std::uint32_t first =
        static_cast<std::uint32_t>(std::uint64_t{chunks} * stripe / stripes);
    const std::uint32_t last =
        static_cast<std::uint32_t>(std::uint64_t{chunks} * (stripe + 1) / stripes);
    try {
      if (!StripeMatches(file, manifest, first, last, mismatch)) mismatch = true;
    } catch (...) {
      errors[stripe] = std::current_exception();
      mismatch = true;
    }
  };
  try {
    for (std::uint32_t stripe = 1; stripe < stripes; ++stripe) helpers.emplace_back(check, stripe);
  } catch (const std::system_error&) {
    // No thread to spare: the whole file is checked here instead.
    mismatch = true;
    for (std::thread& helper : helpers) helper.join();
    mismatch = false;
    return StripeMatches(file, manifest, 0, chunks, mismatch);
  }
  check(0);
  for (std::thread& helper : helpers) helper.join();
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  return !mismatch;
}

// How many names `file` may have without one outside the destination: its own, and each hard
// link of `package` to `manifest` that is that file now.
std::uint64_t PackageNames(const Folder& folder, const PackageManifest* package,
                           const FileManifest& manifest, SharedFile& file) {
  std::uint64_t names = 1;
  if (package == nullptr || file.LinkCount() == 1) return names;
  const FileIdentity identity = file.Identity();
  for (const PackageHardLink& link : package->GetHardLinks()) {
    if (link.file.get() != &manifest) continue;
    const std::optional<FileIdentity> there = IdentityBeneath(folder.descriptor(), link.path);
    if (there && there->device == identity.device && there->inode == identity.inode) ++names;
  }
  return names;
}

// The file at the final name, opened read-only, when it is already complete: a regular file of
// the running user whose every name is the package's, no partial file of an earlier run, the
// package's size, every chunk right. Empty otherwise: it is then replaced by a file of ours.
std::shared_ptr<SharedFile> CompleteInPlace(SharedFileFactory& factory,
                                            const std::shared_ptr<const Folder>& folder,
                                            const PackageManifest* package,
                                            const FileManifest& manifest,
                                            TransferProgressUpdater* progress) {
  std::shared_ptr<SharedFile> file;
  try {
    file = factory.Create(folder, manifest.GetPath(), SharedFileMode::InPlace, 0,
                          manifest.GetSize() == 0 ? 0 : manifest.GetSize() - 1);
  } catch (const FileException&) {
    // Nothing usable there (missing, a link, a folder, a partial to resume): the staged file
    // sorts it out and names what it cannot.
    return nullptr;
  }
  if (file->GetSize() != manifest.GetSize()) return nullptr;
  // A second name outside the destination would let another change what we verified, and would
  // carry the document's mode and time outside.
  if (file->LinkCount() > PackageNames(*folder, package, manifest, *file)) return nullptr;
  if (progress != nullptr) progress->NoteDiskCheck();
  if (!EveryChunkMatches(*file, manifest)) return nullptr;
  return file;
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
  auto state = std::make_shared<PackageFilesState>();
  const auto indexed = [](const std::shared_ptr<const FileManifest>& file) {
    return file->GetBlockIndex() != nullptr;
  };
  if (std::any_of(package->GetRunFiles().begin(), package->GetRunFiles().end(), indexed) ||
      std::any_of(package->GetOtherFiles().begin(), package->GetOtherFiles().end(), indexed)) {
    work->AddChild(std::make_shared<ReuseOldFilesWork>(
        transfer, std::shared_ptr<ReusePlan>(state, &state->reuse)));
  }
  if (!package->GetRunFiles().empty()) {
    work->AddChild(
        SequentialTransferMultipleFilesWork::Create(transfer, package->GetRunFiles(), state));
  }
  if (!package->GetOtherFiles().empty()) {
    work->AddChild(std::make_shared<LazyParallelTransferMultipleFilesWork>(transfer, state));
  }
  work->AddChild(std::make_shared<ReplaceFilesWork>(transfer, state));
  return work;
}

TransferMultipleFilesWork::TransferMultipleFilesWork(
    std::shared_ptr<TransferWorkInterface> transfer)
    : TransferWork(std::move(transfer)), SequentialWork(nullptr, 4) {
  ObserveCompletion(*this);
}

TransferMultipleFilesWork::~TransferMultipleFilesWork() = default;

void TransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "TransferMultipleFilesWork");
  DescribeParams(tree, false);
}

std::shared_ptr<SequentialTransferMultipleFilesWork> SequentialTransferMultipleFilesWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer, const FileCluster& cluster,
    std::shared_ptr<PackageFilesState> state) {
  if (cluster.empty()) {
    throw std::logic_error("SequentialTransferMultipleFilesWork constructed with empty cluster");
  }
  auto work = std::make_shared<SequentialTransferMultipleFilesWork>(transfer, cluster.size());
  for (const std::shared_ptr<const FileManifest>& file : cluster) {
    work->AddChild(TransferSingleFileWork::Create(transfer, file, state));
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
  DescribeParams(tree, false);
}

LazyParallelTransferMultipleFilesWork::LazyParallelTransferMultipleFilesWork(
    std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<PackageFilesState> state)
    : TransferWork(std::move(transfer)),
      LazyParallelWork(nullptr, FilesInFlight(*transfer_)),
      state_(std::move(state)) {
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
  return TransferSingleFileWork::Create(transfer_, package->GetOtherFiles()[next_++], state_);
}

std::shared_ptr<TransferSingleFileWork> TransferSingleFileWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<const FileManifest> file,
    std::shared_ptr<PackageFilesState> state) {
  auto work = std::make_shared<TransferSingleFileWork>(transfer, file);
  work->AddChild(std::make_shared<OpenAndAllocateFileWork>(transfer, file, work->fileData_));
  if (work->fileData_->fileSize != 0) {
    work->chunks_ = std::make_shared<LazyTransferMultipleChunksWork>(
        transfer, file, work->fileData_,
        state ? std::shared_ptr<const ReusePlan>(state, &state->reuse) : nullptr);
    work->AddChild(work->chunks_);
  }
  work->AddChild(std::make_shared<CloseFileWork>(transfer, file, work->fileData_, state));
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
      transfer_->OnFileReleased(PartialFilePath(fileData_->filePath));
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
  DescribeParams(tree, false);
  fileData_->Describe(tree);
}

void TransferSingleFileWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SequentialWork::Reset();
  fileData_->sharedFile.reset();
  fileData_->allocatedEmpty = false;
  fileData_->completeInPlace = false;
}

OpenAndAllocateFileWork::OpenAndAllocateFileWork(std::shared_ptr<TransferWorkInterface> transfer,
                                                 std::shared_ptr<const FileManifest> file,
                                                 std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(transfer)), file_(std::move(file)), fileData_(std::move(fileData)) {
  ObserveCompletion(*this);
}

OpenAndAllocateFileWork::~OpenAndAllocateFileWork() = default;

void OpenAndAllocateFileWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "OpenAndAllocateFileWork");
  DescribeParams(tree, false);
  fileData_->Describe(tree);
}

WorkStatus OpenAndAllocateFileWork::ExecuteTask() {
  try {
    SharedFileFactory& factory = *transfer_->GetBehavior().fileFactory;
    const std::shared_ptr<const Folder> folder = transfer_->GetDestination();
    // Files are opened beneath the folder the transfer locked, never by its path again.
    if (!folder) throw FileBadPathException();
    const std::string& path = fileData_->filePath;
    const std::uint64_t size = fileData_->fileSize;
    const std::uint64_t end = size == 0 ? 0 : size - 1;
    fileData_->completeInPlace = false;
    // A file already complete at its final name is checked where it stands, read-only: a
    // rerun then neither copies nor renames it.
    const std::shared_ptr<TransferProgressUpdater> progress = transfer_->GetProgressUpdater();
    const std::shared_ptr<const PackageManifest> package = transfer_->GetPackage();
    if (std::shared_ptr<SharedFile> complete =
            CompleteInPlace(factory, folder, package.get(), *file_, progress.get())) {
      fileData_->allocatedEmpty = false;
      fileData_->completeInPlace = true;
      fileData_->committed = false;
      fileData_->sharedFile = std::move(complete);
      return WorkStatus(WorkResult::Success);
    }
    for (bool firstTry = true;; firstTry = false) {
      // The file is written under its partial name: whatever is at the final name stays there
      // until this file is complete, verified and on disk.
      std::shared_ptr<SharedFile> file =
          factory.Create(folder, path, SharedFileMode::Staged, 0, end);
      bool allocated = false;
      if (file->GetSize() != size) {
        if (file->GetSize() != 0) {
          // The partial file of another version: it is started again.
          file.reset();
          if (firstTry && factory.Delete(*folder, PartialFilePath(path))) continue;
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
  fileData_->completeInPlace = false;
}

CloseFileWork::CloseFileWork(std::shared_ptr<TransferWorkInterface> transfer,
                             std::shared_ptr<const FileManifest> file,
                             std::shared_ptr<TransferSharedFileData> fileData,
                             std::shared_ptr<PackageFilesState> state)
    : TransferWork(std::move(transfer)),
      file_(std::move(file)),
      fileData_(std::move(fileData)),
      state_(std::move(state)) {
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
      SharedFile& file = *fileData_->sharedFile;
      // Chunks were verified as they were written or read; bytes another program wrote since
      // are read and checked again before the file may be called complete.
      if (file.MayHaveChanged()) {
        file.TakeAsVerified();
        if (!EveryChunkMatches(file, *file_)) {
          const std::shared_ptr<const Folder> folder = transfer_->GetDestination();
          const std::string& path = fileData_->filePath;
          throw FileUnsafePathException(
              "\"" +
              (folder ? JoinPath(folder->path(),
                                 fileData_->completeInPlace ? path : PartialFilePath(path))
                      : path) +
              "\" was changed by another program during the download; the next run checks it "
              "again");
        }
      }
      // A pipeline run again after its file was renamed replaces this run's own file. A file
      // complete in place is only checked: it was the user's before this run and stays so.
      // With the package's state, a file that replaces another waits for ReplaceFilesWork.
      const SharedFile::CommitOutcome outcome =
          state_ ? file.CommitOrDefer()
                 : (file.Commit() ? SharedFile::CommitOutcome::kReplaced
                                  : SharedFile::CommitOutcome::kCreated);
      if (outcome == SharedFile::CommitOutcome::kCreated && !fileData_->completeInPlace) {
        fileData_->createdFinal = true;
      }
      // Verified and in its place: only now may it run. The started program runs whatever its
      // mode says, as it always has.
      const std::shared_ptr<const PackageManifest> package = transfer_->GetPackage();
      const bool run =
          package && !package->GetRun().empty() && file_->GetPath() == package->GetRun();
      const std::shared_ptr<const Folder> folder = transfer_->GetDestination();
      const std::uint64_t names = fileData_->completeInPlace && folder
                                      ? PackageNames(*folder, package.get(), *file_, file)
                                      : 1;
      file.ApplyMode(file_->GetMode(), file_->GetModificationTime(), run, names);
      if (outcome == SharedFile::CommitOutcome::kDeferred) {
        // Recorded after its mode and time, which change the file's change time.
        state_->replacements.Add(fileData_->filePath, file.Deferred());
      } else {
        fileData_->committed = true;
        transfer_->OnFileCommitted(fileData_->filePath, file.Identity());
      }
    }
  } catch (...) {
    return FileFailureStatus(std::current_exception());
  }
  fileData_->sharedFile.reset();
  fileData_->allocatedEmpty = false;
  fileData_->completeInPlace = false;
  return WorkStatus(WorkResult::Success);
}

}  // namespace halv
