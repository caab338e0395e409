#include "works/replace_files_work.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

#include <boost/property_tree/ptree.hpp>

#include "file/file_exception.h"
#include "file/folder.h"
#include "transfer/transfer_error_data.h"

namespace halv {

namespace {

// Threads that replace files at once, one for every 64 files.
constexpr std::size_t kRenameThreads = 16;

}  // namespace

void DeferredReplacements::Add(std::string path, const DeferredFile& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_.emplace_back(std::move(path), file);
}

std::vector<std::pair<std::string, DeferredFile>> DeferredReplacements::Take() {
  std::vector<std::pair<std::string, DeferredFile>> files;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    files.swap(files_);
  }
  // A file closed again (its pipeline run again) is taken as it was last left.
  std::stable_sort(files.begin(), files.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::string, DeferredFile>> last;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i + 1 < files.size() && files[i + 1].first == files[i].first) continue;
    last.push_back(std::move(files[i]));
  }
  return last;
}

ReplaceFilesWork::ReplaceFilesWork(std::shared_ptr<TransferWorkInterface> transfer,
                                   std::shared_ptr<PackageFilesState> state)
    : TransferWork(std::move(transfer)), state_(std::move(state)) {
  ObserveCompletion(*this);
}

ReplaceFilesWork::~ReplaceFilesWork() = default;

void ReplaceFilesWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "ReplaceFilesWork");
  DescribeParams(tree, false);
  tree.put("replaced", replaced_.load());
}

WorkStatus ReplaceFilesWork::ExecuteTask() {
  try {
    std::vector<std::pair<std::string, DeferredFile>> files = state_->replacements.Take();
    if (files.empty()) return WorkStatus(WorkResult::Success);
    const std::shared_ptr<const Folder> folder = transfer_->GetDestination();
    if (!folder) throw FileBadPathException();
    // Every verified file's bytes on disk before the first old file is replaced.
    if (::syncfs(folder->descriptor()) != 0) ThrowLastFileError();
    // The renames run on several threads: replacing a file frees the old one's blocks, which
    // some file systems (online discard) make cost milliseconds each. A file that cannot be
    // replaced fails the run; those not yet replaced wait under their partial names for the next
    // run, which finds them verified.
    std::vector<std::optional<FileIdentity>> identities(files.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::exception_ptr error;
    const auto rename = [&] {
      for (std::size_t i = next++; i < files.size() && !failed; i = next++) {
        try {
          identities[i] = ReplaceBeneath(folder->descriptor(), files[i].first, files[i].second);
        } catch (...) {
          std::lock_guard<std::mutex> lock(mutex);
          if (!error) error = std::current_exception();
          failed = true;
        }
      }
    };
    std::vector<std::thread> helpers;
    const std::size_t threads = std::min<std::size_t>(kRenameThreads, (files.size() + 63) / 64);
    for (std::size_t i = 1; i < threads; ++i) {
      try {
        helpers.emplace_back(rename);
      } catch (const std::system_error&) {
        break;  // the threads there are do the rest
      }
    }
    rename();
    for (std::thread& helper : helpers) helper.join();
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (!identities[i]) continue;
      transfer_->OnFileCommitted(files[i].first, *identities[i]);
      ++replaced_;
    }
    if (error) std::rethrow_exception(error);
    return WorkStatus(WorkResult::Success);
  } catch (...) {
    return FileFailureStatus(std::current_exception());
  }
}

}  // namespace halv
