#ifndef HALV_PLATFORM_POSIX_PROCESS_H_
#define HALV_PLATFORM_POSIX_PROCESS_H_

#include <functional>
#include <string>
#include <vector>

#include "platform/simple_process.h"

namespace halv {

// Starts a program with posix_spawn, never elevated: the child gets the real user and group ids,
// an empty signal mask, default signal actions and none of this process's descriptors but the
// standard three. Its arguments are separate argv entries, so no value can be read as a switch
// or split at a blank. A regular file that is not a program (a document, or one the kernel
// cannot execute) is handed to the desktop's opener, xdg-open, without the arguments.
// Ownership: a short-lived value of the caller. Thread-safety: one caller at a time.
class PosixProcess : public SimpleProcess {
 public:
  // Asked after the program file was busy (ETXTBSY: still open for writing somewhere) whether to
  // try again; `attempt` counts from 1. It may wait before returning true.
  using BusyRetry = std::function<bool(int attempt)>;

  // The default BusyRetry: waits a little longer each time, about a second in all.
  static bool WaitBriefly(int attempt);

  explicit PosixProcess(std::string path, BusyRetry busyRetry = WaitBriefly);

  // True when the program (or the opener of a document) was started and, with `wait`, has
  // exited; for a document, the opener must also have succeeded. A busy program file is retried
  // through the BusyRetry, unless this process itself still holds it open for writing or mapped
  // writable: that never ends by waiting, so Run fails at once. Without `wait` the child is
  // reaped by a detached thread when it exits.
  bool Run(bool wait, const std::vector<std::string>& arguments,
           const std::string& workingFolder) override;

 private:
  const BusyRetry busyRetry_;
};

// Whether this process has `path` open for writing, or mapped shared and writable: either keeps
// the kernel from executing it. False when `path` does not exist.
bool ProcessHoldsForWriting(const std::string& path);

}  // namespace halv

#endif  // HALV_PLATFORM_POSIX_PROCESS_H_
