#include "transfer/transfer_error_data.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "file/file_exception.h"

namespace halv {
namespace {

template <typename E>
std::exception_ptr Captured(E exception) {
  return std::make_exception_ptr(exception);
}

TEST(TransferFileExceptionDataTest, ErrorAndRetryFollowTheExceptionType) {
  struct Case {
    const char* name;
    std::exception_ptr exception;
    TransferError error;
    bool retryable;
  };
  const Case cases[] = {
      {"bad path", Captured(FileBadPathException()), TransferError::FileAccessError, false},
      {"in use", Captured(FileInUseException()), TransferError::FileAccessError, true},
      {"inaccessible", Captured(FileInaccessibleException()), TransferError::FileAccessError, true},
      {"disk full", Captured(FileInsufficientSpaceException()), TransferError::InsufficientSpace,
       true},
      {"out of bounds", Captured(FileOutOfBoundsException()), TransferError::UnknownError, false},
      {"invalid map", Captured(FileInvalidMapException()), TransferError::FileError, false},
      {"other file failure", Captured(FileUnknownException()), TransferError::FileError, false},
      {"out of memory", Captured(std::bad_alloc()), TransferError::InsufficientMemory, false},
      {"anything else", Captured(std::runtime_error("x")), TransferError::UnknownError, false},
      {"nothing", std::exception_ptr(), TransferError::UnknownError, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransferFileExceptionData data(c.exception);
    EXPECT_EQ(data.ToTransferError(), c.error);
    EXPECT_EQ(data.IsRetryable(), c.retryable);
    const WorkStatus status = FileFailureStatus(c.exception);
    EXPECT_EQ(status.result, c.retryable ? WorkResult::Retryable : WorkResult::Error);
  }
}

TEST(TransferErrorDataTest, DescribesAndPrintsTheErrorFirst) {
  TransferErrorData error(TransferError::UnknownError,
                          "PlaceEntriesWork::ExecuteTask has no package");
  boost::property_tree::ptree tree;
  error.Describe(tree);
  EXPECT_EQ(tree.get<std::string>("transferError"), "9");
  EXPECT_EQ(tree.get<std::string>("errorMessage"), "PlaceEntriesWork::ExecuteTask has no package");
  EXPECT_EQ(error.ToString(), "error|9|PlaceEntriesWork::ExecuteTask has no package");

  TransferExceptionData exception(TransferError::ConnectionError,
                                  Captured(std::runtime_error("down")));
  boost::property_tree::ptree exceptionTree;
  exception.Describe(exceptionTree);
  EXPECT_EQ(exceptionTree.get<std::string>("transferError"), "2");
  EXPECT_EQ(exceptionTree.get<std::string>("what"), "down");
  EXPECT_EQ(exception.ToString().rfind("error|2|", 0), 0u);
  EXPECT_EQ(exception.ToTransferError(), TransferError::ConnectionError);
}

}  // namespace
}  // namespace halv
