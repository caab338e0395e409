// Request throughput over a pooled session against fresh requests, and bulk ranged download
// speed next to the curl command line, all against the loopback test server.

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "http/http_proxy.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "test_http_server.h"

extern char** environ;

namespace halv {
namespace {

constexpr int kThreads = 8;
constexpr int kSmallRequests = 10000;
constexpr std::uint64_t kSmallSize = 4096;
constexpr std::uint64_t kBulkSize = std::uint64_t{1} << 30;
constexpr std::uint64_t kBulkRange = std::uint64_t{1} << 20;

class DirectProxies : public HttpProxyFactory {
 public:
  std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

// Copies each body into its place in a caller's buffer.
class BufferWriter : public HttpWriteCallback {
 public:
  explicit BufferWriter(char* destination) : destination_(destination) {}
  HttpRequestStatus Write(const char* data, std::size_t length) override {
    std::memcpy(destination_ + written_, data, length);
    written_ += length;
    return HttpRequestStatus(HttpRequestResult::Success, length);
  }

 private:
  char* const destination_;
  std::size_t written_ = 0;
};

test::TestHttpServer& Server() {
  static test::TestHttpServer server;
  static const bool started = [] {
    // Every small request asks a different 4 KiB range of 64 MiB.
    server.AddGeneratedContent("/small", kSmallSize * 16384);
    server.AddGeneratedContent("/bulk", kBulkSize);
    server.Start();
    return true;
  }();
  (void)started;
  return server;
}

// Runs `total` numbered jobs on kThreads threads, each taking the next number.
template <typename Job>
void RunOnThreads(int total, Job job) {
  std::atomic<int> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = next++; i < total; i = next++) job(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

void SmallGets(benchmark::State& state, bool pooled) {
  test::TestHttpServer& server = Server();
  DirectProxies proxies;
  CurlHttpRequestFactory factory(proxies);
  std::atomic<int> failures{0};
  const int connectionsBefore = server.ConnectionCount();
  for (auto _ : state) {
    const std::shared_ptr<HttpSession> session =
        pooled ? RoundRobinHttpSessionFactory().Create() : nullptr;
    RunOnThreads(kSmallRequests, [&](int i) {
      char buffer[kSmallSize];
      BufferWriter writer(buffer);
      HttpRequestParams params(server.Url("/small"), &writer);
      params.rangeStart = static_cast<std::uint64_t>(i % 16384) * kSmallSize;
      params.rangeEnd = params.rangeStart + kSmallSize - 1;
      if (factory.CreateRequest(params, session)->Perform().bytesWritten != kSmallSize) {
        ++failures;
      }
    });
  }
  state.counters["requests_per_second"] = benchmark::Counter(
      static_cast<double>(kSmallRequests) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["connections"] = server.ConnectionCount() - connectionsBefore;
  state.counters["failures"] = failures.load();
}

void BM_SmallGetsPooledSession(benchmark::State& state) { SmallGets(state, true); }
void BM_SmallGetsNewRequestEach(benchmark::State& state) { SmallGets(state, false); }

void BM_OneGiBInOneMiBRanges(benchmark::State& state) {
  test::TestHttpServer& server = Server();
  DirectProxies proxies;
  CurlHttpRequestFactory factory(proxies);
  std::unique_ptr<char[]> memory(new char[kBulkSize]);
  // Touch every page once so that the measurement is not of page faults.
  std::memset(memory.get(), 0, kBulkSize);
  std::atomic<int> failures{0};
  for (auto _ : state) {
    const std::shared_ptr<HttpSession> session = RoundRobinHttpSessionFactory().Create();
    RunOnThreads(static_cast<int>(kBulkSize / kBulkRange), [&](int i) {
      const std::uint64_t start = static_cast<std::uint64_t>(i) * kBulkRange;
      BufferWriter writer(memory.get() + start);
      HttpRequestParams params(server.Url("/bulk"), &writer);
      params.rangeStart = start;
      params.rangeEnd = start + kBulkRange - 1;
      if (factory.CreateRequest(params, session)->Perform().bytesWritten != kBulkRange) {
        ++failures;
      }
    });
  }
  state.counters["GB_per_second"] = benchmark::Counter(
      static_cast<double>(kBulkSize) * state.iterations() / 1e9, benchmark::Counter::kIsRate);
  state.counters["failures"] = failures.load();
}

// The curl command line fetching the same 1 GiB in one GET, to /dev/null.
void BM_OneGiBCurlCommand(benchmark::State& state) {
  test::TestHttpServer& server = Server();
  const std::string url = server.Url("/bulk");
  int failures = 0;
  for (auto _ : state) {
    const char* argv[] = {"curl",     "--silent",  "--noproxy", "*",
                          "--output", "/dev/null", url.c_str(), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
        ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++failures;
    }
  }
  state.counters["GB_per_second"] = benchmark::Counter(
      static_cast<double>(kBulkSize) * state.iterations() / 1e9, benchmark::Counter::kIsRate);
  state.counters["failures"] = failures;
}

BENCHMARK(BM_SmallGetsPooledSession)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallGetsNewRequestEach)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneGiBInOneMiBRanges)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneGiBCurlCommand)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halv

BENCHMARK_MAIN();
