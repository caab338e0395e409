#ifndef HALV_MANAGER_TRANSFER_H_
#define HALV_MANAGER_TRANSFER_H_

#include <memory>
#include <string>

#include "transfer/transfer_status.h"

namespace halv {

class TransferWorkInterface;

// One download of one package version into one destination folder, driven by user commands on
// one side and by the reports of its works on the other.
// Ownership: shared pointers, held by the transfer manager from creation until it is destroyed.
// Thread-safety: every operation from any thread; they serialise on the transfer's own lock.
// Commands that do not fit the current state return the status unchanged and raise nothing.
class Transfer {
 public:
  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  virtual ~Transfer() = default;

  // Starts acquiring the package description and node list.
  virtual TransferStatus Initialize() = 0;
  // Starts moving bytes into `destPath` (the not-given marker keeps a destination set earlier).
  virtual TransferStatus Start(const std::string& destPath) = 0;
  // Whether the package fits into `destPath`, counting the files already there as reserved.
  virtual bool HasSufficientSpace(const std::string& destPath) = 0;
  // A snapshot; raises the periodic event when its interval of active time has passed.
  virtual TransferStatus GetStatus() = 0;
  virtual TransferStatus Cancel(bool deleteFiles) = 0;
  virtual TransferStatus Pause() = 0;
  virtual TransferStatus Resume() = 0;
  virtual TransferStatus Retry() = 0;
  // Stops the transfer and keeps it for a later Restore (a transfer that never started is
  // cancelled instead).
  virtual TransferStatus Suspend() = 0;
  virtual TransferStatus Restore() = 0;
  virtual std::shared_ptr<TransferWorkInterface> GetWorkInterface() = 0;
  // A JSON array: every node of the list with its statistics; "[]" before the list is known.
  virtual std::string GetNodeStatistics() = 0;
};

}  // namespace halv

#endif  // HALV_MANAGER_TRANSFER_H_
