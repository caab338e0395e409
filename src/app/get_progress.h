#ifndef HALV_APP_GET_PROGRESS_H_
#define HALV_APP_GET_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

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
  // Whether the manifest host answers that it has no document at `url`; asked after a document
  // was missing, to tell a wrong host (neither document there) from a wrong partner or package.
  // Unset: not asked.
  std::function<bool(const std::string& url)> documentMissing;
};

// One English sentence for a transfer that did not complete: the host, the package and the
// cause, read from the status's state and error.
std::string DescribeFailure(const TransferStatus& status, const FailureContext& context);

// Why `folder` cannot take the package's files, as far as the folder itself tells: it, or the
// nearest part of its path that exists, is a file, lies on a read-only file system, or may not be
// written by this user. Empty when none of these holds.
std::string DescribeFolderProblem(const std::string& folder);

// "12.3 MiB", "980 B": binary units with one decimal.
std::string FormatBytes(std::uint64_t bytes);

// The progress line of halvane-get on stderr: on a terminal one line redrawn in place, otherwise
// a plain line every few seconds, and at once when a check of files on disk turns into a
// download. Nothing is shown until the package's size is known. The rate is the printer's own,
// of bytes received over the network in the last kRateWindow of its samples (from one second of
// them on), and the time left is computed from that same rate.
// Ownership: a local of the tool. Thread-safety: Show and Finish from the monitor's thread,
// Break and Note from any thread; a mutex keeps lines whole.
class ProgressPrinter {
 public:
  static constexpr std::chrono::seconds kRateWindow{3};

  // Times the run from construction on; writes to `out`.
  explicit ProgressPrinter(bool terminal, const Clock& clock = SteadyClock::Instance(),
                           std::ostream& out = std::cerr);

  void Show(const TransferStatus& status);
  // The final line of a complete transfer: the size and folder, then the bytes received in this
  // run (saying so when every file was already there), the time since construction and their
  // average rate, and for an update how much it took from the version on disk.
  void Finish(const TransferStatus& status);
  // Ends a line redrawn in place, so that the next message starts on a line of its own.
  void Break();
  // Writes `text` (which ends its line) on a line of its own; the progress line is redrawn with
  // the next Show. Any thread.
  void Note(const std::string& text);

  // The text of one progress line: percent and bytes, then, when `bytesPerSecond` is known, the
  // rate and the time left at that rate; a check of files on disk says "checking" and shows no
  // rate, since nothing of it is downloaded; an update says how much of the package it takes
  // from the version on disk.
  static std::string Line(const TransferStatus& status, std::optional<double> bytesPerSecond);

 private:
  // The rate over the samples of the last kRateWindow after adding (now, done); none before the
  // samples span one second. Called under mutex_.
  std::optional<double> Rate(Clock::TimePoint now, std::uint64_t done);

  const bool terminal_;
  const Clock& clock_;
  std::ostream& out_;
  const Clock::TimePoint started_;
  std::mutex mutex_;
  // Guarded by mutex_.
  bool lineOpen_ = false;
  bool shownOnce_ = false;
  bool checking_ = false;  // the last line shown was of a check, not a download
  Clock::TimePoint lastShown_{};
  std::deque<std::pair<Clock::TimePoint, std::uint64_t>> samples_;
};

}  // namespace halv

#endif  // HALV_APP_GET_PROGRESS_H_
