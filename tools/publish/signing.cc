#include <sys/stat.h>

#include "publish_internal.h"
#include "sign/signature_error.h"

// Signing the documents of a publication and keeping the signatures that still hold.
namespace halv::publish {
namespace detail {
namespace {

// Whether the signature beside `path` is one by `signer` of `text` that names `comment`'s
// document; a missing, unreadable, linked or foreign signature does not hold.
bool SignatureHolds(const fs::path& path, const std::string& text, const DocumentSigner& signer,
                    const PublicationComment& comment) {
  const fs::path signaturePath = SignaturePath(path);
  struct stat info;
  if (::lstat(signaturePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const auto signature = ReadDocument(signaturePath);
  if (!signature) return false;
  try {
    VerifyPublication(text, *signature, {signer.PublicKey()}, comment);
    return true;
  } catch (const SignatureError&) {
    return false;
  }
}

}  // namespace

fs::path SignaturePath(const fs::path& document) {
  return document.parent_path() / (document.filename().string() + kSignatureSuffix);
}

// Decides what to write for `text` at `path` and signs it, writing nothing yet.
DocumentUpdate PlanDocument(const fs::path& path, const std::string& text,
                            const DocumentSigner* signer, const PublicationComment& comment) {
  DocumentUpdate update;
  update.path = path;
  update.text = text;
  struct stat info;
  // A link found there is replaced by the rename, never followed.
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    update.writeText = true;
  } else {
    const auto existing = ReadDocument(path);
    update.writeText = !existing || *existing != text;
  }
  if (signer && (update.writeText || !SignatureHolds(path, text, *signer, comment))) {
    update.signature = signer->Sign(text, comment);
  }
  return update;
}

void ApplyDocument(const DocumentUpdate& update) {
  if (!update.writeText) {
    if (!update.signature.empty()) WriteDocument(SignaturePath(update.path), update.signature);
  } else if (update.signature.empty()) {
    WriteDocument(update.path, update.text);
  } else {
    WriteSignedDocument(update.path, update.text, update.signature);
  }
}

// The publication time of the signature beside `current` when it is one of `package`'s current
// documents, so that a clock set back never makes a new "current" look older than the one it
// replaces (updaters refuse that as a rollback); 0 when there is none. Its authenticity does
// not matter here: only the publisher writes the folder.
std::int64_t CurrentTime(const fs::path& current, const std::string& package) {
  const fs::path signaturePath = SignaturePath(current);
  struct stat info;
  if (::lstat(signaturePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  const auto text = ReadDocument(signaturePath);
  if (!text) return 0;
  try {
    const auto comment = ParsePublicationComment(ParseMinisignSignature(*text).trustedComment);
    if (comment && comment->kind == PublicationKind::kCurrent && comment->package == package) {
      return comment->time;
    }
  } catch (const SignatureError&) {
  }
  return 0;
}

}  // namespace detail

std::string MinisignDocumentSigner::Sign(const std::string& document,
                                         const PublicationComment& comment) const {
  return SignPublication(key_, document, comment);
}

}  // namespace halv::publish
