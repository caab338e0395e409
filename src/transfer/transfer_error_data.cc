#include "transfer/transfer_error_data.h"

#include <memory>
#include <new>
#include <sstream>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "file/file_exception.h"

namespace halv {

namespace {

// The decimal number of `error`, for property trees.
int ToNumber(TransferError error) { return static_cast<int>(error); }

}  // namespace

TransferErrorData::TransferErrorData(TransferError error, std::string message)
    : WorkErrorData(std::move(message)), error_(error) {}

TransferErrorData::~TransferErrorData() = default;

void TransferErrorData::Describe(boost::property_tree::ptree& tree) const {
  tree.put("transferError", ToNumber(error_));
  WorkErrorData::Describe(tree);
}

std::string TransferErrorData::ToString() const {
  std::ostringstream text;
  text << "error|" << error_ << "|" << WorkErrorData::ToString();
  return text.str();
}

TransferExceptionData::TransferExceptionData(TransferError error, std::exception_ptr exception)
    : WorkExceptionData(std::move(exception)), error_(error) {}

TransferExceptionData::~TransferExceptionData() = default;

std::string TransferExceptionData::Message() const {
  try {
    if (GetException()) std::rethrow_exception(GetException());
  } catch (const std::exception& exception) {
    return exception.what();
  } catch (...) {
  }
  return std::string();
}

void TransferExceptionData::Describe(boost::property_tree::ptree& tree) const {
  tree.put("transferError", ToNumber(error_));
  WorkExceptionData::Describe(tree);
}

std::string TransferExceptionData::ToString() const {
  std::ostringstream text;
  text << "error|" << error_ << "|" << WorkExceptionData::ToString();
  return text.str();
}

TransferFileExceptionData::TransferFileExceptionData(std::exception_ptr exception)
    : TransferExceptionData(TransferError::UnknownError, std::move(exception)) {
  if (!GetException()) return;
  try {
    std::rethrow_exception(GetException());
  } catch (const FileBadPathException&) {
    error_ = TransferError::FileAccessError;
  } catch (const FileInUseException&) {
    error_ = TransferError::FileAccessError;
    retryable_ = true;
  } catch (const FileInaccessibleException&) {
    error_ = TransferError::FileAccessError;
    retryable_ = true;
  } catch (const FileInsufficientSpaceException&) {
    error_ = TransferError::InsufficientSpace;
    retryable_ = true;
  } catch (const FileOutOfBoundsException&) {
    error_ = TransferError::UnknownError;
  } catch (const FileException&) {
    error_ = TransferError::FileError;
  } catch (const std::bad_alloc&) {
    error_ = TransferError::InsufficientMemory;
  } catch (...) {
    error_ = TransferError::UnknownError;
  }
}

TransferFileExceptionData::~TransferFileExceptionData() = default;

WorkStatus FileFailureStatus(std::exception_ptr exception) {
  auto data = std::make_shared<TransferFileExceptionData>(std::move(exception));
  const WorkResult result = data->IsRetryable() ? WorkResult::Retryable : WorkResult::Error;
  return WorkStatus(result, std::move(data));
}

}  // namespace halv
