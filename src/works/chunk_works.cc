#include "works/chunk_works.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "file/crc32.h"
#include "file/shared_file.h"
#include "manifest/node_list_manifest.h"
#include "manifest/package_manifest.h"
#include "optimizer/transfer_optimizer.h"
#include "sign/sha256.h"
#include "transfer/transfer_error_data.h"
#include "work/no_op_work.h"
#include "works/optimized_request_chunk_work.h"
#include "works/reuse_works.h"

namespace halv {

namespace {

// Serializes the page-in of every chunk window of the process.
std::mutex& PrefetchMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string Hex(std::uint32_t value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

std::size_t NodeCount(const TransferWorkInterface& transfer) {
  const std::shared_ptr<const NodeListManifest> nodes = transfer.GetNodeList();
  return nodes ? nodes->GetNodes().size() : 0;
}

// Chunks of one file in flight at once: as many as the nodes can serve, as the optimizer judges
// them; without a node list, the file concurrency.
std::uint32_t ChunksInFlight(const TransferWorkInterface& transfer) {
  const TransferBehavior& behavior = transfer.GetBehavior();
  const std::shared_ptr<const NodeListManifest> nodes = transfer.GetNodeList();
  if (nodes && !nodes->GetNodes().empty() && behavior.optimizer) {
    return behavior.optimizer->RequestsInFlight(*nodes);
  }
  return static_cast<std::uint32_t>(std::max(1, behavior.settings.fileConcurrency));
}

WorkStatus NoMapError(const char* work) {
  return WorkStatus(WorkResult::Error,
                    std::make_shared<TransferErrorData>(TransferError::UnknownError,
                                                        std::string(work) + " has no shared map"));
}

// True while nothing of the chunk can be on disk: this run allocated its file empty and no
// earlier pass of the chunk's pipeline ran, so it holds zeros that could only fail the check.
bool NothingOnDisk(const TransferSharedMapData& chunk) {
  return chunk.fileData && chunk.fileData->allocatedEmpty && !chunk.existingChecked;
}

}  // namespace

std::uint32_t ChunkRetryLimit(int limit, std::size_t nodeCount) {
  const std::uint32_t configured = limit < 0 ? 0u : static_cast<std::uint32_t>(limit);
  const std::size_t others = nodeCount == 0 ? 0 : nodeCount - 1;
  const std::uint32_t fromNodes =
      static_cast<std::uint32_t>(std::min<std::size_t>(others, kNodeRetryCap));
  return std::max(configured, fromNodes);
}

ChecksumStatusData::ChecksumStatusData(std::shared_ptr<TransferSharedMapData> chunk,
                                       std::uint32_t actualChecksum, std::string node)
    : chunk_(std::move(chunk)), actualChecksum_(actualChecksum), node_(std::move(node)) {}

std::string ChecksumStatusData::Message() const {
  if (!chunk_ || node_.empty()) return std::string();
  std::string text = "bytes " + std::to_string(chunk_->lowerBound) + "-" +
                     std::to_string(chunk_->upperBound) +
                     (chunk_->fileData ? " of " + chunk_->fileData->filePath : std::string()) +
                     " failed their check as node " + node_ + " served them";
  if (chunk_->badNodeCount > 1) {
    text += " (" + std::to_string(chunk_->badNodeCount) + " nodes served them wrong)";
  }
  return text;
}

ChecksumStatusData::~ChecksumStatusData() = default;

void ChecksumStatusData::Describe(boost::property_tree::ptree& tree) const {
  tree.put("actualChecksum", Hex(actualChecksum_));
}

std::string ChecksumStatusData::ToString() const {
  std::ostringstream text;
  text << "error|" << ToTransferError();
  if (chunk_) {
    text << "|" << (chunk_->fileData ? chunk_->fileData->fileSize : 0) << "|" << chunk_->lowerBound
         << "|" << (chunk_->endPosition - chunk_->lowerBound) << "|"
         << chunk_->lastStatus.bytesWritten << "|" << chunk_->lastStatus.responseCode << "|"
         << chunk_->badNodeCount << "|" << chunk_->lastStatus.ip << "|"
         << Hex(chunk_->expectedChecksum);
  }
  text << "|" << Hex(actualChecksum_);
  return text.str();
}

LazyTransferMultipleChunksWork::LazyTransferMultipleChunksWork(
    std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<const FileManifest> file,
    std::shared_ptr<TransferSharedFileData> fileData, std::shared_ptr<const ReusePlan> plan)
    : TransferWork(std::move(transfer)),
      LazyParallelWork(nullptr, ChunksInFlight(*transfer_)),
      file_(std::move(file)),
      fileData_(std::move(fileData)),
      plan_(std::move(plan)) {
  ObserveCompletion(*this);
}

LazyTransferMultipleChunksWork::~LazyTransferMultipleChunksWork() = default;

void LazyTransferMultipleChunksWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "LazyTransferMultipleChunksWork");
  DescribeParams(tree, false);
  if (fileData_) fileData_->Describe(tree);
}

void LazyTransferMultipleChunksWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  LazyParallelWork::Reset();
  next_ = 0;
  if (countedInPlace_ != 0) {
    if (const auto progress = transfer_->GetProgressUpdater()) {
      progress->RemoveTransferredBytes(countedInPlace_);
    }
    countedInPlace_ = 0;
  }
}

std::shared_ptr<Work> LazyTransferMultipleChunksWork::NextChild() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (next_ >= file_->GetChunkCount()) return nullptr;
  if (fileData_->completeInPlace) {
    // The open work has verified every chunk where the file stands: they count as done, as a
    // chunk verified on disk does, and nothing is mapped or read again.
    next_ = file_->GetChunkCount();
    if (const auto progress = transfer_->GetProgressUpdater()) {
      progress->AddTransferredBytes(file_->GetSize());
      if (!completedInPlace_) progress->AddCompletedBytes(file_->GetSize());
    }
    countedInPlace_ = file_->GetSize();
    completedInPlace_ = true;
    // One child that ends at once, so that the work completes as it does after its chunks.
    return std::make_shared<NoOpWork>();
  }
  const std::uint64_t chunkSize = file_->GetChunkSize();
  const std::uint64_t lower = std::uint64_t{next_} * chunkSize;
  const std::uint64_t upper = std::min(lower + chunkSize - 1, file_->GetSize() - 1);
  std::optional<std::array<std::uint8_t, 32>> sha256;
  // Whenever the document carries them, signed or not: a node alone then cannot make a changed
  // chunk pass, as it can a CRC-32. The reader has checked there is one for every chunk.
  if (!file_->GetSha256s().empty()) sha256 = file_->GetSha256s().at(next_);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> missing;
  if (plan_) {
    // A chunk found whole is only checked; one that misses half its bytes or more is downloaded
    // whole as ever, in one request.
    if (auto within = plan_->MissingWithin(file_->GetPath(), lower, upper)) {
      std::uint64_t bytes = 0;
      for (const auto& [first, last] : *within) bytes += last - first + 1;
      if (bytes * 2 < upper - lower + 1) missing = std::move(*within);
    }
  }
  auto child =
      TransferSingleChunkWork::Create(transfer_, fileData_, lower, upper,
                                      file_->GetChecksums().at(next_), sha256, std::move(missing));
  // Set before the pipeline runs; the optimizer's watch calls it while the chunk's request runs.
  child->GetChunk()->race.start = [weak = std::weak_ptr<CompositeWork>(weak_from_this()),
                                   weakChunk =
                                       std::weak_ptr<TransferSharedMapData>(child->GetChunk())] {
    const std::shared_ptr<CompositeWork> self = weak.lock();
    const std::shared_ptr<TransferSharedMapData> chunk = weakChunk.lock();
    try {
      return self && chunk &&
             std::static_pointer_cast<LazyTransferMultipleChunksWork>(self)->StartRace(chunk);
    } catch (...) {
      // A race is a spare: when it cannot start, the chunk's own request goes on (the chunk
      // is not raced again).
      return false;
    }
  };
  ++next_;
  chunks_.erase(std::remove_if(chunks_.begin(), chunks_.end(),
                               [](const std::weak_ptr<TransferSharedMapData>& chunk) {
                                 return chunk.expired();
                               }),
                chunks_.end());
  chunks_.push_back(child->GetChunk());
  return child;
}

