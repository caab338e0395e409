#ifndef HALV_WORKS_FILE_WORKS_H_
#define HALV_WORKS_FILE_WORKS_H_

#include <memory>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/file_manifest.h"
#include "transfer/transfer_shared_data.h"
#include "transfer/transfer_work.h"
#include "work/lazy_parallel_work.h"
#include "work/sequential_work.h"
#include "work/simple_work.h"

namespace halv {

class LazyTransferMultipleChunksWork;
class PackageManifest;
struct PackageFilesState;

// A non-empty list of the files that one multiple-files work transfers.
using FileCluster = std::vector<std::shared_ptr<const FileManifest>>;

// Every file of the package: when its document has block indexes, first the reuse of what the
// files on disk hold (ReuseOldFilesWork); then the run files, one after another, then the other
// files several at once; last the files that replace old ones are put in place together
// (ReplaceFilesWork).
// Ownership: held by shared pointers, the child of the package work's deferred work.
// Thread-safety: as SequentialWork; Create on one thread before the work starts.
class TransferMultipleFilesWork : public TransferWork, public SequentialWork {
 public:
  // Fills the work from the interface's package. Throws std::logic_error for a package without
  // files. The package document refused paths that two files share when it was read.
  static std::shared_ptr<TransferMultipleFilesWork> Create(
      std::shared_ptr<TransferWorkInterface> transfer);

  explicit TransferMultipleFilesWork(std::shared_ptr<TransferWorkInterface> transfer);
  ~TransferMultipleFilesWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
};

// The files of a cluster one after another, in cluster order.
class SequentialTransferMultipleFilesWork : public TransferWork, public SequentialWork {
 public:
  // Throws std::logic_error for an empty cluster.
  static std::shared_ptr<SequentialTransferMultipleFilesWork> Create(
      std::shared_ptr<TransferWorkInterface> transfer, const FileCluster& cluster,
      std::shared_ptr<PackageFilesState> state = nullptr);

  SequentialTransferMultipleFilesWork(std::shared_ptr<TransferWorkInterface> transfer,
                                      std::size_t count);
  ~SequentialTransferMultipleFilesWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  bool IsImportant() const override { return true; }
};

// The package's other files, in package order, at most `fileConcurrency` at once.
class LazyParallelTransferMultipleFilesWork : public TransferWork, public LazyParallelWork {
 public:
  // Throws std::logic_error when the package has no other files.
  LazyParallelTransferMultipleFilesWork(std::shared_ptr<TransferWorkInterface> transfer,
                                        std::shared_ptr<PackageFilesState> state = nullptr);
  ~LazyParallelTransferMultipleFilesWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  bool IsImportant() const override { return true; }
  void Reset() override;
  std::shared_ptr<Work> NextChild() override;

 private:
  const std::shared_ptr<PackageFilesState> state_;
  // Guarded by lock_.
  std::size_t next_ = 0;
};

// One destination file: open and size it, move its chunks, close it. When the work is destroyed
// it lets go of every window and handle and tells the transfer the file is released. Not
// important: a package of a million files would log a million lines at the default level; its
// failures are logged, and every file at the level of all completions (8).
class TransferSingleFileWork : public TransferWork, public SequentialWork {
 public:
  // `state`, when given, says which bytes of the file's partial file an update built from old
  // files (its chunks then fetch only the rest), and takes the file when it is to replace
  // another, for ReplaceFilesWork; without it a file replaces another as soon as it closes.
  static std::shared_ptr<TransferSingleFileWork> Create(
      std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<const FileManifest> file,
      std::shared_ptr<PackageFilesState> state = nullptr);

  TransferSingleFileWork(std::shared_ptr<TransferWorkInterface> transfer,
                         std::shared_ptr<const FileManifest> file);
  ~TransferSingleFileWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  // The sequence's Reset, then the open file is dropped.
  void Reset() override;

  const std::shared_ptr<TransferSharedFileData>& GetFileData() const { return fileData_; }

 private:
  const std::shared_ptr<TransferSharedFileData> fileData_;
  // Set while the tree is built.
  std::shared_ptr<LazyTransferMultipleChunksWork> chunks_;
};

// Opens the destination file. Without a partial file of an earlier run, a regular file of the
// manifest's size at the final name is first checked chunk by chunk where it stands, read-only;
// when every chunk is right it is the open file (completeInPlace) and nothing is copied or
// renamed. Otherwise the file is opened under its partial name and given the manifest's size: a
// partial file of that size is kept for its chunks to be verified; a new one takes the bytes of
// the file it will replace, if any, to be verified too; one of another size is deleted and
// created again once. A file that marks a program cannot be executed while it is open here.
class OpenAndAllocateFileWork : public TransferWork, public SimpleWork {
 public:
  OpenAndAllocateFileWork(std::shared_ptr<TransferWorkInterface> transfer,
                          std::shared_ptr<const FileManifest> file,
                          std::shared_ptr<TransferSharedFileData> fileData);
  ~OpenAndAllocateFileWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}
  // The simple work's Reset, then the open file is dropped.
  void Reset() override;

 private:
  const std::shared_ptr<const FileManifest> file_;
  const std::shared_ptr<TransferSharedFileData> fileData_;
};

// Renames the verified file to its final name (a file complete in place is left where it is),
// gives it the mode and time of its document (the run file also runnable), then drops the handle
// (the file closes once its chunk windows are gone too). A file that replaces another is first
// put on disk and renamed over it; with the package's state it waits instead, under its partial
// name, for ReplaceFilesWork to replace all such files after one flush.
class CloseFileWork : public TransferWork, public SimpleWork {
 public:
  CloseFileWork(std::shared_ptr<TransferWorkInterface> transfer,
                std::shared_ptr<const FileManifest> file,
                std::shared_ptr<TransferSharedFileData> fileData,
                std::shared_ptr<PackageFilesState> state = nullptr);
  ~CloseFileWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}

 private:
  const std::shared_ptr<const FileManifest> file_;
  const std::shared_ptr<TransferSharedFileData> fileData_;
  const std::shared_ptr<PackageFilesState> state_;
};

}  // namespace halv

#endif  // HALV_WORKS_FILE_WORKS_H_
