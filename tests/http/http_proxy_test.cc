#include "http/http_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "http/curl_http_request.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "http/linux_http_proxy.h"
#include "http_test_helpers.h"
#include "temp_dir.h"
#include "test_http_server.h"

extern char** environ;

namespace halv {
namespace {

using test::Collect;
using test::UnusedPort;

TEST(SelectProxyTest, PicksTheHttpEntryThenThePlainOne) {
  struct Case {
    const char* url;
    const char* list;
    const char* bypass;
    const char* proxy;
  } const cases[] = {
      {"http://node.example/a", "http=p1:80;https=p2:443", "", "p1:80"},
      {"https://node.example/a", "http=p1:80;https=p2:443", "", "p1:80"},
      {"http://node.example/a", "p0:8080 http=p1:80", "", "p1:80"},
      {"http://node.example/a", "p0:8080", "", "p0:8080"},
      {"http://node.example/a", "https=p2:443", "", ""},
      {"http://node.example/a", "ftp=f:21;;  p0:8080 p3:3128", "", "p0:8080"},
      {"http://node.example/a", "", "", ""},
      {"http://node.example/a", ":", "", ""},
      {"http://node.example/a", "::", "", ""},
      {"http://node.example/a", "http=:", "", ""},
      {"http://a.example.internal/x", "p0:8080", "*.example.internal;10.*", ""},
      {"http://10.1.2.3/x", "p0:8080", "*.example.internal;10.*", ""},
      // The URI parser lower-cases host names, so a mixed-case URL is bypassed like its
      // lower-case spelling; the patterns themselves compare case-sensitively (see below).
      {"http://A.Example.Internal/x", "p0:8080", "*.example.internal;10.*", ""},
      {"http://example.internal/x", "p0:8080", "*.example.internal;10.*", "p0:8080"},
      {"http://110.1.2.3/x", "p0:8080", "*.example.internal;10.*", "p0:8080"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " | " + c.list + " | " + c.bypass);
    EXPECT_EQ(SelectProxy(c.url, c.list, c.bypass), c.proxy);
  }
}

TEST(SelectProxyTest, BypassEntriesArePatternsOverTheWholeHost) {
  struct Case {
    const char* host;
    const char* entry;
    bool matches;
  } const cases[] = {
      {"a.example.internal", "*.example.internal", true},
      {"example.internal", "*.example.internal", false},
      {"aXexample.internal", "a.example.internal", false},  // "." is literal
      {"localhost", "localhost", true},
      {"localhost2", "localhost", false},
      {"my-localhost", "localhost", false},
      {"LOCALHOST", "localhost", false},
      {"10.0.0.1", "10.*", true},
      {"anything", "*", true},
      {"host1", "host[0-9]", true},  // other characters keep their pattern meaning
      {"hostA", "host[0-9]", false},
      {"host", "host(", false},  // not a valid pattern: matches nothing
      {"", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " ~ " + c.entry);
    EXPECT_EQ(MatchesBypassEntry(c.host, c.entry), c.matches);
  }
  EXPECT_TRUE(IsBypassed("b.local", "x.y;  *.local"));
  EXPECT_FALSE(IsBypassed("b.local", ""));
  EXPECT_FALSE(IsBypassed("b.local", "host(;b.loca"));
}

TEST(SelectProxyTest, EmptyProxyAnswersDirect) {
  EmptyHttpProxy proxy;
  EXPECT_EQ(proxy.GetProxyForUrl("http://node.example/"), "");
}

TEST(NoProxyTest, UsualEnvironmentRules) {
  struct Case {
    const char* host;
    const char* noProxy;
    bool exempt;
  } const cases[] = {
      {"example.com", "example.com", true},
      {"www.example.com", "example.com", true},
      {"www.example.com", ".example.com", true},
      {"example.com", ".example.com", true},
      {"badexample.com", "example.com", false},
      {"example.com.evil", "example.com", false},
      {"WWW.Example.COM", "example.com", true},
      {"anything", "*", true},
      {"node", "a, b ,node", true},
      {"node", "a,b", false},
      {"127.0.0.1", "localhost,127.0.0.1:8080", true},
      {"::1", "[::1]", true},
      {"node", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " in " + c.noProxy);
    EXPECT_EQ(MatchesNoProxy(c.host, c.noProxy), c.exempt);
  }
}

TEST(DesktopProxyTest, SettingsBecomeConfiguration) {
  DesktopProxySettings automatic;
  automatic.mode = "auto";
  automatic.autoconfigUrl = "http://wpad.corp/proxy.pac";
  SystemProxyConfig config = ProxyConfigFromDesktop(automatic);
  EXPECT_TRUE(config.IsAutomatic());
  EXPECT_FALSE(config.autoDetect);
  EXPECT_EQ(config.autoConfigUrl, "http://wpad.corp/proxy.pac");

  automatic.autoconfigUrl.clear();
  config = ProxyConfigFromDesktop(automatic);
  EXPECT_TRUE(config.autoDetect);

  DesktopProxySettings manual;
  manual.mode = "manual";
  manual.httpHost = "proxy.corp";
  manual.httpPort = 3128;
  manual.ignoreHosts = {"localhost", "*.corp"};
  config = ProxyConfigFromDesktop(manual);
  EXPECT_FALSE(config.IsAutomatic());
  EXPECT_EQ(config.proxyList, "proxy.corp:3128");
  EXPECT_EQ(config.bypassList, "localhost;*.corp");

  manual.mode = "none";
  config = ProxyConfigFromDesktop(manual);
  EXPECT_FALSE(config.IsAutomatic());
  EXPECT_FALSE(config.IsManual());
}

// Sets and clears proxy variables for one test and restores the previous values.
class ScopedProxyEnvironment {
 public:
  static constexpr const char* kNames[] = {"http_proxy", "HTTP_PROXY", "all_proxy",
                                           "ALL_PROXY",  "no_proxy",   "NO_PROXY"};

