#ifndef HALV_HTTP_HTTP_SESSION_H_
#define HALV_HTTP_HTTP_SESSION_H_

#include <memory>
#include <mutex>

namespace halv {

class HttpProxy;
class HttpRequestPool;

// The requests of one transfer (or of the analytics sender): owns their pool and caches the
// proxy all of them use. Ownership: shared pointers. Threads: any; the mutex guards only the
// proxy pointer.
class HttpSession {
 public:
  explicit HttpSession(std::shared_ptr<HttpRequestPool> pool);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  std::shared_ptr<HttpRequestPool> GetPool() const { return pool_; }
  // Empty until the session's first request has looked the proxy up.
  std::shared_ptr<HttpProxy> GetProxy();
  void SetProxy(std::shared_ptr<HttpProxy> proxy);

 private:
  std::mutex mutex_;
  // Constant after construction.
  const std::shared_ptr<HttpRequestPool> pool_;
  // Guarded by mutex_.
  std::shared_ptr<HttpProxy> proxy_;
};

// Makes sessions. Ownership: one factory for the whole run. Threads: any.
class HttpSessionFactory {
 public:
  virtual ~HttpSessionFactory() = default;
  virtual std::shared_ptr<HttpSession> Create() = 0;
};

// Sessions over a new RoundRobinHttpRequestPool each.
class RoundRobinHttpSessionFactory : public HttpSessionFactory {
 public:
  std::shared_ptr<HttpSession> Create() override;
};

}  // namespace halv

#endif  // HALV_HTTP_HTTP_SESSION_H_
