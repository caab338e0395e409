#ifndef HALV_MANIFEST_DELTA_COUNTER_H_
#define HALV_MANIFEST_DELTA_COUNTER_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace halv {

// A byte, time or request counter that many threads add to without a lock, and that a reporter
// reads as "what has accumulated since I last asked". Differences are taken modulo 2^bits, so a
// counter that wraps still yields the right delta as long as less than 2^bits accumulate between
// two takes.
// Thread-safety: every operation may be called from any thread at any time. Add and Load never
// block; TakeDelta and PeekDelta serialise on the counter's own mutex, which guards only the
// snapshot. Ownership: a plain member of its owner; neither copyable nor movable.
template <typename T>
class DeltaCounter {
  static_assert(std::is_same<T, std::uint32_t>::value || std::is_same<T, std::uint64_t>::value,
                "DeltaCounter counts in unsigned 32 or 64 bits");

 public:
  DeltaCounter() = default;
  DeltaCounter(const DeltaCounter&) = delete;
  DeltaCounter& operator=(const DeltaCounter&) = delete;

  void Add(T amount) { value_.fetch_add(amount, std::memory_order_relaxed); }

  T Load() const { return value_.load(std::memory_order_relaxed); }

  // The amount added since the previous TakeDelta (since construction for the first); the
  // current value becomes the new snapshot.
  T TakeDelta() {
    std::lock_guard<std::mutex> lock(mutex_);
    const T value = Load();
    const T delta = static_cast<T>(value - snapshot_);
    snapshot_ = value;
    return delta;
  }

  // What TakeDelta would return now, without moving the snapshot.
  T PeekDelta() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<T>(Load() - snapshot_);
  }

 private:
  std::atomic<T> value_{0};
  mutable std::mutex mutex_;
  T snapshot_ = 0;  // guarded by mutex_
};

}  // namespace halv

#endif  // HALV_MANIFEST_DELTA_COUNTER_H_
