#include "platform/system.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace halv {

namespace {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HomeDirectory() {
  std::string home = EnvironmentValue("HOME");
  if (!home.empty()) return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir) {
    home = result->pw_dir;
  }
  return home;
}

// The XDG rules ignore a relative value: it falls back to `fallback` below the home folder.
std::string XdgFolder(const char* variable, const char* fallback) {
  const std::string value = EnvironmentValue(variable);
  if (!value.empty() && value.front() == '/') return value;
  const std::string home = HomeDirectory();
  return home.empty() ? std::string() : home + fallback;
}

}  // namespace

std::string GetSystemTempDirectory() { return XdgFolder("XDG_CACHE_HOME", "/.cache"); }

std::string GetDataHome() { return XdgFolder("XDG_DATA_HOME", "/.local/share"); }

std::string GetStateHome() { return XdgFolder("XDG_STATE_HOME", "/.local/state"); }

std::string GetExecutablePath() {
  const std::string image = EnvironmentValue("APPIMAGE");
  if (!image.empty() && image.front() == '/') return image;
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    if (static_cast<std::size_t>(length) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(length));
      // A program replaced while it runs reads as "path (deleted)"; the path now holds its
      // successor, which is what a shortcut should run.
      constexpr char kDeleted[] = " (deleted)";
      constexpr std::size_t kDeletedLength = sizeof kDeleted - 1;
      if (path.size() > kDeletedLength &&
          path.compare(path.size() - kDeletedLength, kDeletedLength, kDeleted) == 0) {
        path.resize(path.size() - kDeletedLength);
      }
      return path;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string GetApplicationsDirectory() {
  const std::string data = GetDataHome();
  return data.empty() ? std::string() : data + "/applications";
}

bool IsWritableFolder(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  return access(path.c_str(), W_OK | X_OK) == 0;
}

int GetProcessorCount() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 1 ? static_cast<int>(count) : 1;
}

}  // namespace halv
