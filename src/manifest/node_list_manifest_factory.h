#ifndef HALV_MANIFEST_NODE_LIST_MANIFEST_FACTORY_H_
#define HALV_MANIFEST_NODE_LIST_MANIFEST_FACTORY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "manifest/node_list_manifest.h"

namespace halv {

class HttpRequestFactory;
class HttpSession;
class PublicationVerifier;

// Fetches the node list of a partner, named by the partner id. Ownership: one per process,
// owned by the system's assembly. Thread-safety: immutable; any number of threads at once.
class NodeListManifestFactory {
 public:
  virtual ~NodeListManifestFactory() = default;

  // The node list named by `locator`, read and cleaned. Throws a manifest exception.
  virtual std::shared_ptr<NodeListManifest> Create(const std::string& locator) = 0;
};

// Node lists from a manifest host over HTTP.
class HttpNodeListManifestFactory : public NodeListManifestFactory {
 public:
  // As HttpPackageManifestFactory: with an enabled `verifier` the list must be signed, its
  // signature naming the partner, or Create throws ManifestAuthenticityException.
  HttpNodeListManifestFactory(std::string manifestHost, HttpRequestFactory& requestFactory,
                              std::int32_t connectTimeout, std::int32_t timeout,
                              std::shared_ptr<PublicationVerifier> verifier = nullptr);

  using NodeListManifestFactory::Create;
  // As Create(locator), with the request run in `session` (may be empty).
  virtual std::shared_ptr<NodeListManifest> Create(const std::string& locator,
                                                   const std::shared_ptr<HttpSession>& session) = 0;
  // The list's URL. Throws ManifestLocatorException when none can be formed.
  virtual std::string GetUrl(const std::string& locator) const = 0;

 protected:
  const std::string manifestHost_;
  HttpRequestFactory& requestFactory_;
  const std::int32_t connectTimeout_;
  const std::int32_t timeout_;
  const std::shared_ptr<PublicationVerifier> verifier_;
};

// Node list documents in XML: http://<host>/nodes/<partner>.xml.
class XmlHttpNodeListManifestFactory : public HttpNodeListManifestFactory {
 public:
  using HttpNodeListManifestFactory::HttpNodeListManifestFactory;

  std::shared_ptr<NodeListManifest> Create(const std::string& locator) override;
  std::shared_ptr<NodeListManifest> Create(const std::string& locator,
                                           const std::shared_ptr<HttpSession>& session) override;
  std::string GetUrl(const std::string& locator) const override;
};

}  // namespace halv

#endif  // HALV_MANIFEST_NODE_LIST_MANIFEST_FACTORY_H_
