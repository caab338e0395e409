#ifndef HALV_APP_EXIT_STATUS_H_
#define HALV_APP_EXIT_STATUS_H_

#include "transfer/transfer_status.h"

namespace halv {

// The exit statuses of halvane-get and halvane-updater, one per kind of failure a script may
// want to tell apart. The numbers are part of the programs' interface (--help, the man pages and
// the README list them): never renumber one.
enum ExitStatus : int {
  kExitComplete = 0,       // every file complete and verified (the updater: and the program ran)
  kExitFailed = 1,         // any other failure: an unusable description, out of memory, a bug
  kExitUsage = 2,          // a bad command line; nothing was fetched
  kExitNotFound = 3,       // the host has no such partner, package or version
  kExitNetwork = 4,        // the host or the nodes could not be reached, after the retries
  kExitNotAuthentic = 5,   // a signature missing, wrong or older than one accepted, a TLS host
                           // that no trusted authority vouches for, or data that keeps failing
                           // its checksums on every node
  kExitLocalFiles = 6,     // a local folder or file cannot be made or written
  kExitDiskFull = 7,       // the destination's disk has no room for the package
  kExitInterrupted = 130,  // Ctrl-C (SIGINT), or the updater's window closed before the end
  kExitTerminated = 143,   // SIGTERM
};

// The table above as the --help texts show it, each line ending in a newline.
extern const char kExitStatusHelp[];

// The exit status for a transfer that ended: kExitComplete for a complete one, otherwise the
// kind of its failure, read from its error and, where one error covers several kinds, from the
// words the layers below put first in its message ("no such document at", "the document is
// package", "the publication is not"; the table tests fail when those words change).
// Stateless; any thread.
int ExitStatusOf(const TransferStatus& status);

}  // namespace halv

#endif  // HALV_APP_EXIT_STATUS_H_
