#include "manifest/manifest_url.h"

#include <strings.h>

#include <Poco/URI.h>

#include "manifest/manifest_exception.h"

namespace halv {

HostAddress ParseHostAddress(const std::string& host) {
  for (const char* scheme : {"https", "http"}) {
    const std::string prefix = std::string(scheme) + "://";
    if (host.size() >= prefix.size() &&
        strncasecmp(host.c_str(), prefix.c_str(), prefix.size()) == 0) {
      return {scheme, host.substr(prefix.size())};
    }
  }
  return {"http", host};
}

std::string MakeManifestUrl(const std::string& host, const std::string& path) {
  try {
    const HostAddress address = ParseHostAddress(host);
    Poco::URI uri;
    uri.setScheme(address.scheme);
    uri.setAuthority(address.authority);
    uri.setPath(path);
    return uri.toString();
  } catch (...) {
    throw ManifestLocatorException();
  }
}

}  // namespace halv
