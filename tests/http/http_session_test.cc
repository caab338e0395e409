#include "http/http_session.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http/curl_http_request.h"
#include "http/http_proxy.h"
#include "http/http_request_factory.h"
#include "http/http_request_pool.h"
#include "http/pooled_http_request_wrapper.h"
#include "test_http_server.h"

namespace halv {
namespace {

using test::TestHttpServer;

// Counts the proxies it makes and the lookups they answer; every answer is direct.
class CountingProxyFactory : public HttpProxyFactory {
 public:
  class Proxy : public HttpProxy {
   public:
    explicit Proxy(std::atomic<int>* lookups) : lookups_(lookups) {}
    std::string GetProxyForUrl(const std::string&) override {
      ++*lookups_;
      return std::string();
    }

   private:
    std::atomic<int>* lookups_;
  };

  std::shared_ptr<HttpProxy> Create() override {
    ++created;
    return std::make_shared<Proxy>(&lookups);
  }

  std::atomic<int> created{0};
  std::atomic<int> lookups{0};
};

class Sink : public HttpWriteCallback {
 public:
  HttpRequestStatus Write(const char*, std::size_t length) override {
    return HttpRequestStatus(HttpRequestResult::Success, length);
  }
};

HttpRequest* Pooled(const std::shared_ptr<HttpRequest>& wrapper) {
  return static_cast<PooledHttpRequestWrapper&>(*wrapper).wrapped().get();
}

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* path : {"/a", "/b", "/c"}) server_.AddGeneratedContent(path, 4096);
    server_.Start();
  }

  HttpRequestParams Params(const std::string& path) {
    return HttpRequestParams(server_.Url(path), &sink_);
  }

  TestHttpServer server_;
  Sink sink_;
  CountingProxyFactory proxies_;
  CurlHttpRequestFactory factory_{proxies_};
  RoundRobinHttpSessionFactory sessions_;
};

TEST_F(HttpSessionTest, DroppedRequestIsReusedWithItsConnection) {
  const std::shared_ptr<HttpSession> session = sessions_.Create();
  std::shared_ptr<HttpRequest> first = factory_.CreateRequest(Params("/a"), session);
  HttpRequest* handle = Pooled(first);
  ASSERT_NE(dynamic_cast<CurlHttpRequest*>(handle), nullptr);
  EXPECT_EQ(first->Perform().result, HttpRequestResult::Success);
  first.reset();

  std::shared_ptr<HttpRequest> second = factory_.CreateRequest(Params("/b"), session);
  EXPECT_EQ(Pooled(second), handle);
  EXPECT_EQ(second->GetStatus().result, HttpRequestResult::NotStarted);
  EXPECT_EQ(second->Perform().bytesWritten, 4096u);

  ASSERT_EQ(server_.Requests().size(), 2u);
  EXPECT_EQ(server_.Requests()[1].path, "/b");
  EXPECT_EQ(server_.ConnectionCount(), 1);
  EXPECT_EQ(proxies_.created, 1);
  EXPECT_EQ(proxies_.lookups, 2);
}

TEST_F(HttpSessionTest, IdleRequestsAreReusedFirstInFirstOut) {
  const std::shared_ptr<HttpSession> session = sessions_.Create();
  std::vector<std::shared_ptr<HttpRequest>> held;
  for (const char* path : {"/a", "/b", "/c"})
    held.push_back(factory_.CreateRequest(Params(path), session));
  const std::vector<HttpRequest*> handles = {Pooled(held[0]), Pooled(held[1]), Pooled(held[2])};
  EXPECT_EQ(std::set<HttpRequest*>(handles.begin(), handles.end()).size(), 3u);

  // Given back in the order b, c, a.
  held[1].reset();
  held[2].reset();
  held[0].reset();

  std::vector<std::shared_ptr<HttpRequest>> again;
  for (int i = 0; i < 4; ++i) again.push_back(factory_.CreateRequest(Params("/a"), session));
  EXPECT_EQ(Pooled(again[0]), handles[1]);
  EXPECT_EQ(Pooled(again[1]), handles[2]);
  EXPECT_EQ(Pooled(again[2]), handles[0]);
  EXPECT_EQ(std::count(handles.begin(), handles.end(), Pooled(again[3])), 0);
}

