#include "optimizer/transfer_optimizer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>

#include "http/http_request.h"
#include "manifest/node_list_manifest.h"
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

// A racing copy is asked for only when its node is expected to deliver the whole chunk in
// 1/kRaceMargin of the time the request needs for the rest: between nodes of about one speed, the
// noise of their statistics would otherwise start copies that win nothing.
constexpr double kRaceMargin = 2.0;
// Nor for a request expected to be done within this many seconds: a copy could save no more, and
// on a busy machine the speeds of small requests vary by more than the margin.
constexpr double kRaceWorthSeconds = 0.1;

// A failure that says the node cannot be reached at all, rather than that it answered badly.
bool IsUnreachable(const HttpRequestStatus& status, bool givenUp) {
  switch (status.result) {
    case HttpRequestResult::ResolveFailed:
    case HttpRequestResult::ConnectFailed:
      return true;
    case HttpRequestResult::TimedOut:
      // A node the watch gave up after part of the body is slow, not gone: the statistics rate
      // it. One that sent nothing, or that even curl's low-speed limit gave up, is set aside.
      return status.bytesWritten == 0 || !givenUp;
    default:
      return false;
  }
}

}  // namespace

TransferOptimizer::TransferOptimizer(const Settings& settings, const Clock& clock)
    : settings_(settings),
      clock_(clock),
      connectTimeout_(settings.connectTimeoutMin),
      lowSpeedTime_(settings.lowSpeedTimeMin) {}

TransferOptimizer::~TransferOptimizer() { StopWatch(); }

void TransferOptimizer::StopWatch() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    watchStopping_ = true;
    thread = std::move(watchThread_);
  }
  watchWake_.notify_all();
  if (thread.joinable()) thread.join();
}

TransferOptimizer::WatchId TransferOptimizer::Watch(const std::shared_ptr<NodeManifest>& node,
                                                    std::shared_ptr<HttpRequest> request,
                                                    RaceHook race) {
  WatchId id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = nextWatchId_++;
    const std::string host = node ? node->GetHost() : std::string();
    ++inFlight_[host];
    watched_[id] = Watched{host, std::move(request), clock_.Now(), false, std::move(race), false};
  }
  if (settings_.requestWatchMilliseconds > 0) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    if (!watchStopping_ && !watchThread_.joinable()) {
      watchThread_ = std::thread([this] { WatchLoop(); });
    }
  }
  return id;
}

bool TransferOptimizer::Unwatch(WatchId id) {
  bool givenUp = false;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto entry = watched_.find(id);
    if (entry == watched_.end()) return false;
    givenUp = entry->second.givenUp;
    const std::string host = entry->second.host;
    Unreserve(host);
    watched_.erase(entry);
    // A node just went idle at the end of a file: the watch looks at once rather than at its
    // next round, as every moment that node waits is lost.
    if (InFlight(host) == 0) {
      for (const auto& [other, watched] : watched_) {
        if (watched.race.start && !watched.raced && !watched.givenUp) {
          wake = true;
          break;
        }
      }
    }
  }
  if (wake) {
    {
      std::lock_guard<std::mutex> lock(watchMutex_);
      lookNow_ = true;
    }
    watchWake_.notify_all();
  }
  return givenUp;
}

void TransferOptimizer::Release(OptimizedRequestParams& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!params.Reserved) return;
  params.Reserved = false;
  if (params.SelectedNode) Unreserve(params.SelectedNode->GetHost());
}

void TransferOptimizer::Reserve(OptimizedRequestParams& params,
                                const std::shared_ptr<NodeManifest>& node) {
  if (params.Reserved && params.SelectedNode) Unreserve(params.SelectedNode->GetHost());
  params.Reserved = false;
  if (!node) return;
  ++inFlight_[node->GetHost()];
  params.Reserved = true;
}

void TransferOptimizer::Unreserve(const std::string& host) {
  const auto count = inFlight_.find(host);
  if (count != inFlight_.end() && --count->second == 0) inFlight_.erase(count);
}