bool LazyTransferMultipleChunksWork::StartRace(
    const std::shared_ptr<TransferSharedMapData>& chunk) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // Racing is for the end of a file: while a chunk is left to start, a free node takes that.
  if (next_ < file_->GetChunkCount() || fileData_->completeInPlace) return false;
  std::string firstHost;
  {
    std::lock_guard<std::mutex> lock(chunk->race.mutex);
    if (chunk->race.verified || chunk->race.raced || chunk->race.firstHost.empty()) return false;
    chunk->race.raced = true;
    firstHost = chunk->race.firstHost;
  }
  // Still unverified, so the chunk's pipeline is an active child: this work cannot have ended.
  if (StartExtraChild(std::make_shared<RaceChunkWork>(transfer_, chunk, firstHost))) return true;
  std::lock_guard<std::mutex> lock(chunk->race.mutex);
  chunk->race.raced = false;
  return false;
}

void LazyTransferMultipleChunksWork::ReleaseWindows() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const std::weak_ptr<TransferSharedMapData>& weak : chunks_) {
    if (const std::shared_ptr<TransferSharedMapData> chunk = weak.lock()) {
      chunk->boundedData.reset();
    }
  }
}

std::shared_ptr<TransferSingleChunkWork> TransferSingleChunkWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer,
    std::shared_ptr<TransferSharedFileData> fileData, std::uint64_t lowerBound,
    std::uint64_t upperBound, std::uint32_t expectedChecksum,
    std::optional<std::array<std::uint8_t, 32>> expectedSha256,
    std::vector<std::pair<std::uint64_t, std::uint64_t>> missingRanges) {
  auto chunk = std::make_shared<TransferSharedMapData>(
      std::move(fileData), lowerBound, upperBound, expectedChecksum, transfer->GetProgressUpdater(),
      expectedSha256);
  chunk->missingRanges = std::move(missingRanges);
  auto work = std::make_shared<TransferSingleChunkWork>(transfer, chunk);
  work->AddChild(std::make_shared<CreateChunkMapWork>(transfer, chunk));
  work->AddChild(std::make_shared<MutexPrefetchChunkWork>(transfer, chunk));
  if (!chunk->missingRanges.empty()) {
    work->AddChild(std::make_shared<FetchMissingRangesWork>(transfer, chunk));
  }
  work->AddChild(ConditionalTransferChunkWork::Create(transfer, chunk));
  work->AddChild(std::make_shared<ReleaseChunkMapWork>(transfer, chunk));
  return work;
}

TransferSingleChunkWork::TransferSingleChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                                                 std::shared_ptr<TransferSharedMapData> chunk)
    : TransferWork(std::move(transfer)), SequentialWork(nullptr, 5), chunk_(std::move(chunk)) {
  ObserveCompletion(*this);
}

TransferSingleChunkWork::~TransferSingleChunkWork() = default;

void TransferSingleChunkWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "TransferSingleChunkWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
}

void TransferSingleChunkWork::Reset() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SequentialWork::Reset();
  chunk_->Discard();
}

CreateChunkMapWork::CreateChunkMapWork(std::shared_ptr<TransferWorkInterface> transfer,
                                       std::shared_ptr<TransferSharedMapData> chunk)
    : TransferWork(std::move(transfer)), chunk_(std::move(chunk)) {
  ObserveCompletion(*this);
}

CreateChunkMapWork::~CreateChunkMapWork() = default;

void CreateChunkMapWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "CreateChunkMapWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
}

WorkStatus CreateChunkMapWork::ExecuteTask() {
  const std::shared_ptr<SharedFile> file =
      chunk_->fileData ? chunk_->fileData->sharedFile : nullptr;
  if (!file) {
    return WorkStatus(WorkResult::Error, std::make_shared<TransferErrorData>(
                                             TransferError::UnknownError,
                                             "CreateChunkMapWork::ExecuteTask has no shared file"));
  }
  try {
    chunk_->boundedData = file->Map(chunk_->lowerBound, chunk_->upperBound);
    return WorkStatus(WorkResult::Success);
  } catch (...) {
    return FileFailureStatus(std::current_exception());
  }
}

void CreateChunkMapWork::Reset() {
  SimpleWork::Reset();
  chunk_->boundedData.reset();
}

MutexPrefetchChunkWork::MutexPrefetchChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                                               std::shared_ptr<TransferSharedMapData> chunk)
    : TransferWork(std::move(transfer)), chunk_(std::move(chunk)) {
  ObserveCompletion(*this);
}

MutexPrefetchChunkWork::~MutexPrefetchChunkWork() = default;

void MutexPrefetchChunkWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "MutexPrefetchChunkWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
}

