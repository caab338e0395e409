#ifndef HALV_WORKS_REUSE_WORKS_H_
#define HALV_WORKS_REUSE_WORKS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "http/http_request.h"
#include "transfer/transfer_shared_data.h"
#include "transfer/transfer_work.h"
#include "work/simple_work.h"

namespace halv {

// Which bytes of each file an update built from the files on disk, for the file's chunks to fetch
// only the rest.
// Ownership: shared by the files work of a transfer, its reuse work and its chunk works.
// Thread-safety: filled by ReuseOldFilesWork (Set from several threads), which runs before any
// file work starts; only read after that.
class ReusePlan {
 public:
  using Range = std::pair<std::uint64_t, std::uint64_t>;  // first and last byte, inclusive

  // `missing`: the ranges of the file at `path` that its partial file does not hold, sorted.
  void Set(const std::string& path, std::vector<Range> missing);
  // The missing ranges of the file at `path` within first..last, cut to them; nullopt when the
  // file was not built from old files.
  std::optional<std::vector<Range>> MissingWithin(const std::string& path, std::uint64_t first,
                                                  std::uint64_t last) const;

 private:
  // Guarded by mutex_ while the reuse work fills it; read without it afterwards, when nothing
  // changes it any more.
  std::mutex mutex_;
  std::unordered_map<std::string, std::vector<Range>> missing_;
};

// Before the files of an update are transferred: finds the blocks of the new files (from the
// block indexes the package document places) in the files already on disk, builds each changed
// file's partial file from them, and leaves in the plan what is still to be fetched. The sources
// are the regular files at the package's paths and the other regular files of the folders that
// hold them (a renamed file), read beneath the destination without following links, never
// written. Files already complete where they stand, files whose partial file an earlier run left
// (resumed as they are), and a package without indexes or without any old file are left alone:
// then nothing is fetched here and the transfer runs as it would without indexes. Every failure
// here (an index that does not arrive or does not match its SHA-256, an unreadable source) only
// costs reuse: the work succeeds, and every chunk is verified as ever.
// Ownership: held by shared pointers, the first child of the files work. Thread-safety: as
// SimpleWork; Interrupt from any thread.
class ReuseOldFilesWork : public TransferWork, public SimpleWork {
 public:
  ReuseOldFilesWork(std::shared_ptr<TransferWorkInterface> transfer,
                    std::shared_ptr<ReusePlan> plan);
  ~ReuseOldFilesWork() override;

  // "name", the params, then "reusedBytes", "ofBytes" and "indexBytes" once it ran.
  void Describe(boost::property_tree::ptree& tree) const override;
  bool IsImportant() const override { return true; }
  WorkStatus ExecuteTask() override;
  // Cancels the index request in flight, if any; the work then ends Stopped.
  void Interrupt() override;

 private:
  class Run;

  const std::shared_ptr<ReusePlan> plan_;
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::shared_ptr<HttpRequest> request_;
  bool interrupted_ = false;
  std::uint64_t reusedBytes_ = 0;
  std::uint64_t ofBytes_ = 0;
  std::uint64_t indexBytes_ = 0;
};

// Fetches the chunk's missingRanges into its window, each with one ranged GET from a node the
// optimizer picks (another node on failure, a few times), so that the check that follows finds
// the chunk whole. A range that cannot be fetched, or arrives other than asked, ends the work
// with Success all the same: the check then fails and the whole chunk is downloaded as ever.
// Ownership: held by shared pointers, in the chunk's pipeline. Thread-safety: as SimpleWork;
// Interrupt from any thread.
class FetchMissingRangesWork : public TransferWork, public SimpleWork {
 public:
  FetchMissingRangesWork(std::shared_ptr<TransferWorkInterface> transfer,
                         std::shared_ptr<TransferSharedMapData> chunk);
  ~FetchMissingRangesWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  WorkStatus ExecuteTask() override;
  void Interrupt() override;

 private:
  // Whether `range` arrived whole into the window.
  bool Fetch(const ReusePlan::Range& range);

  const std::shared_ptr<TransferSharedMapData> chunk_;
  std::mutex mutex_;
  // Guarded by mutex_.
  std::shared_ptr<HttpRequest> request_;
  bool interrupted_ = false;
};

}  // namespace halv

#endif  // HALV_WORKS_REUSE_WORKS_H_
