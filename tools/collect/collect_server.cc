#include "collect_server.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "collect_store.h"
#include "report_format.h"
#include "store_pool.h"

namespace halv::collect {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

namespace {

// A connection may sit idle between requests, or trickle one request, this long.
constexpr std::chrono::seconds kIdleTimeout{60};
constexpr std::chrono::seconds kRequestTimeout{30};
// After a stop request, responses still being written get this long.
constexpr std::chrono::seconds kStopGrace{5};
constexpr std::uint32_t kMaxHeaderBytes = 16 * 1024;
// What a refused client may still send before its connection is closed.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::uint64_t kLingerBytes = std::uint64_t{16} << 20;

int StatusFor(Refusal refusal) {
  switch (refusal) {
    case Refusal::NotJson:
      return 400;
    case Refusal::UnknownShape:
      return 422;
    case Refusal::TooLarge:
      return 413;
    case Refusal::BadRequest:
      return 400;
  }
  return 400;
}

}  // namespace

// One connection: reads requests one after another (keep-alive) and answers each.
// Ownership: shared pointers held by its pending asynchronous operations; registered with the
// server for its lifetime. Threads: the server's.
class CollectSession : public std::enable_shared_from_this<CollectSession> {
 public:
  CollectSession(CollectServer& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)) {
    boost::system::error_code ec;
    remote_ = stream_.socket().remote_endpoint(ec);
    known_ = !ec;
    server_.Register(this);
  }
  ~CollectSession() { server_.Unregister(this); }

  void Start() { ReadHeader(); }

  // Closes an idle connection now; one writing a response closes after it.
  void Stop() {
    if (busy_) return;
    boost::system::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

 private:
  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(kMaxBodyBytes);
    stream_.expires_after(kIdleTimeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    if (ec) return OnReadError(ec);
    const auto& request = parser_->get();
    // A monitor's HEAD gets the status and headers of a GET, without the body.
    head_ = request.method() == http::verb::head;
    health_ = request.target() == "/health";
    if (request.target() == "/health") {
      if (request.method() != http::verb::get && !head_) {
        return Refuse(Refusal::BadRequest, 405, "only GET and HEAD are answered here");
      }
    } else if (request.target() != "/") {
      return Refuse(Refusal::BadRequest, 404, "only / and /health are served");
    } else if (request.method() != http::verb::post) {
      return Refuse(Refusal::BadRequest, 405, "only POST is accepted");
    }
    const auto length = parser_->content_length();
    if (length && *length > kMaxBodyBytes) {
      return Refuse(Refusal::TooLarge, 413, "body over 1 MiB", *length);
    }
    if (beast::iequals(request[http::field::expect], "100-continue")) {
      busy_ = true;
      continue_ = {http::status::continue_, request.version()};
      http::async_write(stream_, continue_,
                        [self = shared_from_this()](beast::error_code ec, std::size_t) {
                          self->busy_ = false;
                          if (ec || self->server_.stopping_) return self->Close();
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    stream_.expires_after(kRequestTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnBody(ec); });
  }

  void OnBody(beast::error_code ec) {
    if (ec) return OnReadError(ec);
    const std::string sender = Sender();  // before the parser gives its message away
    auto request = parser_->release();
    const bool keepAlive = request.keep_alive();
    if (request.target() == "/health") {
      return StoreThen(&CollectServer::CheckHealth, keepAlive);
    }
    Post post{std::move(request.body()), sender, Clean(request[http::field::user_agent])};
    StoreThen([server = &server_,
               post = std::move(post)](Store& store) { return server->HandlePost(post, store); },
              keepAlive);
  }

  void OnReadError(beast::error_code ec) {
    if (ec == http::error::body_limit) {
      // The parser checks a declared length against the limit before any body byte arrives.
      const auto declared = parser_->content_length();
      return Refuse(Refusal::TooLarge, 413, "body over 1 MiB",
                    declared ? *declared : kMaxBodyBytes + 1);
    }
    if (ec == http::error::header_limit) {
      return Refuse(Refusal::BadRequest, 431, "request header too large");
    }
    // A peer that went away, an idle connection timing out or a stop: nothing to answer.
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == asio::error::operation_aborted || ec == asio::error::connection_reset ||
        ec == asio::error::eof || ec == http::error::partial_message || server_.stopping_) {
      return Close();
    }
    Refuse(Refusal::BadRequest, 400, "malformed HTTP request");
  }

  // Answers and closes: after a refusal the rest of the request is not read.
  void Refuse(Refusal refusal, int status, const std::string& reason, std::uint64_t length = 0) {
    StoreThen(
        [server = &server_, refusal, status, reason, length, peer = Sender()](Store& store) {
          server->CountRefusal(store, refusal, status, length, peer);
          return CollectServer::Outcome{status, reason};
        },
        false);
  }

  // The sender of the current request: the peer, or who a trusted proxy says it forwards.
  std::string Sender() const {
    if (!known_) return "unknown";
    const std::string forwarded =
        parser_ ? std::string(parser_->get()["X-Forwarded-For"]) : std::string();
    return server_.options_.proxies.Sender(remote_.address(), remote_.port(), forwarded);
  }

  // Runs `job` on a store worker, then answers its outcome. Busy until then: a stop waits.
  void StoreThen(CollectServer::Job job, bool keepAlive) {
    busy_ = true;
    server_.StoreThen(shared_from_this(), std::move(job), keepAlive);
  }

  // A header value as it may be stored: text no store could keep (a NUL, bytes that are not
  // UTF-8) is kept in its escaped form instead.
  static std::string Clean(boost::beast::string_view value) {
    std::string text(value.data(), value.size());
    std::uint32_t code;
    for (std::size_t pos = 0; pos < text.size();) {
      if (!NextUtf8(text, pos, code) || code == 0) return Printable(text);
    }
    return text;
  }

  // Closing a socket with unread bytes resets the connection, and a reset can destroy the
  // answer before the client reads it. So after a refusal the collector stops sending, then
  // reads and discards what the client still sends, for a bounded time and amount, and closes.
  void LingerClose() {
    boost::system::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kLingerTime);
    Discard();
  }

  void Discard() {
    discard_.resize(64 * 1024);
    stream_.async_read_some(
        asio::buffer(discard_), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
          self->discarded_ += n;
          if (ec || self->discarded_ > kLingerBytes || self->server_.stopping_) {
            return self->Close();
          }
          self->Discard();
        });
  }