  ScopedProxyEnvironment() {
    for (const char* name : kNames) {
      const char* value = ::getenv(name);
      saved_.emplace_back(value != nullptr, value != nullptr ? value : "");
      ::unsetenv(name);
    }
  }
  ~ScopedProxyEnvironment() {
    for (std::size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i].first) {
        ::setenv(kNames[i], saved_[i].second.c_str(), 1);
      } else {
        ::unsetenv(kNames[i]);
      }
    }
  }
  void Set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

 private:
  std::vector<std::pair<bool, std::string>> saved_;
};

TEST(EnvironmentProxyTest, VariablesChooseTheProxyOfEachUrl) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> variables;
    const char* url;
    const char* proxy;
  } const cases[] = {
      {{}, "http://node.example/a", ""},
      {{{"http_proxy", "http://p1:3128"}}, "http://node.example/a", "http://p1:3128"},
      {{{"HTTP_PROXY", "p2:8080"}}, "http://node.example/a", "p2:8080"},
      {{{"all_proxy", "socks5://p3:1080"}}, "http://node.example/a", "socks5://p3:1080"},
      {{{"ALL_PROXY", "p4:1"}}, "http://node.example/a", "p4:1"},
      {{{"all_proxy", "p3:1"}, {"http_proxy", "p1:1"}}, "http://node.example/a", "p1:1"},
      {{{"HTTP_PROXY", "p2:1"}, {"http_proxy", "p1:1"}}, "http://node.example/a", "p1:1"},
      {{{"http_proxy", "p1:1"}, {"no_proxy", "example,.node.example"}},
       "http://node.example/a",
       ""},
      {{{"http_proxy", "p1:1"}, {"NO_PROXY", "*"}}, "http://node.example/a", ""},
      {{{"http_proxy", "p1:1"}, {"no_proxy", "other.example"}}, "http://node.example/a", "p1:1"},
      {{{"http_proxy", "p1:1"}, {"no_proxy", "example"}}, "http://node.example/a", ""},
  };
  int caseNumber = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(++caseNumber);
    ScopedProxyEnvironment environment;
    for (const auto& variable : c.variables) environment.Set(variable.first, variable.second);
    LinuxHttpProxyFactory factory([] { return std::optional<SystemProxyConfig>(); },
                                  &ReadEnvironmentProxyConfig, [] { return nullptr; });
    EXPECT_EQ(factory.Create()->GetProxyForUrl(c.url), c.proxy);
  }
}

