#ifndef HALV_HTTP_HTTP_REQUEST_H_
#define HALV_HTTP_HTTP_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>

namespace halv {

// Outcome of a request, and of one block handed to a write callback. Stored in 8 bits; written
// into property trees and JSON as its decimal number.
enum class HttpRequestResult : std::uint8_t {
  NotStarted = 0,     // configured, not yet performed
  InProgress = 1,     // being performed
  Success = 2,        // completed without error (for a write: block accepted)
  Cancelled = 3,      // cancelled before or during the transfer
  InvalidUrl = 4,     // unsupported protocol, malformed URL, or a libcurl feature missing
  ResolveFailed = 5,  // proxy or host name cannot be resolved
  ConnectFailed = 6,  // no connection could be made
  ClientError = 7,    // HTTP error status below 500, remote access denied, file not found
  ServerError = 8,    // HTTP error status 500 or above
  NetworkError = 9,   // failure while sending or receiving
  WriteFailed = 10,   // the write callback failed or took fewer bytes than offered
  Incomplete = 11,    // the transfer ended early, or the range was refused
  TimedOut = 12,      // an operation time-out or the low-speed limit struck
  OutOfMemory = 13,   // memory exhausted
  OtherError = 14,    // any other libcurl failure
};

// Where a request failed; see HttpRequestStatus::failureSite.
enum class HttpFailureSite : std::uint8_t {
  Server = 0,          // the URL's server, or nothing in particular
  Proxy = 1,           // the proxy could not be resolved, reached, or refused to go on
  TlsHandshake = 2,    // no TLS session came about: most often a server of plain HTTP
  TlsCertificate = 3,  // the server's certificate could not be verified
};

// The decimal number of `result`, as property trees and JSON carry it.
inline int ToNumber(HttpRequestResult result) { return static_cast<int>(result); }

// Outcome of a request so far, or of one write. A plain value: copy freely.
struct HttpRequestStatus {
  HttpRequestStatus() = default;
  HttpRequestStatus(HttpRequestResult result, std::uint64_t bytesWritten)
      : result(result), bytesWritten(bytesWritten) {}

  HttpRequestResult result = HttpRequestResult::NotStarted;
  std::uint64_t bytesWritten = 0;  // body bytes consumed by the write callback
  std::int32_t responseCode = 0;   // last HTTP status libcurl reported; 0 until known
  std::string ip;                  // primary IP of the last connection; empty until known
  std::string errorDetails;        // text of the failure; empty on success
  // Where a failure happened, when that was not at the URL's server itself, so that the message
  // points at what to fix: the proxy the request went through, or TLS (the handshake, as with a
  // server that speaks plain HTTP, or the certificate).
  HttpFailureSite failureSite = HttpFailureSite::Server;
  std::string proxy;  // the proxy the request went through; empty when it went direct
  // The Content-Range header of the last response, as sent ("bytes 0-99/1000"); empty when the
  // response had none. Lets a ranged request check that it got the range it asked for.
  std::string contentRange;
};

// The failure of a request for `url` in words that name the URL or its host ("no such document
// at URL", "the server HOST refused the connection", "URL answered HTTP 500", ...), or the proxy
// or TLS when the failure was theirs, followed by the HTTP layer's own details in parentheses,
// for people and the log alike. Stateless; any thread.
std::string DescribeRequestFailure(const std::string& url, const HttpRequestStatus& status);

// The server ("HOST[:PORT]") that `text` says is not answering: a text that holds a failure
// in the words of DescribeRequestFailure in which a server reached directly refused the
// connection or did not answer in time. Such a failure is the server's, not the user's
// connection's, since the network carried the attempt. Empty for any other text. Any thread.
std::string ServerNotAnswering(const std::string& text);

enum class HttpMethod { Get = 0, Post = 1 };

// The one user agent of every request (analytics posts included) and of the proxy discovery:
// "Mirthwell Halvane Delivery TransferService 1.1.0.2 (build VERSION)", VERSION being the
// build's version, so that a collector tells the builds apart. Process-wide, any thread.
const std::string& DefaultUserAgent();

// Receives a response body block by block. Implementations are owned by the caller of the
// request and must outlive its use; Write is called on the thread running Perform.
class HttpWriteCallback {
 public:
  virtual ~HttpWriteCallback() = default;

  // Takes `length` body bytes at `data`, in body order. Result Success with bytesWritten ==
  // length lets the transfer go on; fewer bytes or any other result stop the request, and the
  // status's errorDetails become the request's.
  virtual HttpRequestStatus Write(const char* data, std::size_t length) = 0;
};

// What one request asks for. A value record: the request keeps its own copy.
struct HttpRequestParams {
  static constexpr std::uint64_t kRangeEndOpen = std::numeric_limits<std::uint64_t>::max();

  HttpRequestParams(std::string url, HttpWriteCallback* writeCallback)
      : url(std::move(url)), writeCallback(writeCallback) {}

  std::string url;                   // absolute URL
  HttpWriteCallback* writeCallback;  // not owned; must outlive the request's use of it
  HttpMethod method = HttpMethod::Get;
  std::string body;                                               // POST body
  std::string contentType = "application/x-www-form-urlencoded";  // sent only with POST
  std::string acceptEncoding;              // libcurl's accept-encoding; empty means none
  std::uint64_t rangeStart = 0;            // first byte of a byte range
  std::uint64_t rangeEnd = kRangeEndOpen;  // last byte; all bits set means up to the end
  std::int32_t connectTimeout = 5;         // seconds
  std::int32_t timeout = 0;                // seconds for the whole request; 0 means none
  std::int32_t lowSpeedLimit = 0;          // bytes per second
  std::int32_t lowSpeedTime = 0;           // seconds
  std::string userAgent = DefaultUserAgent();
};

// One synchronous, cancellable HTTP GET or POST.
// Ownership: shared pointers; not copyable. Threads: Perform on one worker thread at a time;
// GetStatus and Cancel from any thread at any time; Reset only while the request is idle.
class HttpRequest {
 public:
  HttpRequest(const HttpRequestParams& params, std::string proxy);
  // A request that only wraps another: no params, no proxy.
  HttpRequest();
  virtual ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Blocks for the whole transfer and returns the final status. Performs at most once per
  // configuration: a request that is not NotStarted returns its current status at once.
  virtual HttpRequestStatus Perform() = 0;
  // Copy of the current status.
  virtual HttpRequestStatus GetStatus() = 0;
  // Turns a NotStarted or InProgress request into Cancelled; a running transfer stops at its
  // next progress tick or body block. Any other status is left alone.
  virtual void Cancel() = 0;
  // Reconfigures an idle request for a new use (status NotStarted, 0 bytes). Returns false,
  // changing nothing, while the request runs.
  virtual bool Reset(const HttpRequestParams& params, const std::string& proxy) = 0;

 protected:
  // Absent in a wrapper. Guarded by the implementation's mutex.
  std::unique_ptr<HttpRequestParams> params_;
  // Host and port of the proxy; empty means a direct connection.
  std::string proxy_;
};

}  // namespace halv

#endif  // HALV_HTTP_HTTP_REQUEST_H_
