#include "manifest/normal_node_statistics.h"

#include <cmath>

#include <boost/property_tree/ptree.hpp>

namespace halv {

NormalNodeStatistics::~NormalNodeStatistics() = default;

void NormalNodeStatistics::Write(boost::property_tree::ptree& tree) const {
  NodeStatistics::Write(tree);
  const auto [mean, variance] = GetMeanAndVariance();
  tree.put("Average Request Speed", TruncateToUint64(mean));
  // Rounding can leave a variance a hair below 0; its root is then NaN, which saturates to 0.
  tree.put("Standard Deviation", TruncateToUint64(std::sqrt(variance)));
}

void NormalNodeStatistics::AddSample(std::uint64_t bytes, std::uint32_t timeMs, bool failed) {
  std::lock_guard<std::mutex> lock(mutex_);
  NodeStatistics::AddSample(bytes, timeMs, failed);
  const double x = SampleSpeed(bytes, timeMs, failed);
  const std::uint32_t repetitions = failed ? count_ / 10 + 1 : 1;
  for (std::uint32_t i = 0; i < repetitions; ++i) {
    ++count_;
    const double d = x - mean_;
    mean_ += d / count_;
    dispersion_ += (x - mean_) * d;
  }
}

std::pair<double, double> NormalNodeStatistics::GetMeanAndVariance() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ > 1) return {mean_, dispersion_ / (count_ - 1)};
  return {mean_, 1.0};
}

std::uint32_t NormalNodeStatistics::GetCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

ExponentialNormalNodeStatistics::ExponentialNormalNodeStatistics(double smoothing)
    : smoothing_(smoothing) {}

ExponentialNormalNodeStatistics::ExponentialNormalNodeStatistics(
    const ExponentialNormalNodeStatistics& prototype) {
  std::lock_guard<std::mutex> lock(prototype.mutex_);
  count_ = prototype.count_;
  mean_ = prototype.mean_;
  dispersion_ = prototype.dispersion_;
  smoothing_ = prototype.smoothing_;
}

ExponentialNormalNodeStatistics::~ExponentialNormalNodeStatistics() = default;

void ExponentialNormalNodeStatistics::AddSample(std::uint64_t bytes, std::uint32_t timeMs,
                                                bool failed) {
  std::lock_guard<std::mutex> lock(mutex_);
  NodeStatistics::AddSample(bytes, timeMs, failed);
  const double x = SampleSpeed(bytes, timeMs, failed);
  ++count_;
  const double a = smoothing_;
  const double newMean = (1.0 - a) * mean_ + a * x;
  dispersion_ = (1.0 - a) * dispersion_ + a * (x - mean_) * (x - newMean);
  mean_ = newMean;
}

std::pair<double, double> ExponentialNormalNodeStatistics::GetMeanAndVariance() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {mean_, dispersion_};
}

}  // namespace halv
