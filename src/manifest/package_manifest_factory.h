#ifndef HALV_MANIFEST_PACKAGE_MANIFEST_FACTORY_H_
#define HALV_MANIFEST_PACKAGE_MANIFEST_FACTORY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "manifest/package_manifest.h"

namespace halv {

class HttpRequestFactory;
class HttpSession;
class PublicationVerifier;

// Fetches package manifests by locator: a package id alone (the current version) or a package
// id, "/" and a version id. Ownership: one per process, owned by the system's assembly.
// Thread-safety: immutable; any number of threads may call it at once.
class PackageManifestFactory {
 public:
  virtual ~PackageManifestFactory() = default;

  // The manifest named by `locator`, read and checked. Throws a manifest exception.
  virtual std::shared_ptr<PackageManifest> Create(const std::string& locator) = 0;
  // Whether `manifest` is the one `locator` names: the same package id and, when the locator
  // names a version, the same version id.
  virtual bool Matches(const PackageManifest& manifest, const std::string& locator) const = 0;
};

// Package manifests from a manifest host over HTTP.
class HttpPackageManifestFactory : public PackageManifestFactory {
 public:
  // `manifestHost` is a host name, optionally with ":" and a port, and "https://" before it for
  // HTTPS; `requestFactory` must outlive the factory; time-outs are in seconds. With a
  // `verifier` that is enabled every document must be signed (see Create).
  HttpPackageManifestFactory(std::string manifestHost, HttpRequestFactory& requestFactory,
                             std::int32_t connectTimeout, std::int32_t timeout,
                             std::shared_ptr<PublicationVerifier> verifier = nullptr);

  using PackageManifestFactory::Create;
  // As Create(locator), with the request run in `session` (may be empty).
  virtual std::shared_ptr<PackageManifest> Create(const std::string& locator,
                                                  const std::shared_ptr<HttpSession>& session) = 0;
  // The manifest's URL. Throws ManifestLocatorException when none can be formed.
  virtual std::string GetUrl(const std::string& locator) const = 0;

  bool Matches(const PackageManifest& manifest, const std::string& locator) const override;

 protected:
  const std::string manifestHost_;
  HttpRequestFactory& requestFactory_;
  const std::int32_t connectTimeout_;
  const std::int32_t timeout_;
  const std::shared_ptr<PublicationVerifier> verifier_;
};

// Package documents in XML: http://<host>/manifests/<id>/current.xml for the current version,
// http://<host>/manifests/<id>/<version>.xml for a given one.
class XmlHttpPackageManifestFactory : public HttpPackageManifestFactory {
 public:
  using HttpPackageManifestFactory::HttpPackageManifestFactory;

  std::shared_ptr<PackageManifest> Create(const std::string& locator) override;
  // Throws ManifestLocatorException also when the manifest that came back is not the one
  // asked for. With an enabled verifier, the document's signature (SignatureUrl) is fetched and
  // must be valid and name this package and version (any version for the current document,
  // which must then be the version it names), a file with chunks must give their SHA-256s, and
  // a current document must not be older than one accepted before; otherwise
  // ManifestAuthenticityException. The manifest is then marked verified.
  std::shared_ptr<PackageManifest> Create(const std::string& locator,
                                          const std::shared_ptr<HttpSession>& session) override;
  std::string GetUrl(const std::string& locator) const override;
};

}  // namespace halv

#endif  // HALV_MANIFEST_PACKAGE_MANIFEST_FACTORY_H_
