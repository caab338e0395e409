#ifndef HALV_MANIFEST_MANIFEST_URL_H_
#define HALV_MANIFEST_MANIFEST_URL_H_

#include <string>

namespace halv {

// "http://" + `host` + `path`, formed and percent-encoded by Poco's URI class (which leaves out
// port 80). Throws ManifestLocatorException when the host or port is malformed.
std::string MakeManifestUrl(const std::string& host, const std::string& path);

}  // namespace halv

#endif  // HALV_MANIFEST_MANIFEST_URL_H_
