#ifndef HALV_TRANSFER_TRANSFER_STATUS_IMPL_H_
#define HALV_TRANSFER_TRANSFER_STATUS_IMPL_H_

#include <atomic>
#include <cstdint>
#include <deque>

#include "manifest/delta_counter.h"
#include "transfer/transfer_progress_updater.h"
#include "transfer/transfer_status.h"
#include "work/clock.h"

namespace halv {

class PackageManifest;
struct TransferParams;

// The live status behind one transfer: the stored state and error, the byte counters that the
// works feed, the receive rate over a sliding window and the estimate of the time remaining.
// Ownership: held by the transfer's data through a shared pointer and handed to its works as
// their progress updater; not copyable. The params and the clock are not owned and must outlive
// it.
// Thread-safety: the TransferProgressUpdater operations and the Take/Peek deltas may be called
// from any thread at any time and take no transfer lock. StoredStatus, SetPackage and GetStatus
// touch unsynchronised state: the owning transfer calls them under its own lock only.
class TransferStatusImpl final : public TransferProgressUpdater {
 public:
  // `rateWindowSeconds` is the span over which the receive rate is averaged (0 counts as 1);
  // `estimateHoldMilliseconds` the active time for which an estimate is kept while transferring.
  // The stored status starts as a new status for the params' transfer id, in Initializing.
  TransferStatusImpl(const TransferParams& params, std::uint32_t rateWindowSeconds,
                     std::uint32_t estimateHoldMilliseconds,
                     const Clock& clock = SteadyClock::Instance());
  TransferStatusImpl(const TransferStatusImpl&) = delete;
  TransferStatusImpl& operator=(const TransferStatusImpl&) = delete;

  void AddTransferredBytes(std::uint64_t count) override;
  // Never below zero: taking back more than was added leaves 0, so that a miscounted chunk
  // cannot show a progress of nearly 2^64 bytes.
  void RemoveTransferredBytes(std::uint64_t count) override;
  void AddCompletedBytes(std::uint64_t count) override;
  void AddReceivedBytes(std::uint64_t count) override;
  void NoteDiskCheck() override;
  void NoteReuse(std::uint64_t reused, std::uint64_t total) override;

  // The stored status, for the owner to edit its state, error and retryable flag. Its counters,
  // ids and destination are not used: snapshots take them from the counters and the params.
  TransferStatus& StoredStatus() { return status_; }

  // Takes the run path and the total size from the package, once it is known.
  void SetPackage(const PackageManifest& package);

  // A snapshot: the stored status with the params' ids and destination, the run path only when
  // Complete, the counters, the estimate and then the rate. Records a rate sample and may grow
  // the active time, so it is not const.
  TransferStatus GetStatus();

  // Received bytes and milliseconds of active transfer time since the previous take.
  std::uint64_t TakeReceivedBytesDelta() { return received_.TakeDelta(); }
  std::uint64_t TakeActiveTimeDelta() { return activeTime_.TakeDelta(); }
  // What TakeActiveTimeDelta would return now, without moving its mark.
  std::uint64_t PeekActiveTimeDelta() const { return activeTime_.PeekDelta(); }

 private:
  // Received bytes at one moment, in milliseconds of the clock.
  struct RateSample {
    std::uint64_t tick;
    std::uint64_t bytes;
  };

  std::uint64_t NowTick() const;
  std::int32_t EstimateSecondsRemaining(const TransferStatus& snapshot, std::uint64_t now);
  std::uint64_t MeasureBytesPerSecond(const TransferStatus& snapshot, std::uint64_t now);

  // Constant after construction.
  const TransferParams& params_;
  const Clock& clock_;
  const std::uint32_t rateWindow_;    // seconds, at least 1
  const std::uint32_t estimateHold_;  // milliseconds of active time

  // Atomic; any thread.
  std::atomic<std::uint64_t> transferred_{0};
  std::atomic<std::uint64_t> completed_{0};
  DeltaCounter<std::uint64_t> received_;
  std::atomic<std::uint64_t> reused_{0};    // see TransferStatus::reusedBytes
  std::atomic<bool> diskChecked_{false};    // a check of earlier bytes has begun in this run
  DeltaCounter<std::uint64_t> activeTime_;  // ms in Transferring without error, between snapshots

  // Guarded by the owning transfer's lock.
  TransferStatus status_;
  std::deque<RateSample> samples_;  // oldest first
  bool sampling_ = false;           // the newest sample was taken while transferring healthily
  std::int32_t cachedEstimate_ = -1;
  std::uint64_t estimateActiveTime_ = 0;  // the active time at which cachedEstimate_ was computed
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_STATUS_IMPL_H_
