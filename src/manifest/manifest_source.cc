#include "manifest/manifest_source.h"

#include <cstddef>
#include <istream>
#include <new>
#include <ostream>
#include <sstream>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "http/http_request.h"
#include "http/http_request_factory.h"
#include "http/http_stringstream_writer.h"
#include "manifest/input_manifest.h"
#include "manifest/manifest_exception.h"
#include "manifest/xml_manifest_parser.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

// Appends the body to a stream until it grows past the limit, then fails the write, which ends
// the request as WriteFailed.
class BoundedStreamWriter : public HttpWriteCallback {
 public:
  BoundedStreamWriter(std::ostream* stream, std::uint64_t limit)
      : writer_(stream), remaining_(limit), limit_(limit) {}

  HttpRequestStatus Write(const char* data, std::size_t length) override {
    if (length > remaining_) {
      exceeded_ = true;
      HttpRequestStatus status(HttpRequestResult::WriteFailed, 0);
      status.errorDetails = Message();
      return status;
    }
    remaining_ -= length;
    return writer_.Write(data, length);
  }

  bool Exceeded() const { return exceeded_; }
  std::string Message() const {
    return "document too large: the body is larger than " + std::to_string(limit_) + " bytes";
  }

 private:
  HttpStringstreamWriter writer_;
  std::uint64_t remaining_;
  const std::uint64_t limit_;
  bool exceeded_ = false;
};

}  // namespace

void ManifestSource::Load(const std::string& locator, InputManifest& manifest) {
  std::stringstream stream;
  Retrieve(locator, stream);
  ptree tree;
  Parse(stream, tree);
  manifest.Read(tree);
}

HttpManifestSource::HttpManifestSource(std::string url, HttpRequestFactory& requestFactory,
                                       std::shared_ptr<HttpSession> session,
                                       std::int32_t connectTimeout, std::int32_t timeout,
                                       std::uint64_t maxBodySize)
    : url_(std::move(url)),
      requestFactory_(requestFactory),
      session_(std::move(session)),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      maxBodySize_(maxBodySize) {}

void HttpManifestSource::Retrieve(const std::string& /*locator*/, std::ostream& stream) {
  BoundedStreamWriter writer(&stream, maxBodySize_);
  HttpRequestParams params(url_, &writer);
  params.connectTimeout = connectTimeout_;
  params.timeout = timeout_;
  const HttpRequestStatus status = requestFactory_.CreateRequest(params, session_)->Perform();
  // Cut off on arrival: no retry brings a shorter document.
  if (writer.Exceeded()) throw ManifestParseException(writer.Message());
  switch (status.result) {
    case HttpRequestResult::Success:
      if (!stream.good()) throw ManifestStreamException(status.errorDetails);
      return;
    case HttpRequestResult::InvalidUrl:
      throw ManifestLocatorException(DescribeRequestFailure(url_, status));
    case HttpRequestResult::ClientError:
      // 429 Too Many Requests is a host asking to be tried later, not a wrong address.
      if (status.responseCode == 429) {
        throw ManifestStreamException(DescribeRequestFailure(url_, status));
      }
      throw ManifestLocatorException(DescribeRequestFailure(url_, status));
    case HttpRequestResult::OutOfMemory:
      throw std::bad_alloc();
    default:
      throw ManifestStreamException(DescribeRequestFailure(url_, status));
  }
}

void XmlHttpManifestSource::Parse(std::istream& stream, ptree& tree) {
  ParseXmlManifest(stream, tree);
}

}  // namespace halv
