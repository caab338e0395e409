#ifndef HALV_APP_GET_PROGRESS_H_
#define HALV_APP_GET_PROGRESS_H_

#include <cstdint>
#include <mutex>
#include <string>

#include "transfer/transfer_status.h"
#include "work/clock.h"

namespace halv {

// What a failure message of halvane-get names besides the cause.
struct FailureContext {
  std::string host;
  std::string partner;
  std::string package;
  std::string version;  // the not-given marker for the current version
  std::string dest;
};

// One English sentence for a transfer that did not complete: the host, the package and the
// cause, read from the status's state and error.
std::string DescribeFailure(const TransferStatus& status, const FailureContext& context);

// "12.3 MiB", "980 B": binary units with one decimal.
std::string FormatBytes(std::uint64_t bytes);

// The progress line of halvane-get on stderr: on a terminal one line redrawn in place, otherwise
// a plain line every few seconds.
// Ownership: a local of the tool. Thread-safety: Show and Finish from the monitor's thread,
// Break from any thread; a mutex keeps lines whole.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool terminal, const Clock& clock = SteadyClock::Instance());

  void Show(const TransferStatus& status);
  // The final line of a complete transfer.
  void Finish(const TransferStatus& status);
  // Ends a line redrawn in place, so that the next message starts on a line of its own.
  void Break();

  // The text of one progress line: percent, bytes, rate and time remaining.
  static std::string Line(const TransferStatus& status);

 private:
  const bool terminal_;
  const Clock& clock_;
  std::mutex mutex_;
  // Guarded by mutex_.
  bool lineOpen_ = false;
  bool shownOnce_ = false;
  Clock::TimePoint lastShown_{};
};

}  // namespace halv

#endif  // HALV_APP_GET_PROGRESS_H_
