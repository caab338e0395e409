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

// The words of a server that is not answering, which ServerNotAnswering finds again.
constexpr char kServer[] = "the server ";
constexpr char kRefused[] = " refused the connection";
constexpr char kNoAnswer[] = " did not answer in time";

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
          words = kServer + host + kRefused;
          break;
        case HttpRequestResult::ResolveFailed:
          words = "the host name " + host + " could not be resolved";
          break;
        case HttpRequestResult::TimedOut:
          words = kServer + host + kNoAnswer;
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

std::string ServerNotAnswering(const std::string& text) {
  // Through a proxy the server was never reached by us: the words then name the proxy.
  if (text.find("(through the proxy ") != std::string::npos) return std::string();
  for (std::size_t at = text.find(kServer); at != std::string::npos;
       at = text.find(kServer, at + 1)) {
    const std::size_t host = at + sizeof kServer - 1;
    const std::size_t end = text.find(' ', host);
    if (end == std::string::npos) break;
    if (text.compare(end, sizeof kRefused - 1, kRefused) == 0 ||
        text.compare(end, sizeof kNoAnswer - 1, kNoAnswer) == 0) {
      return text.substr(host, end - host);
    }
  }
  return std::string();
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
