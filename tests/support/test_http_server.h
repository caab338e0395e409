#ifndef HALV_TESTS_SUPPORT_TEST_HTTP_SERVER_H_
#define HALV_TESTS_SUPPORT_TEST_HTTP_SERVER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace halv::test {

// One request as the server saw it.
struct RecordedRequest {
  std::string method;                          // "GET", "POST", ...
  std::string target;                          // as sent, with the query
  std::string path;                            // target without the query
  std::map<std::string, std::string> headers;  // names in lower case
  std::string range;                           // the Range header's value; empty when none was sent
  std::string body;                            // POST body
  int connection = 0;  // 1-based number of the connection it came on, in accept order
};

// What goes wrong when a path is requested. Every field at its default means "serve normally";
// several faults may be combined (for example a redirect, then a slow drip).
struct HttpFault {
  int status = 0;                   // answer this status (404, 503, ...) with a short body
  bool stallBeforeHeaders = false;  // read the request, answer nothing until Stop
  bool stallMidBody = false;        // send headers and the first half of the body, then wait
  bool dropMidBody = false;         // send headers and the first half of the body, then close
  // Send headers and the first half of the body, then the rest once ReleaseHeld was called
  // (nothing more when the server stops first).
  bool holdMidBody = false;
  bool ignoreRange = false;    // answer 200 with the whole content whatever was asked
  std::size_t extraBytes = 0;  // append this many bytes beyond what was asked
  bool corrupt = false;        // invert the first byte of the body
  // A ranged answer that is not the asked range yet well formed: this many bytes fewer at its
  // end, or the asked length served from this many bytes earlier; Content-Range and
  // Content-Length always describe what is sent.
  std::size_t missingBytes = 0;
  std::uint64_t shiftRange = 0;
  int redirects = 0;          // answer 302 this many times before serving (hop chain)
  std::size_t dripBytes = 0;  // with dripInterval: send the body this many bytes at a time
  std::chrono::milliseconds dripInterval{0};
  int times = -1;  // how many requests the fault applies to; -1 = all
};

// An HTTP/1.1 server on 127.0.0.1 with an ephemeral port, for tests and benchmarks: serves byte
// ranges of content registered under paths, accepts POST bodies, records every request, counts
// accepted connections and injects faults per path. Connections are kept alive unless a fault
// closes them.
//
// GET (or HEAD-less) of a registered path answers 200 with the whole content, or 206 with the
// asked "bytes=a-b" / "bytes=a-" range (the end is clamped; a start past the end answers 416).
// GET of an unknown path answers 404. POST answers 200 with the path's content when it has
// one, else 200 with an empty body. A redirect fault sends "Location: <path>?hop=N".
//
// Threads: Start, Stop and the destructor from the owning test thread; every other method from
// any thread. The server runs an accept thread and one thread per connection; Stop wakes every
// stalled or dripping connection, closes every socket and joins every thread.
class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer();  // Stops if running.
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // Takes a port on 127.0.0.1 that the system picks, without listening: connections to it are
  // refused until Start (a server that comes up late). Returns the port. Throws
  // std::runtime_error on failure.
  std::uint16_t Bind();
  // Listens on the port of Bind, or on one the system picks. Throws std::runtime_error on failure.
  void Start();
  void Stop();

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path) const;

  // Serves `content` under `path` (which starts with "/").
  void AddContent(const std::string& path, std::string content);
  // Serves `size` bytes under `path`, each computed from the path and its offset: see
  // GeneratedContent. Costs no memory per byte, so a 1 GiB body is cheap.
  void AddGeneratedContent(const std::string& path, std::uint64_t size);
  // The bytes that AddGeneratedContent serves for `path` from `offset` on.
  static std::string GeneratedContent(const std::string& path, std::uint64_t offset,
                                      std::size_t length);

  void SetFault(const std::string& path, const HttpFault& fault);
  // Lets every held answer (holdMidBody), now and later, send the rest of its body.
  void ReleaseHeld();
  void ClearFault(const std::string& path);

  // Every request recorded so far, in arrival order.
  std::vector<RecordedRequest> Requests() const;
  std::vector<RecordedRequest> RequestsFor(const std::string& path) const;
  // Blocks until at least `count` requests have arrived (each recorded before its answer is
  // sent) or `limit` passes; returns whether they arrived.
  bool WaitForRequests(std::size_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  // Connections accepted since Start.
  int ConnectionCount() const { return connections_.load(); }

 private:
  struct Content;
  struct Connection;

  void AcceptLoop();
  void Serve(Connection* connection, int number);
  // Handles one parsed request; returns false when the connection must close.
  bool Answer(int fd, const RecordedRequest& request);
  bool SendAll(int fd, const char* data, std::size_t length);
  bool SendBody(int fd, const Content& content, std::uint64_t offset, std::uint64_t length,
                const HttpFault& fault, std::uint64_t stopAfter);
  // Waits until Stop; a stalled connection answers nothing more.
  void WaitForStop();
  bool WaitForStopFor(std::chrono::milliseconds interval);
  // Waits until ReleaseHeld or Stop; true for ReleaseHeld.
  bool WaitForRelease();
  // Takes one use of the fault for `path`, if any.
  HttpFault TakeFault(const std::string& path);

  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread acceptThread_;
  // Touched by the accept thread, and by Stop after joining it.
  std::list<std::unique_ptr<Connection>> connectionList_;
  std::atomic<int> connections_{0};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // Guarded by mutex_.
  bool stopping_ = false;
  bool released_ = false;
  std::map<std::string, std::shared_ptr<const Content>> contents_;
  std::map<std::string, HttpFault> faults_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_TEST_HTTP_SERVER_H_
