#ifndef HALV_TRANSFER_HTTP_TRANSFER_STATUS_DATA_H_
#define HALV_TRANSFER_HTTP_TRANSFER_STATUS_DATA_H_

#include <cstdint>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "http/http_request.h"
#include "transfer/transfer_status_data.h"

namespace halv {

// The outcome of one chunk request attempt: the node's host, the request's final status, how
// long it took and, for a failure, what to tell people (the node, the file and the cause). The
// optimizer learns the node's speed from it; the transfer reads its error and message.
// Ownership: shared pointers inside a WorkStatus. Thread-safety: immutable once built.
class HttpTransferStatusData : public TransferStatusData {
 public:
  HttpTransferStatusData(std::string hostname, HttpRequestStatus status, std::int32_t requestTimeMs,
                         std::string message = std::string());
  ~HttpTransferStatusData() override;

  // The error of the request's result (None for Success and Cancelled).
  TransferError ToTransferError() const override;
  // "hostname", "ip", "httpResult", "httpResponseCode", "bytesWritten", "errorDetails",
  // "requestTimeMs", in this order.
  void Describe(boost::property_tree::ptree& tree) const override;
  // Empty without an error; otherwise "error|<transfer error>|<http result>|<error details>".
  std::string ToString() const override;
  // The message given for a failure; empty without an error.
  std::string Message() const override;

  const std::string& GetHostname() const { return hostname_; }
  const HttpRequestStatus& GetStatus() const { return status_; }
  std::int32_t GetRequestTimeMs() const { return requestTimeMs_; }

 private:
  const std::string hostname_;
  const HttpRequestStatus status_;
  const std::int32_t requestTimeMs_;
  const std::string message_;
};

}  // namespace halv

#endif  // HALV_TRANSFER_HTTP_TRANSFER_STATUS_DATA_H_
