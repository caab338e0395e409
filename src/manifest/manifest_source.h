#ifndef HALV_MANIFEST_MANIFEST_SOURCE_H_
#define HALV_MANIFEST_MANIFEST_SOURCE_H_

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/xml_manifest_parser.h"

namespace halv {

class HttpRequestFactory;
class HttpSession;
class InputManifest;

// Where manifest text comes from and how it becomes a property tree: Load retrieves the text
// named by a locator, parses it and lets a manifest read itself from the tree. Ownership: built
// for one load by its user. Thread-safety: one thread at a time.
class ManifestSource {
 public:
  virtual ~ManifestSource() = default;

  // Writes the raw text named by `locator` into `stream`. Throws a manifest exception.
  virtual void Retrieve(const std::string& locator, std::ostream& stream) = 0;
  // Fills `tree` from the text in `stream`. Throws ManifestParseException.
  virtual void Parse(std::istream& stream, boost::property_tree::ptree& tree) = 0;

  // Retrieve, Parse, then manifest.Read; every exception passes through unchanged.
  void Load(const std::string& locator, InputManifest& manifest);
};

// Retrieves a manifest with one HTTP GET of a URL fixed at construction (the locator is not
// used). Blocks the calling thread for at most the overall time-out.
class HttpManifestSource : public ManifestSource {
 public:
  // A manifest is a few kilobytes to a few megabytes; a body beyond this limit is a fault of
  // the server or of the path to it, and is stopped as it arrives rather than collected until
  // memory runs out. The same size as the reader's limit.
  static constexpr std::uint64_t kMaxBodySize = kMaxXmlDocumentSize;

  // `requestFactory` must outlive the source; `session` may be empty (a standalone request).
  // Time-outs are in seconds.
  HttpManifestSource(std::string url, HttpRequestFactory& requestFactory,
                     std::shared_ptr<HttpSession> session, std::int32_t connectTimeout,
                     std::int32_t timeout, std::uint64_t maxBodySize = kMaxBodySize);

  // Throws ManifestLocatorException for an unusable URL or an HTTP client error,
  // ManifestParseException ("document too large") for a body over the size limit, which is not
  // worth a retry, std::bad_alloc when memory runs out, and ManifestStreamException for every
  // other failure; the messages carry the request's error text.
  void Retrieve(const std::string& locator, std::ostream& stream) override;

  const std::string& GetUrl() const { return url_; }

 private:
  const std::string url_;
  HttpRequestFactory& requestFactory_;
  const std::shared_ptr<HttpSession> session_;
  const std::int32_t connectTimeout_;
  const std::int32_t timeout_;
  const std::uint64_t maxBodySize_;
};

// An HTTP source of XML documents.
class XmlHttpManifestSource : public HttpManifestSource {
 public:
  using HttpManifestSource::HttpManifestSource;

  // ParseXmlManifest (manifest/xml_manifest_parser.h).
  void Parse(std::istream& stream, boost::property_tree::ptree& tree) override;
};

}  // namespace halv

#endif  // HALV_MANIFEST_MANIFEST_SOURCE_H_
