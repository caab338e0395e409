// The halvane-collect binary on a loopback port: posts of every shape stored and reported,
// bad posts refused and counted, many connections at once, a clean stop on SIGTERM, and a
// database that survives the collector being killed while posts stream in.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/analytics_request.h"
#include "collect_test_support.h"
#include "event/analytics_manager.h"
#include "event/json_http_analytics_manager.h"
#include "http/http_proxy.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "http/http_stringstream_writer.h"
#include "temp_dir.h"
#include "transfer/transfer_params.h"

namespace halv::collect {
namespace {

using test::CollectorProcess;
using test::CounterBody;
using test::CounterObject;
using test::ErrorObject;
using test::NodeObject;
using test::QueryRows;
using test::TransferBody;

class DirectProxyFactory : public HttpProxyFactory {
 public:
  std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

struct Answer {
  HttpRequestStatus status;
  std::string body;
};

// What a raw connection to `url` gets back for `request`: everything until the server closes.
std::string RawExchange(const std::string& url, const std::string& request) {
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "connect";
    ::close(fd);
    return "";
  }
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may close after answering early
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
  ::close(fd);
  return answer;
}

class CollectServerTest : public testing::TestWithParam<test::StoreKind> {
 protected:
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      ::setenv(name, temp_.Child(name).c_str(), 1);
    }
    db_ = GetParam().NewStore(temp_);
    ASSERT_TRUE(collector_.Start(db_, {"--pid-file", temp_.Child("collect.pid")}));
  }

  Answer Post(const std::string& body, const std::shared_ptr<HttpSession>& session = nullptr,
              HttpMethod method = HttpMethod::Post) {
    std::stringstream reply;
    HttpStringstreamWriter writer(&reply);
    HttpRequestParams params(collector_.url(), &writer);
    params.method = method;
    params.body = body;
    params.contentType = "application/json";
    params.timeout = 60;
    Answer answer;
    answer.status = requests_.CreateRequest(params, session ? session : session_)->Perform();
    answer.body = reply.str();
    return answer;
  }

