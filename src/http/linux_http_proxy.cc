#include "http/linux_http_proxy.h"

#include <Poco/URI.h>

namespace halv {

LinuxManualHttpProxy::LinuxManualHttpProxy(std::string proxyList, std::string bypassList,
                                           std::string noProxy)
    : proxyList_(std::move(proxyList)),
      bypassList_(std::move(bypassList)),
      noProxy_(std::move(noProxy)) {}

std::string LinuxManualHttpProxy::GetProxyForUrl(const std::string& url) {
  if (!noProxy_.empty() && MatchesNoProxy(Poco::URI(url).getHost(), noProxy_)) {
    return std::string();
  }
  return SelectProxy(url, proxyList_, bypassList_);
}

LinuxAutomaticHttpProxy::LinuxAutomaticHttpProxy(std::shared_ptr<AutoProxyResolver> resolver)
    : resolver_(std::move(resolver)) {}

std::string LinuxAutomaticHttpProxy::GetProxyForUrl(const std::string& url) {
  if (!resolver_ || lookupFailed_.load()) return std::string();
  const std::optional<std::vector<std::string>> proxies = resolver_->Resolve(url);
  if (!proxies) {
    lookupFailed_.store(true);
    return std::string();
  }
  std::string best = proxies->front();
  if (best.compare(0, 9, "direct://") == 0) return std::string();
  // An unversioned SOCKS answer asks for version 5 first; libcurl would read it as version 4.
  if (best.compare(0, 8, "socks://") == 0) best.replace(0, 5, "socks5");
  // The answer is already per URL; SelectProxy keeps the rules for ":" and the URL's parsing.
  return SelectProxy(url, best, std::string());
}

LinuxHttpProxyFactory::LinuxHttpProxyFactory()
    : LinuxHttpProxyFactory(
          []() -> std::optional<SystemProxyConfig> {
            const std::optional<DesktopProxySettings> settings = ReadDesktopProxySettings();
            if (!settings) return std::nullopt;
            return ProxyConfigFromDesktop(*settings);
          },
          &ReadEnvironmentProxyConfig, &CreateSystemAutoProxyResolver) {}

LinuxHttpProxyFactory::LinuxHttpProxyFactory(DesktopReader desktop, EnvironmentReader environment,
                                             ResolverMaker resolver)
    : desktop_(std::move(desktop)),
      environment_(std::move(environment)),
      resolver_(std::move(resolver)) {}

std::shared_ptr<HttpProxy> LinuxHttpProxyFactory::Create() {
  const std::optional<SystemProxyConfig> desktop = desktop_();
  if (desktop && desktop->IsAutomatic()) {
    return std::make_shared<LinuxAutomaticHttpProxy>(resolver_());
  }
  const SystemProxyConfig environment = environment_();
  if (environment.IsManual()) {
    return std::make_shared<LinuxManualHttpProxy>(environment.proxyList, std::string(),
                                                  environment.noProxy);
  }
  if (desktop && desktop->IsManual()) {
    return std::make_shared<LinuxManualHttpProxy>(desktop->proxyList, desktop->bypassList,
                                                  std::string());
  }
  return std::make_shared<EmptyHttpProxy>();
}

}  // namespace halv
