// The loopback test server's faults as a libcurl request sees them: later layers rely on both.

#include "test_http_server.h"
#include "http_test_helpers.h"

#include <future>
#include <string>

#include <gtest/gtest.h>

#include "http/curl_http_request.h"

namespace halv {
namespace {

using test::Collect;
using test::HttpFault;
using test::TestHttpServer;

class TestHttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.AddGeneratedContent("/file", 100000);
    server_.Start();
  }

  // Performs a GET of bytes first..last of /file (last < 0: no range) and returns the status.
  HttpRequestStatus Get(const std::string& path, Collect* body, std::int64_t first = 0,
                        std::int64_t last = -1) {
    HttpRequestParams params(server_.Url(path), body);
    if (last >= 0) {
      params.rangeStart = static_cast<std::uint64_t>(first);
      params.rangeEnd = static_cast<std::uint64_t>(last);
    }
    return CurlHttpRequest(params, "").Perform();
  }

  TestHttpServer server_;
};

TEST_F(TestHttpServerTest, ServesRangesAndRecordsRequests) {
  Collect body;
  const HttpRequestStatus status = Get("/file", &body, 99990, 200000);
  EXPECT_EQ(status.result, HttpRequestResult::Success);
  EXPECT_EQ(status.responseCode, 206);
  EXPECT_EQ(body.body, TestHttpServer::GeneratedContent("/file", 99990, 10));
  // Neighbouring ranges differ, so a misplaced range is caught.
  EXPECT_NE(TestHttpServer::GeneratedContent("/file", 0, 4096),
            TestHttpServer::GeneratedContent("/file", 4096, 4096));
  EXPECT_NE(TestHttpServer::GeneratedContent("/file", 0, 64),
            TestHttpServer::GeneratedContent("/other", 0, 64));

  Collect past;
  EXPECT_EQ(Get("/file", &past, 100000, 100010).errorDetails, "libcurl error 22 (HTTP 416)");
  Collect missing;
  EXPECT_EQ(Get("/missing", &missing).errorDetails, "libcurl error 22 (HTTP 404)");

  ASSERT_TRUE(server_.WaitForRequests(3));
  const std::vector<test::RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].range, "bytes=99990-200000");
  EXPECT_EQ(requests[2].path, "/missing");
  EXPECT_EQ(server_.RequestsFor("/file").size(), 2u);
  EXPECT_EQ(server_.ConnectionCount(), 3);
}

TEST_F(TestHttpServerTest, PostsAreRecordedAndAnswered) {
  Collect reply;
  HttpRequestParams params(server_.Url("/analytics"), &reply);
  params.method = HttpMethod::Post;
  params.body = "a=1&b=2";
  EXPECT_EQ(CurlHttpRequest(params, "").Perform().responseCode, 200);
  EXPECT_EQ(reply.body, "");
  const test::RecordedRequest recorded = server_.RequestsFor("/analytics").at(0);
  EXPECT_EQ(recorded.body, "a=1&b=2");
  EXPECT_EQ(recorded.headers.at("content-type"), "application/x-www-form-urlencoded");
}

// What the body checks of later layers must catch: libcurl reports these as successes.
TEST_F(TestHttpServerTest, ContentFaultsPassAsSuccesses) {
  const std::string expected = TestHttpServer::GeneratedContent("/file", 0, 1024);
  struct Case {
    const char* name;
    HttpFault fault;
    int responseCode;
    std::string body;
  };
  HttpFault ignoreRange;
  ignoreRange.ignoreRange = true;
  HttpFault extra;
  extra.extraBytes = 10;
  HttpFault corrupt;
  corrupt.corrupt = true;
  std::string corrupted = expected;
  corrupted[0] = static_cast<char>(~corrupted[0]);
  const Case cases[] = {
      {"range ignored", ignoreRange, 200, TestHttpServer::GeneratedContent("/file", 0, 100000)},
      {"extra bytes", extra, 206, expected + std::string(10, 'X')},
      {"corrupted", corrupt, 206, corrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.SetFault("/file", c.fault);
    Collect body;
    const HttpRequestStatus status = Get("/file", &body, 0, 1023);
    EXPECT_EQ(status.result, HttpRequestResult::Success);
    EXPECT_EQ(status.responseCode, c.responseCode);
    EXPECT_EQ(body.body, c.body);
    server_.ClearFault("/file");
  }
}

TEST_F(TestHttpServerTest, FaultsCanBeLimitedToTheFirstRequests) {
  HttpFault unavailable;
  unavailable.status = 503;
  unavailable.times = 2;
  server_.SetFault("/file", unavailable);
  const HttpRequestResult expected[] = {HttpRequestResult::ServerError,
                                        HttpRequestResult::ServerError, HttpRequestResult::Success};
  for (const HttpRequestResult result : expected) {
    Collect body;
    EXPECT_EQ(Get("/file", &body, 0, 99).result, result);
  }
}

TEST_F(TestHttpServerTest, StopEndsStalledConnections) {
  HttpFault stall;
  stall.stallBeforeHeaders = true;
  server_.SetFault("/file", stall);
  Collect body;
  std::future<HttpRequestStatus> result =
      std::async(std::launch::async, [&] { return Get("/file", &body); });
  ASSERT_TRUE(server_.WaitForRequests(1));
  server_.Stop();
  const HttpRequestStatus status = result.get();
  EXPECT_NE(status.result, HttpRequestResult::Success);
  EXPECT_EQ(status.bytesWritten, 0u);
}

}  // namespace
}  // namespace halv