std::uint32_t TransferOptimizer::InFlight(const std::string& host) const {
  const auto count = inFlight_.find(host);
  return count == inFlight_.end() ? 0 : count->second;
}

bool TransferOptimizer::IsFarBehind(const std::string& host) {
  // An unmeasured or dead host is never far behind; asking for the reference speed only for a
  // measured one keeps a list of hundreds of dead nodes from costing a scan of every node for
  // each of them.
  const double mean = MeanSpeed(host);
  if (!(mean > 0.0)) return false;
  return mean * std::max(settings_.slowRequestFactor, 1) < ReferenceSpeed(host);
}

std::uint32_t TransferOptimizer::RequestsInFlight(const NodeListManifest& nodes) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::TimePoint now = clock_.Now();
  const double perNode = std::max(settings_.requestsPerNode, 1);
  double best = 0.0;
  for (const auto& node : nodes.GetNodes()) best = std::max(best, MeanSpeed(node->GetHost()));
  std::unordered_map<std::string, bool> seen;
  double total = 0.0;
  for (const auto& node : nodes.GetNodes()) {
    const std::string& host = node->GetHost();
    if (!seen.emplace(host, true).second) continue;
    const auto aside = setAside_.find(host);
    if (aside != setAside_.end() && now < aside->second.until) continue;
    if (IsFarBehind(host)) continue;
    const double mean = MeanSpeed(host);
    // An unmeasured node gets the plain share; a measured one up to twice that by its speed.
    total +=
        mean > 0.0 && best > 0.0 ? std::max(1.0, std::round(2.0 * perNode * mean / best)) : perNode;
  }
  const double most = std::max(settings_.maxRequestsInFlight, 1);
  return static_cast<std::uint32_t>(std::clamp(total, 1.0, most));
}

void TransferOptimizer::WatchLoop() {
  std::unique_lock<std::mutex> lock(watchMutex_);
  while (!watchStopping_) {
    watchWake_.wait_for(lock, std::chrono::milliseconds(settings_.requestWatchMilliseconds),
                        [this] { return watchStopping_ || lookNow_; });
    if (watchStopping_) break;
    lookNow_ = false;
    lock.unlock();
    CheckRequests();
    lock.lock();
  }
}

