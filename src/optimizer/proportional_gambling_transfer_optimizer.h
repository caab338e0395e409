#ifndef HALV_OPTIMIZER_PROPORTIONAL_GAMBLING_TRANSFER_OPTIMIZER_H_
#define HALV_OPTIMIZER_PROPORTIONAL_GAMBLING_TRANSFER_OPTIMIZER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/random/mersenne_twister.hpp>

#include "manifest/normal_node_statistics.h"
#include "optimizer/transfer_optimizer.h"

namespace halv {

// The optimizer's statistics per node host, each made on first use as a copy of the prototype
// and kept for the rest of the run, so that two node descriptions of one host share them.
// Ownership: a member of its optimizer. Thread-safety: none of its own; the optimizer's mutex.
class NodeStatisticsMap {
 public:
  explicit NodeStatisticsMap(const ExponentialNormalNodeStatistics& prototype);

  const std::shared_ptr<ExponentialNormalNodeStatistics>& Get(const std::string& host);
  // The highest mean speed of any host but `host`; 0 when there is none.
  double BestMeanExcept(const std::string& host) const;

 private:
  const ExponentialNormalNodeStatistics prototype_;
  std::unordered_map<std::string, std::shared_ptr<ExponentialNormalNodeStatistics>> map_;
};

// The run's optimizer. Every host is first measured twice by probes, and probed again when it
// comes back from being set aside. A node that is worth keeping busy and has no request in flight
// is chosen first; after that a node is chosen
// at random in proportion to its chance of being the fastest, estimated by a Monte-Carlo gamble
// over the normal distributions of the hosts' speeds and scaled by the node list's weights, so
// slow nodes still see a little traffic and a recovering node is noticed.
// Ownership and threads as TransferOptimizer; the random engine, the statistics map and the
// time-outs are touched only under mutex_.
class ProportionalGamblingTransferOptimizer : public TransferOptimizer {
 public:
  // The random engine is seeded with the current calendar time in seconds.
  explicit ProportionalGamblingTransferOptimizer(const Settings& settings,
                                                 const Clock& clock = SteadyClock::Instance());
  // The random engine is seeded with `seed`, for repeatable draws.
  ProportionalGamblingTransferOptimizer(const Settings& settings, std::uint32_t seed,
                                        const Clock& clock = SteadyClock::Instance());
  ~ProportionalGamblingTransferOptimizer() override;

  void GetNode(OptimizedRequestParams& params) override;
  // The statistics of the node's host, shared by every description of that host.
  std::shared_ptr<NodeStatistics> GetStatistics(const NodeManifest& node) override;

 protected:
  void UpdateStatistics(const OptimizedRequestParams& params,
                        const HttpTransferStatusData& statusData) override;
  double ReferenceSpeed(const std::string& host) override;
  double MeanSpeed(const std::string& host) override;

 private:
  using StatisticsList = std::vector<std::shared_ptr<ExponentialNormalNodeStatistics>>;

  // Each node's share of trials in which its sampled speed was the highest; every node starts
  // with one win, so no node's share is ever 0. The shares sum to 1.
  std::vector<double> ComputeWinProbabilities(const StatisticsList& statistics);
  // Scales the shares by the candidates' weights when the weights are usable.
  static void ApplyNodeWeights(const std::vector<std::shared_ptr<NodeManifest>>& candidates,
                               std::vector<double>& weights);

  // Guarded by mutex_.
  boost::random::mt19937 random_;
  NodeStatisticsMap statistics_;
};

}  // namespace halv

#endif  // HALV_OPTIMIZER_PROPORTIONAL_GAMBLING_TRANSFER_OPTIMIZER_H_