WorkStatus MutexPrefetchChunkWork::ExecuteTask() {
  if (!chunk_->boundedData) return NoMapError("MutexPrefetchChunkWork::ExecuteTask");
  // Reading a new file's pages back would only fill memory with zeros that the download
  // overwrites.
  if (NothingOnDisk(*chunk_)) return WorkStatus(WorkResult::Success);
  std::lock_guard<std::mutex> lock(PrefetchMutex());
  try {
    chunk_->boundedData->Fetch();
    return WorkStatus(WorkResult::Success);
  } catch (...) {
    return FileFailureStatus(std::current_exception());
  }
}

std::shared_ptr<ConditionalTransferChunkWork> ConditionalTransferChunkWork::Create(
    std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<TransferSharedMapData> chunk) {
  auto work = std::make_shared<ConditionalTransferChunkWork>(std::move(transfer), std::move(chunk));
  work->Build();
  return work;
}

ConditionalTransferChunkWork::ConditionalTransferChunkWork(
    std::shared_ptr<TransferWorkInterface> transfer, std::shared_ptr<TransferSharedMapData> chunk)
    : TransferWork(std::move(transfer)), chunk_(std::move(chunk)) {
  ObserveCompletion(*this);
}

ConditionalTransferChunkWork::~ConditionalTransferChunkWork() = default;

void ConditionalTransferChunkWork::Build() {
  const std::uint32_t limit =
      ChunkRetryLimit(transfer_->GetBehavior().settings.chunkRetryLimit, NodeCount(*transfer_));
  SetCondition(std::make_shared<VerifyChunkWork>(transfer_, chunk_, true));
  SetOnSuccess(std::make_shared<NoOpWork>());
  SetOnFailure(RetryableTransferChunkWork::Create(limit, transfer_, chunk_));
}

void ConditionalTransferChunkWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "ConditionalTransferChunkWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
}

VerifyChunkWork::VerifyChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                                 std::shared_ptr<TransferSharedMapData> chunk, bool beforeDownload)
    : TransferWork(std::move(transfer)), chunk_(std::move(chunk)), beforeDownload_(beforeDownload) {
  ObserveCompletion(*this);
}

VerifyChunkWork::~VerifyChunkWork() = default;

void VerifyChunkWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "VerifyChunkWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
}

WorkStatus VerifyChunkWork::ExecuteTask() {
  if (!chunk_->boundedData) return NoMapError("VerifyChunkWork::ExecuteTask");
  try {
    if (beforeDownload_) {
      const bool nothingOnDisk = NothingOnDisk(*chunk_);
      chunk_->existingChecked = true;
      if (nothingOnDisk) {
        chunk_->Prepare();
        return WorkStatus(WorkResult::Failure);
      }
      if (chunk_->progressUpdater) chunk_->progressUpdater->NoteDiskCheck();
    }
    // Checked under the chunk's race lock: a racing copy cannot commit into the window while it
    // is read, and the first copy to verify shuts the other out.
    std::unique_lock<std::mutex> race(chunk_->race.mutex);
    if (chunk_->race.verified) {
      // The racing copy's verified bytes are in the window, or this pipeline already verified.
      race.unlock();
      chunk_->Settle();
      return WorkStatus(WorkResult::Success);
    }
    std::uint32_t crc = 0;
    bool right = false;
    if (!beforeDownload_ && chunk_->received) {
      // The request wrote exactly the chunk and hashed every byte as it wrote it.
      crc = chunk_->received->crc32;
      right = chunk_->expectedSha256 ? chunk_->received->sha256 == chunk_->expectedSha256
                                     : crc == chunk_->expectedChecksum;
    } else if (chunk_->expectedSha256) {
      // The digest's context is made (and freed) outside the fault guard, which abandons the
      // window's function without unwinding; updating it allocates nothing. The CRC-32, taken
      // in the same pass, is reported for a wrong chunk as the record of what was served.
      Sha256Hasher hasher;
      chunk_->boundedData->ProcessWindow(
          [&hasher, &crc](const unsigned char* data, std::uint32_t length) {
            hasher.Update(data, length);
            crc = Crc32(data, length);
          });
      right = hasher.Finish() == *chunk_->expectedSha256;
    } else {
      chunk_->boundedData->ProcessWindow(
          [&crc](const unsigned char* data, std::uint32_t length) { crc = Crc32(data, length); });
      right = crc == chunk_->expectedChecksum;
    }
    if (right) {
      chunk_->race.verified = true;
      const std::shared_ptr<HttpRequest> racer = std::move(chunk_->race.racer);
      race.unlock();
      if (racer) racer->Cancel();
      if (!beforeDownload_) FlushAlong();
      chunk_->Settle();
      return WorkStatus(WorkResult::Success);
    }
    chunk_->Prepare();
    race.unlock();
    if (chunk_->lastStatus.result == HttpRequestResult::Success) {
      const std::uint32_t bit = 1u << (chunk_->nodeIndex % 32);
      if ((chunk_->badNodeMask & bit) == 0) {
        chunk_->badNodeMask |= bit;
        ++chunk_->badNodeCount;
      }
    }
    const std::shared_ptr<const NodeListManifest> nodes = transfer_->GetNodeList();
    const std::string node = nodes && chunk_->nodeIndex < nodes->GetNodes().size()
                                 ? nodes->GetNodes()[chunk_->nodeIndex]->GetHost()
                                 : std::string();
    return WorkStatus(WorkResult::Failure, std::make_shared<ChecksumStatusData>(chunk_, crc, node));
  } catch (...) {
    return FileFailureStatus(std::current_exception());
  }
}

