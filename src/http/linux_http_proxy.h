#ifndef HALV_HTTP_LINUX_HTTP_PROXY_H_
#define HALV_HTTP_LINUX_HTTP_PROXY_H_

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

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

// The settings' four proxy time-outs, in milliseconds. A lookup of automatic configuration
// (fetching and running a script) may take at most `resolveMs`; the connect, send and receive
// time-outs of the proxy connection itself are those of each request, which libcurl applies
// to the proxy as to the server, so they are kept here only to be reported.
struct ProxyTimeouts {
  int resolveMs = 5000;
  int connectMs = 5000;
  int sendMs = 5000;
  int receiveMs = 5000;
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

  // The system's sources: the desktop settings, the environment and libproxy.
  explicit LinuxHttpProxyFactory(ProxyTimeouts timeouts = ProxyTimeouts());
  LinuxHttpProxyFactory(DesktopReader desktop, EnvironmentReader environment,
                        ResolverMaker resolver, ProxyTimeouts timeouts = ProxyTimeouts());

  std::shared_ptr<HttpProxy> Create() override;

  const ProxyTimeouts& GetTimeouts() const { return timeouts_; }

 private:
  const DesktopReader desktop_;
  const EnvironmentReader environment_;
  const ResolverMaker resolver_;
  const ProxyTimeouts timeouts_;
};

// Bounds the lookups of another resolver: a lookup that takes longer than the time-out (a
// configuration script on a host that never answers) counts as failed, and the request goes on
// without a proxy. The slow lookup finishes on a thread of its own and its answer is dropped.
// Ownership: shared pointers, like any resolver; the inner one is shared with the threads of
// lookups still running. Thread-safety: any thread, concurrently.
class TimedAutoProxyResolver : public AutoProxyResolver {
 public:
  TimedAutoProxyResolver(std::shared_ptr<AutoProxyResolver> inner, int timeoutMs);
  std::optional<std::vector<std::string>> Resolve(const std::string& url) override;

 private:
  const std::shared_ptr<AutoProxyResolver> inner_;
  const int timeoutMs_;
};

}  // namespace halv

#endif  // HALV_HTTP_LINUX_HTTP_PROXY_H_
