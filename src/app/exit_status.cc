#include "app/exit_status.h"

#include <string>

namespace halv {

const char kExitStatusHelp[] =
    "  0    complete: every file is there and verified\n"
    "  1    failed otherwise (an unusable package description, out of memory, a fault)\n"
    "  2    bad command line: nothing was fetched\n"
    "  3    not found: no such partner, package or version on the host\n"
    "  4    network: the host or every node stayed unreachable or failing (after retries)\n"
    "  5    not authentic: a signature missing, wrong or older than one accepted, a TLS\n"
    "       certificate no trusted authority signed, or data that fails its checksums on\n"
    "       every node\n"
    "  6    local files: a folder or file cannot be made or written\n"
    "  7    disk full: no room for the package\n"
    "  130  interrupted (Ctrl-C)\n"
    "  143  terminated (SIGTERM)\n";

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

int ExitStatusOf(const TransferStatus& status) {
  if (status.state == TransferState::Complete && status.error == TransferError::None) {
    return kExitComplete;
  }
  // A document of the manifest host that is missing means that the partner, package or version
  // does not exist. A node without a file is named first ("node HOST, file PATH: ..."): that is
  // a broken publication, not a missing package.
  // A package document of another partner is, for the partner asked, no such package.
  if (StartsWith(status.errorMessage, "no such document at ") ||
      StartsWith(status.errorMessage, "the document is package ")) {
    return kExitNotFound;
  }
  // A host whose certificate no trusted authority signed cannot prove who it is: retrying it
  // cannot help. The HTTP layer's details name libcurl's code (60: the peer failed verification).
  if (status.errorMessage.find("(libcurl error 60 ") != std::string::npos ||
      status.errorMessage.find("(libcurl error 60)") != std::string::npos) {
    return kExitNotAuthentic;
  }
  switch (status.error) {
    case TransferError::ManifestError:
      return StartsWith(status.errorMessage, "the publication is not ") ? kExitNotAuthentic
                                                                        : kExitFailed;
    case TransferError::ConnectionError:
      return kExitNetwork;
    case TransferError::ChecksumError:
      return kExitNotAuthentic;
    case TransferError::InsufficientSpace:
      return kExitDiskFull;
    case TransferError::FileAccessError:
    case TransferError::FileError:
      return kExitLocalFiles;
    default:
      return kExitFailed;
  }
}

}  // namespace halv
