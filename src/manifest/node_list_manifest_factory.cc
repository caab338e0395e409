#include "manifest/node_list_manifest_factory.h"

#include <utility>

#include "manifest/manifest_source.h"
#include "manifest/manifest_url.h"

namespace halv {

HttpNodeListManifestFactory::HttpNodeListManifestFactory(std::string manifestHost,
                                                         HttpRequestFactory& requestFactory,
                                                         std::int32_t connectTimeout,
                                                         std::int32_t timeout)
    : manifestHost_(std::move(manifestHost)),
      requestFactory_(requestFactory),
      connectTimeout_(connectTimeout),
      timeout_(timeout) {}

std::shared_ptr<NodeListManifest> XmlHttpNodeListManifestFactory::Create(
    const std::string& locator) {
  return Create(locator, nullptr);
}

std::shared_ptr<NodeListManifest> XmlHttpNodeListManifestFactory::Create(
    const std::string& locator, const std::shared_ptr<HttpSession>& session) {
  XmlHttpManifestSource source(GetUrl(locator), requestFactory_, session, connectTimeout_,
                               timeout_);
  auto manifest = std::make_shared<StandardNodeListManifest>();
  source.Load(locator, *manifest);
  return manifest;
}

std::string XmlHttpNodeListManifestFactory::GetUrl(const std::string& locator) const {
  return MakeManifestUrl(manifestHost_, "/nodes/" + locator + ".xml");
}

}  // namespace halv
