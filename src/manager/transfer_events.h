#ifndef HALV_MANAGER_TRANSFER_EVENTS_H_
#define HALV_MANAGER_TRANSFER_EVENTS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "analytics/analytics_request.h"
#include "transfer/transfer_behavior.h"
#include "transfer/transfer_params.h"
#include "transfer/transfer_status.h"

namespace halv {

class NodeListManifest;
class TrackEventWork;
class TransferStatusData;
class TransferStatusImpl;
class TransferWorkInterface;

// One transition of a transfer, reported to analytics and to the work log. Built by the transfer
// under its lock, copying everything it needs (params, behaviour, node list, byte and time
// deltas), and fired once after the lock is released, so it never touches the transfer again.
// Ownership: a local of the transfer operation that raises it.
// Thread-safety: built and fired on one thread; Fire only posts works to the analytics and log
// managers' own threads.
class TransferEvent {
 public:
  TransferEvent(const std::shared_ptr<TransferWorkInterface>& transfer, std::string name);
  TransferEvent(const TransferEvent&) = delete;
  TransferEvent& operator=(const TransferEvent&) = delete;
  virtual ~TransferEvent();

  // Analytics first, then the log line.
  void Fire() const;

 protected:
  virtual void SendAnalytics() const = 0;
  // Posts `request` to the analytics endpoint of `category`.
  void Track(std::int32_t category, const OutputManifest& request) const;
  void Log() const;
  // A new event-analytics work whose tree is an array; nullptr without an analytics manager.
  std::shared_ptr<TrackEventWork> CreateArrayWork() const;
  // Appends one element per node of the list: the bytes and request time each node delivered
  // since the previous report.
  void AddNodeAnalytics(TrackEventWork& work) const;
  void Submit(const std::shared_ptr<TrackEventWork>& work) const;

  const TransferParams params_;
  const TransferBehavior behavior_;
  const std::shared_ptr<const NodeListManifest> nodeList_;
  const std::string name_;
};

// Counts one user-visible event.
class SimpleTransferEvent : public TransferEvent {
 public:
  SimpleTransferEvent(const std::string& counter, std::string name,
                      const std::shared_ptr<TransferWorkInterface>& transfer);

 protected:
  void SendAnalytics() const override;

  const SimpleEventAnalyticsRequest counterRequest_;
};

// Counts the event and reports the transfer's state with bytes and active time.
class TransferStateEvent : public SimpleTransferEvent {
 public:
  TransferStateEvent(TransferState state, std::uint64_t bytes, std::uint64_t durationMs,
                     const std::string& counter, std::string name,
                     const std::shared_ptr<TransferWorkInterface>& transfer);

 protected:
  void SendAnalytics() const override;

  const TransferAnalyticsRequest transferRequest_;
};

// The end of an incarnation: the transfer record with the deltas taken from the status, then the
// counter and every node's throughput in one array.
class TransferEndEvent : public TransferStateEvent {
 public:
  // The active time and received bytes since the previous report, taken in this order.
  struct Deltas {
    std::uint64_t activeTimeMs;
    std::uint64_t receivedBytes;
  };
  static Deltas TakeDeltas(TransferStatusImpl& status);

  TransferEndEvent(const std::string& counter, std::string name,
                   const std::shared_ptr<TransferWorkInterface>& transfer,
                   TransferStatusImpl& status);
  TransferEndEvent(TransferState state, const std::string& counter, std::string name,
                   const std::shared_ptr<TransferWorkInterface>& transfer,
                   TransferStatusImpl& status);

 protected:
  void SendAnalytics() const override;

 private:
  TransferEndEvent(TransferState state, Deltas deltas, const std::string& counter, std::string name,
                   const std::shared_ptr<TransferWorkInterface>& transfer);
};

// An error: the transfer record when anything moved, then the error and every node's throughput.
class TransferErrorEvent : public TransferEvent {
 public:
  TransferErrorEvent(const std::string& counter, std::string name,
                     const std::shared_ptr<TransferWorkInterface>& transfer,
                     TransferStatusImpl& status, const TransferStatusData& data);

