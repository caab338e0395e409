#ifndef HALV_SIGN_PUBLICATION_COMMENT_H_
#define HALV_SIGN_PUBLICATION_COMMENT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sign/minisign.h"

namespace halv {

// Which published document a signature is for.
enum class PublicationKind {
  kPackage,  // manifests/PACKAGE/VERSION.xml
  kCurrent,  // manifests/PACKAGE/current.xml
  kNodes,    // nodes/PARTNER.xml
};

// The trusted comment of a publication's signature: what document it signs and when it was
// published, so that a signature moved to another document is refused and an older document
// can be told from a newer one. Written as
//   halvane-publication kind=package package=PACKAGE version=VERSION time=SECONDS
//   halvane-publication kind=current package=PACKAGE version=VERSION time=SECONDS
//   halvane-publication kind=nodes partner=PARTNER time=SECONDS
// with the values percent-encoded (space, '=', '%' and control bytes as %XX). A plain value.
struct PublicationComment {
  PublicationKind kind = PublicationKind::kPackage;
  std::string package;    // kPackage and kCurrent
  std::string version;    // kPackage and kCurrent (the version current.xml is a copy of)
  std::string partner;    // kNodes
  std::int64_t time = 0;  // seconds since the Unix epoch
};

// The comment's text. Throws std::invalid_argument when a field its kind needs is empty, a field
// its kind has no place for is set, or the time is negative.
std::string FormatPublicationComment(const PublicationComment& comment);

// The comment in `text`; std::nullopt unless `text` is such a comment with exactly the fields of
// its kind, each once (in any order), non-empty and correctly encoded, and a decimal time.
std::optional<PublicationComment> ParsePublicationComment(std::string_view text);

// Whether `signedComment` names the document `expected` describes: the same kind and the same
// package and version, or partner. The times are not compared. For kCurrent an empty
// `expected.version` matches any version, for a caller that checks the signature before it has
// read the version from the document.
bool NamesSameDocument(const PublicationComment& signedComment, const PublicationComment& expected);

// How people read the document a comment names, e.g. "the document of package P version V".
std::string DescribeDocument(const PublicationComment& comment);

// The .minisig text that signs a published `document` with `key`, with `comment` as its trusted
// comment. Throws as FormatPublicationComment.
std::string SignPublication(const MinisignSecretKey& key, std::string_view document,
                            const PublicationComment& comment);

// Checks a published document against its signature by one of `keys` and that the signature
// names the document `expected` describes (its time is ignored). Returns the signed comment,
// whose time is the publication time. Throws SignatureError as VerifyMinisign, and
// kWrongDocument when the trusted comment is no publication comment or names another document.
PublicationComment VerifyPublication(std::string_view document, std::string_view signatureFile,
                                     const std::vector<MinisignPublicKey>& keys,
                                     const PublicationComment& expected);

}  // namespace halv

#endif  // HALV_SIGN_PUBLICATION_COMMENT_H_
