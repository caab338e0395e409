#ifndef HALV_TOOLS_COLLECT_COLLECT_SERVER_H_
#define HALV_TOOLS_COLLECT_COLLECT_SERVER_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "analytics_body.h"
#include "collect_store.h"
#include "trusted_proxies.h"

namespace halv::collect {

class CollectSession;
class StorePool;

struct ServerOptions {
  TrustedProxies proxies;  // whose X-Forwarded-For names the sender
  std::string logFile;     // empty: standard error; reopened on SIGHUP
};

// The HTTP side of the collector: accepts POST requests at "/" on one address, with keep-alive
// and any number of connections at once, and stores each body through the store pool. Accepted
// bodies are answered 204; refused ones 4xx with a one-line reason (and counted in the store);
// a body the store could not keep, 503. GET /health answers 200 when the store answers a
// query, 503 otherwise.
// Ownership: owns the pool. Threads: the HTTP side runs on the thread that calls Run, one
// handler at a time; bodies are read and stored on the pool's workers, and a connection waits
// for its body's outcome before it reads on. A stop lets every body being stored finish and be
// answered first. Stop may be called from any thread.
class CollectServer {
 public:
  // Binds and listens on `endpoint` (port 0: a free port). Throws boost::system::system_error
  // when the address cannot be used.
  // Throws std::runtime_error when the log file cannot be opened.
  CollectServer(std::unique_ptr<StorePool> pool, const boost::asio::ip::tcp::endpoint& endpoint,
                ServerOptions options);
  ~CollectServer();
  CollectServer(const CollectServer&) = delete;
  CollectServer& operator=(const CollectServer&) = delete;

  // The address actually listened on.
  boost::asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.local_endpoint(); }

  // Serves until Stop, SIGTERM or SIGINT. Stopping closes the listener and idle connections at
  // once, lets a response being written finish, and gives up on the rest after a few seconds.
  void Run();
  void Stop();

  // One line, with the time, to the log (control characters escaped); any thread.
  void Log(const std::string& line);

 private:
  friend class CollectSession;

  // What a request is answered: the status and a one-line reason (empty for none).
  struct Outcome {
    int status;
    std::string reason;
  };
  // Work for a store worker; must not throw.
  using Job = std::function<Outcome(Store&)>;

  void Accept();
  void BeginStop();
  // Runs `job` on a worker, then `session`'s Respond with its outcome on the HTTP thread.
  void StoreThen(std::shared_ptr<CollectSession> session, Job job, bool keepAlive);
  // On a worker: stores the post or refuses it.
  Outcome HandlePost(const Post& post, Store& store);
  static Outcome CheckHealth(Store& store);
  // Counts a refusal; a store failure is logged only.
  void CountRefusal(Store& store, Refusal refusal, int status, std::uint64_t length,
                    const std::string& peer);
  // (Re)opens the log file, if any.
  void OpenLog();
  void AwaitHangup();
  void Register(CollectSession* session);
  void Unregister(CollectSession* session);

  const ServerOptions options_;
  std::mutex logMutex_;
  std::FILE* log_ = nullptr;  // guarded by logMutex_; null: standard error
  // Touched only on the thread in Run (and by the destructor). Declared before the context:
  // sessions whose handlers the context destroys still unregister themselves.
  bool stopping_ = false;
  bool tearingDown_ = false;
  std::vector<CollectSession*> sessions_;

  boost::asio::io_context context_{1};
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::signal_set signals_;
  boost::asio::signal_set hangup_{context_, SIGHUP};
  boost::asio::steady_timer stopDeadline_;
  // After the context: destroyed first, so its workers' last answers still find the context.
  std::unique_ptr<StorePool> pool_;
};

// Parses "HOST:PORT", "[IPV6]:PORT" or "PORT" (loopback) into an endpoint; the host must be a
// numeric address or "localhost". Throws std::invalid_argument with a reason.
boost::asio::ip::tcp::endpoint ParseListenAddress(const std::string& text);

// "http://HOST:PORT", the URL under which the updater reaches `endpoint`.
std::string EndpointUrl(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_COLLECT_SERVER_H_
