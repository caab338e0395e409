#include "event/log_manager.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "file/file_exception.h"
#include "file/paths.h"
#include "file/shared_file.h"

namespace halv {

namespace {

constexpr char kLogFileFormat[] = "Log.%Y.%m.%d.%H.%M.%S.txt";
constexpr char kLinePrefixFormat[] = "[%Y-%m-%d %H:%M:%S] ";

// The order of a log file among the others, or false when `name` is not one: its time stamp
// (which sorts as text) and its suffix number (0 for none).
bool ParseLogFileName(const std::string& name, std::string* stamp, unsigned long* suffix) {
  // "Log." + "YYYY.MM.DD.HH.MM.SS" + ".txt"
  static const std::string kShape = "Log.dddd.dd.dd.dd.dd.dd.txt";
  if (name.size() < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
    if (kShape[i] == 'd' ? !digit : name[i] != kShape[i]) return false;
  }
  *suffix = 0;
  if (name.size() > kShape.size()) {
    const std::string rest = name.substr(kShape.size());
    if (rest.size() < 2 || rest.size() > 4 || rest[0] != '.' || rest[1] == '0') return false;
    for (std::size_t i = 1; i < rest.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
    }
    *suffix = std::stoul(rest.substr(1));
  }
  *stamp = name.substr(4, 19);
  return true;
}

}  // namespace

std::string FormatUtcTime(std::chrono::system_clock::time_point time, const char* format) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) return std::string();
  char text[64];
  const std::size_t length = std::strftime(text, sizeof(text), format, &parts);
  return std::string(text, length);
}

LogManager::LogManager(std::uint32_t threadCount, std::int32_t logLevel, std::string baseFolder,
                       std::string logsFolder, SharedFileFactory* fileFactory, WallClock now)
    : EventManager(threadCount),
      logLevel_(logLevel),
      baseFolder_(std::move(baseFolder)),
      logsFolder_(std::move(logsFolder)),
      fileFactory_(fileFactory),
      now_(std::move(now)) {}

LogManager::~LogManager() { Drain(); }

void LogManager::MirrorLines(std::int32_t levels, std::function<void(const std::string&)> mirror) {
  std::lock_guard<std::mutex> lock(mutex_);
  mirrorLevels_ = levels;
  mirror_ = std::move(mirror);
}

void LogManager::WriteLine(std::int32_t level, const std::string& text) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if ((level & logLevel_) == 0) return;
    // One write per line: a package of many small files logs a line per file.
    std::string line = FormatUtcTime(now_(), kLinePrefixFormat);
    line += text;
    // Shown even when the file cannot be made: the user asked to see these lines.
    if (mirror_ && (level & mirrorLevels_) != 0) mirror_(line);
    if (!file_) OpenLogFile();
    file_->Write(line.data(), line.size());
  } catch (...) {
    // Logging must never disturb the transfer: the line is lost.
  }
}

void LogManager::OpenLogFile() {
  RemoveOldLogFiles();
  // One time for every candidate, so that a second ticking over cannot mix two names' series.
  const std::string name = FormatUtcTime(now_(), kLogFileFormat);
  const std::shared_ptr<const Folder> base = Folder::Open(baseFolder_);
  for (int n = 0; n <= kMaxNameSuffix; ++n) {
    const std::string candidate = n == 0 ? name : name + "." + std::to_string(n);
    try {
      file_ = fileFactory_->Create(base, AppendPath(logsFolder_, candidate),
                                   SharedFileMode::CreateNew, 0, ~std::uint64_t{0});
      return;
    } catch (const FileInUseException&) {
      // Taken, locked or busy: try the next suffix.
    }
  }
  throw std::runtime_error("LogManager::OpenLogFile called but " + name + " and its " +
                           std::to_string(kMaxNameSuffix) + " suffixed names are all in use");
}

void LogManager::RemoveOldLogFiles() {
  namespace fs = boost::filesystem;
  struct Entry {
    std::string stamp;
    unsigned long suffix;
    fs::path path;
  };
  std::vector<Entry> entries;
  boost::system::error_code error;
  const fs::path folder = fs::path(baseFolder_) / logsFolder_;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    Entry entry;
    if (ParseLogFileName(it->path().filename().string(), &entry.stamp, &entry.suffix) &&
        fs::is_regular_file(it->symlink_status(error))) {
      entry.path = it->path();
      entries.push_back(std::move(entry));
    }
  }
  if (entries.size() < kKeptLogFiles) return;
  // Newest first.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.stamp != b.stamp ? a.stamp > b.stamp : a.suffix > b.suffix;
  });
  for (std::size_t i = kKeptLogFiles - 1; i < entries.size(); ++i) {
    fs::remove(entries[i].path, error);
  }
}

}  // namespace halv
