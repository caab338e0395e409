#include "works/optimized_request_chunk_work.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "file/crc32.h"
#include "file/file_exception.h"
#include "file/shared_file.h"
#include "http/http_request_factory.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_manifest.h"
#include "manifest/node_statistics.h"
#include "optimizer/transfer_optimizer.h"
#include "sign/sha256.h"
#include "transfer/http_transfer_status_data.h"
#include "transfer/transfer_error_data.h"

namespace halv {

namespace {

// The system's millisecond timer: wraps, so only differences mean anything.
std::uint32_t MillisecondTick() {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// Reads "bytes FIRST-LAST/..." (the unit case-insensitive); false for anything else.
bool ParseContentRange(const std::string& text, std::uint64_t* first, std::uint64_t* last) {
  unsigned long long a = 0;
  unsigned long long b = 0;
  char unit[6] = {};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%5s %llu-%llu%n", unit, &a, &b, &consumed) != 3) return false;
  const std::string name(unit);
  if (name != "bytes" && name != "BYTES" && name != "Bytes") return false;
  if (text[static_cast<std::size_t>(consumed)] != '/') return false;
  *first = a;
  *last = b;
  return true;
}

// The optimizer's watch over one request, ended by End or, should the request throw, on leaving
// the scope.
class WatchedRequest {
 public:
  WatchedRequest(TransferOptimizer& optimizer, const std::shared_ptr<NodeManifest>& node,
                 std::shared_ptr<HttpRequest> request, RaceHook race = RaceHook())
      : optimizer_(optimizer), id_(optimizer.Watch(node, std::move(request), std::move(race))) {}
  ~WatchedRequest() { End(); }
  WatchedRequest(const WatchedRequest&) = delete;
  WatchedRequest& operator=(const WatchedRequest&) = delete;

  // Whether the watch gave the request up; only the first call can say so.
  bool End() {
    const bool givenUp = id_ != 0 && optimizer_.Unwatch(id_);
    id_ = 0;
    return givenUp;
  }

 private:
  TransferOptimizer& optimizer_;
  TransferOptimizer::WatchId id_;
};

// Gives back the in-flight count GetNode took, on leaving the scope whatever happens before the
// request is watched.
class NodeReservation {
 public:
  NodeReservation(TransferOptimizer& optimizer, OptimizedRequestParams& params)
      : optimizer_(optimizer), params_(params) {}
  ~NodeReservation() { optimizer_.Release(params_); }
  NodeReservation(const NodeReservation&) = delete;
  NodeReservation& operator=(const NodeReservation&) = delete;

 private:
  TransferOptimizer& optimizer_;
  OptimizedRequestParams& params_;
};

// Receives the racing copy of a chunk into a buffer of the chunk's length.
// Ownership: lives on the stack of the racing attempt. Thread-safety: the request's thread only.
class RaceBufferWriter : public HttpWriteCallback {
 public:
  explicit RaceBufferWriter(std::uint64_t length) { buffer_.reserve(length); }

  HttpRequestStatus Write(const char* data, std::size_t length) override {
    if (length > buffer_.capacity() - buffer_.size()) {
      HttpRequestStatus status(HttpRequestResult::Incomplete, 0);
      status.errorDetails = "body runs past the chunk";
      return status;
    }
    buffer_.insert(buffer_.end(), data, data + length);
    return HttpRequestStatus(HttpRequestResult::Success, length);
  }

  const std::vector<unsigned char>& Buffer() const { return buffer_; }

 private:
  std::vector<unsigned char> buffer_;
};

// The index of `node` in `nodes`; nodes.size() when it is not there.
std::uint32_t IndexOf(const std::vector<std::shared_ptr<NodeManifest>>& nodes,
                      const std::shared_ptr<NodeManifest>& node) {
  std::size_t index = 0;
  while (index < nodes.size() && nodes[index] != node) ++index;
  return static_cast<std::uint32_t>(index);
}

// A result that says the node failed, for its statistics; a cancel or a refused write is not.
bool IsNodeFailure(HttpRequestResult result) {
  return result != HttpRequestResult::NotStarted && result != HttpRequestResult::InProgress &&
         result != HttpRequestResult::Success && result != HttpRequestResult::Cancelled;
}

// The request time to record: the elapsed time, at most the request's own limits.
std::uint32_t RequestTimeMs(const HttpRequestParams& params, std::uint32_t elapsed) {
  const std::uint64_t limitSeconds =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(params.connectTimeout) + params.timeout);
  return elapsed / 1000 > limitSeconds ? static_cast<std::uint32_t>(limitSeconds * 1000) : elapsed;
}

}  // namespace

void CheckChunkRange(const TransferSharedMapData& chunk, HttpRequestStatus& status) {
  if (status.result != HttpRequestResult::Success) return;
  const std::uint64_t length = chunk.GetLength();
  bool exact = status.bytesWritten == length;
  if (exact && status.responseCode == 206) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    exact = ParseContentRange(status.contentRange, &first, &last) && first == chunk.lowerBound &&
            last == chunk.upperBound;
  } else if (exact) {
    // A whole-file answer is the chunk only when the chunk starts the file; it also fitted the
    // window, so the file is no longer than the chunk.
    exact = status.responseCode == 200 && chunk.lowerBound == 0;
  }
  if (!exact) {
    status.result = HttpRequestResult::Incomplete;
    status.errorDetails = "answer is not the asked range (HTTP " +
                          std::to_string(status.responseCode) + ", " +
                          std::to_string(status.bytesWritten) + " of " + std::to_string(length) +
                          " bytes, Content-Range \"" + status.contentRange + "\")";
  }
}

