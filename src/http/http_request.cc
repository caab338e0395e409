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
  const std::string host = HostOf(url);
  const std::string proxy = HostOf(status.proxy);
  std::string words;
  switch (status.failureSite) {
    case HttpFailureSite::Proxy:
      words = status.result == HttpRequestResult::ResolveFailed
                  ? "the host name of the proxy " + proxy + " could not be resolved"
              : status.result == HttpRequestResult::ConnectFailed
                  ? "the proxy " + proxy + " refused the connection"
                  : "the proxy " + proxy + " refused to connect to " + host;
      break;
    case HttpFailureSite::TlsHandshake:
      words = host + " did not start a TLS session for " + url +
              ": if it serves plain HTTP, give the host without https://";
      break;
    case HttpFailureSite::TlsCertificate:
      words = "the TLS certificate of " + host + " could not be verified";
      break;
    case HttpFailureSite::Server:
      switch (status.result) {
        case HttpRequestResult::ClientError:
        case HttpRequestResult::ServerError:
          words = status.responseCode == 404 || status.responseCode == 410
                      ? "no such document at " + url
                      : url + " answered HTTP " + std::to_string(status.responseCode);
          break;
        case HttpRequestResult::ConnectFailed:
          words = "the server " + host + " refused the connection";
          break;
        case HttpRequestResult::ResolveFailed:
          words = "the host name " + host + " could not be resolved";
          break;
        case HttpRequestResult::TimedOut:
          words = "the server " + host + " did not answer in time";
          break;
        case HttpRequestResult::InvalidUrl:
          words = url + " is not a usable URL";
          break;
        default:
          words = "the request for " + url + " failed";
          break;
      }
      break;
  }
  // Whatever failed on the way, a reader needs to know that the request took a proxy.
  if (!status.proxy.empty() && status.failureSite != HttpFailureSite::Proxy) {
    words += " (through the proxy " + proxy + ")";
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