// Answers from a script of results and counts the lookups.
class ScriptedResolver : public AutoProxyResolver {
 public:
  explicit ScriptedResolver(std::optional<std::vector<std::string>> answer)
      : answer_(std::move(answer)) {}
  std::optional<std::vector<std::string>> Resolve(const std::string&) override {
    ++lookups;
    return answer_;
  }
  std::atomic<int> lookups{0};

 private:
  const std::optional<std::vector<std::string>> answer_;
};

TEST(LinuxHttpProxyFactoryTest, AutomaticThenManualThenNone) {
  SystemProxyConfig automatic;
  automatic.autoDetect = true;
  SystemProxyConfig desktopManual;
  desktopManual.proxyList = "desk:8080";
  desktopManual.bypassList = "*.corp";
  SystemProxyConfig environmentManual;
  environmentManual.proxyList = "http://env:3128";
  environmentManual.noProxy = "skip.example";
  const SystemProxyConfig nothing;
  auto resolver = std::make_shared<ScriptedResolver>(std::vector<std::string>{"http://auto:80"});

  struct Case {
    const char* name;
    std::optional<SystemProxyConfig> desktop;
    SystemProxyConfig environment;
    const char* url;
    const char* proxy;
  } const cases[] = {
      {"automatic wins over the environment", automatic, environmentManual, "http://n.example/",
       "http://auto:80"},
      {"environment wins over desktop manual", desktopManual, environmentManual,
       "http://n.example/", "http://env:3128"},
      {"environment no_proxy", desktopManual, environmentManual, "http://skip.example/", ""},
      {"desktop manual", desktopManual, nothing, "http://n.example/", "desk:8080"},
      {"desktop bypass", desktopManual, nothing, "http://a.corp/", ""},
      {"no desktop, environment", std::nullopt, environmentManual, "http://n.example/",
       "http://env:3128"},
      {"nothing configured", nothing, nothing, "http://n.example/", ""},
      {"nothing readable", std::nullopt, nothing, "http://n.example/", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LinuxHttpProxyFactory factory([&c] { return c.desktop; }, [&c] { return c.environment; },
                                  [&resolver] { return resolver; });
    EXPECT_EQ(factory.Create()->GetProxyForUrl(c.url), c.proxy);
  }
  LinuxHttpProxyFactory none([] { return std::optional<SystemProxyConfig>(); },
                             [] { return SystemProxyConfig(); }, [] { return nullptr; });
  EXPECT_NE(dynamic_cast<EmptyHttpProxy*>(none.Create().get()), nullptr);
}

TEST(LinuxHttpProxyFactoryTest, AutomaticAnswers) {
  struct Case {
    std::vector<std::string> answer;
    const char* proxy;
  } const cases[] = {
      {{"direct://"}, ""},
      {{"http://p:8080", "direct://"}, "http://p:8080"},
      {{"socks5://s:1080"}, "socks5://s:1080"},
      {{"socks://s:1080"}, "socks5://s:1080"},
  };
  for (const Case& c : cases) {
    LinuxAutomaticHttpProxy proxy(std::make_shared<ScriptedResolver>(c.answer));
    EXPECT_EQ(proxy.GetProxyForUrl("http://n.example/"), c.proxy);
    EXPECT_FALSE(proxy.lookupFailed());
  }
}

TEST(LinuxHttpProxyFactoryTest, FailedLookupMakesTheSessionDirectForGood) {
  auto resolver = std::make_shared<ScriptedResolver>(std::nullopt);
  LinuxAutomaticHttpProxy proxy(resolver);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&proxy] {
      for (int i = 0; i < 10; ++i) EXPECT_EQ(proxy.GetProxyForUrl("http://n.example/"), "");
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(proxy.lookupFailed());
  // Threads that failed at the same moment may each have asked once, never more.
  EXPECT_GE(resolver->lookups, 1);
  EXPECT_LE(resolver->lookups, 4);
  const int asked = resolver->lookups;
  EXPECT_EQ(proxy.GetProxyForUrl("http://other.example/"), "");
  EXPECT_EQ(resolver->lookups, asked);
}

bool Accepts(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return connected;
}

// A real tinyproxy on a loopback port with its own configuration, started and stopped by the
// fixture, in front of the test server.
class TinyproxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/tinyproxy", X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
    server_.AddGeneratedContent("/file", 50000);
    server_.Start();
    port_ = UnusedPort();
    const std::string config = folder_.Child("tinyproxy.conf");
    std::ofstream(config) << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\n"
                          << "MaxClients 16\nAllow 127.0.0.1\nLogLevel Critical\n"
                          << "User nobody\nGroup nogroup\n";
    const char* argv[] = {"tinyproxy", "-d", "-c", config.c_str(), nullptr};
    ASSERT_EQ(::posix_spawn(&pid_, "/usr/bin/tinyproxy", nullptr, nullptr, const_cast<char**>(argv),
                            environ),
              0);
    // tinyproxy gives no readiness signal; poll its port for a bounded time.
    for (int i = 0; i < 500 && !Accepts(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(Accepts(port_)) << "tinyproxy did not start";
  }

  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  std::string Proxy() const { return "127.0.0.1:" + std::to_string(port_); }

  test::TempDir folder_;
  test::TestHttpServer server_;
  std::uint16_t port_ = 0;
  pid_t pid_ = 0;
};

TEST_F(TinyproxyTest, RequestsGoThroughTheProxyTheFactoryChose) {
  ScopedProxyEnvironment environment;
  // Variables libcurl would otherwise act on by itself: neither may change the decision.
  environment.Set("no_proxy", "127.0.0.1,localhost");
  environment.Set("http_proxy", "http://127.0.0.1:" + std::to_string(UnusedPort()));

  Collect viaProxy;
  HttpRequestParams params(server_.Url("/file"), &viaProxy);
  params.rangeStart = 1000;
  params.rangeEnd = 1999;
  CurlHttpRequest proxied(params, Proxy());
  const HttpRequestStatus status = proxied.Perform();
  EXPECT_EQ(status.result, HttpRequestResult::Success);
  EXPECT_EQ(viaProxy.body, test::TestHttpServer::GeneratedContent("/file", 1000, 1000));
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_NE(server_.Requests()[0].headers.count("via"), 0u);
  EXPECT_EQ(server_.Requests()[0].range, "bytes=1000-1999");

  Collect direct;
  CurlHttpRequest straight(HttpRequestParams(server_.Url("/file"), &direct), "");
  EXPECT_EQ(straight.Perform().result, HttpRequestResult::Success);
  ASSERT_EQ(server_.Requests().size(), 2u);
  EXPECT_EQ(server_.Requests()[1].headers.count("via"), 0u);
}

TEST_F(TinyproxyTest, SessionRequestsUseTheEnvironmentProxy) {
  ScopedProxyEnvironment environment;
  environment.Set("http_proxy", "http://" + Proxy());
  LinuxHttpProxyFactory proxies([] { return std::optional<SystemProxyConfig>(); },
                                &ReadEnvironmentProxyConfig, [] { return nullptr; });
  CurlHttpRequestFactory factory(proxies);
  const std::shared_ptr<HttpSession> session = RoundRobinHttpSessionFactory().Create();
  for (int i = 0; i < 3; ++i) {
    Collect body;
    EXPECT_EQ(factory.CreateRequest(HttpRequestParams(server_.Url("/file"), &body), session)
                  ->Perform()
                  .result,
              HttpRequestResult::Success);
    EXPECT_EQ(body.body.size(), 50000u);
  }
  for (const test::RecordedRequest& request : server_.Requests()) {
    EXPECT_NE(request.headers.count("via"), 0u);
  }

  // Exempt by no_proxy: a new session reads the configuration again and goes direct.
  environment.Set("no_proxy", "127.0.0.1");
  Collect body;
  EXPECT_EQ(factory
                .CreateRequest(HttpRequestParams(server_.Url("/file"), &body),
                               RoundRobinHttpSessionFactory().Create())
                ->Perform()
                .result,
            HttpRequestResult::Success);
  ASSERT_EQ(server_.Requests().size(), 4u);
  EXPECT_EQ(server_.Requests()[3].headers.count("via"), 0u);
}

// A resolver whose lookups hang until the test lets them go, like a configuration script on a
// host that never answers.
class HangingResolver : public AutoProxyResolver {
 public:
  std::optional<std::vector<std::string>> Resolve(const std::string&) override {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait(lock, [this] { return release_; });
    return std::vector<std::string>{"http://late:80"};
  }
  void Release() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      release_ = true;
    }
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
};

