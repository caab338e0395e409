#include "manifest/package_manifest_factory.h"

#include <utility>

#include "manifest/manifest_exception.h"
#include "manifest/manifest_source.h"
#include "manifest/manifest_url.h"

namespace halv {

HttpPackageManifestFactory::HttpPackageManifestFactory(std::string manifestHost,
                                                       HttpRequestFactory& requestFactory,
                                                       std::int32_t connectTimeout,
                                                       std::int32_t timeout)
    : manifestHost_(std::move(manifestHost)),
      requestFactory_(requestFactory),
      connectTimeout_(connectTimeout),
      timeout_(timeout) {}

bool HttpPackageManifestFactory::Matches(const PackageManifest& manifest,
                                         const std::string& locator) const {
  const std::size_t slash = locator.find('/');
  const std::string id = locator.substr(0, slash);
  const std::string version =
      slash == std::string::npos ? std::string() : locator.substr(slash + 1);
  return manifest.GetId() == id && (version.empty() || manifest.GetVersionId() == version);
}

std::shared_ptr<PackageManifest> XmlHttpPackageManifestFactory::Create(const std::string& locator) {
  return Create(locator, nullptr);
}

std::shared_ptr<PackageManifest> XmlHttpPackageManifestFactory::Create(
    const std::string& locator, const std::shared_ptr<HttpSession>& session) {
  XmlHttpManifestSource source(GetUrl(locator), requestFactory_, session, connectTimeout_,
                               timeout_);
  auto manifest = std::make_shared<StandardPackageManifest>();
  source.Load(locator, *manifest);
  if (!Matches(*manifest, locator)) throw ManifestLocatorException();
  return manifest;
}

std::string XmlHttpPackageManifestFactory::GetUrl(const std::string& locator) const {
  const bool current = locator.find('/') == std::string::npos;
  return MakeManifestUrl(manifestHost_,
                         "/manifests/" + locator + (current ? "/current" : "") + ".xml");
}

}  // namespace halv
