#ifndef HALV_MANIFEST_MANIFEST_EXCEPTION_H_
#define HALV_MANIFEST_MANIFEST_EXCEPTION_H_

#include <stdexcept>
#include <string>

namespace halv {

// Every failure to obtain or understand a manifest. Callers tell the causes apart by type; the
// message is empty unless it carries the text of a failed request or of a refused signature.
// Thread-safety: plain values, safe to copy and throw from any thread.
class ManifestException : public std::runtime_error {
 public:
  explicit ManifestException(const std::string& message = std::string());
};

// The manifest cannot be located: no URL can be formed, the server refused the request with a
// client error, or the document that came back is not the one asked for.
class ManifestLocatorException : public ManifestException {
 public:
  explicit ManifestLocatorException(const std::string& message = std::string());
};

// The text could not be transferred: connection, server error, time-out, failed write.
class ManifestStreamException : public ManifestException {
 public:
  explicit ManifestStreamException(const std::string& message = std::string());
};

// The text is not well-formed XML or does not describe a valid manifest.
class ManifestParseException : public ManifestException {
 public:
  explicit ManifestParseException(const std::string& message = std::string());
};

// A file's chunk count does not fit in 32 bits.
class ManifestOverflowException : public ManifestException {
 public:
  explicit ManifestOverflowException(const std::string& message = std::string());
};

// A build with the publisher's keys got a document that is not signed, or whose signature is not
// authentic, names another document, or is older than one already accepted (a rollback). The
// message says which, for people.
class ManifestAuthenticityException : public ManifestException {
 public:
  explicit ManifestAuthenticityException(const std::string& message);
};

}  // namespace halv

#endif  // HALV_MANIFEST_MANIFEST_EXCEPTION_H_