TEST(LinuxHttpProxyFactoryTest, HangingLookupEndsAfterTheResolveTimeoutAndGoesDirect) {
  SystemProxyConfig automatic;
  automatic.autoDetect = true;
  auto hanging = std::make_shared<HangingResolver>();
  LinuxHttpProxyFactory factory([&] { return std::optional<SystemProxyConfig>(automatic); },
                                [] { return SystemProxyConfig(); }, [&] { return hanging; }, 50);
  const auto proxy = factory.Create();
  // Returns while the lookup is still hanging: the request is not held by it.
  EXPECT_EQ(proxy->GetProxyForUrl("http://n.example/"), "");
  EXPECT_TRUE(dynamic_cast<LinuxAutomaticHttpProxy&>(*proxy).lookupFailed());
  hanging->Release();
}

// A resolver that answers at once with a fixed list.
class FixedResolver : public AutoProxyResolver {
 public:
  explicit FixedResolver(std::vector<std::string> answer) : answer_(std::move(answer)) {}
  std::optional<std::vector<std::string>> Resolve(const std::string&) override { return answer_; }

 private:
  const std::vector<std::string> answer_;
};

std::unique_ptr<LinuxHttpProxyFactory> AutomaticFactory(std::shared_ptr<AutoProxyResolver> resolver,
                                                        int resolveTimeoutMs) {
  SystemProxyConfig automatic;
  automatic.autoDetect = true;
  return std::make_unique<LinuxHttpProxyFactory>(
      [automatic] { return std::optional<SystemProxyConfig>(automatic); },
      [] { return SystemProxyConfig(); }, [resolver] { return resolver; }, resolveTimeoutMs);
}

