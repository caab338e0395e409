#include "http/curl_http_request.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace halv {
namespace {

// Owns the process-wide libcurl state: initialised on first use, cleaned up at exit.
class CurlGlobal {
 public:
  // A write to a connection the peer closed must fail with EPIPE rather than end the process;
  // with SIGPIPE ignored once here, every request can tell libcurl not to save and restore the
  // signal's handler around each transfer (CURLOPT_NOSIGNAL), as it otherwise does.
  CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {
    std::signal(SIGPIPE, SIG_IGN);
  }
  ~CurlGlobal() {
    if (ok_) curl_global_cleanup();
  }
  bool ok() const { return ok_; }

 private:
  const bool ok_;
};

// Returned by the progress hook to make libcurl abort a cancelled transfer.
constexpr int kAbortTransfer = 42;

HttpRequestResult MapCurlCode(CURLcode code, std::int32_t responseCode) {
  switch (code) {
    case CURLE_OK:
      return HttpRequestResult::Success;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_NOT_BUILT_IN:
      return HttpRequestResult::InvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return HttpRequestResult::ResolveFailed;
    case CURLE_COULDNT_CONNECT:
      return HttpRequestResult::ConnectFailed;
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_HTTP_RETURNED_ERROR:
    case CURLE_REMOTE_FILE_NOT_FOUND:
      return static_cast<std::uint32_t>(responseCode) < 500 ? HttpRequestResult::ClientError
                                                            : HttpRequestResult::ServerError;
    case CURLE_PARTIAL_FILE:
    case CURLE_RANGE_ERROR:
      return HttpRequestResult::Incomplete;
    case CURLE_WRITE_ERROR:
      return HttpRequestResult::WriteFailed;
    case CURLE_OUT_OF_MEMORY:
      return HttpRequestResult::OutOfMemory;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpRequestResult::TimedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return HttpRequestResult::NetworkError;
    default:
      return HttpRequestResult::OtherError;
  }
}

// Where a request that ended with `code` failed. With a proxy, every connection goes to the
// proxy, so a connection that cannot be made is the proxy's failure.
HttpFailureSite FailureSite(CURLcode code, bool viaProxy) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_PROXY:
      return HttpFailureSite::Proxy;
    case CURLE_COULDNT_CONNECT:
      return viaProxy ? HttpFailureSite::Proxy : HttpFailureSite::Server;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
      return HttpFailureSite::TlsHandshake;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return HttpFailureSite::TlsCertificate;
    default:
      return HttpFailureSite::Server;
  }
}

// Bytes libcurl receives at once per request handle; 256 KiB, within its 10 MiB limit.
constexpr long kReceiveBufferSize = 256L * 1024;

}  // namespace

bool InitializeCurl() {
  static const CurlGlobal global;
  return global.ok();
}

CurlHttpRequest::CurlHttpRequest(const HttpRequestParams& params, const std::string& proxy)
    : HttpRequest(params, proxy),
      handle_(InitializeCurl() ? curl_easy_init() : nullptr),
      status_(HttpRequestResult::NotStarted, 0) {
  if (!InitializeCurl()) throw std::runtime_error("libcurl could not be initialized");
  if (handle_ == nullptr) throw std::runtime_error("curl_easy_init failed");
  std::lock_guard<std::mutex> lock(mutex_);
  Configure();
}

CurlHttpRequest::~CurlHttpRequest() {
  curl_easy_cleanup(handle_);
  curl_slist_free_all(headers_);
}

void CurlHttpRequest::Configure() {
  const HttpRequestParams& params = *params_;
  curl_easy_reset(handle_);
  curl_slist_free_all(headers_);
  headers_ = nullptr;

  curl_easy_setopt(handle_, CURLOPT_URL, params.url.c_str());
  curl_easy_setopt(handle_, CURLOPT_USERAGENT, params.userAgent.c_str());
  if (params.method == HttpMethod::Post) {
    curl_easy_setopt(handle_, CURLOPT_POST, 1L);
    // The size first: a body may hold NUL bytes, and POSTFIELDS points into params_, which stays
    // unchanged until the next Configure.
    curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(params.body.size()));
    curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, params.body.c_str());
    headers_ = curl_slist_append(nullptr, ("Content-Type: " + params.contentType).c_str());
  }
  if (params.rangeStart > 0 || params.rangeEnd < HttpRequestParams::kRangeEndOpen) {
    const std::string range =
        std::to_string(params.rangeStart) + "-" + std::to_string(params.rangeEnd);
    curl_easy_setopt(handle_, CURLOPT_RANGE, range.c_str());
  } else if (!params.acceptEncoding.empty()) {
    curl_easy_setopt(handle_, CURLOPT_ACCEPT_ENCODING, params.acceptEncoding.c_str());
  }
  // Bodies reach the writer in pieces of up to this size: with libcurl's 16 KiB default a
  // chunk of a file took one receive and one positioned write per 16 KiB, and the writes of
  // concurrent chunks queued on the file's lock.
  curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &CurlHttpRequest::WriteHook);
  curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &CurlHttpRequest::HeaderHook);
  curl_easy_setopt(handle_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, &CurlHttpRequest::ProgressHook);
  curl_easy_setopt(handle_, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle_, CURLOPT_MAXREDIRS, 1L);
  curl_easy_setopt(handle_, CURLOPT_FAILONERROR, 1L);
  // SIGPIPE is ignored process-wide (CurlGlobal); the threaded resolver needs no alarm signal.
  curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(params.connectTimeout));
  curl_easy_setopt(handle_, CURLOPT_TIMEOUT, static_cast<long>(params.timeout));
  if (params.lowSpeedLimit > 0 && params.lowSpeedTime > 0) {
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(params.lowSpeedLimit));
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(params.lowSpeedTime));
  }
  // Always explicit, also when empty: left unset, libcurl would take a proxy from http_proxy or
  // all_proxy and skip one for hosts in no_proxy, overriding the proxy factory's decision.
  curl_easy_setopt(handle_, CURLOPT_PROXY, proxy_.c_str());
  curl_easy_setopt(handle_, CURLOPT_NOPROXY, "");
  curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
  // TLS is verified (libcurl's default) against the system's store, or against the file of
  // kCaFileVariable when a test hands in its own authority. A redirect may not leave TLS.
  if (params.url.compare(0, 8, "https://") == 0) {
    curl_easy_setopt(handle_, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  }
  static const std::string caFile = [] {
    const char* value = std::getenv(kCaFileVariable);
    return std::string(value ? value : "");
  }();
  if (!caFile.empty()) curl_easy_setopt(handle_, CURLOPT_CAINFO, caFile.c_str());
}

