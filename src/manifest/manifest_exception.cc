#include "manifest/manifest_exception.h"

namespace halv {

ManifestException::ManifestException(const std::string& message) : std::runtime_error(message) {}

ManifestLocatorException::ManifestLocatorException(const std::string& message)
    : ManifestException(message) {}

ManifestStreamException::ManifestStreamException(const std::string& message)
    : ManifestException(message) {}

ManifestParseException::ManifestParseException(const std::string& message)
    : ManifestException(message) {}

ManifestOverflowException::ManifestOverflowException(const std::string& message)
    : ManifestException(message) {}

ManifestAuthenticityException::ManifestAuthenticityException(const std::string& message)
    : ManifestException(message) {}

}  // namespace halv
