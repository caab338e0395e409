#include "transfer/transfer_status_impl.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "manifest/package_manifest.h"
#include "transfer/transfer_params.h"

namespace halv {
namespace {

bool IsActive(const TransferStatus& status) {
  return status.state == TransferState::Transferring && status.error == TransferError::None;
}

// Estimates far beyond any real download (more than 68 years) still read as a number of seconds
// rather than a wrapped, negative one.
std::int32_t SaturatingSeconds(double seconds) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  if (!(seconds < static_cast<double>(kMax))) return kMax;
  return static_cast<std::int32_t>(seconds);
}

}  // namespace

TransferStatusImpl::TransferStatusImpl(const TransferParams& params,
                                       std::uint32_t rateWindowSeconds,
                                       std::uint32_t estimateHoldMilliseconds, const Clock& clock)
    : params_(params),
      clock_(clock),
      rateWindow_(std::max<std::uint32_t>(rateWindowSeconds, 1)),
      estimateHold_(estimateHoldMilliseconds),
      status_(params.transferId, TransferState::Initializing) {}

void TransferStatusImpl::AddTransferredBytes(std::uint64_t count) {
  transferred_.fetch_add(count, std::memory_order_relaxed);
}

void TransferStatusImpl::RemoveTransferredBytes(std::uint64_t count) {
  std::uint64_t current = transferred_.load(std::memory_order_relaxed);
  while (!transferred_.compare_exchange_weak(current, current - std::min(current, count),
                                             std::memory_order_relaxed)) {
  }
}

void TransferStatusImpl::AddCompletedBytes(std::uint64_t count) {
  completed_.fetch_add(count, std::memory_order_relaxed);
}

void TransferStatusImpl::AddReceivedBytes(std::uint64_t count) { received_.Add(count); }

void TransferStatusImpl::NoteDiskCheck() { diskChecked_.store(true, std::memory_order_relaxed); }

void TransferStatusImpl::NoteReuse(std::uint64_t reused, std::uint64_t /*total*/) {
  reused_.store(reused, std::memory_order_relaxed);
}

void TransferStatusImpl::SetPackage(const PackageManifest& package) {
  status_.runPath = package.GetRun();
  status_.totalBytes = package.GetTotalSize();
}

TransferStatus TransferStatusImpl::GetStatus() {
  TransferStatus snapshot = status_;
  // The destination is set after creation, and the version once the package is known.
  snapshot.transferId = params_.transferId;
  snapshot.partnerId = params_.partnerId;
  snapshot.packageId = params_.packageId;
  snapshot.versionId = params_.versionId;
  snapshot.destPath = params_.destPath;
  if (snapshot.state != TransferState::Complete) snapshot.runPath.clear();
  snapshot.receivedBytes = received_.Load();
  snapshot.transferredBytes = transferred_.load(std::memory_order_relaxed);
  snapshot.completedBytes = completed_.load(std::memory_order_relaxed);
  // Once a byte has come over the network the run is downloading, whatever is still checked.
  snapshot.reusedBytes = reused_.load(std::memory_order_relaxed);
  snapshot.checking = IsActive(snapshot) && snapshot.receivedBytes == 0 &&
                      diskChecked_.load(std::memory_order_relaxed);
  const std::uint64_t now = NowTick();
  // The estimate first: it reads the newest sample that the previous snapshot left.
  snapshot.secondsRemaining = EstimateSecondsRemaining(snapshot, now);
  snapshot.bytesPerSecond = MeasureBytesPerSecond(snapshot, now);
  return snapshot;
}

std::uint64_t TransferStatusImpl::NowTick() const {
  // Whole milliseconds since the clock's epoch: differences of ticks add up to the elapsed time
  // exactly, where rounding every difference would lose up to a millisecond per snapshot.
  const auto sinceEpoch = clock_.Now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
}

std::int32_t TransferStatusImpl::EstimateSecondsRemaining(const TransferStatus& snapshot,
                                                          std::uint64_t now) {
  if (snapshot.receivedBytes != 0 && IsActive(snapshot) && !samples_.empty() && sampling_) {
    activeTime_.Add(now - samples_.back().tick);
  }
  const std::uint64_t activeTime = activeTime_.Load();
  // Active time only grows once bytes have arrived; checking both keeps the division defined.
  if (activeTime == 0 || snapshot.receivedBytes == 0) return -1;
  if (IsActive(snapshot) && activeTime < estimateActiveTime_ + estimateHold_) {
    return cachedEstimate_;
  }
  // More bytes written than the package holds (a miscounted chunk) leave nothing to wait for.
  const std::uint64_t missing = snapshot.totalBytes > snapshot.transferredBytes
                                    ? snapshot.totalBytes - snapshot.transferredBytes
                                    : 0;
  const double secondsPerByte =
      static_cast<double>(activeTime) / (static_cast<double>(snapshot.receivedBytes) * 1000.0);
  cachedEstimate_ = SaturatingSeconds(std::ceil(secondsPerByte * static_cast<double>(missing)));
  estimateActiveTime_ = activeTime;
  return cachedEstimate_;
}

std::uint64_t TransferStatusImpl::MeasureBytesPerSecond(const TransferStatus& snapshot,
                                                        std::uint64_t now) {
  if (!snapshot.IsFinished() &&
      (snapshot.state == TransferState::Transferring || snapshot.state == TransferState::Paused)) {
    samples_.push_back(RateSample{now, snapshot.receivedBytes});
    while (samples_.size() > 2 && (now - samples_.front().tick) / 1000 >= rateWindow_) {
      samples_.pop_front();
    }
    sampling_ = IsActive(snapshot);
  }
  if (samples_.size() < 2) return 0;
  const RateSample& oldest = samples_.front();
  const RateSample& newest = samples_.back();
  const std::uint64_t bytes = newest.bytes > oldest.bytes ? newest.bytes - oldest.bytes : 0;
  const std::uint64_t seconds = (newest.tick - oldest.tick) / 1000;
  // Dividing by at least the window makes the rate start low and climb over the first window.
  return bytes / std::max<std::uint64_t>(seconds, rateWindow_);
}

}  // namespace halv
