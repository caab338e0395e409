#include "file/destination_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "file/paths.h"

namespace halv {

DestinationLock::~DestinationLock() { close(descriptor_); }

std::unique_ptr<DestinationLock> DestinationLock::Acquire(const std::string& folder) {
  CreateDirectories(folder);
  int descriptor;
  do {
    descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) ThrowLastFileError();
  int result;
  do {
    result = flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return std::unique_ptr<DestinationLock>(new DestinationLock(descriptor));
  const int error = errno;
  struct stat status = {};
  const bool known = fstat(descriptor, &status) == 0;
  close(descriptor);
  if (error != EWOULDBLOCK) ThrowFileError(error);
  const std::string holder = known ? DescribeLockHolder(status.st_dev, status.st_ino) : "";
  throw DestinationInUseException("another download into " + folder + " is running" +
                                  (holder.empty() ? std::string() : " (" + holder + ")"));
}

std::string DescribeLockHolder(unsigned long long device, unsigned long long inode) {
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(device), minor(device), inode);
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    // Waiters are listed after "->"; only the holder counts.
    if (line.find("->") != std::string::npos) continue;
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    if (!(fields >> number >> kind >> mode >> access >> pid >> where)) continue;
    if (kind != "FLOCK" || where != wanted) continue;
    std::string name;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
    // Whoever named the process could put anything in the name; it reaches a terminal.
    for (char& c : name) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return "process " + pid + (name.empty() ? std::string() : " (" + name + ")");
  }
  return std::string();
}

}  // namespace halv
