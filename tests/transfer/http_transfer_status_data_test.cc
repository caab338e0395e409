#include "transfer/http_transfer_status_data.h"
#include "ptree_entries.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

namespace halv {
namespace {

using boost::property_tree::ptree;
using test::Entries;
using test::Entry;

TEST(HttpTransferStatusDataTest, DescribesTheAttemptAndNamesItsError) {
  struct Case {
    HttpRequestResult result;
    TransferError error;
    std::string text;
  };
  const Case cases[] = {
      {HttpRequestResult::Success, TransferError::None, ""},
      {HttpRequestResult::Cancelled, TransferError::None, ""},
      {HttpRequestResult::TimedOut, TransferError::ConnectionError,
       "error|2|12|Operation timed out"},
      {HttpRequestResult::WriteFailed, TransferError::FileError, "error|7|10|Operation timed out"},
      {HttpRequestResult::InProgress, TransferError::UnknownError, "error|9|1|Operation timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToNumber(c.result));
    HttpRequestStatus status(c.result, 65536);
    status.responseCode = 206;
    status.ip = "127.0.0.1";
    status.errorDetails = c.text.empty() ? "" : "Operation timed out";
    const HttpTransferStatusData data("node1.example:8080", status, 1234);
    EXPECT_EQ(data.ToTransferError(), c.error);
    EXPECT_EQ(data.ToString(), c.text);
    ptree tree;
    data.Describe(tree);
    EXPECT_EQ(Entries(tree), (std::vector<Entry>{{"hostname", "node1.example:8080"},
                                                 {"ip", "127.0.0.1"},
                                                 {"httpResult", std::to_string(ToNumber(c.result))},
                                                 {"httpResponseCode", "206"},
                                                 {"bytesWritten", "65536"},
                                                 {"errorDetails", status.errorDetails},
                                                 {"requestTimeMs", "1234"}}));
  }
}

}  // namespace
}  // namespace halv
