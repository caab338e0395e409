#ifndef HALV_EVENT_LOG_MANAGER_H_
#define HALV_EVENT_LOG_MANAGER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "event/event_manager.h"

namespace halv {

class SharedFile;
class SharedFileFactory;

// The time of day that names log files and prefixes their lines.
using WallClock = std::function<std::chrono::system_clock::time_point()>;

// An event manager whose events end as lines of one log file per run. The file lies in
// `logsFolder` below `baseFolder` (the product's state folder), is named after
// the UTC time of the run's first written line ("Log.%Y.%m.%d.%H.%M.%S.txt", then ".1", ".2", ...
// when that name is taken) and is created by the first line, so a run that writes nothing leaves
// no file. Before creating it, the oldest log files of earlier runs are removed so that the folder
// keeps at most kKeptLogFiles of them, this run's included.
// Ownership: owned by value by the assembly; the file factory is not owned and outlives it.
// Thread-safety: WriteLine and GetLogLevel from any thread; lines never interleave. Destruction
// as EventManager (drains first), then closes the file.
class LogManager : public EventManager {
 public:
  // Log files of this and earlier runs that the folder keeps.
  static constexpr std::size_t kKeptLogFiles = 20;
  // Suffixes tried after the plain name before a run gives up on creating its file.
  static constexpr int kMaxNameSuffix = 100;

  LogManager(std::uint32_t threadCount, std::int32_t logLevel, std::string baseFolder,
             std::string logsFolder, SharedFileFactory* fileFactory,
             WallClock now = &std::chrono::system_clock::now);
  ~LogManager() override;

  // Writes "[%Y-%m-%d %H:%M:%S] " (UTC, now) and `text` as one line, which `text` ends, when
  // (level & log level) != 0; creates the file first when none is open. Never throws: a line that
  // cannot be written is lost, and when the file could not be created the next line tries again.
  void WriteLine(std::int32_t level, const std::string& text);

  std::int32_t GetLogLevel() const { return logLevel_; }

  // Hands every line written from now on whose level shares a bit with `levels` to `mirror` as
  // well, stamp and end included (halvane-get --verbose shows them on stderr). The mirror runs
  // under the line mutex, so that lines reach it whole and in order; it must not log.
  void MirrorLines(std::int32_t levels, std::function<void(const std::string&)> mirror);

 private:
  // Removes old log files, then creates the file of this run. Throws a FileException when the
  // file cannot be created, std::runtime_error when every name up to kMaxNameSuffix is taken.
  void OpenLogFile();
  // Keeps the newest kKeptLogFiles - 1 log files of the folder and removes the others; files
  // whose names are not log file names are left alone. Never throws.
  void RemoveOldLogFiles();

  // Constant after construction.
  const std::int32_t logLevel_;
  const std::string baseFolder_;
  const std::string logsFolder_;
  SharedFileFactory* const fileFactory_;
  const WallClock now_;

  std::mutex mutex_;
  // Guarded by mutex_; empty until the first line is written.
  std::shared_ptr<SharedFile> file_;
  std::int32_t mirrorLevels_ = 0;
  std::function<void(const std::string&)> mirror_;
};

// `time` in UTC formatted by strftime's `format`; empty when the time cannot be converted. Any
// thread.
std::string FormatUtcTime(std::chrono::system_clock::time_point time, const char* format);

}  // namespace halv

#endif  // HALV_EVENT_LOG_MANAGER_H_
