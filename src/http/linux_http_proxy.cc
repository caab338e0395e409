#include "http/linux_http_proxy.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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

TimedAutoProxyResolver::TimedAutoProxyResolver(std::shared_ptr<AutoProxyResolver> inner,
                                               int timeoutMs)
    : inner_(std::move(inner)), timeoutMs_(timeoutMs) {}

std::optional<std::vector<std::string>> TimedAutoProxyResolver::Resolve(const std::string& url) {
  // What the lookup thread and this caller share; the thread keeps it alive after a time-out.
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<std::vector<std::string>> answer;
  };
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, inner = inner_, url] {
    auto answer = inner->Resolve(url);
    {
      const std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->answer = std::move(answer);
      lookup->finished = true;
    }
    lookup->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(lookup->mutex);
  if (!lookup->done.wait_for(lock, std::chrono::milliseconds(timeoutMs_ > 0 ? timeoutMs_ : 0),
                             [&lookup] { return lookup->finished; })) {
    return std::nullopt;
  }
  return std::move(lookup->answer);
}

LinuxHttpProxyFactory::LinuxHttpProxyFactory(ProxyTimeouts timeouts)
    : LinuxHttpProxyFactory(
          []() -> std::optional<SystemProxyConfig> {
            const std::optional<DesktopProxySettings> settings = ReadDesktopProxySettings();
            if (!settings) return std::nullopt;
            return ProxyConfigFromDesktop(*settings);
          },
          &ReadEnvironmentProxyConfig, &CreateSystemAutoProxyResolver, timeouts) {}

LinuxHttpProxyFactory::LinuxHttpProxyFactory(DesktopReader desktop, EnvironmentReader environment,
                                             ResolverMaker resolver, ProxyTimeouts timeouts)
    : desktop_(std::move(desktop)),
      environment_(std::move(environment)),
      resolver_(std::move(resolver)),
      timeouts_(timeouts) {}

std::shared_ptr<HttpProxy> LinuxHttpProxyFactory::Create() {
  const std::optional<SystemProxyConfig> desktop = desktop_();
  if (desktop && desktop->IsAutomatic()) {
    std::shared_ptr<AutoProxyResolver> resolver = resolver_();
    if (resolver) {
      resolver = std::make_shared<TimedAutoProxyResolver>(std::move(resolver), timeouts_.resolveMs);
    }
    return std::make_shared<LinuxAutomaticHttpProxy>(std::move(resolver));
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