TEST_F(HttpSessionTest, RequestsWithoutSessionAreStandalone) {
  for (const std::shared_ptr<HttpSession>& session :
       {std::shared_ptr<HttpSession>(), std::make_shared<HttpSession>(nullptr)}) {
    const int before = proxies_.created;
    std::shared_ptr<HttpRequest> request = factory_.CreateRequest(Params("/a"), session);
    EXPECT_NE(dynamic_cast<CurlHttpRequest*>(request.get()), nullptr);
    EXPECT_EQ(request->Perform().result, HttpRequestResult::Success);
    EXPECT_EQ(proxies_.created, before + 1);
    std::weak_ptr<HttpRequest> weak = request;
    request.reset();
    EXPECT_TRUE(weak.expired());
  }
}

TEST_F(HttpSessionTest, ConcurrentRequestsUseAtMostAsManyHandlesAsRanAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kRequestsPerThread = 25;
  const std::shared_ptr<HttpSession> session = sessions_.Create();
  // Threads racing on a session's first request may each look a proxy up; once the session has
  // one, every later request uses it.
  ASSERT_EQ(factory_.CreateRequest(Params("/a"), session)->Perform().bytesWritten, 4096u);
  std::mutex mutex;
  std::set<HttpRequest*> handles;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRequestsPerThread; ++i) {
        std::shared_ptr<HttpRequest> request = factory_.CreateRequest(Params("/a"), session);
        {
          std::lock_guard<std::mutex> lock(mutex);
          handles.insert(Pooled(request));
        }
        if (request->Perform().bytesWritten != 4096u) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(failures, 0);
  EXPECT_LE(handles.size(), static_cast<std::size_t>(kThreads));
  EXPECT_LE(server_.ConnectionCount(), kThreads);
  EXPECT_EQ(server_.Requests().size(), static_cast<std::size_t>(kThreads * kRequestsPerThread + 1));
  EXPECT_EQ(proxies_.created, 1);
}

// A request whose Reset can be refused on demand; counts its resets.
class FakeRequest : public HttpRequest {
 public:
  HttpRequestStatus Perform() override { return GetStatus(); }
  HttpRequestStatus GetStatus() override { return HttpRequestStatus(); }
  void Cancel() override {}
  bool Reset(const HttpRequestParams&, const std::string& proxy) override {
    ++resets;
    lastProxy = proxy;
    return !busy;
  }

  bool busy = false;
  int resets = 0;
  std::string lastProxy;
};

TEST(RoundRobinHttpRequestPoolTest, SkipsAndDiscardsRequestsThatCannotReset) {
  RoundRobinHttpRequestPool pool;
  Sink sink;
  const HttpRequestParams params("http://127.0.0.1/", &sink);
  auto busy = std::make_shared<FakeRequest>();
  auto idle = std::make_shared<FakeRequest>();
  busy->busy = true;
  pool.Add(busy, true);
  pool.Add(idle, true);

  EXPECT_EQ(pool.Acquire(params, "p:1"), idle);
  EXPECT_EQ(idle->lastProxy, "p:1");
  EXPECT_EQ(busy->resets, 1);
  // The busy one is gone for good: giving it back is ignored.
  busy->busy = false;
  pool.Release(busy);
  EXPECT_EQ(pool.Acquire(params, ""), nullptr);
  EXPECT_EQ(busy->resets, 1);
}

TEST(RoundRobinHttpRequestPoolTest, RegistersOnceAndQueuesOnce) {
  RoundRobinHttpRequestPool pool;
  Sink sink;
  const HttpRequestParams params("http://127.0.0.1/", &sink);
  auto request = std::make_shared<FakeRequest>();
  auto stranger = std::make_shared<FakeRequest>();
  pool.Add(request, false);
  EXPECT_EQ(pool.Acquire(params, ""), nullptr);
  pool.Release(stranger);
  pool.Release(request);
  pool.Release(request);
  // Adding a registered request again does not queue it a second time either.
  pool.Add(request, true);
  EXPECT_EQ(pool.Acquire(params, ""), request);
  EXPECT_EQ(pool.Acquire(params, ""), nullptr);
  EXPECT_EQ(stranger->resets, 0);
}

}  // namespace
}  // namespace halv
