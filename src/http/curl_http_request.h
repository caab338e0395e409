#ifndef HALV_HTTP_CURL_HTTP_REQUEST_H_
#define HALV_HTTP_CURL_HTTP_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <curl/curl.h>

#include "http/http_request.h"

namespace halv {

// The environment variable naming a file of PEM certificates that replaces the system's store
// for verifying HTTPS servers, so that tests trust their own authority without installing it.
// Read once, by the first request.
inline constexpr char kCaFileVariable[] = "HALV_CA_FILE";

// Runs the process-wide libcurl initialisation once (the first call wins) and returns whether
// it succeeded; the matching cleanup runs once at process exit. Any thread.
bool InitializeCurl();

// An HttpRequest over one libcurl easy handle, reused by every configuration the request goes
// through. The proxy decision is final: libcurl never consults the proxy environment variables.
// Ownership: shared pointers. Threads: as HttpRequest; the mutex is never held while libcurl
// performs or while the write callback runs.
class CurlHttpRequest : public HttpRequest {
 public:
  // Throws std::runtime_error "libcurl could not be initialized" or "curl_easy_init failed".
  CurlHttpRequest(const HttpRequestParams& params, const std::string& proxy);
  ~CurlHttpRequest() override;

  HttpRequestStatus Perform() override;
  HttpRequestStatus GetStatus() override;
  void Cancel() override;
  bool Reset(const HttpRequestParams& params, const std::string& proxy) override;

 private:
  static std::size_t WriteHook(char* data, std::size_t size, std::size_t count, void* request);
  // Keeps the Content-Range header of the response (a redirect's headers are replaced by the
  // next response's).
  static std::size_t HeaderHook(char* data, std::size_t size, std::size_t count, void* request);
  static int ProgressHook(void* request, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  // Both run under mutex_.
  void Configure();
  void Complete(CURLcode code);
  void Accumulate(const HttpRequestStatus& writeStatus);

  // Constant after construction; used by Configure under mutex_ and by Perform's thread.
  CURL* const handle_;
  std::mutex mutex_;
  // Guarded by mutex_ (with params_ and proxy_ of the base).
  bool performing_ = false;
  HttpRequestStatus status_;
  curl_slist* headers_ = nullptr;
};

}  // namespace halv

#endif  // HALV_HTTP_CURL_HTTP_REQUEST_H_
