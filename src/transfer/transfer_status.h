#ifndef HALV_TRANSFER_TRANSFER_STATUS_H_
#define HALV_TRANSFER_TRANSFER_STATUS_H_

#include <cstdint>
#include <string>

#include "transfer/transfer_error.h"

namespace halv {

// Where a transfer is in its life.
enum class TransferState : std::uint8_t {
  None = 0,                // no transfer; the state of the default status
  Initializing = 1,        // the package description and node list are being acquired
  InitializingPaused = 2,  // initialization paused by the user
  Initialized = 3,         // descriptions acquired; the workflow waits for Start
  Transferring = 4,        // files are being transferred
  Paused = 5,              // transfer paused by the user
  Suspended = 6,           // stopped and kept for a later Restore
  Complete = 7,            // every byte transferred and verified
  Canceled = 8,            // abandoned
};

// What every reader of a transfer receives: ids, state, error and progress at one moment.
// A plain value, copied freely; only the owner of the transfer writes its fields.
struct TransferStatus {
  // The status shown where no transfer exists: no id, every other id and the destination "?",
  // state None and error UnknownError, so that it reads as finished and failed.
  TransferStatus();
  // A fresh transfer's status: the ids other than `transferId` are "?", the destination and run
  // path empty, no error, no progress and no estimate.
  TransferStatus(std::string transferId, TransferState state);

  // True in the states that end following a transfer (None, Suspended, Complete, Canceled), and
  // under an error that Retry cannot clear. A finished transfer takes no further reports from its
  // works.
  bool IsFinished() const;

  std::string transferId;
  std::string partnerId;
  std::string packageId;
  std::string versionId;
  std::string destPath;  // in snapshots the params' value: "?" until the transfer is started
  TransferState state = TransferState::None;
  TransferError error = TransferError::None;
  bool retryable = false;              // the error may be cleared by Retry
  std::string errorMessage;            // what the failure said, for people; may be empty
  std::string runPath;                 // in snapshots empty unless the state is Complete
  std::uint64_t receivedBytes = 0;     // received and written during this run; never decreases
  std::uint64_t transferredBytes = 0;  // in destination files: the progress shown to the user
  std::uint64_t completedBytes = 0;    // of chunks that are finished and verified
  std::uint64_t totalBytes = 0;        // size of the whole package; 0 until it is known
  std::uint64_t bytesPerSecond = 0;    // receive rate over the recent window
  std::int32_t secondsRemaining = -1;  // -1 when there is no estimate
  // Transferring, with files of an earlier run being checked on disk and nothing received over
  // the network yet in this run: progress then measures checked bytes, not downloaded ones.
  bool checking = false;
  // Of totalBytes, what an update took from the files of an earlier version on disk; 0 otherwise.
  std::uint64_t reusedBytes = 0;
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_STATUS_H_
