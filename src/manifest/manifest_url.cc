#include "manifest/manifest_url.h"

#include <Poco/URI.h>

#include "manifest/manifest_exception.h"

namespace halv {

std::string MakeManifestUrl(const std::string& host, const std::string& path) {
  try {
    Poco::URI uri;
    uri.setScheme("http");
    uri.setAuthority(host);
    uri.setPath(path);
    return uri.toString();
  } catch (...) {
    throw ManifestLocatorException();
  }
}

}  // namespace halv
