#include "event/json_http_analytics_manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "event/json_writer.h"
#include "http/http_proxy.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "log_test_support.h"
#include "start_gate.h"
#include "test_http_server.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

class DirectProxyFactory : public HttpProxyFactory {
 public:
  std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

// A port on 127.0.0.1 where nothing listens: bound by the system, then released.
std::uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A counter document as the transfer events build it.
ptree CounterDocument(const std::string& counter) {
  ptree tree;
  tree.put("pid", "P");
  tree.put("pkgid", "K");
  tree.put("vid", "V");
  tree.put("metrics." + counter, "1");
  tree.put("dimensions", kJsonEmptyObject);
  return tree;
}

class JsonHttpAnalyticsManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transferServer_.Start();
    eventServer_.Start();
  }

  // The root URLs of the two collectors: scheme and host only.
  AnalyticsEndpoints Endpoints() const {
    return {"http://127.0.0.1:" + std::to_string(transferServer_.port()),
            "http://127.0.0.1:" + std::to_string(eventServer_.port())};
  }

  std::unique_ptr<JsonHttpAnalyticsManager> MakeManager(
      AnalyticsEndpoints endpoints, std::int32_t retryLimit = 1,
      std::chrono::milliseconds drainLimit = std::chrono::minutes(5), std::int32_t timeout = 10) {
    return std::make_unique<JsonHttpAnalyticsManager>(3, &requestFactory_, sessionFactory_,
                                                      std::move(endpoints), 10, timeout, retryLimit,
                                                      drainLimit);
  }

  static void Post(JsonHttpAnalyticsManager& manager, std::int32_t category, const ptree& tree) {
    const std::shared_ptr<TrackEventWork> event = manager.CreateEventWork(category);
    event->tree = tree;
    manager.Submit(event);
  }

  test::ScopedHomes homes_;
  DirectProxyFactory proxies_;
  CurlHttpRequestFactory requestFactory_{proxies_};
  RoundRobinHttpSessionFactory sessionFactory_;
  test::TestHttpServer transferServer_;
  test::TestHttpServer eventServer_;
};

TEST_F(JsonHttpAnalyticsManagerTest, PostsBodiesByteForByteToTheirEndpoints) {
  ptree transfer;
  transfer.put("pid", "P");
  transfer.put("pkgid", "K");
  transfer.put("vid", "V");
  transfer.put("tid", "0123456789abcdef0123456789abcdef");
  transfer.put("status", "completed");
  transfer.put("transferBytes", "1000");
  transfer.put("duration", "1.5");
  ptree node;
  node.put("pid", "P");
  node.put("pkgid", "K");
  node.put("vid", "V");
  node.put("metrics.bytes", "4096");
  node.put("metrics.requestTime", "0.25");
  node.put("dimensions.cdn", "n\xC3\xA9.example");
  ptree array;
  array.push_back({"", CounterDocument("numCompletes")});
  array.push_back({"", node});
  {
    auto manager = MakeManager(Endpoints());
    Post(*manager, 1, CounterDocument("numStarts"));
    Post(*manager, kTransferAnalyticsCategory, transfer);
    Post(*manager, 4, array);
  }

  const std::vector<test::RecordedRequest> transfers = transferServer_.Requests();
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_EQ(transfers[0].method, "POST");
  EXPECT_EQ(transfers[0].path, "/");
  EXPECT_EQ(transfers[0].headers.at("content-type"), "application/json");
  EXPECT_EQ(transfers[0].body,
            R"({"pid":"P","pkgid":"K","vid":"V","tid":"0123456789abcdef0123456789abcdef",)"
            R"("status":"completed","transferBytes":"1000","duration":"1.5"})"
            "\n");

  std::set<std::string> bodies;
  for (const test::RecordedRequest& request : eventServer_.Requests()) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/");
    EXPECT_EQ(request.headers.at("content-type"), "application/json");
    bodies.insert(request.body);
  }
  const std::set<std::string> expected = {
      R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"numStarts":"1"},"dimensions":{}})"
      "\n",
      R"([{"pid":"P","pkgid":"K","vid":"V","metrics":{"numCompletes":"1"},"dimensions":{}},)"
      R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"bytes":"4096","requestTime":"0.25"},)"
      R"("dimensions":{"cdn":"n\u00C3\u00A9.example"}}])"
      "\n",
  };
  EXPECT_EQ(bodies, expected);
}