HttpRequestStatus HttpBoundedFileDataWriter::Write(const char* data, std::size_t length) {
  if (length == 0) return HttpRequestStatus(HttpRequestResult::Success, 0);
  try {
    const std::size_t written = data_->Write(data, length);
    return HttpRequestStatus(
        written == length ? HttpRequestResult::Success : HttpRequestResult::WriteFailed, written);
  } catch (const FileOutOfBoundsException&) {
    HttpRequestStatus status(HttpRequestResult::Incomplete, 0);
    status.errorDetails = "body runs past the chunk";
    return status;
  } catch (const std::bad_alloc&) {
    return HttpRequestStatus(HttpRequestResult::OutOfMemory, 0);
  } catch (...) {
    return HttpRequestStatus(HttpRequestResult::WriteFailed, 0);
  }
}

TransferHttpWriter::TransferHttpWriter(std::shared_ptr<TransferSharedMapData> chunk)
    : HttpBoundedFileDataWriter(chunk->boundedData), chunk_(std::move(chunk)) {
  if (chunk_->expectedSha256) sha256_ = std::make_unique<Sha256Hasher>();
}

TransferHttpWriter::~TransferHttpWriter() = default;

HttpRequestStatus TransferHttpWriter::Write(const char* data, std::size_t length) {
  HttpRequestStatus status;
  {
    // Under the chunk's race lock, which a racing copy's commit takes too: no byte of this
    // request lands in the window once a copy verified.
    std::lock_guard<std::mutex> lock(chunk_->race.mutex);
    if (chunk_->race.verified) {
      HttpRequestStatus refused(HttpRequestResult::Cancelled, 0);
      refused.errorDetails = "the chunk was verified from another copy";
      return refused;
    }
    status = HttpBoundedFileDataWriter::Write(data, length);
    if (status.bytesWritten != 0) {
      chunk_->fileProgressBytes += status.bytesWritten;
      if (chunk_->progressUpdater) {
        chunk_->progressUpdater->AddTransferredBytes(status.bytesWritten);
        chunk_->progressUpdater->AddReceivedBytes(status.bytesWritten);
      }
    }
  }
  // Exactly the bytes that went into the file, hashed outside the lock.
  if (status.bytesWritten != 0) {
    crc32_ = Crc32(data, status.bytesWritten, crc32_);
    if (sha256_) sha256_->Update(data, status.bytesWritten);
  }
  return status;
}

TransferSharedMapData::ReceivedDigests TransferHttpWriter::TakeDigests() {
  TransferSharedMapData::ReceivedDigests digests;
  digests.crc32 = crc32_;
  if (sha256_) digests.sha256 = sha256_->Finish();
  return digests;
}

OptimizedRequestChunkWork::OptimizedRequestChunkWork(
    std::uint32_t retryLimit, std::shared_ptr<TransferWorkInterface> transfer,
    std::shared_ptr<TransferSharedMapData> chunk)
    : TransferWork(std::move(transfer)),
      LimitedRetrySimpleWork(retryLimit),
      chunk_(std::move(chunk)),
      params_(transfer_->GetNodeList(), transfer_->GetParamsRef(), chunk_) {
  ObserveCompletion(*this);
  ObserveRetries(*this);
}

OptimizedRequestChunkWork::~OptimizedRequestChunkWork() = default;

void OptimizedRequestChunkWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "OptimizedRequestChunkWork");
  DescribeParams(tree, false);
  if (chunk_) chunk_->Describe(tree);
  std::lock_guard<std::mutex> lock(mutex_);
  if (lostRace_) tree.put("race", "lost");
}

