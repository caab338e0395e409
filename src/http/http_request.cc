#include "http/http_request.h"

#include "build_version.h"

namespace halv {

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