  // Also the end of a store job (with `busy_` set): from here the session is the HTTP thread's.
 public:
  void Respond(int status, const std::string& reason, bool keepAlive) {
    response_ = {};
    response_.result(static_cast<unsigned>(status));
    response_.version(11);
    response_.set(http::field::server, "halvane-collect");
    if (status == 405) response_.set(http::field::allow, health_ ? "GET, HEAD" : "POST");
    if (!reason.empty()) {
      response_.set(http::field::content_type, "text/plain; charset=utf-8");
      response_.body() = reason + "\n";
    }
    keepAlive = keepAlive && !server_.stopping_;
    response_.keep_alive(keepAlive);
    response_.prepare_payload();
    // The length stays that of the GET's body, which HEAD does not send.
    if (head_) response_.body().clear();
    busy_ = true;
    stream_.expires_after(kRequestTimeout);
    http::async_write(stream_, response_,
                      [self = shared_from_this(), keepAlive](beast::error_code ec, std::size_t) {
                        self->busy_ = false;
                        if (ec || self->server_.stopping_) return self->Close();
                        if (!keepAlive) return self->LingerClose();
                        self->ReadHeader();
                      });
  }

 private:
  void Close() {
    boost::system::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.socket().close(ignored);
  }

  CollectServer& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::empty_body> continue_;
  http::response<http::string_body> response_;
  tcp::endpoint remote_;
  bool known_ = false;
  bool busy_ = false;
  bool head_ = false;    // the request being answered is a HEAD
  bool health_ = false;  // the request being answered is for /health
  std::vector<char> discard_;
  std::uint64_t discarded_ = 0;
};

CollectServer::CollectServer(std::unique_ptr<StorePool> pool, const tcp::endpoint& endpoint,
                             ServerOptions options)
    : options_(std::move(options)),
      acceptor_(context_),
      signals_(context_, SIGTERM, SIGINT),
      stopDeadline_(context_),
      pool_(std::move(pool)) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(asio::socket_base::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(asio::socket_base::max_listen_connections);
  OpenLog();
}

namespace {

std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

CollectServer::~CollectServer() {
  // Jobs still queued run now and post their answers into the context, which never runs them;
  // the context goes after this body and takes the handlers of unfinished sessions with it.
  // Their unregistering must not touch the timer, which is gone by then.
  pool_.reset();
  tearingDown_ = true;
  if (log_) std::fclose(log_);
}

void CollectServer::Run() {
  signals_.async_wait([this](const boost::system::error_code& ec, int) {
    if (!ec) BeginStop();
  });
  AwaitHangup();
  Accept();
  context_.run();
}

void CollectServer::Stop() {
  asio::post(context_, [this] { BeginStop(); });
}

void CollectServer::Accept() {
  acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (stopping_) return;
    if (!ec) {
      std::make_shared<CollectSession>(*this, std::move(socket))->Start();
    } else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
               ec == asio::error::no_memory) {
      // Out of file descriptors: keep serving the open connections and try again shortly.
      Log("accept: " + ec.message());
      auto pause = std::make_shared<asio::steady_timer>(context_, std::chrono::milliseconds(100));
      pause->async_wait([this, pause](const boost::system::error_code&) { Accept(); });
      return;
    }
    Accept();
  });
}

