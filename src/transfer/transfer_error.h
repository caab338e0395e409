#ifndef HALV_TRANSFER_TRANSFER_ERROR_H_
#define HALV_TRANSFER_TRANSFER_ERROR_H_

#include <cstdint>
#include <ostream>

#include "http/http_request.h"

namespace halv {

// Why a transfer, or one of its works, is not healthy. Written into property trees and one-line
// texts as its decimal number.
enum class TransferError : std::uint8_t {
  None = 0,                // no error
  ManifestError = 1,       // a package or node list description is unusable or does not match
  ConnectionError = 2,     // the network failed
  InsufficientMemory = 3,  // memory exhausted
  InsufficientSpace = 4,   // the destination disk is full
  FileAccessError = 5,     // a destination file cannot be reached
  ChecksumError = 6,       // a chunk failed its checksum
  FileError = 7,           // any other destination-file failure
  RequestError = 8,        // a request cannot be formed, or failed in an unclassified way
  UnknownError = 9,        // anything unexpected
};

// The decimal number, never a character, so that property trees and texts carry "9", not "\t".
std::ostream& operator<<(std::ostream& out, TransferError error);

// The error that an HTTP request's outcome stands for: None for Success and Cancelled,
// ConnectionError for network failures, FileError when the body could not be written, and
// UnknownError for a request that never finished or a value outside the known results.
TransferError ToTransferError(HttpRequestResult result);

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_ERROR_H_
