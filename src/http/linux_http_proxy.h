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
  LinuxHttpProxyFactory();
  LinuxHttpProxyFactory(DesktopReader desktop, EnvironmentReader environment,
                        ResolverMaker resolver);

  std::shared_ptr<HttpProxy> Create() override;

 private:
  const DesktopReader desktop_;
  const EnvironmentReader environment_;
  const ResolverMaker resolver_;
};

}  // namespace halv

#endif  // HALV_HTTP_LINUX_HTTP_PROXY_H_
