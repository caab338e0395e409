#include "http/curl_http_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "build_version.h"
#include "http/http_stringstream_writer.h"
#include "http_test_helpers.h"
#include "test_http_server.h"

namespace halv {

void PrintTo(HttpRequestResult result, std::ostream* out) { *out << ToNumber(result); }

namespace {

using test::HttpFault;
using test::TestHttpServer;
using test::UnusedPort;

// Takes every block, or answers a fixed status for every block.
class ScriptedWriter : public HttpWriteCallback {
 public:
  explicit ScriptedWriter(HttpRequestStatus answer = HttpRequestStatus(HttpRequestResult::Success,
                                                                       0),
                          bool takeAll = true)
      : answer_(std::move(answer)), takeAll_(takeAll) {}

  HttpRequestStatus Write(const char* data, std::size_t length) override {
    body_.append(data, length);
    HttpRequestStatus status = answer_;
    if (takeAll_) status.bytesWritten = length;
    if (!firstBlock_.exchange(true)) started_.set_value();
    return status;
  }

  const std::string& body() const { return body_; }
  std::future<void> Started() { return started_.get_future(); }

 private:
  const HttpRequestStatus answer_;
  const bool takeAll_;
  std::string body_;
  std::atomic<bool> firstBlock_{false};
  std::promise<void> started_;
};

class CurlHttpRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.AddGeneratedContent("/file", 100000);
    server_.Start();
  }

  TestHttpServer server_;
};

TEST_F(CurlHttpRequestTest, DownloadsWholeBodyAndReportsConnection) {
  ScriptedWriter writer;
  CurlHttpRequest request(HttpRequestParams(server_.Url("/file"), &writer), "");
  EXPECT_EQ(request.GetStatus().result, HttpRequestResult::NotStarted);

  const HttpRequestStatus status = request.Perform();

  EXPECT_EQ(status.result, HttpRequestResult::Success);
  EXPECT_EQ(status.bytesWritten, 100000u);
  EXPECT_EQ(status.responseCode, 200);
  EXPECT_EQ(status.ip, "127.0.0.1");
  EXPECT_EQ(status.errorDetails, "");
  EXPECT_EQ(writer.body(), TestHttpServer::GeneratedContent("/file", 0, 100000));
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].headers.at("user-agent"),
            "Mirthwell Halvane Delivery TransferService 1.1.0.2 (build " HALV_BUILD_VERSION ")");
}

struct FailureCase {
  const char* name;
  HttpFault fault;
  HttpRequestResult result;
  const char* details;
  // Extra set-up of the params: time-outs, writer behaviour.
  std::int32_t timeout = 0;
  std::int32_t lowSpeedLimit = 0;
  std::int32_t lowSpeedTime = 0;
};

HttpFault Status(int status) {
  HttpFault fault;
  fault.status = status;
  return fault;
}

HttpFault Faulty(bool HttpFault::*member) {
  HttpFault fault;
  fault.*member = true;
  return fault;
}

HttpFault Redirects(int count) {
  HttpFault fault;
  fault.redirects = count;
  return fault;
}