  // SQLite's own check of the file; PostgreSQL keeps its own files whole.
  void ExpectIntact() {
    if (!GetParam().postgres) {
      EXPECT_EQ(QueryRows(db_, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    }
  }

  std::string Report() {
    int status = -1;
    const std::string text = test::RunCollector({"report", "--db", db_}, status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return text;
  }

  test::TempDir temp_;
  std::string db_;
  CollectorProcess collector_;
  DirectProxyFactory proxies_;
  CurlHttpRequestFactory requests_{proxies_};
  std::shared_ptr<HttpSession> session_ = RoundRobinHttpSessionFactory().Create();
};

TEST_P(CollectServerTest, PostsOfEveryShapeAreStoredOverOneConnectionAndReported) {
  const std::string tid = "0123456789abcdef0123456789abcdef";
  const std::vector<std::string> bodies = {
      CounterBody("P", "app", "7", "numStarts"),
      TransferBody("P", "app", "7", tid, "active", "0", "0"),
      TransferBody("P", "app", "7", tid, "canceled", "1000", "5"),
      "[" + CounterObject("P", "app", "7", "numCancels") + "," +
          NodeObject("P", "app", "7", "n1.example", "600", "2") + "," +
          NodeObject("P", "app", "7", "n2.example", "400", "2") + "]\n",
      "[" + ErrorObject("P", "skin", "3", "numFatalErrors", "error|2|12|Timeout was reached") +
          "," + NodeObject("P", "skin", "3", "n1.example", "0", "0") + "]\n",
      "[]\n",
      // Non-ASCII text as the updater escapes it: byte by byte.
      CounterBody("P", "caf\\u00C3\\u00A9", "1", "numStarts"),
  };
  for (const std::string& body : bodies) {
    const Answer answer = Post(body);
    EXPECT_EQ(answer.status.result, HttpRequestResult::Success) << body;
    EXPECT_EQ(answer.status.responseCode, 204) << body;
  }

  EXPECT_EQ(QueryRows(db_, "SELECT shape, body FROM bodies ORDER BY id").size(), bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_EQ(QueryRows(db_, "SELECT " + GetParam().BodyText() +
                                 " FROM bodies WHERE id = " + std::to_string(i + 1)),
              std::vector<std::string>{bodies[i]});
  }
  // Keep-alive: every post came over the same connection.
  EXPECT_EQ(QueryRows(db_, "SELECT count(DISTINCT peer) FROM bodies"),
            std::vector<std::string>{"1"});
  EXPECT_EQ(QueryRows(db_, "SELECT DISTINCT package FROM events ORDER BY 1"),
            (std::vector<std::string>{"app", "caf\xC3\xA9", "skin"}));

  // The report reads the file while the collector keeps it open.
  const std::string agent = QueryRows(db_, "SELECT DISTINCT user_agent FROM bodies").at(0);
  EXPECT_EQ(agent.rfind("Mirthwell Halvane Delivery TransferService ", 0), 0u) << agent;
  const std::string pad(agent.size() - 10 + 2, ' ');
  EXPECT_EQ(Report(),
            "Posts accepted: 7 (array 3, event 2, transfer 2)\n"
            "Posts refused: 0\n"
            "\n"
            "Transfers by package and version\n"
            "  partner  package  version  started  completed  failed  canceled  suspended"
            "  success rate  transfers  bytes delivered  median s  p90 s  median rate  p90 rate\n"
            "  P        app      7              1          0       0         1          0"
            "          0.0%          1           1000 B         -      -            -         -\n"
            "  P        caf\xC3\xA9     1              1          0       0         0          0"
            "             -          0              0 B         -      -            -         -\n"
            "  P        skin     3              0          0       1         0          0"
            "          0.0%          0              0 B         -      -            -         -\n"
            "\n"
            "Failures by cause\n"
            "  partner  package  version  event       error           cause"
            "                           count\n"
            "  P        skin     3        FatalError  connection (2)  timed out: Timeout was reached"
            "      1\n"
            "\n"
            "Nodes\n"
            "  node        reports  bytes  request time s  throughput\n"
            "  n1.example        2  600 B           2.000     300 B/s\n"
            "  n2.example        1  400 B           2.000     200 B/s\n"
            "\n"
            "Clients\n"
            "  user agent" +
                pad +
                "posts\n"
                "  " +
                agent + "      7\n");
}

TEST_P(CollectServerTest, BadBodiesAreRefusedWith4xxCountedAndNotStored) {
  struct Case {
    const char* name;
    std::string body;
    HttpMethod method;
    int code;
    const char* reason;
  } cases[] = {
      {"not JSON", "pid=P&pkgid=K", HttpMethod::Post, 400, "not-json"},
      {"truncated", CounterBody("P", "K", "V", "numStarts").substr(0, 30), HttpMethod::Post, 400,
       "not-json"},
      {"deeply nested", std::string(300000, '['), HttpMethod::Post, 400, "not-json"},
      {"unknown shape", R"({"event":"Pause"})", HttpMethod::Post, 422, "unknown-shape"},
      {"number instead of string",
       R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"numStarts":1},"dimensions":{}})",
       HttpMethod::Post, 422, "unknown-shape"},
      {"over 1 MiB", "[" + std::string(2 << 20, ' ') + "]", HttpMethod::Post, 413, "too-large"},
      {"GET", "", HttpMethod::Get, 405, "bad-request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A fresh session each time: a refusal closes its connection.
    const Answer answer = Post(c.body, RoundRobinHttpSessionFactory().Create(), c.method);
    EXPECT_EQ(answer.status.result, HttpRequestResult::ClientError);
    EXPECT_EQ(answer.status.responseCode, c.code);
  }
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    expected.push_back(std::string(c.reason) + "|" + std::to_string(c.code));
  }
  EXPECT_EQ(QueryRows(db_, "SELECT reason, http_status FROM refusals ORDER BY id"), expected);
  EXPECT_EQ(QueryRows(db_, "SELECT count(*) FROM bodies"), std::vector<std::string>{"0"});

  // The collector is still there and the database still takes posts.
  EXPECT_EQ(Post(CounterBody("P", "K", "V", "numStarts")).status.responseCode, 204);
  ExpectIntact();
  EXPECT_NE(Report().find("Posts refused: 7 (bad-request 1, not-json 3, too-large 1, "
                          "unknown-shape 2)\n"),
            std::string::npos);
}