void TransferOptimizer::CheckRequests() {
  // The requests are asked for their bytes without mutex_, as a request's own mutex never nests
  // inside the optimizer's.
  std::vector<std::pair<WatchId, std::shared_ptr<HttpRequest>>> running;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, watched] : watched_) {
      if (!watched.givenUp) running.emplace_back(id, watched.request);
    }
  }
  std::vector<std::pair<WatchId, std::uint64_t>> bytes;
  bytes.reserve(running.size());
  for (const auto& [id, request] : running) {
    bytes.emplace_back(id, request ? request->GetStatus().bytesWritten : 0);
  }
  std::vector<std::shared_ptr<HttpRequest>> giveUp;
  struct Race {
    double secondsLeft;  // of the request at its rate so far
    WatchId id;
    std::function<bool()> start;
  };
  std::vector<Race> races;
  std::unordered_set<std::string> idle;  // the nodes that could take a racing copy now
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::TimePoint now = clock_.Now();
    const auto patience = std::chrono::seconds(std::max(settings_.slowRequestSeconds, 1));
    const auto raceAfter = std::chrono::milliseconds(std::max(settings_.raceMilliseconds, 0));
    for (const auto& [id, count] : bytes) {
      const auto entry = watched_.find(id);
      if (entry == watched_.end() || entry->second.givenUp) continue;
      Watched& watched = entry->second;
      const Clock::Duration elapsed = now - watched.started;
      const double seconds = std::chrono::duration<double>(elapsed).count();
      const double rate = seconds > 0.0 ? static_cast<double>(count) / seconds : 0.0;
      if (elapsed >= patience) {
        const double reference = ReferenceSpeed(watched.host);
        if (reference > 0.0 && rate * std::max(settings_.slowRequestFactor, 1) < reference) {
          watched.givenUp = true;
          giveUp.push_back(watched.request);
          continue;
        }
      }
      if (watched.raced || !watched.race.start || !watched.race.nodes ||
          settings_.raceMilliseconds < 0) {
        continue;
      }
      // The request's rate so far, once it has run long enough to mean something; before that,
      // its node's mean speed, when the statistics know it.
      double expected = rate;
      if (elapsed < raceAfter) {
        expected = MeanSpeed(watched.host);
        if (!(expected > 0.0)) continue;
      }
      // The rest at that rate against the whole chunk from an idle node.
      const double left = watched.race.length > count
                              ? static_cast<double>(watched.race.length - count)
                              : 0.0;
      const double secondsLeft =
          expected > 0.0 ? left / expected : std::numeric_limits<double>::infinity();
      if (secondsLeft < kRaceWorthSeconds) continue;
      for (const auto& node : watched.race.nodes->GetNodes()) {
        if (!IsRaceable(node->GetHost(), watched.host, now)) continue;
        const double mean = MeanSpeed(node->GetHost());
        const double whole = static_cast<double>(watched.race.length);
        if (mean > 0.0 && kRaceMargin * whole / mean >= secondsLeft) continue;
        if (races.empty()) {
          for (const auto& other : watched.race.nodes->GetNodes()) {
            if (IsRaceable(other->GetHost(), std::string(), now)) idle.insert(other->GetHost());
          }
        }
        races.push_back(Race{secondsLeft, id, watched.race.start});
        break;
      }
    }
  }
  // The requests furthest from done are raced first, one for each idle node: a racing copy
  // that finds no idle node left would spend the chunk's only race.
  std::stable_sort(races.begin(), races.end(),
                   [](const Race& a, const Race& b) { return a.secondsLeft > b.secondsLeft; });
  if (races.size() > idle.size()) races.resize(idle.size());
  for (const auto& request : giveUp) {
    if (request) request->Cancel();
  }
  // The hooks take work locks: with mutex_ released, as a request's mutex is.
  for (const Race& race : races) {
    if (!race.start()) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto entry = watched_.find(race.id);
    if (entry != watched_.end()) entry->second.raced = true;
  }
}

bool TransferOptimizer::IsRaceable(const std::string& host, const std::string& firstHost,
                                   Clock::TimePoint now) {
  if (host == firstHost || InFlight(host) != 0) return false;
  const auto aside = setAside_.find(host);
  if (aside != setAside_.end() && now < aside->second.until) return false;
  return !IsFarBehind(host);
}

bool TransferOptimizer::GetRaceNode(OptimizedRequestParams& params, const std::string& firstHost) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!params.NodeList) return false;
  const Clock::TimePoint now = clock_.Now();
  std::shared_ptr<NodeManifest> fastest;
  std::shared_ptr<NodeManifest> unmeasured;
  double best = 0.0;
  for (const auto& node : params.NodeList->GetNodes()) {
    if (!IsRaceable(node->GetHost(), firstHost, now)) continue;
    const double mean = MeanSpeed(node->GetHost());
    if (mean > best) {
      best = mean;
      fastest = node;
    } else if (!(mean > 0.0) && !unmeasured) {
      unmeasured = node;
    }
  }
  if (fastest) {
    SelectNode(params, fastest);
  } else if (unmeasured) {
    SelectProbe(params, unmeasured);
  } else {
    return false;
  }
  return true;
}

bool TransferOptimizer::IsSetAside(const NodeManifest& node) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = setAside_.find(node.GetHost());
  return entry != setAside_.end() && clock_.Now() < entry->second.until;
}

bool TransferOptimizer::IsReturning(const std::string& host) const {
  return setAside_.count(host) != 0;
}

