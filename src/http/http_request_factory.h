#ifndef HALV_HTTP_HTTP_REQUEST_FACTORY_H_
#define HALV_HTTP_HTTP_REQUEST_FACTORY_H_

#include <memory>
#include <string>

#include "http/http_request.h"

namespace halv {

class HttpProxyFactory;
class HttpSession;

// Makes every request of the system. Ownership: one factory for the whole run; the proxy
// factory it refers to must outlive it. Threads: any, concurrently.
class HttpRequestFactory {
 public:
  explicit HttpRequestFactory(HttpProxyFactory& proxyFactory) : proxyFactory_(proxyFactory) {}
  virtual ~HttpRequestFactory() = default;
  HttpRequestFactory(const HttpRequestFactory&) = delete;
  HttpRequestFactory& operator=(const HttpRequestFactory&) = delete;

  // A new request for `params` through `proxy` (empty: direct). Throws std::runtime_error when
  // the HTTP library cannot be used.
  virtual std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params,
                                              const std::string& proxy) = 0;

  // The only way the rest of the system makes requests. With a session that has a pool, an
  // idle request of the pool is reused (the longest idle first) or a new one is registered,
  // and the answer is a wrapper that gives it back when the caller drops it; the session's
  // proxy is looked up on its first request and kept. Without a session (or pool) the request
  // is standalone and its proxy is looked up afresh.
  std::shared_ptr<HttpRequest> CreateRequest(const HttpRequestParams& params,
                                             const std::shared_ptr<HttpSession>& session);

 private:
  std::shared_ptr<HttpRequest> CreateUnpooled(const HttpRequestParams& params);

  HttpProxyFactory& proxyFactory_;
};

// Makes CurlHttpRequest objects. No state of its own.
class CurlHttpRequestFactory : public HttpRequestFactory {
 public:
  using HttpRequestFactory::HttpRequestFactory;
  std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params,
                                      const std::string& proxy) override;
};

}  // namespace halv

#endif  // HALV_HTTP_HTTP_REQUEST_FACTORY_H_
