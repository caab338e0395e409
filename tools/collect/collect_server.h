#ifndef HALV_TOOLS_COLLECT_COLLECT_SERVER_H_
#define HALV_TOOLS_COLLECT_COLLECT_SERVER_H_

#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "analytics_body.h"

namespace halv::collect {

class CollectDatabase;
class CollectSession;

// The HTTP side of the collector: accepts POST requests at "/" on one address, with keep-alive
// and any number of connections at once, and stores each body through the database. Accepted
// bodies are answered 204; refused ones 4xx with a one-line reason (and counted in the
// database); a body the database could not store, 503.
// Ownership: the database must outlive the server. Threads: everything runs on the thread that
// calls Run, one handler at a time, so a body is always stored completely before a stop request
// is looked at; Stop may be called from any thread.
class CollectServer {
 public:
  // Binds and listens on `endpoint` (port 0: a free port). Throws boost::system::system_error
  // when the address cannot be used.
  CollectServer(CollectDatabase& database, const boost::asio::ip::tcp::endpoint& endpoint);
  ~CollectServer();
  CollectServer(const CollectServer&) = delete;
  CollectServer& operator=(const CollectServer&) = delete;

  // The address actually listened on.
  boost::asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.local_endpoint(); }

  // Serves until Stop, SIGTERM or SIGINT. Stopping closes the listener and idle connections at
  // once, lets a response being written finish, and gives up on the rest after a few seconds.
  void Run();
  void Stop();

 private:
  friend class CollectSession;

  void Accept();
  void BeginStop();
  // Stores `body` or refuses it; sets `status` and `reason` (empty for success).
  void HandlePost(const std::string& body, const std::string& peer, int& status,
                  std::string& reason);
  // Counts a refusal; a database failure is reported on standard error only.
  void CountRefusal(Refusal refusal, int status, std::uint64_t length, const std::string& peer);
  void Register(CollectSession* session);
  void Unregister(CollectSession* session);

  CollectDatabase& database_;
  // Touched only on the thread in Run (and by the destructor). Declared before the context:
  // sessions whose handlers the context destroys still unregister themselves.
  bool stopping_ = false;
  bool tearingDown_ = false;
  std::vector<CollectSession*> sessions_;

  boost::asio::io_context context_{1};
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer stopDeadline_;
};

// Parses "HOST:PORT", "[IPV6]:PORT" or "PORT" (loopback) into an endpoint; the host must be a
// numeric address or "localhost". Throws std::invalid_argument with a reason.
boost::asio::ip::tcp::endpoint ParseListenAddress(const std::string& text);

// "http://HOST:PORT", the URL under which the updater reaches `endpoint`.
std::string EndpointUrl(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_COLLECT_SERVER_H_
