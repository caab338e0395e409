#ifndef HALV_MANIFEST_MANIFEST_URL_H_
#define HALV_MANIFEST_MANIFEST_URL_H_

#include <string>

namespace halv {

// A manifest host or node Host as settings and documents write it: "HOST[:PORT]" or
// "http://HOST[:PORT]" for plain HTTP, "https://HOST[:PORT]" for HTTPS with the certificate
// verified. A plain value.
struct HostAddress {
  std::string scheme;     // "http" or "https"
  std::string authority;  // HOST[:PORT]
};

// The scheme and authority of `host`; the scheme prefix is matched without regard to case.
HostAddress ParseHostAddress(const std::string& host);

// The scheme of `host` + "://" + its authority + `path`, formed and percent-encoded by Poco's URI
// class (which leaves out the scheme's default port). Throws ManifestLocatorException when the
// host or port is malformed.
std::string MakeManifestUrl(const std::string& host, const std::string& path);

}  // namespace halv

#endif  // HALV_MANIFEST_MANIFEST_URL_H_