HttpRequestStatus CurlHttpRequest::Perform() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.result != HttpRequestResult::NotStarted) return status_;
    performing_ = true;
    status_.result = HttpRequestResult::InProgress;
  }
  const CURLcode code = curl_easy_perform(handle_);
  Complete(code);
  return GetStatus();
}

void CurlHttpRequest::Complete(CURLcode code) {
  std::lock_guard<std::mutex> lock(mutex_);
  long responseCode = 0;
  if (curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &responseCode) == CURLE_OK) {
    status_.responseCode = static_cast<std::int32_t>(responseCode);
  }
  char* ip = nullptr;
  if (curl_easy_getinfo(handle_, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr) {
    status_.ip = ip;
  }
  performing_ = false;
  if (status_.result != HttpRequestResult::InProgress) return;
  status_.result = MapCurlCode(code, status_.responseCode);
  if (code != CURLE_OK) {
    // A status is named only when one came: "(HTTP 0)" would read as an answer of the server.
    status_.errorDetails = "libcurl error " + std::to_string(static_cast<int>(code));
    if (status_.responseCode != 0) {
      status_.errorDetails += " (HTTP " + std::to_string(status_.responseCode) + ")";
    }
    status_.proxy = proxy_;
    status_.failureSite = FailureSite(code, !proxy_.empty());
  }
}

HttpRequestStatus CurlHttpRequest::GetStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

void CurlHttpRequest::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status_.result == HttpRequestResult::NotStarted ||
      status_.result == HttpRequestResult::InProgress) {
    status_.result = HttpRequestResult::Cancelled;
  }
}

bool CurlHttpRequest::Reset(const HttpRequestParams& params, const std::string& proxy) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status_.result == HttpRequestResult::InProgress || performing_) return false;
  params_ = std::make_unique<HttpRequestParams>(params);
  proxy_ = proxy;
  status_ = HttpRequestStatus(HttpRequestResult::NotStarted, 0);
  Configure();
  return true;
}

void CurlHttpRequest::Accumulate(const HttpRequestStatus& writeStatus) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_.bytesWritten += writeStatus.bytesWritten;
  if (status_.result == HttpRequestResult::InProgress &&
      writeStatus.result != HttpRequestResult::Success) {
    status_.result = writeStatus.result == HttpRequestResult::Incomplete ||
                             writeStatus.result == HttpRequestResult::OutOfMemory
                         ? writeStatus.result
                         : HttpRequestResult::WriteFailed;
    status_.errorDetails = writeStatus.errorDetails;
  }
}

std::size_t CurlHttpRequest::WriteHook(char* data, std::size_t size, std::size_t count,
                                       void* request) {
  auto* self = static_cast<CurlHttpRequest*>(request);
  HttpWriteCallback* callback;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->status_.result != HttpRequestResult::InProgress) return 0;
    callback = self->params_->writeCallback;
  }
  const HttpRequestStatus written = callback->Write(data, size * count);
  self->Accumulate(written);
  // A refused block stops the transfer even when the callback counted every byte as taken.
  if (written.result != HttpRequestResult::Success) return 0;
  return static_cast<std::size_t>(written.bytesWritten);
}

std::size_t CurlHttpRequest::HeaderHook(char* data, std::size_t size, std::size_t count,
                                        void* request) {
  auto* self = static_cast<CurlHttpRequest*>(request);
  const std::size_t length = size * count;
  std::string line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  static const std::string kName = "content-range:";
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (line.compare(0, 5, "HTTP/") == 0) {
    self->status_.contentRange.clear();
  } else if (line.size() >= kName.size() &&
             std::equal(kName.begin(), kName.end(), line.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
             })) {
    std::size_t first = kName.size();
    while (first < line.size() && (line[first] == ' ' || line[first] == '\t')) ++first;
    self->status_.contentRange = line.substr(first);
  }
  return length;
}

int CurlHttpRequest::ProgressHook(void* request, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* self = static_cast<CurlHttpRequest*>(request);
  return self->GetStatus().result == HttpRequestResult::InProgress ? 0 : kAbortTransfer;
}

}  // namespace halv
