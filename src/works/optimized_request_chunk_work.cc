#include "works/optimized_request_chunk_work.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "file/file_exception.h"
#include "http/http_request_factory.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_manifest.h"
#include "manifest/node_statistics.h"
#include "optimizer/transfer_optimizer.h"
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
                 std::shared_ptr<HttpRequest> request)
      : optimizer_(optimizer), id_(optimizer.Watch(node, std::move(request))) {}
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

}  // namespace

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

HttpRequestStatus TransferHttpWriter::Write(const char* data, std::size_t length) {
  const HttpRequestStatus status = HttpBoundedFileDataWriter::Write(data, length);
  if (status.bytesWritten != 0) {
    chunk_->fileProgressBytes += status.bytesWritten;
    if (chunk_->progressUpdater) {
      chunk_->progressUpdater->AddTransferredBytes(status.bytesWritten);
      chunk_->progressUpdater->AddReceivedBytes(status.bytesWritten);
    }
  }
  return status;
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

void OptimizedRequestChunkWork::CheckRange(HttpRequestStatus& status) const {
  if (status.result != HttpRequestResult::Success) return;
  const std::uint64_t length = chunk_->GetLength();
  bool exact = status.bytesWritten == length;
  if (exact && status.responseCode == 206) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    exact = ParseContentRange(status.contentRange, &first, &last) && first == chunk_->lowerBound &&
            last == chunk_->upperBound;
  } else if (exact) {
    // A whole-file answer is the chunk only when the chunk starts the file; it also fitted the
    // window, so the file is no longer than the chunk.
    exact = status.responseCode == 200 && chunk_->lowerBound == 0;
  }
  if (!exact) {
    status.result = HttpRequestResult::Incomplete;
    status.errorDetails = "answer is not the asked range (HTTP " +
                          std::to_string(status.responseCode) + ", " +
                          std::to_string(status.bytesWritten) + " of " + std::to_string(length) +
                          " bytes, Content-Range \"" + status.contentRange + "\")";
  }
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
    chunk_->Prepare();
    if (IsStopRequested()) request->Cancel();

    const std::uint32_t started = MillisecondTick();
    WatchedRequest watched(*behavior.optimizer, params_.SelectedNode, request);
    // The watch now counts the request; the node was never seen idle in between.
    behavior.optimizer->Release(params_);
    HttpRequestStatus status = request->Perform();
    params_.GivenUp =
        watched.End() && !IsStopRequested() && status.result == HttpRequestResult::Cancelled;
    const std::uint32_t elapsed = MillisecondTick() - started;
    if (params_.GivenUp) {
      // The watch called it off because the node fell far behind the others: the chunk goes to
      // another node, and the attempt does not count against its retries.
      status.result = HttpRequestResult::TimedOut;
      status.errorDetails = "given up: " + std::to_string(status.bytesWritten) +
                            " bytes while other nodes were far faster";
    }

    const std::uint64_t limitSeconds = static_cast<std::uint64_t>(
        static_cast<std::int64_t>(requestParams.connectTimeout) + requestParams.timeout);
    const std::uint32_t requestTimeMs =
        elapsed / 1000 > limitSeconds ? static_cast<std::uint32_t>(limitSeconds * 1000) : elapsed;
    CheckRange(status);
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

    const auto& nodes = params_.NodeList->GetNodes();
    std::size_t index = 0;
    while (index < nodes.size() && nodes[index] != params_.SelectedNode) ++index;
    chunk_->nodeIndex = static_cast<std::uint32_t>(index);
    chunk_->lastStatus = status;
    chunk_->endPosition = chunk_->boundedData->Tell();

    const bool failed = status.result != HttpRequestResult::NotStarted &&
                        status.result != HttpRequestResult::InProgress &&
                        status.result != HttpRequestResult::Success &&
                        status.result != HttpRequestResult::Cancelled;
    if (const std::shared_ptr<NodeStatistics> statistics = params_.SelectedNode->GetStatistics()) {
      statistics->AddSample(status.bytesWritten, requestTimeMs, failed);
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
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_.reset();
    }
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::InsufficientMemory,
                                                              std::current_exception()));
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_.reset();
    }
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferExceptionData>(TransferError::UnknownError,
                                                              std::current_exception()));
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

}  // namespace halv
