#include "manifest/node_list_manifest_factory.h"

#include <sstream>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_source.h"
#include "manifest/manifest_url.h"
#include "manifest/publication_verifier.h"

namespace halv {

HttpNodeListManifestFactory::HttpNodeListManifestFactory(
    std::string manifestHost, HttpRequestFactory& requestFactory, std::int32_t connectTimeout,
    std::int32_t timeout, std::shared_ptr<PublicationVerifier> verifier)
    : manifestHost_(std::move(manifestHost)),
      requestFactory_(requestFactory),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      verifier_(std::move(verifier)) {}

std::shared_ptr<NodeListManifest> XmlHttpNodeListManifestFactory::Create(
    const std::string& locator) {
  return Create(locator, nullptr);
}

std::shared_ptr<NodeListManifest> XmlHttpNodeListManifestFactory::Create(
    const std::string& locator, const std::shared_ptr<HttpSession>& session) {
  const std::string url = GetUrl(locator);
  XmlHttpManifestSource source(url, requestFactory_, session, connectTimeout_, timeout_);
  auto manifest = std::make_shared<StandardNodeListManifest>();
  if (!verifier_ || !verifier_->Enabled()) {
    source.Load(locator, *manifest);
    return manifest;
  }
  std::stringstream text;
  source.Retrieve(locator, text);
  PublicationComment expected;
  expected.kind = PublicationKind::kNodes;
  expected.partner = locator;
  verifier_->Verify(url, text.str(),
                    FetchSignature(url, requestFactory_, session, connectTimeout_, timeout_),
                    expected);
  boost::property_tree::ptree tree;
  source.Parse(text, tree);
  manifest->Read(tree);
  return manifest;
}

std::string XmlHttpNodeListManifestFactory::GetUrl(const std::string& locator) const {
  return MakeManifestUrl(manifestHost_, "/nodes/" + locator + ".xml");
}

}  // namespace halv
