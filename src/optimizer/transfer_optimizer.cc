#include "optimizer/transfer_optimizer.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "manifest/node_manifest.h"
#include "manifest/node_statistics.h"
#include "optimizer/optimized_request_params.h"
#include "transfer/http_transfer_status_data.h"

namespace halv {
namespace {

// The low 32 bits of the chunk's length, as the time-outs are computed from.
std::int64_t ChunkLength(const OptimizedRequestParams& params) {
  if (!params.ChunkData) {
    throw std::invalid_argument("TransferOptimizer::GetNode called but chunk data is missing");
  }
  return static_cast<std::uint32_t>(params.ChunkData->upperBound - params.ChunkData->lowerBound +
                                    1);
}

// The seconds a chunk of `length` bytes needs when `threads` requests share `minSpeed` bytes
// per second, but at least `timeoutMin`. Computed in 64 bits and saturated, so that a large
// chunk or thread count cannot overflow into a negative (that is, no) limit; settings below 1
// count as 1 rather than dividing by zero.
std::int32_t RequestTimeout(std::int64_t length, int threads, int minSpeed, int timeoutMin) {
  const std::int64_t seconds = length * std::max(threads, 1) / std::max(minSpeed, 1);
  const std::int64_t limited =
      std::min<std::int64_t>(seconds, std::numeric_limits<std::int32_t>::max());
  return std::max<std::int32_t>(timeoutMin, static_cast<std::int32_t>(limited));
}

std::int32_t LowSpeedLimit(int minSpeed, int threads) { return minSpeed / std::max(threads, 1); }

}  // namespace

TransferOptimizer::TransferOptimizer(const Settings& settings)
    : settings_(settings),
      connectTimeout_(settings.connectTimeoutMin),
      lowSpeedTime_(settings.lowSpeedTimeMin) {}

TransferOptimizer::~TransferOptimizer() = default;

void TransferOptimizer::ReportResult(const OptimizedRequestParams& params,
                                     const HttpTransferStatusData& statusData) {
  std::lock_guard<std::mutex> lock(mutex_);
  const HttpRequestResult result = statusData.GetStatus().result;
  if (!params.IsProbe) {
    if (result == HttpRequestResult::Success) {
      connectTimeout_ = std::max(connectTimeout_ - 1, settings_.connectTimeoutMin);
      lowSpeedTime_ = std::max(lowSpeedTime_ - 1, settings_.lowSpeedTimeMin);
    } else if (result == HttpRequestResult::TimedOut) {
      // Doubled in 64 bits: the maxima bound the result, not the intermediate product.
      connectTimeout_ = static_cast<std::int32_t>(std::min<std::int64_t>(
          2 * static_cast<std::int64_t>(connectTimeout_), settings_.connectTimeoutMax));
      lowSpeedTime_ = static_cast<std::int32_t>(std::min<std::int64_t>(
          2 * static_cast<std::int64_t>(lowSpeedTime_), settings_.lowSpeedTimeMax));
    }
  }
  UpdateStatistics(params, statusData);
}

std::shared_ptr<NodeStatistics> TransferOptimizer::GetStatistics(const NodeManifest& node) {
  return node.GetStatistics();
}

void TransferOptimizer::SelectNode(OptimizedRequestParams& params,
                                   const std::shared_ptr<NodeManifest>& node) const {
  const std::int64_t length = ChunkLength(params);
  params.SelectedNode = node;
  params.FreeRetry = false;
  params.IsProbe = false;
  params.CanExtendTimeouts =
      connectTimeout_ < settings_.connectTimeoutMax || lowSpeedTime_ < settings_.lowSpeedTimeMax;
  params.ConnectTimeout = connectTimeout_;
  params.LowSpeedTime = lowSpeedTime_;
  params.Timeout = RequestTimeout(length, settings_.workThreads, settings_.minTotalSpeed,
                                  settings_.requestTimeoutMin);
  params.LowSpeedLimit = LowSpeedLimit(settings_.minTotalSpeed, settings_.workThreads);
}

void TransferOptimizer::SelectProbe(OptimizedRequestParams& params,
                                    const std::shared_ptr<NodeManifest>& node) const {
  const std::int64_t length = ChunkLength(params);
  params.SelectedNode = node;
  params.FreeRetry = true;
  params.CanExtendTimeouts = false;
  params.IsProbe = true;
  params.ConnectTimeout = settings_.probeConnectTimeout;
  params.LowSpeedTime = settings_.probeLowSpeedTime;
  params.Timeout = RequestTimeout(length, settings_.workThreads, settings_.probeMinTotalSpeed,
                                  settings_.probeRequestTimeoutMin);
  params.LowSpeedLimit = LowSpeedLimit(settings_.probeMinTotalSpeed, settings_.workThreads);
}

}  // namespace halv
