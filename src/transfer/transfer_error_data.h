#ifndef HALV_TRANSFER_TRANSFER_ERROR_DATA_H_
#define HALV_TRANSFER_TRANSFER_ERROR_DATA_H_

#include <exception>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "transfer/transfer_error.h"
#include "transfer/transfer_status_data.h"
#include "work/work_status.h"

namespace halv {

// A transfer error with a message: what a work reports when a contract of the tree is broken.
// Ownership: shared pointers inside a WorkStatus. Thread-safety: immutable once built.
class TransferErrorData : public TransferStatusData, public WorkErrorData {
 public:
  TransferErrorData(TransferError error, std::string message);
  ~TransferErrorData() override;

  TransferError ToTransferError() const override { return error_; }
  // "transferError" (decimal), then "errorMessage".
  void Describe(boost::property_tree::ptree& tree) const override;
  // "error|<error>|<message>".
  std::string ToString() const override;

 private:
  const TransferError error_;
};

// A transfer error with the exception that caused it.
// Ownership: shared pointers inside a WorkStatus. Thread-safety: immutable once built.
class TransferExceptionData : public TransferStatusData, public WorkExceptionData {
 public:
  TransferExceptionData(TransferError error, std::exception_ptr exception);
  ~TransferExceptionData() override;

  TransferError ToTransferError() const override { return error_; }
  // The exception's what(); empty for an exception that is no std::exception.
  std::string Message() const override;
  // "transferError" (decimal), then "exception" and "what".
  void Describe(boost::property_tree::ptree& tree) const override;
  // "error|<error>|<exception type name>".
  std::string ToString() const override;

 protected:
  // For subclasses that decide the error after the base is built.
  TransferError error_;
};

// The failure of a destination-file operation: the error and whether the user may retry follow
// from the exception's type (a full disk or a file held by another program may be retried, a bad
// path may not).
// Ownership: shared pointers inside a WorkStatus. Thread-safety: immutable once built.
class TransferFileExceptionData : public TransferExceptionData {
 public:
  explicit TransferFileExceptionData(std::exception_ptr exception);
  ~TransferFileExceptionData() override;

  bool IsRetryable() const { return retryable_; }

 private:
  bool retryable_ = false;
};

// The status a file-touching work ends with after `exception`: Retryable when the user may try
// again, Error otherwise, carrying a TransferFileExceptionData.
WorkStatus FileFailureStatus(std::exception_ptr exception);

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_ERROR_DATA_H_