bool OptimizedRequestChunkWork::IsImportant() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lostRace_;
}

bool OptimizedRequestChunkWork::ShouldRetry() {
  if (params_.FreeRetry) return true;
  return LimitedRetrySimpleWork::ShouldRetry();
}

WorkResult OptimizedRequestChunkWork::ToWorkResult(HttpRequestResult result) {
  switch (result) {
    case HttpRequestResult::Success:
      return WorkResult::Success;
    case HttpRequestResult::Cancelled:
      return WorkResult::Stopped;
    case HttpRequestResult::InvalidUrl:
    case HttpRequestResult::ResolveFailed:
    case HttpRequestResult::ConnectFailed:
    case HttpRequestResult::ClientError:
    case HttpRequestResult::ServerError:
    case HttpRequestResult::NetworkError:
    case HttpRequestResult::WriteFailed:
    case HttpRequestResult::Incomplete:
    case HttpRequestResult::TimedOut:
    case HttpRequestResult::OtherError:
      return WorkResult::Retryable;
    default:
      return WorkResult::Error;
  }
}

bool OptimizedRequestChunkWork::RacerWon() const {
  std::lock_guard<std::mutex> lock(chunk_->race.mutex);
  return chunk_->race.racerWon;
}

WorkStatus OptimizedRequestChunkWork::LostRace(HttpRequestStatus status,
                                               std::uint32_t requestTimeMs) {
  std::string winner;
  {
    std::lock_guard<std::mutex> lock(chunk_->race.mutex);
    winner = chunk_->race.racerHost;
  }
  if (params_.SelectedNode && status.result != HttpRequestResult::NotStarted) {
    // What the node sent counts for it, though the chunk was taken from the other copy.
    if (const std::shared_ptr<NodeStatistics> statistics = params_.SelectedNode->GetStatistics()) {
      statistics->AddSample(status.bytesWritten, requestTimeMs, false);
    }
  }
  status.result = HttpRequestResult::Cancelled;
  status.errorDetails = "lost the race: the racing copy from " + winner + " verified first";
  const std::string host = params_.SelectedNode ? params_.SelectedNode->GetHost() : std::string();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request_.reset();
    lostRace_ = true;
  }
  return WorkStatus(WorkResult::Success,
                    std::make_shared<HttpTransferStatusData>(
                        host, status, static_cast<std::int32_t>(requestTimeMs)));
}

