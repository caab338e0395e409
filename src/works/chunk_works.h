#ifndef HALV_WORKS_CHUNK_WORKS_H_
#define HALV_WORKS_CHUNK_WORKS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/file_manifest.h"
#include "transfer/transfer_shared_data.h"
#include "transfer/transfer_status_data.h"
#include "transfer/transfer_work.h"
#include "work/conditional_work.h"
#include "work/lazy_parallel_work.h"
#include "work/limited_retry_sequential_work.h"
#include "work/sequential_work.h"
#include "work/simple_work.h"

namespace halv {

class ReusePlan;

// The most retries a node list may add to a retry limit, whatever its length: every node of a
// list of up to 17 nodes is tried once, and a list of hundreds cannot turn one chunk into tens of
// thousands of attempts.
constexpr std::uint32_t kNodeRetryCap = 16;

// The retry limit of a chunk's download or sequence: the larger of the configured `limit`
// (negative counts as 0) and one less than `nodeCount` (0 for no nodes), the latter capped at
// kNodeRetryCap.
std::uint32_t ChunkRetryLimit(int limit, std::size_t nodeCount);

// A verification that found the wrong checksum: the transfer reports it as ChecksumError.
// Ownership: shared pointers inside a WorkStatus. Thread-safety: immutable once built, except
// that the chunk data it points at belongs to the chunk's works.
class ChecksumStatusData : public TransferStatusData {
 public:
  // `node` is the host of the node that served the bytes; empty when unknown.
  ChecksumStatusData(std::shared_ptr<TransferSharedMapData> chunk, std::uint32_t actualChecksum,
                     std::string node = std::string());
  ~ChecksumStatusData() override;

  TransferError ToTransferError() const override { return TransferError::ChecksumError; }
  // Names the file, the node that served the bytes and how many nodes served this chunk wrong,
  // so that a node that keeps sending bad bytes can be found.
  std::string Message() const override;
  // "actualChecksum" in lowercase hexadecimal.
  void Describe(boost::property_tree::ptree& tree) const override;
  // "error|6|<file size>|<lowerBound>|<endPosition - lowerBound>|<bytes written>|<response
  // code>|<bad node count>|<ip>|<expected>|<actual>", checksums in lowercase hexadecimal.
  std::string ToString() const override;

  std::uint32_t GetActualChecksum() const { return actualChecksum_; }

 private:
  const std::shared_ptr<TransferSharedMapData> chunk_;
  const std::uint32_t actualChecksum_;
  const std::string node_;
};

// Runs one pipeline per chunk of a file, in file order, at most as many at once as the optimizer
// wants in flight for the transfer's nodes when the work is made (fileConcurrency without nodes).
// Ownership: held by shared pointers, a child of its file's work. Thread-safety: as
// LazyParallelWork; ReleaseWindows from the thread destroying the file work.
class LazyTransferMultipleChunksWork : public TransferWork, public LazyParallelWork {
 public:
  // `plan`, when given, holds the ranges of the file that are still to be fetched after an
  // update built its partial file from old files.
  LazyTransferMultipleChunksWork(std::shared_ptr<TransferWorkInterface> transfer,
                                 std::shared_ptr<const FileManifest> file,
                                 std::shared_ptr<TransferSharedFileData> fileData,
                                 std::shared_ptr<const ReusePlan> plan = nullptr);
  ~LazyTransferMultipleChunksWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  void Reset() override;
  std::shared_ptr<Work> NextChild() override;

  // Drops the window of every chunk still alive, so that nothing of this work keeps the file
  // mapped.
  void ReleaseWindows();
  // Starts a racing copy (RaceChunkWork) of `chunk` beside its pipeline when no chunk of the file
  // is left to start and the chunk is unverified, has a request in flight and was not raced
  // before; returns whether it started one. From any thread holding no work lock (the
  // optimizer's watch, through the chunk's race.start).
  bool StartRace(const std::shared_ptr<TransferSharedMapData>& chunk);

 private:
  const std::shared_ptr<const FileManifest> file_;
  const std::shared_ptr<TransferSharedFileData> fileData_;
  const std::shared_ptr<const ReusePlan> plan_;
  // Guarded by lock_.
  std::uint32_t next_ = 0;
  std::vector<std::weak_ptr<TransferSharedMapData>> chunks_;
  // The file's bytes counted at once when it was complete in place (taken back by Reset), and
  // whether they were counted as completed, which happens once.
  std::uint64_t countedInPlace_ = 0;
  bool completedInPlace_ = false;
};

// One chunk's pipeline: map, prefetch, fetch the ranges an update did not find on disk (when
// `missingRanges` are given), verify and (if needed) download, release.
// Ownership: held by shared pointers. Thread-safety: as SequentialWork.
class TransferSingleChunkWork : public TransferWork, public SequentialWork {
 public:
  static std::shared_ptr<TransferSingleChunkWork> Create(
      std::shared_ptr<TransferWorkInterface> transfer,
      std::shared_ptr<TransferSharedFileData> fileData, std::uint64_t lowerBound,
      std::uint64_t upperBound, std::uint32_t expectedChecksum,
      std::optional<std::array<std::uint8_t, 32>> expectedSha256 = std::nullopt,
      std::vector<std::pair<std::uint64_t, std::uint64_t>> missingRanges = {});

  TransferSingleChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                          std::shared_ptr<TransferSharedMapData> chunk);
  ~TransferSingleChunkWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  // The sequence's Reset, then the window is dropped and the bytes counted for the chunk are
  // taken back from the progress.
  void Reset() override;

  const std::shared_ptr<TransferSharedMapData>& GetChunk() const { return chunk_; }

 private:
  const std::shared_ptr<TransferSharedMapData> chunk_;
};

// Maps the chunk's bytes of the open destination file.
class CreateChunkMapWork : public TransferWork, public SimpleWork {
 public:
  CreateChunkMapWork(std::shared_ptr<TransferWorkInterface> transfer,
                     std::shared_ptr<TransferSharedMapData> chunk);
  ~CreateChunkMapWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}
  // The simple work's Reset, then the window is dropped.
  void Reset() override;

 private:
  const std::shared_ptr<TransferSharedMapData> chunk_;
};

// Reads the chunk's existing bytes from disk, one chunk of the whole process at a time, so that
// concurrent chunks do not make the disk seek back and forth. Reads nothing on the first pass
// over a chunk of a file this run allocated empty.
class MutexPrefetchChunkWork : public TransferWork, public SimpleWork {
 public:
  MutexPrefetchChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                         std::shared_ptr<TransferSharedMapData> chunk);
  ~MutexPrefetchChunkWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}

 private:
  const std::shared_ptr<TransferSharedMapData> chunk_;
};

// Verifies the chunk's bytes on disk; downloads them only when they do not match.
class ConditionalTransferChunkWork : public TransferWork, public ConditionalWork {
 public:
  static std::shared_ptr<ConditionalTransferChunkWork> Create(
      std::shared_ptr<TransferWorkInterface> transfer,
      std::shared_ptr<TransferSharedMapData> chunk);

  ConditionalTransferChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                               std::shared_ptr<TransferSharedMapData> chunk);
  ~ConditionalTransferChunkWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;

 private:
  void Build();

  const std::shared_ptr<TransferSharedMapData> chunk_;
};

// Checks the chunk's window against its SHA-256 when its document gives one, otherwise against
// its CRC-32: Success settles the chunk's progress; Failure takes back what was
// counted and marks the node that served the bad body. The check of the bytes on disk
// `beforeDownload` fails at once, reading nothing, on the first pass over a chunk of a file this
// run allocated empty. After a download, the digests the request took of exactly the bytes it
// wrote stand for the window, which is then not read back.
class VerifyChunkWork : public TransferWork, public SimpleWork {
 public:
  VerifyChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                  std::shared_ptr<TransferSharedMapData> chunk, bool beforeDownload = false);
  ~VerifyChunkWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}

 private:
  // After a download: starts the write-back of the chunk's bytes and flushes the file every
  // flushEveryBytes downloaded bytes. Throws FileException when the flush fails.
  void FlushAlong();

  const std::shared_ptr<TransferSharedMapData> chunk_;
  const bool beforeDownload_;
};

// Downloads and verifies a chunk, starting again from the download after a mismatch, at most
// `retryLimit` times.
class RetryableTransferChunkWork : public TransferWork, public LimitedRetrySequentialWork {
 public:
  static std::shared_ptr<RetryableTransferChunkWork> Create(
      std::uint32_t retryLimit, std::shared_ptr<TransferWorkInterface> transfer,
      std::shared_ptr<TransferSharedMapData> chunk);

  RetryableTransferChunkWork(std::uint32_t retryLimit,
                             std::shared_ptr<TransferWorkInterface> transfer,
                             std::shared_ptr<TransferSharedMapData> chunk);
  ~RetryableTransferChunkWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;

 private:
  void Build();

  const std::shared_ptr<TransferSharedMapData> chunk_;
};

// Drops the chunk's window, which unmaps it once nothing else holds it.
class ReleaseChunkMapWork : public TransferWork, public SimpleWork {
 public:
  ReleaseChunkMapWork(std::shared_ptr<TransferWorkInterface> transfer,
                      std::shared_ptr<TransferSharedMapData> chunk);
  ~ReleaseChunkMapWork() override;

  void Describe(boost::property_tree::ptree& tree) const override;
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}

 private:
  const std::shared_ptr<TransferSharedMapData> chunk_;
};

}  // namespace halv

#endif  // HALV_WORKS_CHUNK_WORKS_H_
