#ifndef HALV_TRANSFER_TRANSFER_PROGRESS_UPDATER_H_
#define HALV_TRANSFER_TRANSFER_PROGRESS_UPDATER_H_

#include <cstdint>

namespace halv {

// Where the works of a transfer report the bytes they move: received over the network, written
// into destination files (and taken back when written data is discarded), and finished and
// verified.
// Ownership: shared pointers, by the transfer and every chunk of it. Thread-safety: every
// operation from any worker thread at any time, without taking the transfer's lock.
class TransferProgressUpdater {
 public:
  virtual ~TransferProgressUpdater() = default;

  virtual void AddTransferredBytes(std::uint64_t count) = 0;
  virtual void RemoveTransferredBytes(std::uint64_t count) = 0;
  virtual void AddCompletedBytes(std::uint64_t count) = 0;
  virtual void AddReceivedBytes(std::uint64_t count) = 0;
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_PROGRESS_UPDATER_H_
