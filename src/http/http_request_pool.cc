#include "http/http_request_pool.h"

namespace halv {

void RoundRobinHttpRequestPool::Add(const std::shared_ptr<HttpRequest>& request, bool available) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (all_.insert(request).second && available) QueueIdle(request);
}

std::shared_ptr<HttpRequest> RoundRobinHttpRequestPool::Acquire(const HttpRequestParams& params,
                                                                const std::string& proxy) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (idleQueue_.empty()) return nullptr;
  std::shared_ptr<HttpRequest> request = std::move(idleQueue_.front());
  idleQueue_.pop_front();
  idle_.erase(request);
  if (request->Reset(params, proxy)) return request;
  all_.erase(request);
  return Acquire(params, proxy);
}

void RoundRobinHttpRequestPool::Release(const std::shared_ptr<HttpRequest>& request) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (all_.count(request) != 0) QueueIdle(request);
}

void RoundRobinHttpRequestPool::QueueIdle(const std::shared_ptr<HttpRequest>& request) {
  if (idle_.insert(request).second) idleQueue_.push_back(request);
}

}  // namespace halv
