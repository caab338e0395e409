#include "platform/system_proxy.h"

#include <stdlib.h>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "http/linux_http_proxy.h"

namespace halv {
namespace {

// Clears the proxy variables for one test and restores them afterwards.
class ClearedProxyEnvironment {
 public:
  ClearedProxyEnvironment() {
    for (const char* name : kNames) {
      const char* value = ::getenv(name);
      saved_.emplace_back(value != nullptr, value != nullptr ? value : "");
      ::unsetenv(name);
    }
  }
  ~ClearedProxyEnvironment() {
    for (std::size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i].first) ::setenv(kNames[i], saved_[i].second.c_str(), 1);
    }
  }

 private:
  static constexpr const char* kNames[] = {"http_proxy",  "HTTP_PROXY", "all_proxy",
                                           "ALL_PROXY",   "no_proxy",   "NO_PROXY",
                                           "https_proxy", "HTTPS_PROXY"};
  std::vector<std::pair<bool, std::string>> saved_;
};

TEST(SystemProxyTest, LibproxyAnswersDirectWithoutConfiguration) {
  ClearedProxyEnvironment environment;
  const std::optional<std::vector<std::string>> proxies =
      CreateSystemAutoProxyResolver()->Resolve("http://127.0.0.1:1/file");
  ASSERT_TRUE(proxies.has_value());
  ASSERT_FALSE(proxies->empty());
  EXPECT_EQ(proxies->front(), "direct://");
}

// The desktop's settings in a private in-memory store: the real reader and the factory's
// decision, from the settings schema the desktop uses.
TEST(SystemProxyTest, DesktopSettingsDecideWhenNoVariableIsSet) {
  ClearedProxyEnvironment environment;
  ::setenv("GSETTINGS_BACKEND", "memory", 1);
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema =
      source == nullptr ? nullptr
                        : g_settings_schema_source_lookup(source, "org.gnome.system.proxy", TRUE);
  if (schema == nullptr) {
    // Without the schema there are no desktop settings, and reading them must not abort.
    EXPECT_FALSE(ReadDesktopProxySettings().has_value());
    EXPECT_EQ(LinuxHttpProxyFactory().Create()->GetProxyForUrl("http://n.example/"), "");
    return;
  }
  g_settings_schema_unref(schema);

  GSettings* proxy = g_settings_new("org.gnome.system.proxy");
  GSettings* http = g_settings_get_child(proxy, "http");
  const gchar* ignore[] = {"localhost", "*.corp", nullptr};
  g_settings_set_string(proxy, "mode", "manual");
  g_settings_set_strv(proxy, "ignore-hosts", ignore);
  g_settings_set_string(http, "host", "proxy.example");
  g_settings_set_int(http, "port", 3128);

  const std::optional<DesktopProxySettings> settings = ReadDesktopProxySettings();
  ASSERT_TRUE(settings.has_value());
  EXPECT_EQ(settings->mode, "manual");
  EXPECT_EQ(settings->httpHost, "proxy.example");
  EXPECT_EQ(settings->httpPort, 3128);
  EXPECT_EQ(settings->ignoreHosts, (std::vector<std::string>{"localhost", "*.corp"}));
  LinuxHttpProxyFactory factory;
  const std::shared_ptr<HttpProxy> manual = factory.Create();
  EXPECT_EQ(manual->GetProxyForUrl("http://n.example/"), "proxy.example:3128");
  EXPECT_EQ(manual->GetProxyForUrl("http://build.corp/"), "");

  // Variables win over the desktop's manual settings.
  ::setenv("http_proxy", "http://env.example:8080", 1);
  EXPECT_EQ(factory.Create()->GetProxyForUrl("http://n.example/"), "http://env.example:8080");
  ::unsetenv("http_proxy");

  // Automatic configuration goes to libproxy, which has nothing to resolve here.
  g_settings_set_string(proxy, "mode", "auto");
  const std::shared_ptr<HttpProxy> automatic = factory.Create();
  ASSERT_NE(dynamic_cast<LinuxAutomaticHttpProxy*>(automatic.get()), nullptr);
  EXPECT_EQ(automatic->GetProxyForUrl("http://n.example/"), "");

  g_settings_set_string(proxy, "mode", "none");
  EXPECT_NE(dynamic_cast<EmptyHttpProxy*>(factory.Create().get()), nullptr);
  g_object_unref(http);
  g_object_unref(proxy);
}

}  // namespace
}  // namespace halv
