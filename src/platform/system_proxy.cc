#include "platform/system_proxy.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include <gio/gio.h>
#include <proxy.h>

namespace halv {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string FirstEnvironment(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = ::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return std::string();
}

std::string StringKey(GSettings* settings, const char* key) {
  gchar* value = g_settings_get_string(settings, key);
  std::string text = value != nullptr ? value : "";
  g_free(value);
  return text;
}

class LibproxyResolver : public AutoProxyResolver {
 public:
  LibproxyResolver() : factory_(px_proxy_factory_new()) {}
  ~LibproxyResolver() override {
    if (factory_ != nullptr) px_proxy_factory_free(factory_);
  }

  std::optional<std::vector<std::string>> Resolve(const std::string& url) override {
    if (factory_ == nullptr) return std::nullopt;
    // libproxy calls itself thread-safe; its older plug-ins have not always been, and one
    // lookup at a time costs nothing once the script is cached.
    std::lock_guard<std::mutex> lock(mutex_);
    char** proxies = px_proxy_factory_get_proxies(factory_, url.c_str());
    if (proxies == nullptr) return std::nullopt;
    std::vector<std::string> answer;
    for (char** proxy = proxies; *proxy != nullptr; ++proxy) answer.emplace_back(*proxy);
    px_proxy_factory_free_proxies(proxies);
    if (answer.empty()) return std::nullopt;
    return answer;
  }

 private:
  pxProxyFactory* const factory_;
  std::mutex mutex_;
};

}  // namespace

SystemProxyConfig ProxyConfigFromDesktop(const DesktopProxySettings& settings) {
  SystemProxyConfig config;
  if (settings.mode == "auto") {
    config.autoConfigUrl = settings.autoconfigUrl;
    config.autoDetect = settings.autoconfigUrl.empty();
  } else if (settings.mode == "manual" && !settings.httpHost.empty()) {
    config.proxyList = settings.httpHost;
    if (settings.httpPort > 0) config.proxyList += ":" + std::to_string(settings.httpPort);
    for (const std::string& host : settings.ignoreHosts) {
      if (!config.bypassList.empty()) config.bypassList += ";";
      config.bypassList += host;
    }
  }
  return config;
}

std::optional<DesktopProxySettings> ReadDesktopProxySettings() {
  // Sessions made at once read the settings from several threads. GLib locks its own state, but
  // with locks that ThreadSanitizer cannot see; one lock of ours around every GSettings call
  // keeps the reads in an order that it can, and costs nothing next to a request.
  static std::mutex mutex;
  const std::lock_guard<std::mutex> lock(mutex);
  static const char kSchema[] = "org.gnome.system.proxy";
  // Opening a schema that is not installed aborts the process, so look it up first.
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (source == nullptr) return std::nullopt;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, kSchema, TRUE);
  if (schema == nullptr) return std::nullopt;
  GSettingsSchema* httpSchema =
      g_settings_schema_source_lookup(source, "org.gnome.system.proxy.http", TRUE);
  const bool complete = httpSchema != nullptr && g_settings_schema_has_key(schema, "mode") &&
                        g_settings_schema_has_key(schema, "autoconfig-url") &&
                        g_settings_schema_has_key(schema, "ignore-hosts");
  g_settings_schema_unref(schema);
  if (httpSchema != nullptr) g_settings_schema_unref(httpSchema);
  if (!complete) return std::nullopt;

  DesktopProxySettings settings;
  GSettings* proxy = g_settings_new(kSchema);
  settings.mode = StringKey(proxy, "mode");
  settings.autoconfigUrl = StringKey(proxy, "autoconfig-url");
  gchar** ignore = g_settings_get_strv(proxy, "ignore-hosts");
  for (gchar** host = ignore; host != nullptr && *host != nullptr; ++host) {
    settings.ignoreHosts.emplace_back(*host);
  }
  g_strfreev(ignore);
  GSettings* http = g_settings_get_child(proxy, "http");
  settings.httpHost = StringKey(http, "host");
  settings.httpPort = g_settings_get_int(http, "port");
  g_object_unref(http);
  g_object_unref(proxy);
  return settings;
}

SystemProxyConfig ReadEnvironmentProxyConfig() {
  SystemProxyConfig config;
  config.proxyList = FirstEnvironment({"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"});
  config.noProxy = FirstEnvironment({"no_proxy", "NO_PROXY"});
  return config;
}

bool MatchesNoProxy(const std::string& host, const std::string& noProxy) {
  const std::string name = Lower(host);
  std::string entry;
  auto matches = [&name](std::string candidate) {
    if (candidate == "*") return true;
    if (!candidate.empty() && candidate[0] == '.') candidate.erase(0, 1);
    // A port is not part of the name; bracketed IPv6 addresses keep their colons.
    const std::size_t colon = candidate.rfind(':');
    if (colon != std::string::npos && candidate.find(']') == std::string::npos &&
        candidate.find(':') == colon) {
      candidate.erase(colon);
    }
    if (!candidate.empty() && candidate.front() == '[' && candidate.back() == ']') {
      candidate = candidate.substr(1, candidate.size() - 2);
    }
    if (candidate.empty()) return false;
    candidate = Lower(candidate);
    if (name == candidate) return true;
    return name.size() > candidate.size() &&
           name.compare(name.size() - candidate.size(), candidate.size(), candidate) == 0 &&
           name[name.size() - candidate.size() - 1] == '.';
  };
  for (const char c : noProxy + ",") {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!entry.empty() && matches(entry)) return true;
      entry.clear();
    } else {
      entry.push_back(c);
    }
  }
  return false;
}

std::shared_ptr<AutoProxyResolver> CreateSystemAutoProxyResolver() {
  return std::make_shared<LibproxyResolver>();
}

}  // namespace halv
