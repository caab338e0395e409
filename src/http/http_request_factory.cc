#include "http/http_request_factory.h"

#include "http/curl_http_request.h"
#include "http/http_proxy.h"
#include "http/http_request_pool.h"
#include "http/http_session.h"
#include "http/pooled_http_request_wrapper.h"

namespace halv {

std::shared_ptr<HttpRequest> HttpRequestFactory::CreateRequest(
    const HttpRequestParams& params, const std::shared_ptr<HttpSession>& session) {
  std::shared_ptr<HttpRequestPool> pool = session ? session->GetPool() : nullptr;
  if (!pool) return CreateUnpooled(params);

  std::shared_ptr<HttpProxy> proxy = session->GetProxy();
  if (!proxy) {
    // Two threads racing here both look the proxy up; the later one is kept, and both answers
    // are valid.
    proxy = proxyFactory_.Create();
    session->SetProxy(proxy);
  }
  const std::string proxyString = proxy->GetProxyForUrl(params.url);
  std::shared_ptr<HttpRequest> request = pool->Acquire(params, proxyString);
  if (!request) {
    request = Create(params, proxyString);
    pool->Add(request, false);
  }
  return std::make_shared<PooledHttpRequestWrapper>(std::move(request), std::move(pool));
}

std::shared_ptr<HttpRequest> HttpRequestFactory::CreateUnpooled(const HttpRequestParams& params) {
  const std::shared_ptr<HttpProxy> proxy = proxyFactory_.Create();
  return Create(params, proxy->GetProxyForUrl(params.url));
}

std::shared_ptr<HttpRequest> CurlHttpRequestFactory::Create(const HttpRequestParams& params,
                                                            const std::string& proxy) {
  return std::make_shared<CurlHttpRequest>(params, proxy);
}

}  // namespace halv
