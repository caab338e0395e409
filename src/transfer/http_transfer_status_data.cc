#include "transfer/http_transfer_status_data.h"

#include <sstream>
#include <utility>

#include <boost/property_tree/ptree.hpp>

namespace halv {

HttpTransferStatusData::HttpTransferStatusData(std::string hostname, HttpRequestStatus status,
                                               std::int32_t requestTimeMs, std::string message)
    : hostname_(std::move(hostname)),
      status_(std::move(status)),
      requestTimeMs_(requestTimeMs),
      message_(std::move(message)) {}

HttpTransferStatusData::~HttpTransferStatusData() = default;

TransferError HttpTransferStatusData::ToTransferError() const {
  return halv::ToTransferError(status_.result);
}

void HttpTransferStatusData::Describe(boost::property_tree::ptree& tree) const {
  tree.put("hostname", hostname_);
  tree.put("ip", status_.ip);
  tree.put("httpResult", ToNumber(status_.result));
  tree.put("httpResponseCode", status_.responseCode);
  tree.put("bytesWritten", status_.bytesWritten);
  tree.put("errorDetails", status_.errorDetails);
  tree.put("requestTimeMs", requestTimeMs_);
}

std::string HttpTransferStatusData::ToString() const {
  const TransferError error = ToTransferError();
  if (error == TransferError::None) return std::string();
  std::ostringstream text;
  text << "error|" << error << "|" << ToNumber(status_.result) << "|" << status_.errorDetails;
  return text.str();
}

std::string HttpTransferStatusData::Message() const {
  return ToTransferError() == TransferError::None ? std::string() : message_;
}

}  // namespace halv
