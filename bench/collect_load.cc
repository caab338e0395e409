// Load on running collectors: N clients on loopback, each over one kept-alive connection, post
// the updater's own bodies (a transfer record, a counter, an array with an error and a node
// object) round-robin to the collectors named on the command line, for at most COUNT posts or
// SECONDS. Prints posts per second and latency percentiles; with --acked FILE, writes the tid of
// every transfer record acknowledged with 204, so a caller can check none is missing after a
// collector was killed.
//
// Usage: halv_collect_load PORT[,PORT...] CLIENTS COUNT SECONDS [--acked FILE]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Sends one request and reads its answer; answers the status, or 0 when the connection failed.
int Exchange(int fd, const std::string& body) {
  const std::string request = "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: halv-load\r\n"
                              "Content-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return 0;
    sent += static_cast<std::size_t>(n);
  }
  std::string answer;
  char buffer[4096];
  for (;;) {
    const auto end = answer.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::size_t length = 0;
      const auto header = answer.find("Content-Length: ");
      if (header != std::string::npos && header < end) length = std::stoul(answer.substr(header + 16));
      if (answer.size() >= end + 4 + length) return std::stoi(answer.substr(9, 3));
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return 0;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string Key(int client) {
  return R"({"pid":"bench","pkgid":"app)" + std::to_string(client % 4) + R"(","vid":"1.0.)" +
         std::to_string(client % 3) + "\",";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s PORT[,PORT...] CLIENTS COUNT SECONDS [--acked FILE]\n", argv[0]);
    return 2;
  }
  std::vector<int> ports;
  std::stringstream list(argv[1]);
  for (std::string port; std::getline(list, port, ',');) ports.push_back(std::stoi(port));
  const int clients = std::stoi(argv[2]);
  const long count = std::stol(argv[3]);
  const auto deadline = Clock::now() + std::chrono::seconds(std::stoi(argv[4]));
  const std::string ackedPath = argc >= 7 && std::string(argv[5]) == "--acked" ? argv[6] : "";

  std::atomic<long> next{0};
  std::mutex mutex;
  std::vector<double> latencies;
  std::vector<std::string> acked;
  long failed = 0;
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      std::vector<double> mine;
      std::vector<std::string> ackedHere;
      long failedHere = 0;
      int fd = Connect(ports[c % ports.size()]);
      for (long i; fd >= 0 && (i = next++) < count && Clock::now() < deadline;) {
        const std::string tid = "c" + std::to_string(c) + "-" + std::to_string(i);
        const std::string key = Key(c);
        const std::string body =
            i % 3 == 0 ? key + R"("tid":")" + tid +
                             R"(","status":"active","transferBytes":"1048576","duration":"0.25"})" "\n"
            : i % 3 == 1 ? key + R"("metrics":{"numResumes":"1"},"dimensions":{}})" "\n"
                         : "[" + key +
                               R"("metrics":{"numRetryableErrors":"1"},"dimensions":{"error":"error|2|12|Timeout was reached"}},)" +
                               key +
                               R"("metrics":{"bytes":"524288","requestTime":"0.125"},"dimensions":{"cdn":"node1.example"}}])" "\n";
        const auto sent = Clock::now();
        const int status = Exchange(fd, body);
        if (status == 204) {
          mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
          if (i % 3 == 0) ackedHere.push_back(tid);
        } else {
          ++failedHere;
          if (status == 0) {  // the collector went away: stop, as the updater's post would fail
            ::close(fd);
            fd = -1;
          }
        }
      }
      if (fd >= 0) ::close(fd);
      std::lock_guard<std::mutex> lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
      acked.insert(acked.end(), ackedHere.begin(), ackedHere.end());
      failed += failedHere;
    });
  }
  for (auto& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double p) {
    return latencies.empty() ? 0.0
                             : latencies[std::min(latencies.size() - 1,
                                                  static_cast<std::size_t>(p / 100 * latencies.size()))];
  };
  std::printf("%zu posts acknowledged, %ld failed, in %.2f s: %.0f posts/s; latency ms p50 %.2f "
              "p99 %.2f max %.2f\n",
              latencies.size(), failed, seconds, latencies.size() / seconds, at(50), at(99),
              latencies.empty() ? 0.0 : latencies.back());
  if (!ackedPath.empty()) {
    std::ofstream out(ackedPath);
    for (const auto& tid : acked) out << tid << "\n";
  }
  return 0;
}
