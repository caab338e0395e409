#ifndef HALV_SIGN_MINISIGN_H_
#define HALV_SIGN_MINISIGN_H_

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace halv {

// minisign's Ed25519 signatures, in the file formats of the `minisign` command, so that
// publishers make keys and check signatures with that tool and the updater checks them with
// libsodium alone. Every refusal throws SignatureError (sign/signature_error.h). Free functions
// are stateless and safe to call from any thread.

// The eight random bytes that name a key pair in its files and in every signature it makes.
using MinisignKeyId = std::array<std::uint8_t, 8>;

// The id as minisign prints it ("minisign public key EA726FCB4A8CCE73"): the bytes read as a
// little-endian number, in uppercase hexadecimal without leading zeros.
std::string FormatKeyId(const MinisignKeyId& id);

// A public key. A plain value.
struct MinisignPublicKey {
  MinisignKeyId keyId{};
  std::array<std::uint8_t, 32> key{};

  // The base64 line of the key file, which `minisign -P` takes.
  std::string ToBase64() const;
  // A whole key file, as `minisign -G` writes it.
  std::string ToFile() const;
};

// The key in `text`: the content of a public key file (an "untrusted comment:" line, then the
// base64 line) or the base64 line alone. Throws SignatureError(kMalformed) for anything else.
MinisignPublicKey ParseMinisignPublicKey(std::string_view text);

// The key in the file at `path`; kUnreadable when it cannot be read, kMalformed as above, each
// with a message naming the file.
MinisignPublicKey ReadMinisignPublicKeyFile(const std::string& path);

enum class MinisignAlgorithm {
  kLegacy,     // "Ed": the signature covers the document itself
  kPrehashed,  // "ED": the signature covers the BLAKE2b-512 of the document; minisign's default
};

// A detached signature (a .minisig file). A plain value.
struct MinisignSignature {
  MinisignAlgorithm algorithm = MinisignAlgorithm::kPrehashed;
  MinisignKeyId keyId{};
  std::array<std::uint8_t, 64> signature{};
  std::string untrustedComment;  // after "untrusted comment: "; covered by no signature
  std::string trustedComment;    // after "trusted comment: "; covered by the global signature
  std::array<std::uint8_t, 64> globalSignature{};  // over `signature` then `trustedComment`

  // The file's four lines, each ended by a newline.
  std::string ToFile() const;
};

// The signature in the text of a .minisig file; SignatureError(kMalformed) unless the text is
// its four lines (CR LF endings and a missing last newline are accepted).
MinisignSignature ParseMinisignSignature(std::string_view text);

// Checks that `signatureFile` (the text of a .minisig file) is a signature of `document` by
// `key`, and that its trusted comment is the one the key signed. Returns the trusted comment.
// Throws SignatureError: kMalformed, kUnknownKey (made by another key), kBadSignature (the
// document differs from the one signed), kBadComment (the trusted comment was changed).
std::string VerifyMinisign(std::string_view document, std::string_view signatureFile,
                           const MinisignPublicKey& key);

// As above, by whichever of `keys` has the signature's key id; kUnknownKey when none has it
// (and when `keys` is empty).
std::string VerifyMinisign(std::string_view document, std::string_view signatureFile,
                           const std::vector<MinisignPublicKey>& keys);

// A secret key, decrypted. The key bytes are wiped when the object dies.
// Ownership: one owner, movable, not copyable. Sign is const and may be called from any thread.
class MinisignSecretKey {
 public:
  // `secret` is libsodium's 64-byte Ed25519 secret key (seed, then public key).
  MinisignSecretKey(const MinisignKeyId& keyId, const std::array<std::uint8_t, 64>& secret);
  ~MinisignSecretKey();
  MinisignSecretKey(MinisignSecretKey&& other) noexcept;
  MinisignSecretKey& operator=(MinisignSecretKey&& other) noexcept;
  MinisignSecretKey(const MinisignSecretKey&) = delete;
  MinisignSecretKey& operator=(const MinisignSecretKey&) = delete;

  const MinisignKeyId& keyId() const { return keyId_; }
  MinisignPublicKey publicKey() const;

  // The text of a .minisig file that signs `document` in the prehashed form, with
  // `trustedComment`, which `minisign -V` accepts. An empty `untrustedComment` becomes
  // "signature from secret key ID". Throws std::invalid_argument when a comment holds a line
  // break or a NUL, or is longer than minisign reads (1000 bytes untrusted, 8000 trusted).
  std::string Sign(std::string_view document, std::string_view trustedComment,
                   std::string_view untrustedComment = {}) const;

 private:
  MinisignKeyId keyId_;
  std::array<std::uint8_t, 64> secret_;
};

// Asked for the password of an encrypted secret key, only when the key is encrypted. May throw
// (SignatureError(kNoPassword) when there is none to be had); the throw passes through.
using PasswordSource = std::function<std::string()>;

// The secret key in the text of a file made by `minisign -G`: unencrypted (-W), or encrypted, in
// which case `password` is called once and its answer decrypts the key (scrypt, as minisign
// does: this takes about a second and 1 GiB of memory). Throws SignatureError: kMalformed,
// kWrongPassword (the decrypted key fails its checksum), or whatever `password` throws.
MinisignSecretKey ParseMinisignSecretKey(std::string_view text, const PasswordSource& password);

// The secret key in the file at `path`; kUnreadable when it cannot be read, other failures as
// above, each with a message naming the file.
MinisignSecretKey ReadMinisignSecretKeyFile(const std::string& path,
                                            const PasswordSource& password);

}  // namespace halv

#endif  // HALV_SIGN_MINISIGN_H_
