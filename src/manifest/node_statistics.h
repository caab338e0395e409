#ifndef HALV_MANIFEST_NODE_STATISTICS_H_
#define HALV_MANIFEST_NODE_STATISTICS_H_

#include <cstdint>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/delta_counter.h"
#include "manifest/output_manifest.h"

namespace halv {

// The record of every finished request sent to one node: how many, how many failed, how many
// bytes arrived and how long they took. Writes "Requests", "Errors", "Bytes" and "Average Request
// Speed" into node descriptions for the work log and analytics.
// Ownership: shared pointers, between a node description (or the optimizer) and its readers.
// Thread-safety: AddSample, Write and the counters' own operations from any thread at once; the
// counters take no lock, so Write's values need not come from one instant.
class NodeStatistics : public OutputManifest {
 public:
  NodeStatistics() = default;
  NodeStatistics(const NodeStatistics&) = delete;
  NodeStatistics& operator=(const NodeStatistics&) = delete;
  ~NodeStatistics() override;

  // "Requests", "Errors", "Bytes" and "Average Request Speed" (bytes per second over the summed
  // request time, 0 before any), as decimal integers, replacing values under the same keys.
  void Write(boost::property_tree::ptree& tree) const override;

  // One finished request: `bytes` received (failed requests included), `timeMs` its duration
  // (counted as at least 1 ms), `failed` whether it ended in an error.
  virtual void AddSample(std::uint64_t bytes, std::uint32_t timeMs, bool failed);

  DeltaCounter<std::uint32_t> successes;
  DeltaCounter<std::uint32_t> errors;
  // Bytes of requests that did not fail; the basis of the average speed.
  DeltaCounter<std::uint64_t> successBytes;
  // Bytes of every request, failed ones included; per-node throughput reports take its deltas.
  DeltaCounter<std::uint64_t> totalBytes;
  DeltaCounter<std::uint32_t> totalTimeMs;
};

// The speed of one sample in bytes per second, in double precision: 0 for a failed request, so
// that failures drag a node's estimate down, else `bytes` over max(`timeMs`, 1) milliseconds.
double SampleSpeed(std::uint64_t bytes, std::uint32_t timeMs, bool failed);

// `value` truncated towards zero, with the values an unsigned 64-bit integer cannot hold
// (negative, NaN, too large) saturated to 0 or its maximum instead of being undefined.
std::uint64_t TruncateToUint64(double value);

}  // namespace halv

#endif  // HALV_MANIFEST_NODE_STATISTICS_H_
