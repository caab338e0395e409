#ifndef HALV_WORKS_REPLACE_FILES_WORK_H_
#define HALV_WORKS_REPLACE_FILES_WORK_H_

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "file/beneath.h"
#include "transfer/transfer_work.h"
#include "work/simple_work.h"
#include "works/reuse_works.h"

namespace halv {

// Files verified under their partial names that wait to replace what is at their final names:
// one flush of the file system then puts all of them on disk before any replaces an old file,
// where a flush for each made an update of many files wait on the disk for every one.
// Ownership: in PackageFilesState. Thread-safety: any thread.
class DeferredReplacements {
 public:
  void Add(std::string path, const DeferredFile& file);
  // Every file added, sorted by path, the last one added for a path added twice; none is left.
  std::vector<std::pair<std::string, DeferredFile>> Take();

 private:
  std::mutex mutex_;
  // Guarded by mutex_.
  std::vector<std::pair<std::string, DeferredFile>> files_;
};

// What the file works of one package share.
// Ownership: shared pointers, made by the files work. Thread-safety: as its members.
struct PackageFilesState {
  ReusePlan reuse;
  DeferredReplacements replacements;
};

// Once every file is verified: flushes the destination's file system, then renames each file
// that waits to replace another (DeferredReplacements) into place, each checked to be the file
// that was verified and unchanged since (ReplaceBeneath), and registers it as committed.
// Ownership: held by shared pointers, the last child of the files work. Thread-safety: as
// SimpleWork.
class ReplaceFilesWork : public TransferWork, public SimpleWork {
 public:
  ReplaceFilesWork(std::shared_ptr<TransferWorkInterface> transfer,
                   std::shared_ptr<PackageFilesState> state);
  ~ReplaceFilesWork() override;

  // "name", the params and "replaced" once it ran.
  void Describe(boost::property_tree::ptree& tree) const override;
  bool IsImportant() const override { return true; }
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}

 private:
  const std::shared_ptr<PackageFilesState> state_;
  std::atomic<std::size_t> replaced_{0};
};

}  // namespace halv

#endif  // HALV_WORKS_REPLACE_FILES_WORK_H_
