#ifndef HALV_PLATFORM_SYSTEM_PROXY_H_
#define HALV_PLATFORM_SYSTEM_PROXY_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halv {

// The user's proxy configuration as the desktop or the environment states it. A plain value.
struct SystemProxyConfig {
  bool autoDetect = false;    // find a configuration script on the network (WPAD)
  std::string autoConfigUrl;  // configuration script (PAC) URL
  std::string proxyList;      // manual proxies: tokens split at ";" and blanks, "http=" allowed
  std::string bypassList;     // manual bypass patterns, split like the proxy list
  std::string noProxy;        // hosts the environment's no_proxy exempts (its own format)

  bool IsAutomatic() const { return autoDetect || !autoConfigUrl.empty(); }
  bool IsManual() const { return !proxyList.empty(); }
};

// The desktop's proxy settings as GNOME's "org.gnome.system.proxy" schema keeps them.
struct DesktopProxySettings {
  std::string mode;  // "none", "manual" or "auto"
  std::string autoconfigUrl;
  std::string httpHost;
  int httpPort = 0;
  std::vector<std::string> ignoreHosts;
};

// The configuration those settings state: "auto" gives the script URL, or auto-detection when
// it is empty; "manual" with a host gives "host:port" and the ignored hosts as bypass patterns;
// anything else is empty.
SystemProxyConfig ProxyConfigFromDesktop(const DesktopProxySettings& settings);

// Reads the desktop's settings. Empty when this session has no such settings (no schema, no
// desktop). Any thread.
std::optional<DesktopProxySettings> ReadDesktopProxySettings();

// The manual proxy the environment names for HTTP: http_proxy, else HTTP_PROXY, else all_proxy,
// else ALL_PROXY, with no_proxy (else NO_PROXY). Empty proxyList when none is set. Reads the
// environment, which no other thread may change meanwhile.
SystemProxyConfig ReadEnvironmentProxyConfig();

// Whether `host` is exempt by a no_proxy value, by its usual rules: entries split at commas and
// blanks; "*" exempts every host; an entry matches the host itself and every name below it,
// with or without a leading dot; ports are ignored; letters compare without case.
bool MatchesNoProxy(const std::string& host, const std::string& noProxy);

// Resolves automatic proxy configuration (configuration scripts, WPAD) per URL.
// Ownership: shared pointers, one per session's proxy. Threads: any, concurrently.
class AutoProxyResolver {
 public:
  virtual ~AutoProxyResolver() = default;
  // The proxies for `url` as URLs ("http://host:port", "socks5://host:port") or "direct://",
  // best first; empty when the lookup failed.
  virtual std::optional<std::vector<std::string>> Resolve(const std::string& url) = 0;
};

// The system's resolver: libproxy, which reads the desktop's configuration itself, fetches and
// runs the configuration script and caches it.
std::shared_ptr<AutoProxyResolver> CreateSystemAutoProxyResolver();

}  // namespace halv

#endif  // HALV_PLATFORM_SYSTEM_PROXY_H_
