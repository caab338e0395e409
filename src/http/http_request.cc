#include "http/http_request.h"

#include "build_version.h"

namespace halv {

namespace {

// The host part of `url` ("HOST[:PORT]"), or the whole URL when it has none.
std::string HostOf(const std::string& url) {
  const std::size_t start = url.find("://");
  if (start == std::string::npos) return url;
  const std::size_t end = url.find('/', start + 3);
  return url.substr(start + 3, end == std::string::npos ? std::string::npos : end - start - 3);
}

}  // namespace

std::string DescribeRequestFailure(const std::string& url, const HttpRequestStatus& status) {
  std::string words;
  switch (status.result) {
    case HttpRequestResult::ClientError:
    case HttpRequestResult::ServerError:
      words = status.responseCode == 404 || status.responseCode == 410
                  ? "no such document at " + url
                  : url + " answered HTTP " + std::to_string(status.responseCode);
      break;
    case HttpRequestResult::ConnectFailed:
      words = HostOf(url) + " refused the connection";
      break;
    case HttpRequestResult::ResolveFailed:
      words = "the host name " + HostOf(url) + " could not be resolved";
      break;
    case HttpRequestResult::TimedOut:
      words = HostOf(url) + " did not answer in time";
      break;
    case HttpRequestResult::InvalidUrl:
      words = url + " is not a usable URL";
      break;
    default:
      words = "the request for " + url + " failed";
      break;
  }
  return status.errorDetails.empty() ? words : words + " (" + status.errorDetails + ")";
}

const std::string& DefaultUserAgent() {
  static const std::string agent =
      "Mirthwell Halvane Delivery TransferService 1.1.0.2 (build " HALV_BUILD_VERSION ")";
  return agent;
}

HttpRequest::HttpRequest(const HttpRequestParams& params, std::string proxy)
    : params_(std::make_unique<HttpRequestParams>(params)), proxy_(std::move(proxy)) {}

HttpRequest::HttpRequest() = default;

HttpRequest::~HttpRequest() = default;

}  // namespace halv