std::vector<std::shared_ptr<NodeManifest>> TransferOptimizer::UsableNodes(
    const OptimizedRequestParams& params, std::shared_ptr<NodeManifest>* soonest) {
  const Clock::TimePoint now = clock_.Now();
  std::vector<std::shared_ptr<NodeManifest>> usable;
  Clock::TimePoint earliest = Clock::TimePoint::max();
  auto collect = [&](const std::vector<std::shared_ptr<NodeManifest>>& nodes) {
    for (const auto& node : nodes) {
      const auto entry = setAside_.find(node->GetHost());
      if (entry == setAside_.end() || !(now < entry->second.until)) {
        usable.push_back(node);
      } else if (entry->second.until < earliest) {
        earliest = entry->second.until;
        *soonest = node;
      }
    }
  };
  collect(params.CandidateNodes);
  // The chunk may have dropped the nodes that still work after trying them; they are asked again
  // before a set-aside node costs the chunk a retry.
  if (usable.empty() && params.NodeList) collect(params.NodeList->GetNodes());
  return usable;
}

void TransferOptimizer::UpdateSetAside(const std::string& host,
                                       const HttpTransferStatusData& statusData, bool givenUp) {
  const HttpRequestStatus& status = statusData.GetStatus();
  if (IsUnreachable(status, givenUp)) {
    SetAside& entry = setAside_[host];
    entry.failures = std::min<std::uint32_t>(entry.failures + 1, 30);
    const std::int64_t first = std::max(settings_.nodeSetAsideSeconds, 1);
    const std::int64_t most = std::max<std::int64_t>(settings_.nodeSetAsideMaxSeconds, first);
    std::int64_t seconds = first;
    for (std::uint32_t i = 1; i < entry.failures && seconds < most; ++i) seconds *= 2;
    entry.until = clock_.Now() + std::chrono::seconds(std::min(seconds, most));
  } else if (status.responseCode != 0 || status.bytesWritten != 0) {
    // It answered: whatever the answer, it is reachable again.
    setAside_.erase(host);
  }
}

void TransferOptimizer::ReportResult(const OptimizedRequestParams& params,
                                     const HttpTransferStatusData& statusData) {
  std::lock_guard<std::mutex> lock(mutex_);
  const HttpRequestResult result = statusData.GetStatus().result;
  if (params.SelectedNode)
    UpdateSetAside(params.SelectedNode->GetHost(), statusData, params.GivenUp);
  // A request the watch gave up says that its node was slow, not that the time-outs are short.
  if (!params.IsProbe && !params.GivenUp) {
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
                                   const std::shared_ptr<NodeManifest>& node) {
  const std::int64_t length = ChunkLength(params);
  Reserve(params, node);
  params.SelectedNode = node;
  params.FreeRetry = false;
  params.IsProbe = false;
  params.GivenUp = false;
  params.CanExtendTimeouts =
      connectTimeout_ < settings_.connectTimeoutMax || lowSpeedTime_ < settings_.lowSpeedTimeMax;
  params.ConnectTimeout = connectTimeout_;
  params.LowSpeedTime = lowSpeedTime_;
  params.Timeout = RequestTimeout(length, settings_.workThreads, settings_.minTotalSpeed,
                                  settings_.requestTimeoutMin);
  params.LowSpeedLimit = LowSpeedLimit(settings_.minTotalSpeed, settings_.workThreads);
}

void TransferOptimizer::SelectProbe(OptimizedRequestParams& params,
                                    const std::shared_ptr<NodeManifest>& node) {
  const std::int64_t length = ChunkLength(params);
  Reserve(params, node);
  params.SelectedNode = node;
  params.FreeRetry = true;
  params.CanExtendTimeouts = false;
  params.IsProbe = true;
  params.GivenUp = false;
  params.ConnectTimeout = settings_.probeConnectTimeout;
  params.LowSpeedTime = settings_.probeLowSpeedTime;
  params.Timeout = RequestTimeout(length, settings_.workThreads, settings_.probeMinTotalSpeed,
                                  settings_.probeRequestTimeoutMin);
  params.LowSpeedLimit = LowSpeedLimit(settings_.probeMinTotalSpeed, settings_.workThreads);
}

}  // namespace halv