std::size_t ThreadCount() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST(LinuxHttpProxyFactoryTest, AnAnswerThatNamesNoProxyGoesDirect) {
  const auto factory = AutomaticFactory(std::make_shared<FixedResolver>(std::vector<std::string>{}),
                                        5000);
  const auto proxy = factory->Create();
  EXPECT_EQ(proxy->GetProxyForUrl("http://n.example/"), "");
  EXPECT_FALSE(dynamic_cast<LinuxAutomaticHttpProxy&>(*proxy).lookupFailed());
}

// Lookups that hang take one thread between them, not one each, and the thread ends with the
// factory, which waits for a stuck lookup no longer than the resolve time-out.
TEST(LinuxHttpProxyFactoryTest, LookupsRunOnOneThreadThatEndsWithTheFactory) {
  // A sanitizer starts a thread of its own with the process's first thread: start one first, so
  // that it is counted in `before`.
  std::thread([] {}).join();
  const std::size_t before = ThreadCount();
  auto quick = AutomaticFactory(std::make_shared<FixedResolver>(
                                    std::vector<std::string>{"http://p.example:3128"}),
                                5000);
  EXPECT_EQ(quick->Create()->GetProxyForUrl("http://n.example/"), "http://p.example:3128");
  EXPECT_EQ(ThreadCount(), before + 1);
  quick.reset();
  EXPECT_EQ(ThreadCount(), before);

  auto hanging = std::make_shared<HangingResolver>();
  auto factory = AutomaticFactory(hanging, 20);
  for (int i = 0; i < 5; ++i) {
    // Each on a session of its own, so that no failure is remembered between them.
    EXPECT_EQ(factory->Create()->GetProxyForUrl("http://n.example/"), "");
  }
  EXPECT_EQ(ThreadCount(), before + 1);
  // Returns although the lookup still hangs; the thread is left to end once it is let go.
  factory.reset();
  hanging->Release();
}

}  // namespace
}  // namespace halv
