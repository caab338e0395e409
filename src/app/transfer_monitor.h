#ifndef HALV_APP_TRANSFER_MONITOR_H_
#define HALV_APP_TRANSFER_MONITOR_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "transfer/transfer_status.h"
#include "work/clock.h"

namespace halv {

// Where the monitor reads statuses from; Services in the product.
class TransferStatusSource {
 public:
  virtual ~TransferStatusSource() = default;
  // The status of `transferId`; a status in state None when there is no such transfer.
  virtual TransferStatus GetTransferStatus(const std::string& transferId) = 0;
};

// Told what became of a watched transfer. Every callback runs on the monitor's thread, without
// the monitor's lock, so it may call Watch and Unwatch.
class TransferMonitorCallback {
 public:
  virtual ~TransferMonitorCallback() = default;
  // Still working without error; the transfer stays watched.
  virtual void OnTransferProgress(const TransferStatus& status) = 0;
  // Initialized and waiting for Start; no longer watched.
  virtual void OnTransferInitialized(const TransferStatus& status) = 0;
  // A retryable error; no longer watched.
  virtual void OnTransferError(const TransferStatus& status) = 0;
  // Finished (complete, cancelled, suspended, gone, or a final error); no longer watched.
  virtual void OnTransferFinished(const TransferStatus& status) = 0;
};

// Follows transfers by polling their status about every 100 ms on a thread of its own, so that
// its callbacks never run on a work thread. The initialized, error and finished callbacks fire
// once per Watch: the id is unwatched first.
// Ownership: owned by the entry; destroyed before the status source it polls.
// Thread-safety: Start, Watch and Unwatch from any thread; destruction must not run on the
// monitor's own thread (from a callback). The lock is never held while the source or a callback
// is called.
class TransferMonitorImpl {
 public:
  explicit TransferMonitorImpl(TransferStatusSource& source,
                               const Clock& clock = SteadyClock::Instance(),
                               std::uint32_t pollIntervalMs = 100);
  TransferMonitorImpl(const TransferMonitorImpl&) = delete;
  TransferMonitorImpl& operator=(const TransferMonitorImpl&) = delete;
  // Wakes a wait in progress and joins the thread; a cycle in progress ends before its next
  // transfer.
  ~TransferMonitorImpl();

  // Starts the thread; a second call does nothing.
  void Start();
  // Follows `transferId` from the next cycle; an id already watched keeps its first callback.
  void Watch(const std::string& transferId, TransferMonitorCallback* callback);
  void Unwatch(const std::string& transferId);

 private:
  void Run();
  // Calls the one callback that `status` asks for. May throw whatever the callback throws.
  void Dispatch(const std::string& id, TransferMonitorCallback& callback,
                const TransferStatus& status);
  // Unwatches `id` and tells `callback` the transfer failed with `message`; never throws.
  void Fault(const std::string& id, TransferMonitorCallback& callback, TransferStatus status,
             const std::string& message);
  // Waits for the next cycle: at least 90% of the interval, woken early only by stopping. False
  // when stopping.
  bool WaitForNextCycle();
  bool IsStopping();

  TransferStatusSource& source_;
  const Clock& clock_;
  const std::uint32_t pollIntervalMs_;
  std::mutex mutex_;
  std::condition_variable wakeup_;
  // Guarded by mutex_.
  bool stopping_ = false;
  std::thread thread_;
  std::map<std::string, TransferMonitorCallback*> watched_;
};

}  // namespace halv

#endif  // HALV_APP_TRANSFER_MONITOR_H_
