#include "app/get_progress.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "config/not_given.h"
#include "manifest/manifest_url.h"

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

namespace {

std::string Clock3(std::int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%d:%02d:%02d", static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return text;
}

double Seconds(Clock::Duration duration) {
  return std::chrono::duration_cast<std::chrono::duration<double>>(duration).count();
}

// Bytes the file system of `folder` gives this user; none when it cannot be asked.
std::optional<std::uint64_t> AvailableBytes(const std::string& folder) {
  struct statvfs system = {};
  if (::statvfs(folder.c_str(), &system) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(system.f_bavail) * system.f_frsize;
}

// Whether the host has no document at `url`, asked through the context; false when unknown.
bool Missing(const FailureContext& context, const std::string& path) {
  if (!context.documentMissing) return false;
  try {
    return context.documentMissing(MakeManifestUrl(context.host, path));
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::string DescribeFolderProblem(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  // The nearest part of the path that exists tells why the rest cannot be made.
  fs::path existing = fs::absolute(folder, error);
  while (!existing.empty() && !fs::exists(fs::symlink_status(existing, error)) &&
         existing.has_relative_path()) {
    existing = existing.parent_path();
  }
  const std::string path = existing.string();
  if (path.empty()) return std::string();
  if (!fs::is_directory(existing, error)) return path + " is a file, not a folder";
  struct statvfs system = {};
  if (::statvfs(path.c_str(), &system) == 0 && (system.f_flag & ST_RDONLY) != 0) {
    return path + " is on a read-only file system";
  }
  if (::access(path.c_str(), W_OK | X_OK) != 0) {
    return (errno == EROFS ? path + " is on a read-only file system"
                           : "this user may not write into " + path);
  }
  return std::string();
}

std::string ProgressPrinter::Line(const TransferStatus& status,
                                  std::optional<double> bytesPerSecond) {
  std::ostringstream line;
  const std::uint64_t total = status.totalBytes;
  const std::uint64_t done = status.transferredBytes < total ? status.transferredBytes : total;
  const unsigned percent = total == 0 ? 0 : static_cast<unsigned>(done * 100 / total);
  // Checking what an earlier run left moves the bar, but no byte of it is downloaded: no rate.
  if (status.checking) line << "checking  ";
  line << percent << "%  " << FormatBytes(done) << " of " << FormatBytes(total);
  // An update says what it took from the version on disk.
  if (status.reusedBytes != 0) {
    line << "  reusing " << FormatBytes(std::min(status.reusedBytes, total)) << " of "
         << FormatBytes(total) << " from the version on disk";
  }
  if (bytesPerSecond && !status.checking) {
    line << "  " << FormatBytes(static_cast<std::uint64_t>(*bytesPerSecond)) << "/s";
    if (*bytesPerSecond >= 1) {
      line << "  " << Clock3(static_cast<std::int64_t>((total - done) / *bytesPerSecond + 0.5))
           << " left";
    }
  }
  return line.str();
}

ProgressPrinter::ProgressPrinter(bool terminal, const Clock& clock, std::ostream& out)
    : terminal_(terminal), clock_(clock), out_(out), started_(clock.Now()) {}

std::optional<double> ProgressPrinter::Rate(Clock::TimePoint now, std::uint64_t done) {
  samples_.emplace_back(now, done);
  // Keep the newest sample at least kRateWindow old, so that the window stays full.
  while (samples_.size() >= 2 && now - samples_[1].first >= kRateWindow) samples_.pop_front();
  const Clock::Duration span = now - samples_.front().first;
  if (span < std::chrono::seconds(1)) return std::nullopt;
  const std::uint64_t from = samples_.front().second;
  return static_cast<double>(done > from ? done - from : 0) / Seconds(span);
}

void ProgressPrinter::Show(const TransferStatus& status) {
  // Before the documents are read the sizes are unknown: a "0 B of 0 B" line would mislead.
  if (status.totalBytes == 0) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto now = clock_.Now();
  // The rate counts bytes that came over the network, not bytes checked on disk.
  const std::optional<double> rate = Rate(now, status.receivedBytes);
  const bool turned = shownOnce_ && status.checking != checking_;
  checking_ = status.checking;
  if (terminal_) {
    // Clear to the end of the line: the new text may be shorter than the old.
    out_ << "\r" << Line(status, rate) << "\x1b[K" << std::flush;
    lineOpen_ = true;
    return;
  }
  // A turn from checking to downloading gets its line at once.
  if (shownOnce_ && !turned && now - lastShown_ < std::chrono::seconds(5)) return;
  shownOnce_ = true;
  lastShown_ = now;
  out_ << Line(status, rate) << std::endl;
}

void ProgressPrinter::Finish(const TransferStatus& status) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const double elapsed = Seconds(clock_.Now() - started_);
  char timing[96];
  std::snprintf(timing, sizeof timing, " in %.1f s", elapsed);
  out_ << (terminal_ ? "\r" : "") << "complete: " << FormatBytes(status.totalBytes) << " in "
       << status.destPath << "; "
       << (status.receivedBytes == 0 ? "every file was there and checked, " : "")
       << FormatBytes(status.receivedBytes) << " received" << timing;
  if (elapsed > 0) {
    out_ << ", "
         << FormatBytes(
                static_cast<std::uint64_t>(static_cast<double>(status.receivedBytes) / elapsed))
         << "/s on average";
  }
  if (status.reusedBytes != 0) {
    out_ << "; reusing " << FormatBytes(std::min(status.reusedBytes, status.totalBytes)) << " of "
         << FormatBytes(status.totalBytes) << " from the version on disk";
  }
  out_ << (terminal_ ? "\x1b[K\n" : "\n") << std::flush;
  lineOpen_ = false;
}

void ProgressPrinter::Break() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (lineOpen_) out_ << "\n" << std::flush;
  lineOpen_ = false;
}

void ProgressPrinter::Note(const std::string& text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (lineOpen_) out_ << "\n";
  lineOpen_ = false;
  out_ << text << std::flush;
}

std::string DescribeFailure(const TransferStatus& status, const FailureContext& context) {
  const std::string package = "package " + context.package + " of partner " + context.partner +
                              (context.version == kNotGiven ? std::string(" (current version)")
                                                            : " version " + context.version);
  const bool initializing = status.state == TransferState::None ||
                            status.state == TransferState::Initializing ||
                            status.state == TransferState::InitializingPaused;
  // A document the host does not have: the node list names the partner, the package document
  // the package and version.
  static const std::string kMissing = "no such document at ";
  const std::string& message = status.errorMessage;
  if (message.rfind(kMissing, 0) == 0) {
    const std::string url =
        message.substr(kMissing.size(), message.find(' ', kMissing.size()) - kMissing.size());
    const bool nodeList = url.find("/nodes/") != std::string::npos;
    // The other document of the pair: when the host has that one neither, the host is wrong,
    // not the partner or the package.
    const std::string other =
        nodeList ? "/manifests/" + context.package +
                       (context.version == kNotGiven ? "/current" : "/" + context.version) + ".xml"
                 : "/nodes/" + context.partner + ".xml";
    if (Missing(context, other)) {
      return context.host + " has neither the node list of partner " + context.partner +
             " nor the " + package + " (no such document at " + url +
             "): is it the manifest host of this package?";
    }
    if (nodeList) {
      return "partner " + context.partner + " has no node list at " + url +
             ": is the partner id right?";
    }
    return "no such package or version at " + url + " (" + package + ")";
  }
  std::string cause;
  switch (status.error) {
    case TransferError::ManifestError:
      cause = "the description of the " + package + " on " + context.host +
              " is unusable or does not match what was asked";
      if (!message.empty()) cause += ": " + message;
      break;
    case TransferError::ConnectionError:
      if (!initializing) {
        cause = "every download node of the " + package + " failed";
        if (!message.empty()) cause += "; the last: " + message;
      } else if (!message.empty()) {
        cause = "could not get the " + package + ": " + message;
      } else {
        cause =
            "could not get the " + package + " from " + context.host + ": the host is unreachable";
      }
      break;
    case TransferError::InsufficientSpace: {
      // A small disk is not a full one: the bytes needed and those there say which it is.
      const std::optional<std::uint64_t> available = AvailableBytes(context.dest);
      if (available && status.totalBytes > *available) {
        cause = "the " + package + " needs " + FormatBytes(status.totalBytes) + " in " +
                context.dest + ", and its file system has " + FormatBytes(*available) + " free";
      } else {
        cause = "the disk of " + context.dest + " is full: the " + package + " does not fit";
        if (!status.errorMessage.empty()) cause += " (" + status.errorMessage + ")";
      }
      break;
    }
    case TransferError::FileAccessError:
    case TransferError::FileError: {
      cause = "cannot write the files of the " + package + " into " + context.dest;
      // What the folder itself tells comes before the file layer's word for it.
      const std::string problem = DescribeFolderProblem(context.dest);
      if (!problem.empty()) {
        cause += ": " + problem;
      } else if (!status.errorMessage.empty()) {
        cause += ": " + status.errorMessage;
      }
      break;
    }
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
      if (!status.errorMessage.empty()) cause += ": " + status.errorMessage;
      break;
  }
  return cause;
}

}  // namespace halv
