#ifndef HALV_FILE_DESTINATION_LOCK_H_
#define HALV_FILE_DESTINATION_LOCK_H_

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "file/file_exception.h"
#include "file/folder.h"

namespace halv {

// Another transfer holds the destination; the message names its process.
class DestinationInUseException : public FileInUseException {
 public:
  explicit DestinationInUseException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// How long Acquire waits for a stopped transfer of this process to let go of the folder.
inline constexpr std::chrono::milliseconds kStoppedHolderWait{30000};

// One transfer per destination folder: Acquire creates the folder if it is missing, opens it,
// and takes an exclusive flock on that descriptor, so that every process sees the same lock
// whatever spelling of the path it was given. The flock lives as long as folder() does: the
// lock object keeps it until the transfer ends, and so does every file opened beneath it and
// every window of those files, so a stopped transfer whose works are still finishing keeps its
// destination until the last of them lets go.
// Ownership: one owner, the transfer that runs into the folder. Thread-safety: Acquire from any
// thread; the object is not shared.
class DestinationLock {
 public:
  // Another running transfer holding the folder, in this process or another: throws
  // DestinationInUseException at once, naming the process (from /proc/locks). A transfer of this
  // process that has ended but whose files are still held: waits for them at most
  // `stoppedHolderWait`, then throws the same. Another FileException when the folder cannot be
  // made or opened.
  static std::unique_ptr<DestinationLock> Acquire(
      const std::string& folder, std::chrono::milliseconds stoppedHolderWait = kStoppedHolderWait);

  // Tells a later Acquire in this process that the transfer has ended; the flock itself goes
  // with the last holder of folder().
  ~DestinationLock();
  DestinationLock(const DestinationLock&) = delete;
  DestinationLock& operator=(const DestinationLock&) = delete;

  // The locked folder; every file of the transfer is opened beneath it.
  const std::shared_ptr<const Folder>& folder() const { return folder_; }

 private:
  explicit DestinationLock(std::shared_ptr<const Folder> folder);

  const std::shared_ptr<const Folder> folder_;
};

// The process holding a flock on the file with this device and inode, as "process PID (NAME)";
// empty when /proc/locks names none.
std::string DescribeLockHolder(unsigned long long device, unsigned long long inode);

}  // namespace halv

#endif  // HALV_FILE_DESTINATION_LOCK_H_