WorkStatus OptimizedRequestChunkWork::ExecuteTask() {
  if (!chunk_ || !chunk_->boundedData) {
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferErrorData>(
                          TransferError::UnknownError,
                          "OptimizedRequestChunkWork::ExecuteTask has no shared map"));
  }
  try {
    const TransferBehavior& behavior = transfer_->GetBehavior();
    if (RacerWon()) return LostRace(HttpRequestStatus(), 0);
    NodeReservation reservation(*behavior.optimizer, params_);
    behavior.optimizer->GetNode(params_);
    TransferHttpWriter writer(chunk_);
    const HttpRequestParams requestParams = params_.ToRequestParams(&writer);
    std::shared_ptr<HttpRequest> request =
        behavior.requestFactory->CreateRequest(requestParams, transfer_->GetSession());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_ = request;
    }
    bool lostBefore = false;
    {
      // Registered where a racing copy that wins finds it to cancel; a copy that won already
      // leaves nothing to ask for.
      std::lock_guard<std::mutex> lock(chunk_->race.mutex);
      lostBefore = chunk_->race.racerWon;
      if (!lostBefore) {
        chunk_->Prepare();
        chunk_->race.first = request;
        chunk_->race.firstHost = params_.SelectedNode->GetHost();
      }
    }
    if (lostBefore) return LostRace(HttpRequestStatus(), 0);
    if (IsStopRequested()) request->Cancel();

    const std::uint32_t started = MillisecondTick();
    WatchedRequest watched(*behavior.optimizer, params_.SelectedNode, request,
                           RaceHook{chunk_->GetLength(), params_.NodeList, chunk_->race.start});
    // The watch now counts the request; the node was never seen idle in between.
    behavior.optimizer->Release(params_);
    HttpRequestStatus status = request->Perform();
    params_.GivenUp =
        watched.End() && !IsStopRequested() && status.result == HttpRequestResult::Cancelled;
    const std::uint32_t elapsed = MillisecondTick() - started;
    const std::uint32_t requestTimeMs = RequestTimeMs(requestParams, elapsed);
    bool lost = false;
    {
      std::lock_guard<std::mutex> lock(chunk_->race.mutex);
      lost = chunk_->race.racerWon;
      chunk_->race.first.reset();
      chunk_->race.firstHost.clear();
    }
    if (lost) return LostRace(status, requestTimeMs);
    if (params_.GivenUp) {
      // The watch called it off because the node fell far behind the others: the chunk goes to
      // another node, and the attempt does not count against its retries.
      status.result = HttpRequestResult::TimedOut;
      status.errorDetails = "given up: " + std::to_string(status.bytesWritten) +
                            " bytes while other nodes were far faster";
    }

    CheckChunkRange(*chunk_, status);
    // Exactly the chunk's range, written from its first byte on: what was hashed on the way in
    // is what the window holds.
    if (status.result == HttpRequestResult::Success) chunk_->received = writer.TakeDigests();
    const WorkResult result = ToWorkResult(status.result);
    // A failure names the node, the file and the cause in words, so that the last failure of a
    // transfer tells its user where to look.
    const std::string& host = params_.SelectedNode->GetHost();
    std::string message;
    if (status.result != HttpRequestResult::Success) {
      message = "node " + host + ", file " +
                (chunk_->fileData ? chunk_->fileData->filePath : std::string("?")) + ": " +
                DescribeRequestFailure(requestParams.url, status);
    }
    auto data = std::make_shared<HttpTransferStatusData>(
        host, status, static_cast<std::int32_t>(requestTimeMs), std::move(message));

    chunk_->nodeIndex = IndexOf(params_.NodeList->GetNodes(), params_.SelectedNode);
    chunk_->lastStatus = status;
    chunk_->endPosition = chunk_->boundedData->Tell();

    if (const std::shared_ptr<NodeStatistics> statistics = params_.SelectedNode->GetStatistics()) {
      statistics->AddSample(status.bytesWritten, requestTimeMs, IsNodeFailure(status.result));
    }
    if (result == WorkResult::Success || result == WorkResult::Retryable) {
      behavior.optimizer->ReportResult(params_, *data);
    }
    if (result != WorkResult::Stopped) params_.DropSelectedNode();
    if (params_.GivenUp ||
        (status.result == HttpRequestResult::TimedOut && params_.CanExtendTimeouts)) {
      params_.FreeRetry = true;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_.reset();
    }
    return WorkStatus(result, std::move(data));
  } catch (const std::bad_alloc&) {
    ForgetRequest();
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::InsufficientMemory,
                                                              std::current_exception()));
  } catch (...) {
    ForgetRequest();
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::UnknownError,
                                                              std::current_exception()));
  }
}

void OptimizedRequestChunkWork::ForgetRequest() {
  std::shared_ptr<HttpRequest> request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request = std::move(request_);
  }
  std::lock_guard<std::mutex> lock(chunk_->race.mutex);
  if (request && chunk_->race.first == request) {
    chunk_->race.first.reset();
    chunk_->race.firstHost.clear();
  }
}

void OptimizedRequestChunkWork::Interrupt() {
  std::shared_ptr<HttpRequest> request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request = request_;
  }
  if (request) request->Cancel();
}

RaceChunkWork::RaceChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                             std::shared_ptr<TransferSharedMapData> chunk, std::string firstHost)
    : TransferWork(std::move(transfer)),
      chunk_(std::move(chunk)),
      firstHost_(std::move(firstHost)),
      params_(transfer_->GetNodeList(), transfer_->GetParamsRef(), chunk_) {
  ObserveCompletion(*this);
}

RaceChunkWork::~RaceChunkWork() = default;

void RaceChunkWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "RaceChunkWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
  tree.put("raceOf", firstHost_);
  std::lock_guard<std::mutex> lock(mutex_);
  tree.put("race", outcome_);
  tree.put("important", true);
}

void RaceChunkWork::SetOutcome(const char* outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_ = outcome;
}

bool RaceChunkWork::Verify(const std::vector<unsigned char>& buffer) const {
  if (buffer.size() != chunk_->GetLength()) return false;
  if (chunk_->expectedSha256) {
    Sha256Hasher hasher;
    hasher.Update(buffer.data(), buffer.size());
    return hasher.Finish() == *chunk_->expectedSha256;
  }
  return Crc32(buffer.data(), static_cast<std::uint32_t>(buffer.size())) ==
         chunk_->expectedChecksum;
}

