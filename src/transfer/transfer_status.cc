#include "transfer/transfer_status.h"

#include <utility>

#include "config/not_given.h"

namespace halv {

TransferStatus::TransferStatus()
    : partnerId(kNotGiven),
      packageId(kNotGiven),
      versionId(kNotGiven),
      destPath(kNotGiven),
      error(TransferError::UnknownError) {}

TransferStatus::TransferStatus(std::string transferId, TransferState state)
    : transferId(std::move(transferId)),
      partnerId(kNotGiven),
      packageId(kNotGiven),
      versionId(kNotGiven),
      state(state) {}

bool TransferStatus::IsFinished() const {
  switch (state) {
    case TransferState::None:
    case TransferState::Suspended:
    case TransferState::Complete:
    case TransferState::Canceled:
      return true;
    default:
      return error != TransferError::None && !retryable;
  }
}

}  // namespace halv
