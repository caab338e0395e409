#include "app/get_progress.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "config/not_given.h"

namespace halv {

std::string FormatBytes(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string ProgressPrinter::Line(const TransferStatus& status) {
  std::ostringstream line;
  const std::uint64_t total = status.totalBytes;
  const std::uint64_t done = status.transferredBytes < total ? status.transferredBytes : total;
  const unsigned percent = total == 0 ? 0 : static_cast<unsigned>(done * 100 / total);
  line << percent << "%  " << FormatBytes(done) << " of " << FormatBytes(total) << "  "
       << FormatBytes(status.bytesPerSecond) << "/s";
  if (status.secondsRemaining >= 0) {
    const std::int32_t s = status.secondsRemaining;
    char left[32];
    std::snprintf(left, sizeof left, "  %d:%02d:%02d left", s / 3600, s / 60 % 60, s % 60);
    line << left;
  }
  return line.str();
}

ProgressPrinter::ProgressPrinter(bool terminal, const Clock& clock)
    : terminal_(terminal), clock_(clock) {}

void ProgressPrinter::Show(const TransferStatus& status) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (terminal_) {
    // Clear to the end of the line: the new text may be shorter than the old.
    std::cerr << "\r" << Line(status) << "\x1b[K" << std::flush;
    lineOpen_ = true;
    return;
  }
  const auto now = clock_.Now();
  if (shownOnce_ && now - lastShown_ < std::chrono::seconds(5)) return;
  shownOnce_ = true;
  lastShown_ = now;
  std::cerr << Line(status) << std::endl;
}

void ProgressPrinter::Finish(const TransferStatus& status) {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::cerr << (terminal_ ? "\r" : "") << "complete: " << FormatBytes(status.totalBytes) << " in "
            << status.destPath << (terminal_ ? "\x1b[K\n" : "\n") << std::flush;
  lineOpen_ = false;
}

void ProgressPrinter::Break() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (lineOpen_) std::cerr << "\n" << std::flush;
  lineOpen_ = false;
}

std::string DescribeFailure(const TransferStatus& status, const FailureContext& context) {
  const std::string package = "package " + context.package + " of partner " + context.partner +
                              (context.version == kNotGiven ? std::string(" (current version)")
                                                            : " version " + context.version);
  const bool initializing = status.state == TransferState::None ||
                            status.state == TransferState::Initializing ||
                            status.state == TransferState::InitializingPaused;
  std::string cause;
  switch (status.error) {
    case TransferError::ManifestError:
      cause = "the description of the " + package + " on " + context.host +
              " is unusable or does not match what was asked";
      if (!status.errorMessage.empty()) cause += ": " + status.errorMessage;
      break;
    case TransferError::ConnectionError:
      cause = initializing ? "could not get the " + package + " from " + context.host +
                                 ": the host is unreachable, or it has no such package or version"
                           : "every download node of the " + package + " failed";
      break;
    case TransferError::InsufficientSpace:
      cause = "the disk of " + context.dest + " is full: the " + package + " does not fit";
      break;
    case TransferError::FileAccessError:
    case TransferError::FileError:
      cause = "cannot write the files of the " + package + " into " + context.dest;
      break;
    case TransferError::ChecksumError:
      cause = "chunks of the " + package + " from " + context.host +
              " keep failing their checksums on every node";
      if (!status.errorMessage.empty()) cause += ": " + status.errorMessage;
      break;
    case TransferError::InsufficientMemory:
      cause = "out of memory while downloading the " + package;
      break;
    case TransferError::RequestError:
      cause = "requests for the " + package + " from " + context.host + " could not be made";
      break;
    case TransferError::None:
      cause = "the download of the " + package + " from " + context.host + " stopped (" +
              (status.state == TransferState::Canceled ? "canceled" : "suspended") + ")";
      break;
    default:
      cause =
          "an unexpected error stopped the download of the " + package + " from " + context.host;
      break;
  }
  return cause;
}

}  // namespace halv
