#include "http/http_stringstream_writer.h"

namespace halv {

HttpRequestStatus HttpStringstreamWriter::Write(const char* data, std::size_t length) {
  if (length == 0) return HttpRequestStatus(HttpRequestResult::Success, 0);
  stream_->write(data, static_cast<std::streamsize>(length));
  if (!stream_->good()) return HttpRequestStatus(HttpRequestResult::WriteFailed, 0);
  return HttpRequestStatus(HttpRequestResult::Success, length);
}

}  // namespace halv
