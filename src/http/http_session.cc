#include "http/http_session.h"

#include "http/http_proxy.h"
#include "http/http_request_pool.h"

namespace halv {

HttpSession::HttpSession(std::shared_ptr<HttpRequestPool> pool) : pool_(std::move(pool)) {}

// Members go in reverse order: the proxy first, then the pool.
HttpSession::~HttpSession() = default;

std::shared_ptr<HttpProxy> HttpSession::GetProxy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return proxy_;
}

void HttpSession::SetProxy(std::shared_ptr<HttpProxy> proxy) {
  std::lock_guard<std::mutex> lock(mutex_);
  proxy_ = std::move(proxy);
}

std::shared_ptr<HttpSession> RoundRobinHttpSessionFactory::Create() {
  return std::make_shared<HttpSession>(std::make_shared<RoundRobinHttpRequestPool>());
}

}  // namespace halv
