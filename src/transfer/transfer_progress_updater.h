#ifndef HALV_TRANSFER_TRANSFER_PROGRESS_UPDATER_H_
#define HALV_TRANSFER_TRANSFER_PROGRESS_UPDATER_H_

#include <cstdint>

namespace halv {

// Where the works of a transfer report the bytes they move: received over the network, written
// into destination files (and taken back when written data is discarded), and finished and
// verified; that they have begun checking data already on disk, so that a rerun over complete
// files shows as checking, not as downloading; and how much an update took from the files of an
// earlier version.
// Ownership: shared pointers, by the transfer and every chunk of it. Thread-safety: every
// operation from any worker thread at any time, without taking the transfer's lock.
class TransferProgressUpdater {
 public:
  virtual ~TransferProgressUpdater() = default;

  virtual void AddTransferredBytes(std::uint64_t count) = 0;
  virtual void RemoveTransferredBytes(std::uint64_t count) = 0;
  virtual void AddCompletedBytes(std::uint64_t count) = 0;
  virtual void AddReceivedBytes(std::uint64_t count) = 0;
  // A check of bytes that were on disk before this run has begun.
  virtual void NoteDiskCheck() {}
  // `reused` of the package's `total` bytes came from the files on disk of an earlier version:
  // an update fetches only the rest.
  virtual void NoteReuse(std::uint64_t /*reused*/, std::uint64_t /*total*/) {}
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_PROGRESS_UPDATER_H_
