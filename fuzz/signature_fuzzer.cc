// Feeds arbitrary text to the readers of what a server sends beside a document: the signature
// file and the trusted comment. Whatever they accept must write back to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sign/minisign.h"
#include "sign/publication_comment.h"
#include "sign/signature_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (const auto comment = halv::ParsePublicationComment(text)) {
    const auto again = halv::ParsePublicationComment(halv::FormatPublicationComment(*comment));
    if (!again || !halv::NamesSameDocument(*again, *comment) || again->time != comment->time) {
      std::abort();
    }
  }

  try {
    const halv::MinisignSignature signature = halv::ParseMinisignSignature(text);
    const halv::MinisignSignature again = halv::ParseMinisignSignature(signature.ToFile());
    if (again.signature != signature.signature || again.keyId != signature.keyId ||
        again.trustedComment != signature.trustedComment ||
        again.globalSignature != signature.globalSignature) {
      std::abort();
    }
    halv::MinisignPublicKey key;
    key.keyId = signature.keyId;
    halv::VerifyMinisign("document", text, key);
  } catch (const halv::SignatureError&) {
  }

  try {
    halv::ParseMinisignPublicKey(text);
  } catch (const halv::SignatureError&) {
  }
  return 0;
}
