#ifndef HALV_FILE_DESTINATION_LOCK_H_
#define HALV_FILE_DESTINATION_LOCK_H_

#include <memory>
#include <string>
#include <utility>

#include "file/file_exception.h"

namespace halv {

// Another transfer holds the destination; the message names its process.
class DestinationInUseException : public FileInUseException {
 public:
  explicit DestinationInUseException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// One transfer per destination folder: an exclusive flock on the folder's own descriptor, held
// for the object's lifetime, so that every process sees the same lock whatever spelling of the
// path it was given.
// Ownership: one owner, the transfer that runs into the folder. Thread-safety: Acquire from any
// thread; the object is not shared.
class DestinationLock {
 public:
  ~DestinationLock();
  DestinationLock(const DestinationLock&) = delete;
  DestinationLock& operator=(const DestinationLock&) = delete;

  // Creates the folder if it is missing and locks it without waiting. Throws FileInUseException
  // (DestinationInUseException) with a message that names the process holding the lock (from /proc/locks) when another
  // open of the folder holds it, and another FileException when the folder cannot be opened.
  static std::unique_ptr<DestinationLock> Acquire(const std::string& folder);

  // The locked folder's descriptor, owned by this object and open as long as it lives; any
  // thread may use it as the base of *at() calls while the owner keeps the object.
  int descriptor() const { return descriptor_; }

 private:
  explicit DestinationLock(int descriptor) : descriptor_(descriptor) {}

  const int descriptor_;
};

// The process holding a flock on the file with this device and inode, as "process PID (NAME)";
// empty when /proc/locks names none.
std::string DescribeLockHolder(unsigned long long device, unsigned long long inode);

}  // namespace halv

#endif  // HALV_FILE_DESTINATION_LOCK_H_