TEST_F(CurlHttpRequestTest, ServerFaultsEndInTheirResults) {
  const FailureCase cases[] = {
      {"404", Status(404), HttpRequestResult::ClientError, "libcurl error 22 (HTTP 404)"},
      {"503", Status(503), HttpRequestResult::ServerError, "libcurl error 22 (HTTP 503)"},
      {"500", Status(500), HttpRequestResult::ServerError, "libcurl error 22 (HTTP 500)"},
      {"total time-out before headers", Faulty(&HttpFault::stallBeforeHeaders),
       HttpRequestResult::TimedOut, "libcurl error 28", 1},
      {"low speed mid-body", Faulty(&HttpFault::stallMidBody), HttpRequestResult::TimedOut,
       "libcurl error 28 (HTTP 200)", 0, 1000, 1},
      {"dropped mid-body", Faulty(&HttpFault::dropMidBody), HttpRequestResult::Incomplete,
       "libcurl error 18 (HTTP 200)"},
      {"second redirect refused", Redirects(2), HttpRequestResult::OtherError,
       "libcurl error 47 (HTTP 302)"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = std::string("/fault/") + c.name;
    std::replace(path.begin(), path.end(), ' ', '-');
    // Small, so that the low-speed average drops below its limit soon after the stall.
    server_.AddGeneratedContent(path, 2000);
    server_.SetFault(path, c.fault);
    ScriptedWriter writer;
    HttpRequestParams params(server_.Url(path), &writer);
    params.timeout = c.timeout;
    params.lowSpeedLimit = c.lowSpeedLimit;
    params.lowSpeedTime = c.lowSpeedTime;
    CurlHttpRequest request(params, "");

    const HttpRequestStatus status = request.Perform();

    EXPECT_EQ(status.result, c.result);
    EXPECT_EQ(status.errorDetails, c.details);
    EXPECT_EQ(status.bytesWritten, writer.body().size());
  }
}

TEST_F(CurlHttpRequestTest, OneRedirectIsFollowed) {
  server_.SetFault("/file", Redirects(1));
  ScriptedWriter writer;
  CurlHttpRequest request(HttpRequestParams(server_.Url("/file"), &writer), "");

  const HttpRequestStatus status = request.Perform();

  EXPECT_EQ(status.result, HttpRequestResult::Success);
  EXPECT_EQ(status.bytesWritten, 100000u);
  ASSERT_EQ(server_.Requests().size(), 2u);
  EXPECT_EQ(server_.Requests()[1].target, "/file?hop=1");
}

// Each failure ends in its result, and the words of DescribeRequestFailure name what failed:
// the server or the proxy on the way; no HTTP status is named where none came. (TLS to a server
// of plain HTTP needs one that answers a handshake with an error, as nginx does: see the cause
// table of halvane-get.)
TEST_F(CurlHttpRequestTest, TransportFailuresEndInTheirResultsAndNameWhatFailed) {
  const std::string dead = "127.0.0.1:" + std::to_string(UnusedPort());
  struct Case {
    std::string url;
    std::string proxy;
    HttpRequestResult result;
    HttpFailureSite site;
    std::string details;
    std::string words;
  } const cases[] = {
      {"http://" + dead + "/file", "", HttpRequestResult::ConnectFailed, HttpFailureSite::Server,
       "libcurl error 7", "the server " + dead + " refused the connection"},
      {"http://no-such-host.invalid/file", "", HttpRequestResult::ResolveFailed,
       HttpFailureSite::Server, "libcurl error 6",
       "the host name no-such-host.invalid could not be resolved"},
      {"nosuchscheme://127.0.0.1/file", "", HttpRequestResult::InvalidUrl, HttpFailureSite::Server,
       "libcurl error 1", "nosuchscheme://127.0.0.1/file is not a usable URL"},
      {"http://[/file", "", HttpRequestResult::InvalidUrl, HttpFailureSite::Server,
       "libcurl error 3", "http://[/file is not a usable URL"},
      // The server is up; only the proxy is not.
      {server_.Url("/file"), "http://" + dead, HttpRequestResult::ConnectFailed,
       HttpFailureSite::Proxy, "libcurl error 7", "the proxy " + dead + " refused the connection"},
      {server_.Url("/file"), "http://no-such-proxy.invalid:3128", HttpRequestResult::ResolveFailed,
       HttpFailureSite::Proxy, "libcurl error 5",
       "the host name of the proxy no-such-proxy.invalid:3128 could not be resolved"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " via " + c.proxy);
    ScriptedWriter writer;
    CurlHttpRequest request(HttpRequestParams(c.url, &writer), c.proxy);
    const HttpRequestStatus status = request.Perform();
    EXPECT_EQ(status.result, c.result);
    EXPECT_EQ(status.failureSite, c.site);
    EXPECT_EQ(status.errorDetails, c.details);
    EXPECT_EQ(status.bytesWritten, 0u);
    EXPECT_EQ(DescribeRequestFailure(c.url, status), c.words + " (" + c.details + ")");
    // Only a server reached directly that refused is one that is not answering.
    EXPECT_EQ(ServerNotAnswering("file a: " + DescribeRequestFailure(c.url, status)),
              c.site == HttpFailureSite::Server && c.result == HttpRequestResult::ConnectFailed
                  ? dead
                  : "");
  }
}

// A listener whose accept queue is full: the kernel drops further connection attempts, so a
// client's connect hangs until its own time-out.
class FullListener {
 public:
  FullListener() {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(listen_, 0);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    for (int& filler : fillers_) {
      filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
  }
  ~FullListener() {
    for (const int filler : fillers_) ::close(filler);
    ::close(listen_);
  }
  std::uint16_t port() const { return port_; }

 private:
  int listen_ = -1;
  int fillers_[4] = {-1, -1, -1, -1};
  std::uint16_t port_ = 0;
};

TEST_F(CurlHttpRequestTest, ConnectTimeOut) {
  FullListener listener;
  ScriptedWriter writer;
  HttpRequestParams params("http://127.0.0.1:" + std::to_string(listener.port()) + "/file",
                           &writer);
  params.connectTimeout = 1;
  CurlHttpRequest request(params, "");
  const HttpRequestStatus status = request.Perform();
  EXPECT_EQ(status.result, HttpRequestResult::TimedOut);
  EXPECT_EQ(status.errorDetails, "libcurl error 28");
}

TEST_F(CurlHttpRequestTest, RefusedWritesDecideTheResult) {
  struct Case {
    const char* name;
    HttpRequestStatus answer;
    bool takeAll;
    HttpRequestResult result;
    const char* details;
  };
  HttpRequestStatus refused(HttpRequestResult::WriteFailed, 0);
  refused.errorDetails = "disk full";
  HttpRequestStatus shortRange(HttpRequestResult::Incomplete, 0);
  shortRange.errorDetails = "chunk ended early";
  HttpRequestStatus noMemory(HttpRequestResult::OutOfMemory, 0);
  HttpRequestStatus odd(HttpRequestResult::TimedOut, 0);
  odd.errorDetails = "odd";
  HttpRequestStatus taken(HttpRequestResult::Success, 0);
  const Case cases[] = {
      {"refused", refused, false, HttpRequestResult::WriteFailed, "disk full"},
      {"refused after taking every byte", refused, true, HttpRequestResult::WriteFailed,
       "disk full"},
      {"incomplete", shortRange, false, HttpRequestResult::Incomplete, "chunk ended early"},
      {"out of memory", noMemory, false, HttpRequestResult::OutOfMemory, ""},
      {"other results count as write failures", odd, false, HttpRequestResult::WriteFailed, "odd"},
      {"fewer bytes taken", taken, false, HttpRequestResult::WriteFailed,
       "libcurl error 23 (HTTP 200)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedWriter writer(c.answer, c.takeAll);
    CurlHttpRequest request(HttpRequestParams(server_.Url("/file"), &writer), "");
    const HttpRequestStatus status = request.Perform();
    EXPECT_EQ(status.result, c.result);
    EXPECT_EQ(status.errorDetails, c.details);
    EXPECT_EQ(status.responseCode, 200);
  }
}

TEST_F(CurlHttpRequestTest, RangeAndEncodingHeaders) {
  struct Case {
    const char* name;
    std::uint64_t rangeStart;
    std::uint64_t rangeEnd;
    const char* range;            // expected Range header, "" for none
    bool acceptEncoding;          // expected to carry the accept-encoding
    std::uint64_t first, length;  // expected body
  } const cases[] = {
      {"whole", 0, HttpRequestParams::kRangeEndOpen, "", true, 0, 100000},
      {"closed range", 0, 1023, "bytes=0-1023", false, 0, 1024},
      {"start only", 99000, HttpRequestParams::kRangeEndOpen, "bytes=99000-18446744073709551615",
       false, 99000, 1000},
      {"middle", 4096, 8191, "bytes=4096-8191", false, 4096, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = server_.Requests().size();
    ScriptedWriter writer;
    HttpRequestParams params(server_.Url("/file"), &writer);
    params.rangeStart = c.rangeStart;
    params.rangeEnd = c.rangeEnd;
    params.acceptEncoding = "identity";
    CurlHttpRequest request(params, "");
    EXPECT_EQ(request.Perform().result, HttpRequestResult::Success);
    EXPECT_EQ(writer.body(), TestHttpServer::GeneratedContent("/file", c.first, c.length));
    const test::RecordedRequest sent = server_.Requests().at(before);
    EXPECT_EQ(sent.range, c.range);
    EXPECT_EQ(sent.headers.count("accept-encoding"), c.acceptEncoding ? 1u : 0u);
    EXPECT_EQ(sent.headers.count("content-type"), 0u);
    EXPECT_EQ(sent.method, "GET");
  }
}

TEST_F(CurlHttpRequestTest, PostSendsBodyWithOneContentTypeHeader) {
  server_.AddContent("/collect", "thanks");
  std::ostringstream reply;
  HttpStringstreamWriter writer(&reply);
  HttpRequestParams params(server_.Url("/collect"), &writer);
  params.method = HttpMethod::Post;
  params.body = std::string("{\"event\":1}\0tail", 16);
  params.contentType = "application/json";
  CurlHttpRequest request(params, "");

  EXPECT_EQ(request.Perform().result, HttpRequestResult::Success);

  EXPECT_EQ(reply.str(), "thanks");
  const test::RecordedRequest sent = server_.RequestsFor("/collect").at(0);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.body, params.body);
  EXPECT_EQ(sent.headers.at("content-type"), "application/json");
  EXPECT_EQ(sent.range, "");
  // Only what libcurl always sends, plus the one content type.
  for (const auto& header : sent.headers) {
    EXPECT_TRUE(header.first == "host" || header.first == "user-agent" ||
                header.first == "accept" || header.first == "content-length" ||
                header.first == "content-type")
        << header.first;
  }
}

TEST_F(CurlHttpRequestTest, LowSpeedNeedsBothLimitAndTime) {
  // With the limit 0 the time alone sets nothing: a slow drip completes.
  HttpFault drip;
  drip.dripBytes = 20000;
  drip.dripInterval = std::chrono::milliseconds(300);
  server_.SetFault("/file", drip);
  ScriptedWriter writer;
  HttpRequestParams params(server_.Url("/file"), &writer);
  params.lowSpeedLimit = 0;
  params.lowSpeedTime = 1;
  CurlHttpRequest request(params, "");
  EXPECT_EQ(request.Perform().result, HttpRequestResult::Success);
  EXPECT_EQ(writer.body().size(), 100000u);
}

TEST_F(CurlHttpRequestTest, CancelBeforePerformMakesNoConnection) {
  ScriptedWriter writer;
  CurlHttpRequest request(HttpRequestParams(server_.Url("/file"), &writer), "");
  request.Cancel();
  const HttpRequestStatus status = request.Perform();
  EXPECT_EQ(status.result, HttpRequestResult::Cancelled);
  EXPECT_EQ(status.errorDetails, "");
  EXPECT_EQ(server_.ConnectionCount(), 0);
}

TEST_F(CurlHttpRequestTest, CancelFromAnotherThreadStopsARunningTransfer) {
  server_.SetFault("/file", Faulty(&HttpFault::stallMidBody));
  ScriptedWriter writer;
  CurlHttpRequest request(HttpRequestParams(server_.Url("/file"), &writer), "");
  std::future<void> started = writer.Started();
  std::future<HttpRequestStatus> result =
      std::async(std::launch::async, [&] { return request.Perform(); });
  started.wait();
  EXPECT_EQ(request.GetStatus().result, HttpRequestResult::InProgress);

  request.Cancel();
  const HttpRequestStatus status = result.get();

  EXPECT_EQ(status.result, HttpRequestResult::Cancelled);
  EXPECT_EQ(status.errorDetails, "");
  EXPECT_EQ(status.bytesWritten, writer.body().size());
  EXPECT_GT(status.bytesWritten, 0u);
  // Cancelling a finished request changes nothing.
  request.Cancel();
  EXPECT_EQ(request.GetStatus().result, HttpRequestResult::Cancelled);
}

TEST_F(CurlHttpRequestTest, ResetIsRefusedWhileRunningAndRestartsAfterwards) {
  server_.AddGeneratedContent("/other", 5000);
  server_.SetFault("/file", Faulty(&HttpFault::stallMidBody));
  ScriptedWriter writer;
  CurlHttpRequest request(HttpRequestParams(server_.Url("/file"), &writer), "");
  std::future<void> started = writer.Started();
  std::future<HttpRequestStatus> result =
      std::async(std::launch::async, [&] { return request.Perform(); });
  started.wait();

  ScriptedWriter otherWriter;
  HttpRequestParams other(server_.Url("/other"), &otherWriter);
  EXPECT_FALSE(request.Reset(other, ""));
  EXPECT_EQ(request.GetStatus().result, HttpRequestResult::InProgress);
  request.Cancel();
  EXPECT_EQ(result.get().result, HttpRequestResult::Cancelled);

  ASSERT_TRUE(request.Reset(other, ""));
  const HttpRequestStatus fresh = request.GetStatus();
  EXPECT_EQ(fresh.result, HttpRequestResult::NotStarted);
  EXPECT_EQ(fresh.bytesWritten, 0u);
  EXPECT_EQ(fresh.responseCode, 0);
  EXPECT_EQ(fresh.ip, "");
  const HttpRequestStatus status = request.Perform();
  EXPECT_EQ(status.result, HttpRequestResult::Success);
  EXPECT_EQ(otherWriter.body(), TestHttpServer::GeneratedContent("/other", 0, 5000));
}

TEST_F(CurlHttpRequestTest, SecondPerformReturnsStoredStatusWithoutTraffic) {
  ScriptedWriter writer;
  CurlHttpRequest request(HttpRequestParams(server_.Url("/file"), &writer), "");
  const HttpRequestStatus first = request.Perform();
  const HttpRequestStatus second = request.Perform();
  EXPECT_EQ(second.result, first.result);
  EXPECT_EQ(second.bytesWritten, first.bytesWritten);
  EXPECT_EQ(server_.Requests().size(), 1u);
}

TEST_F(CurlHttpRequestTest, ProxyEnvironmentDoesNotOverrideADirectDecision) {
  const std::string deadProxy = "http://127.0.0.1:" + std::to_string(UnusedPort());
  ::setenv("http_proxy", deadProxy.c_str(), 1);
  ::setenv("all_proxy", deadProxy.c_str(), 1);
  ScriptedWriter writer;
  CurlHttpRequest request(HttpRequestParams(server_.Url("/file"), &writer), "");
  const HttpRequestStatus status = request.Perform();
  ::unsetenv("http_proxy");
  ::unsetenv("all_proxy");
  EXPECT_EQ(status.result, HttpRequestResult::Success);
}

TEST(HttpStringstreamWriterTest, AppendsBlocksAndReportsABadStream) {
  std::ostringstream stream;
  HttpStringstreamWriter writer(&stream);
  const HttpRequestStatus empty = writer.Write("", 0);
  EXPECT_EQ(empty.result, HttpRequestResult::Success);
  EXPECT_EQ(empty.bytesWritten, 0u);
  EXPECT_EQ(writer.Write("ab\0c", 4).bytesWritten, 4u);
  EXPECT_EQ(stream.str(), std::string("ab\0c", 4));

  stream.setstate(std::ios::badbit);
  EXPECT_EQ(writer.Write("", 0).result, HttpRequestResult::Success);
  const HttpRequestStatus failed = writer.Write("x", 1);
  EXPECT_EQ(failed.result, HttpRequestResult::WriteFailed);
  EXPECT_EQ(failed.bytesWritten, 0u);
}

}  // namespace
}  // namespace halv
