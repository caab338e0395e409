#include "transfer/transfer_error.h"

namespace halv {

std::ostream& operator<<(std::ostream& out, TransferError error) {
  return out << static_cast<unsigned>(error);
}

TransferError ToTransferError(HttpRequestResult result) {
  switch (result) {
    case HttpRequestResult::Success:
    case HttpRequestResult::Cancelled:
      return TransferError::None;
    case HttpRequestResult::InvalidUrl:
    case HttpRequestResult::OtherError:
      return TransferError::RequestError;
    case HttpRequestResult::ResolveFailed:
    case HttpRequestResult::ConnectFailed:
    case HttpRequestResult::ClientError:
    case HttpRequestResult::ServerError:
    case HttpRequestResult::NetworkError:
    case HttpRequestResult::Incomplete:
    case HttpRequestResult::TimedOut:
      return TransferError::ConnectionError;
    case HttpRequestResult::WriteFailed:
      return TransferError::FileError;
    case HttpRequestResult::OutOfMemory:
      return TransferError::InsufficientMemory;
    case HttpRequestResult::NotStarted:
    case HttpRequestResult::InProgress:
      break;
  }
  return TransferError::UnknownError;
}

}  // namespace halv
