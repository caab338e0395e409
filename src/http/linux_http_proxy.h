#ifndef HALV_HTTP_LINUX_HTTP_PROXY_H_
#define HALV_HTTP_LINUX_HTTP_PROXY_H_

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/http_proxy.h"
#include "platform/system_proxy.h"

namespace halv {

// Fixed proxies from the environment or the desktop: SelectProxy over the proxy and bypass
// lists, after the environment's no_proxy exemptions. Constant after construction; any thread.
class LinuxManualHttpProxy : public HttpProxy {
 public:
  LinuxManualHttpProxy(std::string proxyList, std::string bypassList, std::string noProxy);
  std::string GetProxyForUrl(const std::string& url) override;

 private:
  const std::string proxyList_;
  const std::string bypassList_;
  const std::string noProxy_;
};

// Proxies resolved per URL from a configuration script or WPAD. After the first failed lookup
// every later answer is direct without asking again. Any thread, concurrently.
class LinuxAutomaticHttpProxy : public HttpProxy {
 public:
  explicit LinuxAutomaticHttpProxy(std::shared_ptr<AutoProxyResolver> resolver);
  std::string GetProxyForUrl(const std::string& url) override;

  bool lookupFailed() const { return lookupFailed_.load(); }

 private:
  const std::shared_ptr<AutoProxyResolver> resolver_;
  std::atomic<bool> lookupFailed_{false};
};

// Runs the lookups of automatic proxy configuration one at a time on a thread of its own, so
// that a lookup that hangs (a configuration script on a host that never answers) holds no
// request longer than the time-out: the caller gives up, its answer is dropped, and at most
// kMaxWaiting further lookups wait behind it (more fail at once). Ownership: held by the factory
// (and so by Services), shared with the resolvers it made. Destruction stops the thread: it waits
// for a running lookup at most the time-out, then leaves that thread behind to end on its own,
// holding nothing but the lookup's own shared state. Thread-safety: any thread, concurrently.
class ProxyLookupWorker {
 public:
  static constexpr std::size_t kMaxWaiting = 16;

  explicit ProxyLookupWorker(int timeoutMs);
  ~ProxyLookupWorker();
  ProxyLookupWorker(const ProxyLookupWorker&) = delete;
  ProxyLookupWorker& operator=(const ProxyLookupWorker&) = delete;

  // `resolver`'s answer for `url`, or std::nullopt when it failed, took longer than the time-out,
  // found too many lookups waiting, or the worker is stopping.
  std::optional<std::vector<std::string>> Resolve(std::shared_ptr<AutoProxyResolver> resolver,
                                                  const std::string& url);

 private:
  struct State;
  const int timeoutMs_;
  const std::shared_ptr<State> state_;
  std::thread thread_;
};

// Reads the user's configuration once per session and picks, in this order: automatic (the
// desktop says so), manual (the proxy environment variables, else the desktop's manual
// settings), none (EmptyHttpProxy, also when nothing could be read). One factory for the run;
// any thread.
class LinuxHttpProxyFactory : public HttpProxyFactory {
 public:
  using DesktopReader = std::function<std::optional<SystemProxyConfig>()>;
  using EnvironmentReader = std::function<SystemProxyConfig()>;
  using ResolverMaker = std::function<std::shared_ptr<AutoProxyResolver>()>;

  // The system's sources: the desktop settings, the environment and libproxy. A lookup of
  // automatic configuration may take at most `resolveTimeoutMs`. The proxy connection itself
  // has the time-outs of each request, which libcurl applies to the proxy as to the server.
  explicit LinuxHttpProxyFactory(int resolveTimeoutMs = 5000);
  LinuxHttpProxyFactory(DesktopReader desktop, EnvironmentReader environment,
                        ResolverMaker resolver, int resolveTimeoutMs = 5000);

  std::shared_ptr<HttpProxy> Create() override;

 private:
  const DesktopReader desktop_;
  const EnvironmentReader environment_;
  const ResolverMaker resolver_;
  const std::shared_ptr<ProxyLookupWorker> worker_;
};

// Sends the lookups of another resolver through a ProxyLookupWorker, which bounds them.
// Ownership: shared pointers, like any resolver. Thread-safety: any thread, concurrently.
class TimedAutoProxyResolver : public AutoProxyResolver {
 public:
  TimedAutoProxyResolver(std::shared_ptr<AutoProxyResolver> inner,
                         std::shared_ptr<ProxyLookupWorker> worker);
  std::optional<std::vector<std::string>> Resolve(const std::string& url) override;

 private:
  const std::shared_ptr<AutoProxyResolver> inner_;
  const std::shared_ptr<ProxyLookupWorker> worker_;
};

}  // namespace halv

#endif  // HALV_HTTP_LINUX_HTTP_PROXY_H_