void CollectServer::BeginStop() {
  if (stopping_) return;
  stopping_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  signals_.cancel(ignored);
  hangup_.cancel(ignored);
  // Stop may close sessions, which unregister themselves: walk a copy.
  for (CollectSession* session : std::vector<CollectSession*>(sessions_)) session->Stop();
  if (!sessions_.empty()) {
    stopDeadline_.expires_after(kStopGrace);
    stopDeadline_.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) context_.stop();
    });
  }
}

void CollectServer::StoreThen(std::shared_ptr<CollectSession> session, Job job, bool keepAlive) {
  // The context must not run out of work while the job is away from it.
  auto work = asio::make_work_guard(context_);
  pool_->Submit([this, session = std::move(session), job = std::move(job), keepAlive,
                 work = std::move(work)](Store& store) mutable {
    Outcome outcome = job(store);
    asio::post(context_, [session = std::move(session), outcome = std::move(outcome), keepAlive] {
      session->Respond(outcome.status, outcome.reason, keepAlive);
    });
    work.reset();
  });
}

CollectServer::Outcome CollectServer::HandlePost(const Post& post, Store& store) {
  try {
    store.StoreBody(post, ParseAnalyticsBody(post.text));
    return {204, ""};
  } catch (const BodyRefused& refused) {
    const int status = StatusFor(refused.refusal());
    CountRefusal(store, refused.refusal(), status, post.text.size(), post.peer);
    return {status, refused.what()};
  } catch (const std::exception& error) {
    // The store failed (full disk, broken file, server gone): the sender may try again later.
    Log("cannot store a body from " + post.peer + ": " + error.what());
    return {503, "cannot store the body now"};
  }
}

CollectServer::Outcome CollectServer::CheckHealth(Store& store) {
  try {
    store.Ping();
    return {200, "ok"};
  } catch (const std::exception&) {
    return {503, "the store does not answer"};
  }
}

void CollectServer::CountRefusal(Store& store, Refusal refusal, int status, std::uint64_t length,
                                 const std::string& peer) {
  try {
    store.StoreRefusal(refusal, status, length, peer);
  } catch (const std::exception& error) {
    Log(std::string("cannot count a refusal: ") + error.what());
  }
}

void CollectServer::Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex_);
  std::fprintf(log_ ? log_ : stderr, "%s halvane-collect: %s\n", Now().c_str(),
               Printable(line).c_str());
  std::fflush(log_ ? log_ : stderr);
}

void CollectServer::OpenLog() {
  if (options_.logFile.empty()) return;
  std::FILE* file = std::fopen(options_.logFile.c_str(), "ae");
  if (!file) {
    throw std::runtime_error(options_.logFile + ": cannot open the log: " + std::strerror(errno));
  }
  std::lock_guard<std::mutex> lock(logMutex_);
  if (log_) std::fclose(log_);
  log_ = file;
}

void CollectServer::AwaitHangup() {
  hangup_.async_wait([this](const boost::system::error_code& ec, int) {
    if (ec) return;
    // A log rotator moved the file away: write to a new one under the configured name.
    try {
      OpenLog();
      Log("log reopened");
    } catch (const std::exception& error) {
      Log(error.what());
    }
    AwaitHangup();
  });
}

void CollectServer::Register(CollectSession* session) { sessions_.push_back(session); }

void CollectServer::Unregister(CollectSession* session) {
  sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), session), sessions_.end());
  if (stopping_ && sessions_.empty() && !tearingDown_) stopDeadline_.cancel();
}

tcp::endpoint ParseListenAddress(const std::string& text) {
  std::string host = "127.0.0.1";
  std::string port = text;
  const auto colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos ||
      std::stoul(port) > 65535) {
    throw std::invalid_argument("'" + text + "': the port must be a number from 0 to 65535");
  }
  if (host == "localhost") host = "127.0.0.1";
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(host, ec);
  if (ec) throw std::invalid_argument("'" + text + "': the host must be a numeric address");
  return tcp::endpoint(address, static_cast<unsigned short>(std::stoul(port)));
}

std::string EndpointUrl(const tcp::endpoint& endpoint) {
  const std::string host = endpoint.address().is_v6() ? "[" + endpoint.address().to_string() + "]"
                                                      : endpoint.address().to_string();
  return "http://" + host + ":" + std::to_string(endpoint.port());
}

}  // namespace halv::collect
