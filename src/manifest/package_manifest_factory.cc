#include "manifest/package_manifest_factory.h"

#include <optional>
#include <sstream>
#include <utility>

#include "manifest/manifest_exception.h"
#include "manifest/manifest_source.h"
#include "manifest/manifest_url.h"
#include "manifest/publication_verifier.h"

namespace halv {

HttpPackageManifestFactory::HttpPackageManifestFactory(
    std::string manifestHost, HttpRequestFactory& requestFactory, std::int32_t connectTimeout,
    std::int32_t timeout, std::shared_ptr<PublicationVerifier> verifier)
    : manifestHost_(std::move(manifestHost)),
      requestFactory_(requestFactory),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      verifier_(std::move(verifier)) {}

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
  const std::string url = GetUrl(locator);
  // A package document is read without a tree, so it may be far larger than other documents.
  XmlHttpManifestSource source(url, requestFactory_, session, connectTimeout_, timeout_,
                               kMaxPackageDocumentSize);
  auto manifest = std::make_shared<StandardPackageManifest>();
  std::stringstream text;
  source.Retrieve(locator, text);
  if (!verifier_ || !verifier_->Enabled()) {
    manifest->ReadXml(text);
    if (!Matches(*manifest, locator)) throw ManifestLocatorException();
    return manifest;
  }

  // The signature is checked over the bytes as they came, before anything reads them.
  const std::size_t slash = locator.find('/');
  PublicationComment expected;
  expected.kind =
      slash == std::string::npos ? PublicationKind::kCurrent : PublicationKind::kPackage;
  expected.package = locator.substr(0, slash);
  if (slash != std::string::npos) expected.version = locator.substr(slash + 1);
  const PublicationComment signedComment = verifier_->Verify(
      url, text.str(), FetchSignature(url, requestFactory_, session, connectTimeout_, timeout_),
      expected);
  manifest->ReadXml(text);
  if (!Matches(*manifest, locator)) throw ManifestLocatorException();
  if (manifest->GetVersionId() != signedComment.version) {
    throw ManifestAuthenticityException("the publication is not authentic: " + url +
                                        " holds version \"" + manifest->GetVersionId() +
                                        "\" but its signature is for " +
                                        DescribeDocument(signedComment));
  }
  for (const auto& file : manifest->GetFiles()) {
    if (file->GetSha256s().size() != file->GetChunkCount()) {
      throw ManifestAuthenticityException("the publication is not authentic: file \"" +
                                          file->GetPath() + "\" of " + url +
                                          " gives no SHA-256 of its chunks");
    }
  }
  verifier_->Accept(signedComment);
  return manifest;
}

std::string XmlHttpPackageManifestFactory::GetUrl(const std::string& locator) const {
  const bool current = locator.find('/') == std::string::npos;
  return MakeManifestUrl(manifestHost_,
                         "/manifests/" + locator + (current ? "/current" : "") + ".xml");
}

}  // namespace halv
