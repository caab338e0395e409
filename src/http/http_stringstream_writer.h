#ifndef HALV_HTTP_HTTP_STRINGSTREAM_WRITER_H_
#define HALV_HTTP_HTTP_STRINGSTREAM_WRITER_H_

#include <ostream>

#include "http/http_request.h"

namespace halv {

// Collects a whole response body in a caller's stream (manifests, analytics replies).
// Ownership: the stream belongs to the caller and must outlive the writer. Threads: the thread
// running the request's Perform.
class HttpStringstreamWriter : public HttpWriteCallback {
 public:
  explicit HttpStringstreamWriter(std::ostream* stream) : stream_(stream) {}

  // Appends the bytes unformatted. An empty block succeeds without touching the stream; a
  // stream that goes bad answers WriteFailed with 0 bytes, which stops the request.
  HttpRequestStatus Write(const char* data, std::size_t length) override;

 private:
  std::ostream* const stream_;
};

}  // namespace halv

#endif  // HALV_HTTP_HTTP_STRINGSTREAM_WRITER_H_
