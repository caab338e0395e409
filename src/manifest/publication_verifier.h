#ifndef HALV_MANIFEST_PUBLICATION_VERIFIER_H_
#define HALV_MANIFEST_PUBLICATION_VERIFIER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sign/minisign.h"
#include "sign/publication_comment.h"

namespace halv {

class HttpRequestFactory;
class HttpSession;

// The keys in the text of the publisher-keys setting: minisign public keys (the base64 line of a
// key file) separated by ';', ',' or white space. Throws SignatureError(kMalformed) for a token
// that is no key.
std::vector<MinisignPublicKey> ParsePublisherKeys(const std::string& text);

// The URL of the detached signature of the document at `documentUrl`: the same URL with
// ".minisig" appended to its path, as the publisher writes it beside the document.
std::string SignatureUrl(const std::string& documentUrl);

// The text of the signature of the document at `documentUrl`, fetched like a manifest (through
// `requestFactory` in `session`, time-outs in seconds); std::nullopt when the server answers a
// client error (there is none). Throws ManifestStreamException when it cannot be transferred,
// ManifestLocatorException when no URL can be formed.
std::optional<std::string> FetchSignature(const std::string& documentUrl,
                                          HttpRequestFactory& requestFactory,
                                          const std::shared_ptr<HttpSession>& session,
                                          std::int32_t connectTimeout, std::int32_t timeout);

// Checks published documents against the publisher's keys and remembers, per package, the newest
// publication time it accepted, in a small file of the data folder, so that a server replaying
// an older signed current document is refused. Without keys it checks nothing.
// Ownership: one per process, owned by the assembly and shared by the manifest factories.
// Thread-safety: any thread; the record is read and written under mutex_ and, against other
// processes, under an advisory lock of a file beside it.
class PublicationVerifier {
 public:
  // `keyText` as ParsePublisherKeys reads it; empty: nothing is checked. A text that holds no
  // valid key does not turn the checks off: every document is refused. `recordPath` is the file
  // of accepted publication times, made (with its folder) when the first time is recorded.
  PublicationVerifier(const std::string& keyText, std::string recordPath);

  // Whether documents must be signed.
  bool Enabled() const { return enabled_; }

  // Checks that `signatureFile` (std::nullopt when the server had none) is a signature of
  // `document`, fetched from `url`, by one of the keys, naming the document `expected`
  // describes. Returns the signed comment. Throws ManifestAuthenticityException saying that the
  // publication is not signed, or not authentic and why.
  PublicationComment Verify(const std::string& url, std::string_view document,
                            const std::optional<std::string>& signatureFile,
                            const PublicationComment& expected) const;

  // Accepts a verified package document (kPackage or kCurrent): a current document published
  // before the newest time accepted for its package is refused with
  // ManifestAuthenticityException (a rollback); otherwise the newer of the two times is
  // recorded. An explicitly requested version is never refused. A record that cannot be written
  // is no reason to refuse the document; the check is then only as good as the last record.
  void Accept(const PublicationComment& comment);

  // The newest publication time accepted for `package`; 0 when none is recorded.
  std::int64_t NewestAccepted(const std::string& package) const;

 private:
  // Constant after construction.
  bool enabled_ = false;
  std::vector<MinisignPublicKey> keys_;
  std::string keyProblem_;  // why the key text was refused; empty when it was read
  const std::string recordPath_;

  mutable std::mutex mutex_;  // serialises the record's read-modify-write in this process
};

}  // namespace halv

#endif  // HALV_MANIFEST_PUBLICATION_VERIFIER_H_