bool RaceChunkWork::Commit(const std::vector<unsigned char>& buffer) {
  const std::shared_ptr<SharedFile> file =
      chunk_->fileData ? chunk_->fileData->sharedFile : nullptr;
  if (!file) return false;
  // A window of its own: the first copy's pipeline may drop the chunk's window at any time. The
  // file stays open and in place while this work runs, as the file's chunk work, which waits for
  // it, is not done before it ends.
  const std::shared_ptr<MemoryMappedFileData> window =
      file->Map(chunk_->lowerBound, chunk_->upperBound);
  std::shared_ptr<HttpRequest> first;
  std::uint64_t counted = 0;
  {
    std::lock_guard<std::mutex> lock(chunk_->race.mutex);
    if (chunk_->race.verified || IsStopRequested()) return false;
    window->Seek(chunk_->lowerBound);
    if (window->Write(buffer.data(), buffer.size()) != buffer.size()) return false;
    chunk_->race.verified = true;
    chunk_->race.racerWon = true;
    first = chunk_->race.first;
    counted = std::min<std::uint64_t>(chunk_->fileProgressBytes, buffer.size());
  }
  if (first) first->Cancel();
  window->StartWriteBack();
  // Received once: the first copy counted its bytes as they came.
  if (chunk_->progressUpdater) chunk_->progressUpdater->AddReceivedBytes(buffer.size() - counted);
  return true;
}

WorkStatus RaceChunkWork::ExecuteTask() {
  const TransferBehavior& behavior = transfer_->GetBehavior();
  try {
    if (!behavior.optimizer->GetRaceNode(params_, firstHost_)) {
      SetOutcome("no idle node");
      return WorkStatus(WorkResult::Success);
    }
    NodeReservation reservation(*behavior.optimizer, params_);
    RaceBufferWriter writer(chunk_->GetLength());
    const HttpRequestParams requestParams = params_.ToRequestParams(&writer);
    std::shared_ptr<HttpRequest> request =
        behavior.requestFactory->CreateRequest(requestParams, transfer_->GetSession());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_ = request;
    }
    const std::string host = params_.SelectedNode->GetHost();
    bool verifiedBefore = false;
    {
      std::lock_guard<std::mutex> lock(chunk_->race.mutex);
      verifiedBefore = chunk_->race.verified;
      if (!verifiedBefore) {
        chunk_->race.racer = request;
        chunk_->race.racerHost = host;
      }
    }
    if (verifiedBefore) {
      SetOutcome("lost");
      return WorkStatus(WorkResult::Success);
    }
    if (IsStopRequested()) request->Cancel();

    const std::uint32_t started = MillisecondTick();
    WatchedRequest watched(*behavior.optimizer, params_.SelectedNode, request);
    behavior.optimizer->Release(params_);
    HttpRequestStatus status = request->Perform();
    params_.GivenUp =
        watched.End() && !IsStopRequested() && status.result == HttpRequestResult::Cancelled;
    const std::uint32_t requestTimeMs = RequestTimeMs(requestParams, MillisecondTick() - started);
    {
      std::lock_guard<std::mutex> lock(chunk_->race.mutex);
      chunk_->race.racer.reset();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_.reset();
    }
    if (params_.GivenUp) status.result = HttpRequestResult::TimedOut;
    CheckChunkRange(*chunk_, status);

    const char* outcome = "failed";
    if (status.result == HttpRequestResult::Success) {
      outcome = !Verify(writer.Buffer()) ? "wrong bytes" : Commit(writer.Buffer()) ? "won" : "lost";
    } else if (status.result == HttpRequestResult::Cancelled) {
      outcome = "lost";
    }
    SetOutcome(outcome);
    status.errorDetails = std::string("racing copy of the request to ") + firstHost_ + ": " +
                          outcome + (status.errorDetails.empty() ? "" : "; ") + status.errorDetails;
    if (const std::shared_ptr<NodeStatistics> statistics = params_.SelectedNode->GetStatistics()) {
      statistics->AddSample(status.bytesWritten, requestTimeMs, IsNodeFailure(status.result));
    }
    auto data = std::make_shared<HttpTransferStatusData>(host, status,
                                                         static_cast<std::int32_t>(requestTimeMs));
    if (status.result != HttpRequestResult::Cancelled) {
      behavior.optimizer->ReportResult(params_, *data);
    }
    return WorkStatus(WorkResult::Success, std::move(data));
  } catch (...) {
    // A racing copy is a spare: whatever stops it leaves the first copy to finish the chunk.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_.reset();
    }
    {
      std::lock_guard<std::mutex> lock(chunk_->race.mutex);
      chunk_->race.racer.reset();
    }
    SetOutcome("failed");
    return WorkStatus(WorkResult::Success,
                      std::make_shared<TransferExceptionData>(TransferError::UnknownError,
                                                              std::current_exception()));
  }
}

void RaceChunkWork::Interrupt() {
  std::shared_ptr<HttpRequest> request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request = request_;
  }
  if (request) request->Cancel();
}

}  // namespace halv
