#include "manifest/node_statistics.h"

#include <algorithm>
#include <limits>

#include <boost/property_tree/ptree.hpp>

namespace halv {

NodeStatistics::~NodeStatistics() = default;

void NodeStatistics::Write(boost::property_tree::ptree& tree) const {
  const std::uint32_t errorCount = errors.Load();
  tree.put("Requests", static_cast<std::uint32_t>(successes.Load() + errorCount));
  tree.put("Errors", errorCount);
  tree.put("Bytes", totalBytes.Load());
  const std::uint32_t timeMs = totalTimeMs.Load();
  const std::uint64_t averageSpeed =
      timeMs == 0 ? 0
                  : TruncateToUint64(static_cast<double>(successBytes.Load()) /
                                     (static_cast<double>(timeMs) / 1000.0));
  tree.put("Average Request Speed", averageSpeed);
}

void NodeStatistics::AddSample(std::uint64_t bytes, std::uint32_t timeMs, bool failed) {
  totalBytes.Add(bytes);
  totalTimeMs.Add(std::max<std::uint32_t>(timeMs, 1));
  if (failed) {
    errors.Add(1);
  } else {
    successes.Add(1);
    successBytes.Add(bytes);
  }
}

double SampleSpeed(std::uint64_t bytes, std::uint32_t timeMs, bool failed) {
  if (failed) return 0.0;
  return static_cast<double>(bytes) * 1000.0 /
         static_cast<double>(std::max<std::uint32_t>(timeMs, 1));
}

std::uint64_t TruncateToUint64(double value) {
  // 2^64 is exact in double; anything at or above it does not fit.
  constexpr double kLimit = 18446744073709551616.0;
  if (!(value > 0.0)) return 0;
  if (value >= kLimit) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

}  // namespace halv