 protected:
  void SendAnalytics() const override;

  const ErrorAnalyticsRequest errorRequest_;
  const TransferAnalyticsRequest transferRequest_;
};

// Every periodic interval of active time: the transfer record and every node's throughput.
class TransferPeriodicEvent : public TransferEvent {
 public:
  TransferPeriodicEvent(const std::shared_ptr<TransferWorkInterface>& transfer,
                        TransferStatusImpl& status);

 protected:
  void SendAnalytics() const override;

  const TransferAnalyticsRequest transferRequest_;
};

struct TransferInitializeEvent : SimpleTransferEvent {
  explicit TransferInitializeEvent(const std::shared_ptr<TransferWorkInterface>& transfer)
      : SimpleTransferEvent("numInitializes", "Initialize", transfer) {}
};
struct TransferInitializeCompleteEvent : SimpleTransferEvent {
  explicit TransferInitializeCompleteEvent(const std::shared_ptr<TransferWorkInterface>& transfer)
      : SimpleTransferEvent("numInitializeCompletes", "InitializeComplete", transfer) {}
};
struct TransferPauseEvent : SimpleTransferEvent {
  explicit TransferPauseEvent(const std::shared_ptr<TransferWorkInterface>& transfer)
      : SimpleTransferEvent("numPauses", "Pause", transfer) {}
};
struct TransferResumeEvent : SimpleTransferEvent {
  explicit TransferResumeEvent(const std::shared_ptr<TransferWorkInterface>& transfer)
      : SimpleTransferEvent("numResumes", "Resume", transfer) {}
};
struct TransferRetryEvent : SimpleTransferEvent {
  explicit TransferRetryEvent(const std::shared_ptr<TransferWorkInterface>& transfer)
      : SimpleTransferEvent("numRetries", "Retry", transfer) {}
};
struct TransferStartEvent : TransferStateEvent {
  explicit TransferStartEvent(const std::shared_ptr<TransferWorkInterface>& transfer)
      : TransferStateEvent(TransferState::Transferring, 0, 0, "numStarts", "Start", transfer) {}
};
struct TransferRestoreEvent : TransferStateEvent {
  explicit TransferRestoreEvent(const std::shared_ptr<TransferWorkInterface>& transfer)
      : TransferStateEvent(TransferState::Initializing, 0, 0, "numRestores", "Restore", transfer) {}
};
struct TransferCancelEvent : TransferEndEvent {
  TransferCancelEvent(const std::shared_ptr<TransferWorkInterface>& transfer,
                      TransferStatusImpl& status)
      : TransferEndEvent("numCancels", "Cancel", transfer, status) {}
};
struct TransferSuspendEvent : TransferEndEvent {
  // `status` belongs to the incarnation that ended, whose own state is not Suspended.
  TransferSuspendEvent(const std::shared_ptr<TransferWorkInterface>& transfer,
                       TransferStatusImpl& status)
      : TransferEndEvent(TransferState::Suspended, "numSuspends", "Suspend", transfer, status) {}
};
struct TransferCompleteEvent : TransferEndEvent {
  TransferCompleteEvent(const std::shared_ptr<TransferWorkInterface>& transfer,
                        TransferStatusImpl& status)
      : TransferEndEvent("numCompletes", "Complete", transfer, status) {}
};
struct TransferRetryableErrorEvent : TransferErrorEvent {
  TransferRetryableErrorEvent(const std::shared_ptr<TransferWorkInterface>& transfer,
                              TransferStatusImpl& status, const TransferStatusData& data)
      : TransferErrorEvent("numRetryableErrors", "RetryableError", transfer, status, data) {}
};
struct TransferFatalErrorEvent : TransferErrorEvent {
  TransferFatalErrorEvent(const std::shared_ptr<TransferWorkInterface>& transfer,
                          TransferStatusImpl& status, const TransferStatusData& data)
      : TransferErrorEvent("numFatalErrors", "FatalError", transfer, status, data) {}
};

}  // namespace halv

#endif  // HALV_MANAGER_TRANSFER_EVENTS_H_
