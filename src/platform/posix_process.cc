#include "platform/posix_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include <boost/filesystem.hpp>

extern char** environ;

namespace halv {
namespace {

constexpr int kBusyAttempts = 8;
constexpr std::chrono::milliseconds kBusyStep(25);

// Starts `file` (looked up in PATH when `search`) with `arguments` as its argv in `folder`.
// Returns 0 and sets `pid`, or returns the error number: glibc reports a failed exec in the
// child, ETXTBSY and ENOEXEC included, as posix_spawn's own result.
int Spawn(const std::string& file, bool search, const std::vector<std::string>& arguments,
          const std::string& folder, pid_t* pid) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  int error = posix_spawn_file_actions_init(&actions);
  if (error != 0) return error;
  posix_spawnattr_t attributes;
  error = posix_spawnattr_init(&attributes);
  if (error != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  // The child must not inherit the signals this process blocks or ignores (a worker thread's
  // mask, an ignored SIGPIPE), any descriptor that lacks close-on-exec, nor an effective id
  // above the real one.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  error = posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &none);
  if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &all);
  if (error == 0) {
    error = posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_RESETIDS);
  }
  if (error == 0) {
    error = search ? posix_spawnp(pid, file.c_str(), &actions, &attributes, argv.data(), environ)
                   : posix_spawn(pid, file.c_str(), &actions, &attributes, argv.data(), environ);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

bool WaitForExit(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Waits for `pid` when asked to; otherwise leaves the reaping to a detached thread so that the
// child does not linger as a zombie. `requireSuccess`: only a zero exit status counts.
bool Finish(pid_t pid, bool wait, bool requireSuccess) {
  if (!wait) {
    std::thread([pid] {
      int status = 0;
      WaitForExit(pid, &status);
    }).detach();
    return true;
  }
  int status = 0;
  if (!WaitForExit(pid, &status)) return false;
  return !requireSuccess || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

std::string ParentFolder(const std::string& path) {
  const std::string parent = boost::filesystem::path(path).parent_path().string();
  return parent.empty() ? std::string(".") : parent;
}

bool DescriptorWrites(const std::string& descriptor) {
  std::ifstream info("/proc/self/fdinfo/" + descriptor);
  std::string key;
  while (info >> key) {
    if (key == "flags:") {
      unsigned long flags = 0;
      info >> std::oct >> flags;
      return (flags & O_ACCMODE) != O_RDONLY;
    }
  }
  return false;
}

bool HoldsDescriptorForWriting(const struct stat& target) {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return false;
  bool holds = false;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat opened;
    if (stat(("/proc/self/fd/" + name).c_str(), &opened) == 0 && opened.st_dev == target.st_dev &&
        opened.st_ino == target.st_ino && DescriptorWrites(name)) {
      holds = true;
      break;
    }
  }
  closedir(folder);
  return holds;
}

// A shared writable mapping keeps the file open for writing after its descriptor is closed. The
// device and inode of /proc/self/maps may be those below an overlay file system, so the mapped
// path counts as well.
bool HoldsMappingForWriting(const struct stat& target, const std::string& canonicalPath) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, permissions, offset, device;
    unsigned long inode = 0;
    if (!(fields >> range >> permissions >> offset >> device >> inode)) continue;
    if (permissions.size() < 4 || permissions[1] != 'w' || permissions[3] != 's') continue;
    std::string mappedPath;
    std::getline(fields >> std::ws, mappedPath);
    const std::size_t colon = device.find(':');
    bool sameFile = mappedPath == canonicalPath;
    if (!sameFile && colon != std::string::npos && inode == target.st_ino) {
      const unsigned long major = std::strtoul(device.substr(0, colon).c_str(), nullptr, 16);
      const unsigned long minor = std::strtoul(device.substr(colon + 1).c_str(), nullptr, 16);
      sameFile = makedev(major, minor) == target.st_dev;
    }
    if (sameFile) return true;
  }
  return false;
}

}  // namespace

bool ProcessHoldsForWriting(const std::string& path) {
  struct stat target;
  if (stat(path.c_str(), &target) != 0) return false;
  if (HoldsDescriptorForWriting(target)) return true;
  char* canonical = realpath(path.c_str(), nullptr);
  const std::string canonicalPath = canonical ? canonical : path;
  std::free(canonical);
  return HoldsMappingForWriting(target, canonicalPath);
}

bool PosixProcess::WaitBriefly(int attempt) {
  if (attempt > kBusyAttempts) return false;
  std::this_thread::sleep_for(kBusyStep * attempt);
  return true;
}

PosixProcess::PosixProcess(std::string path, BusyRetry busyRetry)
    : SimpleProcess(std::move(path)), busyRetry_(std::move(busyRetry)) {}

bool PosixProcess::Run(bool wait, const std::vector<std::string>& arguments,
                       const std::string& workingFolder) {
  try {
    const std::string folder = workingFolder.empty() ? ParentFolder(path()) : workingFolder;
    struct stat info;
    if (stat(path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    pid_t pid = 0;
    if (access(path().c_str(), X_OK) == 0) {
      std::vector<std::string> argv;
      argv.reserve(arguments.size() + 1);
      argv.push_back(path());
      argv.insert(argv.end(), arguments.begin(), arguments.end());
      int error = 0;
      for (int attempt = 1;; ++attempt) {
        error = Spawn(path(), false, argv, folder, &pid);
        // The writer may be another process finishing its work, or a child forked elsewhere
        // that has not reached exec yet; both let go soon. Our own writer never does.
        if (error != ETXTBSY || ProcessHoldsForWriting(path()) || !busyRetry_(attempt)) break;
      }
      if (error == 0) return Finish(pid, wait, false);
      if (error != ENOEXEC) return false;
    }
    // A path starting with '-' would read as an option of the opener.
    const std::string document = path().front() == '-' ? "./" + path() : path();
    if (Spawn("xdg-open", true, {"xdg-open", document}, folder, &pid) != 0) return false;
    return Finish(pid, wait, true);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace halv
