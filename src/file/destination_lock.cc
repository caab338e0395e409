#include "file/destination_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>

#include "file/paths.h"

namespace halv {
namespace {

using FolderKey = std::pair<dev_t, ino_t>;

// Destinations locked by this process, and whether the transfer that locked each still runs. A
// second flock of the same folder from this process conflicts like one from another; what this
// record adds is telling a running transfer from one that ended while its files are still held,
// and waiting for the latter without polling.
struct LockedByThisProcess {
  std::mutex mutex;
  std::condition_variable released;
  std::map<FolderKey, bool> running;  // guarded by mutex
};

LockedByThisProcess& Registry() {
  // Never destroyed: a folder may still be let go while the process exits.
  static LockedByThisProcess* const registry = new LockedByThisProcess;
  return *registry;
}

// The flock goes with the descriptor, which the base class closes; this process's record goes
// with it.
class LockedFolder : public Folder {
 public:
  LockedFolder(int descriptor, const std::string& path, FolderKey key)
      : Folder(descriptor, path), key_(key) {}
  ~LockedFolder() override {
    // Unlocked before the record goes, so a waiter woken here finds the folder free.
    flock(descriptor(), LOCK_UN);
    LockedByThisProcess& registry = Registry();
    {
      const std::lock_guard<std::mutex> lock(registry.mutex);
      registry.running.erase(key_);
    }
    registry.released.notify_all();
  }
  FolderKey key() const { return key_; }

 private:
  const FolderKey key_;
};

}  // namespace

DestinationLock::DestinationLock(std::shared_ptr<const Folder> folder)
    : folder_(std::move(folder)) {}

DestinationLock::~DestinationLock() {
  LockedByThisProcess& registry = Registry();
  const std::lock_guard<std::mutex> lock(registry.mutex);
  // Acquire is the only maker, and it always hands in a LockedFolder.
  const auto entry = registry.running.find(static_cast<const LockedFolder&>(*folder_).key());
  if (entry != registry.running.end()) entry->second = false;
}

std::unique_ptr<DestinationLock> DestinationLock::Acquire(
    const std::string& folder, std::chrono::milliseconds stoppedHolderWait) {
  CreateDirectories(folder);
  const int descriptor = OpenFolderDescriptor(folder);
  struct stat status = {};
  if (fstat(descriptor, &status) != 0) {
    const int error = errno;
    close(descriptor);
    ThrowFileError(error);
  }
  const FolderKey key{status.st_dev, status.st_ino};
  LockedByThisProcess& registry = Registry();
  std::unique_lock<std::mutex> lock(registry.mutex);
  // A running holder is refused below, by the flock, with its process named.
  registry.released.wait_for(lock, stoppedHolderWait, [&] {
    const auto entry = registry.running.find(key);
    return entry == registry.running.end() || entry->second;
  });
  int result;
  do {
    result = flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    close(descriptor);
    if (error != EWOULDBLOCK) ThrowFileError(error);
    const std::string holder = DescribeLockHolder(status.st_dev, status.st_ino);
    throw DestinationInUseException("another download into " + folder + " is running" +
                                    (holder.empty() ? std::string() : " (" + holder + ")"));
  }
  registry.running[key] = true;
  lock.unlock();
  std::shared_ptr<const Folder> locked;
  try {
    locked = std::make_shared<LockedFolder>(descriptor, folder, key);
  } catch (...) {
    {
      const std::lock_guard<std::mutex> relock(registry.mutex);
      registry.running.erase(key);
    }
    registry.released.notify_all();
    flock(descriptor, LOCK_UN);
    close(descriptor);
    throw;
  }
  return std::unique_ptr<DestinationLock>(new DestinationLock(std::move(locked)));
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
