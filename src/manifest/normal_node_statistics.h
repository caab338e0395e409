#ifndef HALV_MANIFEST_NORMAL_NODE_STATISTICS_H_
#define HALV_MANIFEST_NORMAL_NODE_STATISTICS_H_

#include <cstdint>
#include <mutex>
#include <utility>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/node_statistics.h"

namespace halv {

// Node statistics that also model the node's speed as a normal distribution, from the running
// mean and variance of every sample's speed. A failure counts as speed 0, repeated once more for
// every ten samples already taken, so a node observed for long is not excused a failure.
// Ownership and threads as NodeStatistics; the distribution is read and written under mutex_.
class NormalNodeStatistics : public NodeStatistics {
 public:
  NormalNodeStatistics() = default;
  ~NormalNodeStatistics() override;

  // The counters' keys, then "Average Request Speed" = the mean and "Standard Deviation" = the
  // square root of the variance, both truncated to integers.
  void Write(boost::property_tree::ptree& tree) const override;
  void AddSample(std::uint64_t bytes, std::uint32_t timeMs, bool failed) override;

  // (mean, variance) in bytes per second; the variance is 1.0 until two samples were taken.
  virtual std::pair<double, double> GetMeanAndVariance() const;

  // Samples taken into the distribution (a failure may count several times here).
  std::uint32_t GetCount() const;

 protected:
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::uint32_t count_ = 0;
  double mean_ = 0.0;
  // The running sum of squared deviations here; the variance itself in the exponential subclass.
  double dispersion_ = 0.0;
};

// The optimizer's statistics of one host: an exponentially weighted mean and variance of the
// speed, in which the newest sample has the weight `smoothing`, so recent behaviour dominates.
// Every sample counts once, failures included. Estimates start low: the first sample x gives the
// mean smoothing × x.
// Ownership and threads as NodeStatistics; the distribution is read and written under mutex_.
class ExponentialNormalNodeStatistics : public NormalNodeStatistics {
 public:
  // A prototype: no samples, mean and variance 0.
  explicit ExponentialNormalNodeStatistics(double smoothing);
  // Starts from `prototype`'s distribution and smoothing; the counters start at 0.
  explicit ExponentialNormalNodeStatistics(const ExponentialNormalNodeStatistics& prototype);
  ~ExponentialNormalNodeStatistics() override;

  void AddSample(std::uint64_t bytes, std::uint32_t timeMs, bool failed) override;
  // (mean, variance) as stored, 0 and 0 before any sample.
  std::pair<double, double> GetMeanAndVariance() const override;

 private:
  double smoothing_;  // guarded by mutex_ (read only after construction)
};

}  // namespace halv

#endif  // HALV_MANIFEST_NORMAL_NODE_STATISTICS_H_
