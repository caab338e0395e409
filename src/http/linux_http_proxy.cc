#include "http/linux_http_proxy.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
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
  // No proxy named is no proxy needed.
  if (proxies->empty()) return std::string();
  std::string best = proxies->front();
  if (best.compare(0, 9, "direct://") == 0) return std::string();
  // An unversioned SOCKS answer asks for version 5 first; libcurl would read it as version 4.
  if (best.compare(0, 8, "socks://") == 0) best.replace(0, 5, "socks5");
  // The answer is already per URL; SelectProxy keeps the rules for ":" and the URL's parsing.
  return SelectProxy(url, best, std::string());
}

// What the worker's thread and the callers share; the thread keeps it alive when it is left
// behind with a lookup that hangs.
struct ProxyLookupWorker::State {
  struct Lookup {
    std::shared_ptr<AutoProxyResolver> resolver;
    std::string url;
    bool finished = false;
    std::optional<std::vector<std::string>> answer;
  };
  std::mutex mutex;
  std::condition_variable wake;  // a lookup was queued, or the worker stops
  std::condition_variable done;  // a lookup finished, or the thread ended
  std::deque<std::shared_ptr<Lookup>> queue;
  bool stopping = false;
  bool ended = false;

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      wake.wait(lock, [this] { return stopping || !queue.empty(); });
      if (stopping) break;
      const std::shared_ptr<Lookup> lookup = queue.front();
      queue.pop_front();
      lock.unlock();
      std::optional<std::vector<std::string>> answer;
      try {
        answer = lookup->resolver->Resolve(lookup->url);
      } catch (...) {
      }
      lock.lock();
      lookup->answer = std::move(answer);
      lookup->finished = true;
      done.notify_all();
    }
    ended = true;
    done.notify_all();
  }
};

ProxyLookupWorker::ProxyLookupWorker(int timeoutMs)
    : timeoutMs_(std::max(timeoutMs, 0)), state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_] { state->Run(); });
}

ProxyLookupWorker::~ProxyLookupWorker() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->stopping = true;
  state_->queue.clear();
  state_->wake.notify_all();
  if (state_->done.wait_for(lock, std::chrono::milliseconds(timeoutMs_),
                            [this] { return state_->ended; })) {
    lock.unlock();
    thread_.join();
  } else {
    // Stuck in a lookup that no time-out reaches: it ends on its own, touching only the state.
    lock.unlock();
    thread_.detach();
  }
}

std::optional<std::vector<std::string>> ProxyLookupWorker::Resolve(
    std::shared_ptr<AutoProxyResolver> resolver, const std::string& url) {
  auto lookup = std::make_shared<State::Lookup>();
  lookup->resolver = std::move(resolver);
  lookup->url = url;
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->stopping || state_->queue.size() >= kMaxWaiting) return std::nullopt;
  state_->queue.push_back(lookup);
  state_->wake.notify_all();
  if (!state_->done.wait_for(lock, std::chrono::milliseconds(timeoutMs_),
                             [&lookup] { return lookup->finished; })) {
    // Not run later for nobody.
    auto& queue = state_->queue;
    queue.erase(std::remove(queue.begin(), queue.end(), lookup), queue.end());
    return std::nullopt;
  }
  return std::move(lookup->answer);
}

TimedAutoProxyResolver::TimedAutoProxyResolver(std::shared_ptr<AutoProxyResolver> inner,
                                               std::shared_ptr<ProxyLookupWorker> worker)
    : inner_(std::move(inner)), worker_(std::move(worker)) {}

std::optional<std::vector<std::string>> TimedAutoProxyResolver::Resolve(const std::string& url) {
  return worker_->Resolve(inner_, url);
}

LinuxHttpProxyFactory::LinuxHttpProxyFactory(int resolveTimeoutMs)
    : LinuxHttpProxyFactory(
          []() -> std::optional<SystemProxyConfig> {
            const std::optional<DesktopProxySettings> settings = ReadDesktopProxySettings();
            if (!settings) return std::nullopt;
            return ProxyConfigFromDesktop(*settings);
          },
          &ReadEnvironmentProxyConfig, &CreateSystemAutoProxyResolver, resolveTimeoutMs) {}

LinuxHttpProxyFactory::LinuxHttpProxyFactory(DesktopReader desktop, EnvironmentReader environment,
                                             ResolverMaker resolver, int resolveTimeoutMs)
    : desktop_(std::move(desktop)),
      environment_(std::move(environment)),
      resolver_(std::move(resolver)),
      worker_(std::make_shared<ProxyLookupWorker>(resolveTimeoutMs)) {}

std::shared_ptr<HttpProxy> LinuxHttpProxyFactory::Create() {
  const std::optional<SystemProxyConfig> desktop = desktop_();
  if (desktop && desktop->IsAutomatic()) {
    std::shared_ptr<AutoProxyResolver> resolver = resolver_();
    if (resolver) {
      resolver = std::make_shared<TimedAutoProxyResolver>(std::move(resolver), worker_);
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
