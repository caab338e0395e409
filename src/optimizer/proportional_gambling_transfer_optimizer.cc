#include "optimizer/proportional_gambling_transfer_optimizer.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <stdexcept>

#include <boost/random/discrete_distribution.hpp>
#include <boost/random/normal_distribution.hpp>
#include <boost/random/uniform_int_distribution.hpp>

#include "manifest/node_manifest.h"
#include "optimizer/optimized_request_params.h"
#include "transfer/http_transfer_status_data.h"

namespace halv {
namespace {

std::uint32_t CurrentTimeSeed() { return static_cast<std::uint32_t>(std::time(nullptr)); }

// A request that never got going, or that was called off, says nothing about the node.
bool IsFailure(HttpRequestResult result) {
  return result != HttpRequestResult::NotStarted && result != HttpRequestResult::InProgress &&
         result != HttpRequestResult::Success && result != HttpRequestResult::Cancelled;
}

}  // namespace

NodeStatisticsMap::NodeStatisticsMap(const ExponentialNormalNodeStatistics& prototype)
    : prototype_(prototype) {}

const std::shared_ptr<ExponentialNormalNodeStatistics>& NodeStatisticsMap::Get(
    const std::string& host) {
  std::shared_ptr<ExponentialNormalNodeStatistics>& entry = map_[host];
  if (!entry) entry = std::make_shared<ExponentialNormalNodeStatistics>(prototype_);
  return entry;
}

double NodeStatisticsMap::BestMeanExcept(const std::string& host) const {
  double best = 0.0;
  for (const auto& [name, statistics] : map_) {
    if (name != host) best = std::max(best, statistics->GetMeanAndVariance().first);
  }
  return best;
}

ProportionalGamblingTransferOptimizer::ProportionalGamblingTransferOptimizer(
    const Settings& settings, const Clock& clock)
    : ProportionalGamblingTransferOptimizer(settings, CurrentTimeSeed(), clock) {}

ProportionalGamblingTransferOptimizer::ProportionalGamblingTransferOptimizer(
    const Settings& settings, std::uint32_t seed, const Clock& clock)
    : TransferOptimizer(settings, clock),
      random_(seed),
      statistics_(ExponentialNormalNodeStatistics(settings.nodeStatisticsWeight)) {}

ProportionalGamblingTransferOptimizer::~ProportionalGamblingTransferOptimizer() { StopWatch(); }

double ProportionalGamblingTransferOptimizer::ReferenceSpeed(const std::string& host) {
  return statistics_.BestMeanExcept(host);
}

double ProportionalGamblingTransferOptimizer::MeanSpeed(const std::string& host) {
  const auto& statistics = statistics_.Get(host);
  return statistics->GetCount() < 2 ? 0.0 : statistics->GetMeanAndVariance().first;
}

void ProportionalGamblingTransferOptimizer::GetNode(OptimizedRequestParams& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (params.CandidateNodes.empty()) {
    throw std::invalid_argument("TransferOptimizer::GetNode received empty nodelist");
  }
  std::shared_ptr<NodeManifest> soonest;
  std::vector<std::shared_ptr<NodeManifest>> candidates = UsableNodes(params, &soonest);
  if (candidates.empty()) {
    // Every node is set aside: the one back first is asked, and it costs the chunk a retry.
    SelectNode(params, soonest);
    return;
  }
  // Every node worth asking is kept busy: one that has nothing in flight goes first.
  std::vector<std::shared_ptr<NodeManifest>> idle;
  for (const auto& node : candidates) {
    if (InFlight(node->GetHost()) == 0 && !IsFarBehind(node->GetHost())) idle.push_back(node);
  }
  const bool narrowed = !idle.empty() && idle.size() < candidates.size();
  if (narrowed) candidates = std::move(idle);
  const std::size_t n = candidates.size();
  // The only idle node is still probed while little is known of it: a node that accepts and never
  // answers must not get a normal request's long time-outs just for being idle.
  if (n == 1 && !IsReturning(candidates.front()->GetHost()) &&
      (!narrowed || statistics_.Get(candidates.front()->GetHost())->GetCount() >= 2)) {
    SelectNode(params, candidates.front());
    return;
  }

  StatisticsList statistics;
  statistics.reserve(n);
  for (const auto& node : candidates) statistics.push_back(statistics_.Get(node->GetHost()));

  std::vector<std::size_t> underSampled;
  for (std::size_t i = 0; i < n; ++i) {
    if (statistics[i]->GetCount() < 2 || IsReturning(candidates[i]->GetHost())) {
      underSampled.push_back(i);
    }
  }
  if (!underSampled.empty()) {
    // Probes spread over the nodes: those with the fewest requests in flight are drawn from.
    std::uint32_t fewest = std::numeric_limits<std::uint32_t>::max();
    for (const std::size_t i : underSampled)
      fewest = std::min(fewest, InFlight(candidates[i]->GetHost()));
    underSampled.erase(
        std::remove_if(underSampled.begin(), underSampled.end(),
                       [&](std::size_t i) { return InFlight(candidates[i]->GetHost()) != fewest; }),
        underSampled.end());
    boost::random::uniform_int_distribution<std::size_t> pick(0, underSampled.size() - 1);
    SelectProbe(params, candidates[underSampled[pick(random_)]]);
    return;
  }

  std::vector<double> weights = ComputeWinProbabilities(statistics);
  ApplyNodeWeights(candidates, weights);
  boost::random::discrete_distribution<std::size_t, double> draw(weights.begin(), weights.end());
  SelectNode(params, candidates[draw(random_)]);
}

std::shared_ptr<NodeStatistics> ProportionalGamblingTransferOptimizer::GetStatistics(
    const NodeManifest& node) {
  std::lock_guard<std::mutex> lock(mutex_);
  return statistics_.Get(node.GetHost());
}

void ProportionalGamblingTransferOptimizer::UpdateStatistics(
    const OptimizedRequestParams& params, const HttpTransferStatusData& statusData) {
  if (!params.SelectedNode) return;
  const HttpRequestStatus& status = statusData.GetStatus();
  // A negative duration can only be a clock fault; it counts as the shortest request.
  const std::uint32_t timeMs =
      static_cast<std::uint32_t>(std::max<std::int32_t>(statusData.GetRequestTimeMs(), 0));
  statistics_.Get(params.SelectedNode->GetHost())
      ->AddSample(status.bytesWritten, timeMs, IsFailure(status.result));
}

std::vector<double> ProportionalGamblingTransferOptimizer::ComputeWinProbabilities(
    const StatisticsList& statistics) {
  const std::size_t n = statistics.size();
  const std::size_t budget = static_cast<std::size_t>(std::max(settings_.nodeSampleBudget, 0));
  const std::size_t factor = static_cast<std::size_t>(std::max(settings_.nodeSampleFactor, 0));
  const std::size_t trials = std::min(budget / n, factor * n);

  std::vector<boost::random::normal_distribution<double>> samplers;
  samplers.reserve(n);
  for (const auto& node : statistics) {
    const auto [mean, variance] = node->GetMeanAndVariance();
    // The sampler needs a standard deviation of at least 0; a variance that rounding pushed
    // below 0 (or that is not a number) means no spread at all.
    const double deviation = variance > 0.0 ? std::sqrt(variance) : 0.0;
    samplers.emplace_back(mean, deviation);
  }

  std::vector<std::size_t> wins(n, 1);
  for (std::size_t trial = 0; trial < trials; ++trial) {
    double best = 0.0;
    std::size_t winner = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double sample = samplers[i](random_);
      if (sample > best) {
        best = sample;
        winner = i;
      }
    }
    ++wins[winner];
  }

  std::vector<double> probabilities(n);
  const double total = static_cast<double>(n + trials);
  for (std::size_t i = 0; i < n; ++i) probabilities[i] = static_cast<double>(wins[i]) / total;
  return probabilities;
}

void ProportionalGamblingTransferOptimizer::ApplyNodeWeights(
    const std::vector<std::shared_ptr<NodeManifest>>& candidates, std::vector<double>& weights) {
  if (weights.size() != candidates.size()) return;
  std::uint32_t weightSum = 0;
  for (const auto& node : candidates) weightSum += static_cast<std::uint32_t>(node->GetWeight());
  if (weightSum == 0) return;

  // A negative weight would make a negative probability, which the draw cannot take: such a node
  // counts as weight 0. When nothing positive remains, the unweighted shares stand.
  std::vector<double> scaled(weights.size());
  double scaledSum = 0.0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    scaled[i] =
        weights[i] * static_cast<double>(std::max<std::int32_t>(candidates[i]->GetWeight(), 0));
    scaledSum += scaled[i];
  }
  if (!(scaledSum > 0.0)) return;
  for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = scaled[i] / scaledSum;
}

}  // namespace halv
