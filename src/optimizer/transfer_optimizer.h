#ifndef HALV_OPTIMIZER_TRANSFER_OPTIMIZER_H_
#define HALV_OPTIMIZER_TRANSFER_OPTIMIZER_H_

#include <cstdint>
#include <memory>
#include <mutex>

#include "config/settings.h"

namespace halv {

class HttpTransferStatusData;
class NodeManifest;
class NodeStatistics;
struct OptimizedRequestParams;

// Picks the node and the time-outs of every chunk request, and learns from every outcome. The
// time-outs adapt to the network: a timed-out request doubles the connect and low-speed times up
// to their maxima, a successful one lowers them by a second down to their minima; probes of
// little-known nodes never move them.
// Ownership: one per run, owned by value by the assembly; it outlives every transfer.
// Thread-safety: every operation from any thread; each holds mutex_ for its whole run. Lock order:
// mutex_ before the mutex of any statistics object.
class TransferOptimizer {
 public:
  explicit TransferOptimizer(const Settings& settings);
  TransferOptimizer(const TransferOptimizer&) = delete;
  TransferOptimizer& operator=(const TransferOptimizer&) = delete;
  virtual ~TransferOptimizer();

  // Chooses one of params.CandidateNodes and sets SelectedNode, FreeRetry, CanExtendTimeouts,
  // IsProbe and the four time-out and speed fields. Throws std::invalid_argument
  // "TransferOptimizer::GetNode received empty nodelist" when there is no candidate.
  virtual void GetNode(OptimizedRequestParams& params) = 0;

  // After an attempt that succeeded or may be retried: adapts the time-outs to the result (unless
  // the attempt was a probe), then records the attempt in the statistics.
  virtual void ReportResult(const OptimizedRequestParams& params,
                            const HttpTransferStatusData& statusData);

  // The statistics this optimizer keeps of `node`; here, the node description's own.
  virtual std::shared_ptr<NodeStatistics> GetStatistics(const NodeManifest& node);

 protected:
  // Records the attempt; called by ReportResult with mutex_ held.
  virtual void UpdateStatistics(const OptimizedRequestParams& params,
                                const HttpTransferStatusData& statusData) = 0;

  // A normal request to `node`, with the current adaptive time-outs and a whole-request limit
  // long enough for the chunk at the slowest acceptable speed. Call with mutex_ held.
  void SelectNode(OptimizedRequestParams& params, const std::shared_ptr<NodeManifest>& node) const;
  // A probe of a little-known `node`: short, strict limits, and a failure does not count against
  // the chunk's retries. Call with mutex_ held.
  void SelectProbe(OptimizedRequestParams& params, const std::shared_ptr<NodeManifest>& node) const;

  std::mutex mutex_;
  const Settings settings_;

 private:
  // Guarded by mutex_.
  std::int32_t connectTimeout_;  // seconds
  std::int32_t lowSpeedTime_;    // seconds
};

}  // namespace halv

#endif  // HALV_OPTIMIZER_TRANSFER_OPTIMIZER_H_