void VerifyChunkWork::FlushAlong() {
  // Bytes this run wrote go to disk while the rest downloads, rather than all at the end: the
  // write-back starts at once, and every flushEveryBytes the file is flushed, which also
  // commits the allocation's metadata. Left to the end, that took 60-110 ms for 256 MiB on ext4
  // after the last byte had arrived, 5-20 ms this way. A file smaller than that waits for the
  // destination's one flush at the end with every other small file: starting the write-back of
  // each cost a system call per file and scattered the writes.
  const int every = transfer_->GetBehavior().settings.flushEveryBytes;
  const std::uint64_t threshold = static_cast<std::uint64_t>(std::max(every, 0));
  if (chunk_->fileData && chunk_->fileData->fileSize < threshold) return;
  chunk_->boundedData->StartWriteBack();
  if (!chunk_->fileData || every <= 0) return;
  std::atomic<std::uint64_t>& unflushed = chunk_->fileData->unflushedBytes;
  if (unflushed.fetch_add(chunk_->GetLength()) + chunk_->GetLength() >= threshold &&
      unflushed.exchange(0) >= threshold) {
    chunk_->boundedData->FlushData();
  }
}

std::shared_ptr<RetryableTransferChunkWork> RetryableTransferChunkWork::Create(
    std::uint32_t retryLimit, std::shared_ptr<TransferWorkInterface> transfer,
    std::shared_ptr<TransferSharedMapData> chunk) {
  auto work = std::make_shared<RetryableTransferChunkWork>(retryLimit, std::move(transfer),
                                                           std::move(chunk));
  work->Build();
  return work;
}

RetryableTransferChunkWork::RetryableTransferChunkWork(
    std::uint32_t retryLimit, std::shared_ptr<TransferWorkInterface> transfer,
    std::shared_ptr<TransferSharedMapData> chunk)
    : TransferWork(std::move(transfer)),
      LimitedRetrySequentialWork(nullptr, retryLimit),
      chunk_(std::move(chunk)) {
  ObserveCompletion(*this);
}

RetryableTransferChunkWork::~RetryableTransferChunkWork() = default;

void RetryableTransferChunkWork::Build() {
  const std::uint32_t limit =
      ChunkRetryLimit(transfer_->GetBehavior().settings.requestRetryLimit, NodeCount(*transfer_));
  AddChild(std::make_shared<OptimizedRequestChunkWork>(limit, transfer_, chunk_));
  AddChild(std::make_shared<VerifyChunkWork>(transfer_, chunk_));
}

void RetryableTransferChunkWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "RetryableTransferChunkWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
}

ReleaseChunkMapWork::ReleaseChunkMapWork(std::shared_ptr<TransferWorkInterface> transfer,
                                         std::shared_ptr<TransferSharedMapData> chunk)
    : TransferWork(std::move(transfer)), chunk_(std::move(chunk)) {
  ObserveCompletion(*this);
}

ReleaseChunkMapWork::~ReleaseChunkMapWork() = default;

void ReleaseChunkMapWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "ReleaseChunkMapWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
}

WorkStatus ReleaseChunkMapWork::ExecuteTask() {
  chunk_->boundedData.reset();
  return WorkStatus(WorkResult::Success);
}

}  // namespace halv
