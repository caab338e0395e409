#ifndef HALV_HTTP_HTTP_REQUEST_POOL_H_
#define HALV_HTTP_HTTP_REQUEST_POOL_H_

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "http/http_request.h"

namespace halv {

// Keeps the requests of one session and hands idle ones out again, reconfigured.
// Ownership: shared pointers, held by the session and by every wrapper of its requests.
// Threads: any, concurrently. Lock order: the pool's mutex before a request's mutex.
class HttpRequestPool {
 public:
  virtual ~HttpRequestPool() = default;
  // Registers `request`; `available` also queues it as idle.
  virtual void Add(const std::shared_ptr<HttpRequest>& request, bool available) = 0;
  // An idle request reconfigured for `params` and `proxy`, or empty when none is idle.
  virtual std::shared_ptr<HttpRequest> Acquire(const HttpRequestParams& params,
                                               const std::string& proxy) = 0;
  // Gives a registered request back as idle; an unregistered one is ignored.
  virtual void Release(const std::shared_ptr<HttpRequest>& request) = 0;
};

// Idle requests are reused first-in first-out, so the one idle longest goes first and every
// handle (and its kept-alive connection) is used in turn. No size limit: a session ends up with
// as many requests as ran at once. A request whose Reset is refused is discarded for good.
class RoundRobinHttpRequestPool : public HttpRequestPool {
 public:
  void Add(const std::shared_ptr<HttpRequest>& request, bool available) override;
  std::shared_ptr<HttpRequest> Acquire(const HttpRequestParams& params,
                                       const std::string& proxy) override;
  void Release(const std::shared_ptr<HttpRequest>& request) override;

 private:
  using RequestSet = std::unordered_set<std::shared_ptr<HttpRequest>>;

  void QueueIdle(const std::shared_ptr<HttpRequest>& request);

  // Recursive: Acquire retries itself after discarding a request.
  std::recursive_mutex mutex_;
  // Guarded by mutex_. A request is in idle_ exactly when it is in idleQueue_, once.
  RequestSet all_;
  RequestSet idle_;
  std::deque<std::shared_ptr<HttpRequest>> idleQueue_;
};

}  // namespace halv

#endif  // HALV_HTTP_HTTP_REQUEST_POOL_H_