TEST_F(JsonHttpAnalyticsManagerTest, RetriesConnectFailuresAndServerErrorsOnly) {
  struct Case {
    int status;  // 0: served normally
    std::int32_t retryLimit;
    std::size_t attempts;
  };
  const Case cases[] = {
      {0, 1, 1}, {500, 1, 2}, {503, 1, 2}, {500, 3, 4}, {500, 0, 1}, {404, 1, 1}, {400, 3, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "status " << c.status << ", limit " << c.retryLimit);
    test::TestHttpServer server;
    server.Start();
    if (c.status != 0) {
      test::HttpFault fault;
      fault.status = c.status;
      server.SetFault("/", fault);
    }
    {
      auto manager = MakeManager({"", server.Url("/")}, c.retryLimit);
      Post(*manager, 1, CounterDocument("numStarts"));
    }
    EXPECT_EQ(server.Requests().size(), c.attempts);
  }
}

TEST_F(JsonHttpAnalyticsManagerTest, EmptyEndpointPostsNothing) {
  {
    auto manager = MakeManager({Endpoints().transferUrl, ""});
    Post(*manager, 1, CounterDocument("numStarts"));
    Post(*manager, kTransferAnalyticsCategory, CounterDocument("numStarts"));
  }
  EXPECT_TRUE(eventServer_.Requests().empty());
  EXPECT_EQ(transferServer_.Requests().size(), 1u);
  {
    auto manager = MakeManager({"", ""});
    Post(*manager, 1, CounterDocument("numStarts"));
    Post(*manager, kTransferAnalyticsCategory, CounterDocument("numStarts"));
  }
  EXPECT_TRUE(eventServer_.Requests().empty());
  EXPECT_EQ(transferServer_.Requests().size(), 1u);
}

TEST_F(JsonHttpAnalyticsManagerTest, TeardownDeliversEveryEventPostedBeforeIt) {
  constexpr int kThreads = 3;
  constexpr int kEventsPerThread = 20;
  {
    auto manager = MakeManager(Endpoints());
    test::StartGate gate;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        gate.Wait();
        for (int i = 0; i < kEventsPerThread; ++i) {
          Post(*manager, 1, CounterDocument("c" + std::to_string(t) + "_" + std::to_string(i)));
        }
      });
    }
    gate.Open();
    for (std::thread& thread : threads) thread.join();
  }
  std::set<std::string> bodies;
  for (const test::RecordedRequest& request : eventServer_.Requests()) bodies.insert(request.body);
  EXPECT_EQ(bodies.size(), static_cast<std::size_t>(kThreads * kEventsPerThread));
  // One pooled session: connections are reused rather than opened per post.
  EXPECT_LE(eventServer_.ConnectionCount(), kThreads);
}

TEST_F(JsonHttpAnalyticsManagerTest, TeardownIsBoundedWhenTheCollectorHangs) {
  test::HttpFault stall;
  stall.stallBeforeHeaders = true;
  eventServer_.SetFault("/", stall);
  {
    // No request time-out: only the drain limit can end these posts.
    auto manager = MakeManager(Endpoints(), 1, std::chrono::milliseconds(200), /*timeout=*/0);
    for (int i = 0; i < 6; ++i) Post(*manager, 1, CounterDocument("numStarts"));
    // Three posts hang on the manager's three threads; three more wait behind them.
    ASSERT_TRUE(eventServer_.WaitForRequests(3));
  }
  // The hanging posts were cancelled and the waiting ones dropped, not retried or sent.
  EXPECT_EQ(eventServer_.Requests().size(), 3u);
}

TEST_F(JsonHttpAnalyticsManagerTest, TeardownEndsWhenTheCollectorIsDown) {
  const std::string down = "http://127.0.0.1:" + std::to_string(UnusedPort());
  // With a drain limit of an hour, only posts that fail at once and stop retrying can end the
  // teardown; a teardown that waited for the limit would run into the test's time-out.
  auto manager = MakeManager({down, down}, 1, std::chrono::hours(1));
  for (int i = 0; i < 10; ++i) {
    Post(*manager, i % 2 == 0 ? 1 : kTransferAnalyticsCategory, CounterDocument("numStarts"));
  }
  manager.reset();
}

}  // namespace
}  // namespace halv
