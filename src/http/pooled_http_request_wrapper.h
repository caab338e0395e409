#ifndef HALV_HTTP_POOLED_HTTP_REQUEST_WRAPPER_H_
#define HALV_HTTP_POOLED_HTTP_REQUEST_WRAPPER_H_

#include <memory>
#include <string>

#include "http/http_request.h"

namespace halv {

class HttpRequestPool;

// What callers of a session get: forwards every operation to a pooled request and gives it
// back to its pool when the caller drops the wrapper. Ownership: shared pointers; holds the
// pool alive. Threads: as HttpRequest.
class PooledHttpRequestWrapper : public HttpRequest {
 public:
  PooledHttpRequestWrapper(std::shared_ptr<HttpRequest> request,
                           std::shared_ptr<HttpRequestPool> pool);
  ~PooledHttpRequestWrapper() override;

  HttpRequestStatus Perform() override;
  HttpRequestStatus GetStatus() override;
  void Cancel() override;
  bool Reset(const HttpRequestParams& params, const std::string& proxy) override;

  // The pooled request itself, for tests and diagnostics.
  const std::shared_ptr<HttpRequest>& wrapped() const { return request_; }

 private:
  std::shared_ptr<HttpRequest> request_;
  std::shared_ptr<HttpRequestPool> pool_;
};

}  // namespace halv

#endif  // HALV_HTTP_POOLED_HTTP_REQUEST_WRAPPER_H_