TEST_P(CollectServerTest, MalformedHttpIsAnsweredAndTheConnectionClosed) {
  struct Case {
    const char* name;
    std::string request;
    const char* statusLine;
  } cases[] = {
      {"other path", "POST /collect HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n[]",
       "HTTP/1.1 404 "},
      {"garbage", "HELLO THERE\r\n\r\n", "HTTP/1.1 400 "},
      // The whole oversized body is sent without waiting for an answer; the refusal must still
      // arrive intact.
      {"declared 2 MiB",
       "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2097152\r\n\r\n" + std::string(2 << 20, ' '),
       "HTTP/1.1 413 "},
      {"chunked over 1 MiB",
       "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n200000\r\n" +
           std::string(0x200000, ' ') + "\r\n0\r\n\r\n",
       "HTTP/1.1 413 "},
      {"header over 16 KiB",
       "POST / HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string answer = RawExchange(collector_.url(), c.request);
    EXPECT_EQ(answer.rfind(c.statusLine, 0), 0u) << answer;
  }
  EXPECT_EQ(
      QueryRows(db_, "SELECT reason, http_status, length FROM refusals ORDER BY id"),
      (std::vector<std::string>{"bad-request|404|0", "bad-request|400|0", "too-large|413|2097152",
                                "too-large|413|1048577", "bad-request|431|0"}));
  // A good request on a raw connection, closed by the client's own header.
  const std::string body = CounterBody("P", "K", "V", "numStarts");
  const std::string answer = RawExchange(
      collector_.url(), "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(answer.rfind("HTTP/1.1 204 ", 0), 0u) << answer;
}

TEST_P(CollectServerTest, ManyConnectionsAreServedAtOnce) {
  // An idle kept-alive connection must not hold the others up.
  const int idle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(collector_.url().substr(17))));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  constexpr int kThreads = 6;
  constexpr int kPostsEach = 25;
  std::atomic<int> stored{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto session = RoundRobinHttpSessionFactory().Create();
      for (int i = 0; i < kPostsEach; ++i) {
        const std::string tid = "T" + std::to_string(t);
        if (Post(TransferBody("P", "K", "V", tid, "active", "10", "0.01"), session)
                .status.responseCode == 204) {
          ++stored;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ::close(idle);
  EXPECT_EQ(stored.load(), kThreads * kPostsEach);
  EXPECT_EQ(QueryRows(db_, "SELECT count(*), sum(bytes), count(DISTINCT transfer) FROM transfers"),
            std::vector<std::string>{std::to_string(kThreads * kPostsEach) + "|" +
                                     std::to_string(10 * kThreads * kPostsEach) + "|" +
                                     std::to_string(kThreads)});
}

TEST_P(CollectServerTest, SigtermStopsCleanlyWithIdleConnectionsOpen) {
  const std::string pidFile = temp_.Child("collect.pid");
  EXPECT_EQ(test::ReadFile(pidFile), std::to_string(collector_.pid()) + "\n");
  ASSERT_EQ(Post(CounterBody("P", "K", "V", "numStarts")).status.responseCode, 204);
  // session_ keeps its connection open and idle.
  const int status = collector_.Signal(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(std::filesystem::exists(pidFile));
  ExpectIntact();
  EXPECT_EQ(QueryRows(db_, "SELECT count(*) FROM events"), std::vector<std::string>{"1"});
}

TEST_P(CollectServerTest, KilledWhilePostsStreamInKeepsEveryAcknowledgedBody) {
  constexpr int kThreads = 3;
  constexpr int kAcknowledgedBeforeKill = 150;
  std::mutex mutex;
  std::condition_variable enough;
  int acknowledged = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto session = RoundRobinHttpSessionFactory().Create();
      // Alternate the shapes so every table is being written when the kill comes.
      for (int i = 0;; ++i) {
        const std::string tid = "T" + std::to_string(t);
        const std::string body =
            i % 3 == 0   ? TransferBody("P", "K", "V", tid, "active", "100", "0.5")
            : i % 3 == 1 ? CounterBody("P", "K", "V", "numResumes")
                         : "[" + ErrorObject("P", "K", "V", "numRetryableErrors", "error|2|x") +
                               "," + NodeObject("P", "K", "V", "n", "100", "0.1") + "]";
        if (Post(body, session).status.responseCode != 204) return;
        std::lock_guard<std::mutex> lock(mutex);
        if (++acknowledged == kAcknowledgedBeforeKill) enough.notify_one();
      }
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    enough.wait(lock, [&] { return acknowledged >= kAcknowledgedBeforeKill; });
  }
  const int status = collector_.Signal(SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  for (auto& thread : threads) thread.join();

  ExpectIntact();
  const auto bodies = QueryRows(db_, "SELECT count(*) FROM bodies");
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_GE(std::stoi(bodies[0]), acknowledged);
  // No body without its records, no records without their body.
  EXPECT_EQ(QueryRows(db_,
                      "SELECT (SELECT count(*) FROM bodies WHERE shape = 'transfer') - "
                      "       (SELECT count(*) FROM transfers),"
                      "       (SELECT count(*) FROM bodies WHERE shape = 'event') + "
                      "       (SELECT count(*) FROM bodies WHERE shape = 'array') - "
                      "       (SELECT count(*) FROM events),"
                      "       (SELECT count(*) FROM bodies WHERE shape = 'array') - "
                      "       (SELECT count(*) FROM nodes)"),
            std::vector<std::string>{"0|0|0"});

  // A new collector carries on with the same file.
  CollectorProcess again;
  ASSERT_TRUE(again.Start(db_));
  std::stringstream reply;
  HttpStringstreamWriter writer(&reply);
  HttpRequestParams params(again.url(), &writer);
  params.method = HttpMethod::Post;
  params.body = CounterBody("P", "K", "V", "numStarts");
  EXPECT_EQ(requests_.CreateRequest(params, nullptr)->Perform().responseCode, 204);
  EXPECT_EQ(again.Signal(SIGTERM), 0);
  EXPECT_EQ(QueryRows(db_, "SELECT count(*) FROM events WHERE counter = 'numStarts'"),
            std::vector<std::string>{"1"});
}

TEST_P(CollectServerTest, TheUpdatersAnalyticsManagerPostsWhatTheReportCounts) {
  // The records a started and completed transfer posts, through the product's own manager.
  TransferParams params;
  params.transferId = std::string(32, 'a');
  params.partnerId = "P";
  params.packageId = "app";
  params.versionId = "7";
  RoundRobinHttpSessionFactory sessions;
  {
    JsonHttpAnalyticsManager analytics(
        3, &requests_, sessions, AnalyticsEndpoints{collector_.url(), collector_.url()}, 10, 10, 1);
    const auto post = [&](std::int32_t category, const OutputManifest& request, bool inArray) {
      auto work = analytics.CreateEventWork(category);
      request.Write(inArray ? work->tree.push_back({"", {}})->second : work->tree);
      analytics.Submit(work);
    };
    post(1, SimpleEventAnalyticsRequest(params, "numStarts"), false);
    post(kTransferAnalyticsCategory,
         TransferAnalyticsRequest(params, TransferState::Complete, 4096, 2000), false);
    auto array = analytics.CreateEventWork(1);
    SimpleEventAnalyticsRequest(params, "numCompletes")
        .Write(array->tree.push_back({"", {}})->second);
    OptimizerAnalyticsRequest(params, 4096, 2000, "127.0.0.1:8081")
        .Write(array->tree.push_back({"", {}})->second);
    analytics.Submit(array);
    // Teardown drains: every post is answered before the manager is gone.
  }
  EXPECT_EQ(QueryRows(db_, "SELECT count(*) FROM bodies"), std::vector<std::string>{"3"});
  const std::string report = Report();
  EXPECT_NE(report.find("127.0.0.1:8081"), std::string::npos) << report;
  EXPECT_NE(report.find("4.0 KiB"), std::string::npos) << report;
  EXPECT_NE(report.find("Posts refused: 0"), std::string::npos) << report;
}

INSTANTIATE_TEST_SUITE_P(Stores, CollectServerTest, testing::ValuesIn(test::kStoreKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CollectCommandTest, CommandLineMistakesAreExplained) {
  test::TempDir temp;
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  } cases[] = {
      {{}, 2},
      {{"serve"}, 2},
      {{"serve", "--db"}, 2},
      {{"serve", "--db", temp.Child("a.db"), "--listen", "127.0.0.1:99999"}, 2},
      {{"serve", "--db", temp.Child("a.db"), "--listen", "example.org:80"}, 2},
      {{"report", "--db", temp.Child("a.db"), "--listen", "127.0.0.1:0"}, 2},
      {{"report", "--db", temp.Child("missing.db")}, 1},
      {{"frobnicate"}, 2},
      {{"--help"}, 0},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& arg : c.args) joined += arg + " ";
    SCOPED_TRACE(joined);
    int status = -1;
    test::RunCollector(c.args, status);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
  }
  EXPECT_FALSE(std::filesystem::exists(temp.Child("a.db")));
  EXPECT_FALSE(std::filesystem::exists(temp.Child("missing.db")));
}

}  // namespace
}  // namespace halv::collect
