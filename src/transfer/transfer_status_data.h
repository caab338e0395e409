#ifndef HALV_TRANSFER_TRANSFER_STATUS_DATA_H_
#define HALV_TRANSFER_TRANSFER_STATUS_DATA_H_

#include <string>

#include "transfer/transfer_error.h"
#include "work/work_status.h"

namespace halv {

// Work status data that carries a transfer error out of a failed work; the transfer reads the
// error to decide what to report. Derives virtually from WorkStatusData so that one object can
// also be a WorkErrorData or WorkExceptionData.
// Ownership: shared pointers inside a WorkStatus. Thread-safety: immutable once built.
class TransferStatusData : public virtual WorkStatusData {
 public:
  ~TransferStatusData() override = default;

  virtual TransferError ToTransferError() const = 0;
  // What the failure said, for people (an exception's message); empty when it said nothing more
  // than the error.
  virtual std::string Message() const { return std::string(); }
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_STATUS_DATA_H_
