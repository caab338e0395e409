#include "http/pooled_http_request_wrapper.h"

#include "http/http_request_pool.h"

namespace halv {

PooledHttpRequestWrapper::PooledHttpRequestWrapper(std::shared_ptr<HttpRequest> request,
                                                   std::shared_ptr<HttpRequestPool> pool)
    : request_(std::move(request)), pool_(std::move(pool)) {}

PooledHttpRequestWrapper::~PooledHttpRequestWrapper() {
  pool_->Release(request_);
  pool_.reset();
  request_.reset();
}

HttpRequestStatus PooledHttpRequestWrapper::Perform() { return request_->Perform(); }

HttpRequestStatus PooledHttpRequestWrapper::GetStatus() { return request_->GetStatus(); }

void PooledHttpRequestWrapper::Cancel() { request_->Cancel(); }

bool PooledHttpRequestWrapper::Reset(const HttpRequestParams& params, const std::string& proxy) {
  return request_->Reset(params, proxy);
}

}  // namespace halv
