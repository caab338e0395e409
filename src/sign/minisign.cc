#include "sign/minisign.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sodium.h>

#include "sign/signature_error.h"

namespace halv {
namespace {

constexpr std::string_view kCommentPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedCommentPrefix = "trusted comment: ";
// What minisign reads back: its line buffers hold 1024 and 8192 bytes with the prefix.
constexpr std::size_t kUntrustedCommentLimit = 1000;
constexpr std::size_t kTrustedCommentLimit = 8000;

constexpr std::uint8_t kLegacyAlgorithm[2] = {'E', 'd'};
constexpr std::uint8_t kPrehashedAlgorithm[2] = {'E', 'D'};
constexpr std::uint8_t kScryptAlgorithm[2] = {'S', 'c'};
constexpr std::uint8_t kNoKdfAlgorithm[2] = {0, 0};
constexpr std::uint8_t kBlake2Algorithm[2] = {'B', '2'};

// The decoded lines of the files: the fields one after the other, integers little-endian.
constexpr std::size_t kPublicKeySize = 2 + 8 + 32;
constexpr std::size_t kSignatureSize = 2 + 8 + 64;
struct SecretKeyLayout {
  static constexpr std::size_t kSignatureAlgorithm = 0;
  static constexpr std::size_t kKdfAlgorithm = 2;
  static constexpr std::size_t kChecksumAlgorithm = 4;
  static constexpr std::size_t kSalt = 6;
  static constexpr std::size_t kOpsLimit = kSalt + 32;
  static constexpr std::size_t kMemLimit = kOpsLimit + 8;
  // From here on the bytes are encrypted when the key is.
  static constexpr std::size_t kKeyId = kMemLimit + 8;
  static constexpr std::size_t kSecret = kKeyId + 8;
  static constexpr std::size_t kChecksum = kSecret + 64;
  static constexpr std::size_t kSize = kChecksum + 32;
};

[[noreturn]] void Malformed(const std::string& message) {
  throw SignatureError(SignatureFailure::kMalformed, message);
}

void EnsureSodium() {
  // sodium_init may be called from several threads at once; it returns 1 once it has run.
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("libsodium cannot initialise");
}

std::string Base64(const std::uint8_t* data, std::size_t size) {
  const std::size_t length = sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL);
  std::string text(length, '\0');
  sodium_bin2base64(text.data(), length, data, size, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

// Decodes a base64 line that must hold exactly `size` bytes.
std::vector<std::uint8_t> FromBase64(std::string_view text, std::size_t size, const char* what) {
  std::vector<std::uint8_t> bytes(size);
  std::size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &decoded,
                        &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      decoded != size || end != text.data() + text.size()) {
    Malformed(std::string("the ") + what + " is not base64 of the right length");
  }
  return bytes;
}

// The lines of a key or signature file, without their CR LF or LF endings. Trailing empty lines
// are dropped, as editors and transports add them.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool SameBytes(const std::uint8_t* data, const std::uint8_t (&expected)[2]) {
  return data[0] == expected[0] && data[1] == expected[1];
}

std::string ReadWholeFile(const std::string& path, const char* what) {
  const auto refuse = [&](int error) {
    throw SignatureError(
        SignatureFailure::kUnreadable,
        std::string("cannot read the ") + what + " " + path + ": " + std::strerror(error));
  };
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) refuse(errno);
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      close(fd);
      refuse(error);
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  sodium_memzero(buffer, sizeof buffer);
  return content;
}

// Runs `parse`, prefixing the message of a refusal with the file's path.
template <typename Parse>
auto WithPath(const std::string& path, Parse parse) -> decltype(parse()) {
  try {
    return parse();
  } catch (const SignatureError& error) {
    throw SignatureError(error.failure(), path + ": " + error.what());
  }
}

// The bytes the document signature covers: the document, or its BLAKE2b-512.
std::array<std::uint8_t, crypto_generichash_BYTES_MAX> Prehash(std::string_view document) {
  std::array<std::uint8_t, crypto_generichash_BYTES_MAX> hash;
  crypto_generichash(hash.data(), hash.size(),
                     reinterpret_cast<const unsigned char*>(document.data()), document.size(),
                     nullptr, 0);
  return hash;
}

std::uint64_t LittleEndian64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void CheckComment(std::string_view comment, std::size_t limit, const char* what) {
  if (comment.size() > limit) {
    throw std::invalid_argument(std::string("the ") + what + " is longer than " +
                                std::to_string(limit) + " bytes");
  }
  if (comment.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    throw std::invalid_argument(std::string("the ") + what +
                                " must not hold a line break or a NUL");
  }
}

}  // namespace

std::string FormatKeyId(const MinisignKeyId& id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
    text += kDigits[*byte >> 4];
    text += kDigits[*byte & 0xf];
  }
  // minisign prints the number without leading zeros.
  return text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
}

std::string MinisignPublicKey::ToBase64() const {
  std::uint8_t bytes[kPublicKeySize];
  std::memcpy(bytes, kLegacyAlgorithm, 2);
  std::memcpy(bytes + 2, keyId.data(), keyId.size());
  std::memcpy(bytes + 10, key.data(), key.size());
  return Base64(bytes, sizeof bytes);
}

std::string MinisignPublicKey::ToFile() const {
  return std::string(kCommentPrefix) + "minisign public key " + FormatKeyId(keyId) + "\n" +
         ToBase64() + "\n";
}

MinisignPublicKey ParseMinisignPublicKey(std::string_view text) {
  const std::vector<std::string_view> lines = Lines(text);
  std::string_view line;
  if (lines.size() == 2 && StartsWith(lines[0], kCommentPrefix)) {
    line = lines[1];
  } else if (lines.size() == 1) {
    line = lines[0];
  } else {
    Malformed("a public key is an \"untrusted comment:\" line and a base64 line");
  }
  const std::vector<std::uint8_t> bytes = FromBase64(line, kPublicKeySize, "public key");
  if (!SameBytes(bytes.data(), kLegacyAlgorithm)) Malformed("the public key is not an Ed25519 key");
  MinisignPublicKey key;
  std::memcpy(key.keyId.data(), bytes.data() + 2, key.keyId.size());
  std::memcpy(key.key.data(), bytes.data() + 10, key.key.size());
  return key;
}

MinisignPublicKey ReadMinisignPublicKeyFile(const std::string& path) {
  const std::string text = ReadWholeFile(path, "public key");
  return WithPath(path, [&] { return ParseMinisignPublicKey(text); });
}

std::string MinisignSignature::ToFile() const {
  std::uint8_t bytes[kSignatureSize];
  std::memcpy(bytes,
              algorithm == MinisignAlgorithm::kLegacy ? kLegacyAlgorithm : kPrehashedAlgorithm, 2);
  std::memcpy(bytes + 2, keyId.data(), keyId.size());
  std::memcpy(bytes + 10, signature.data(), signature.size());
  return std::string(kCommentPrefix) + untrustedComment + "\n" + Base64(bytes, sizeof bytes) +
         "\n" + std::string(kTrustedCommentPrefix) + trustedComment + "\n" +
         Base64(globalSignature.data(), globalSignature.size()) + "\n";
}

MinisignSignature ParseMinisignSignature(std::string_view text) {
  const std::vector<std::string_view> lines = Lines(text);
  if (lines.size() != 4) Malformed("a signature file has four lines");
  if (!StartsWith(lines[0], kCommentPrefix)) {
    Malformed("a signature file starts with \"untrusted comment: \"");
  }
  if (!StartsWith(lines[2], kTrustedCommentPrefix)) {
    Malformed("the third line of a signature file starts with \"trusted comment: \"");
  }
  const std::vector<std::uint8_t> bytes = FromBase64(lines[1], kSignatureSize, "signature");
  MinisignSignature signature;
  if (SameBytes(bytes.data(), kPrehashedAlgorithm)) {
    signature.algorithm = MinisignAlgorithm::kPrehashed;
  } else if (SameBytes(bytes.data(), kLegacyAlgorithm)) {
    signature.algorithm = MinisignAlgorithm::kLegacy;
  } else {
    Malformed("the signature is of an unknown algorithm");
  }
  std::memcpy(signature.keyId.data(), bytes.data() + 2, signature.keyId.size());
  std::memcpy(signature.signature.data(), bytes.data() + 10, signature.signature.size());
  signature.untrustedComment = std::string(lines[0].substr(kCommentPrefix.size()));
  signature.trustedComment = std::string(lines[2].substr(kTrustedCommentPrefix.size()));
  const std::vector<std::uint8_t> global =
      FromBase64(lines[3], signature.globalSignature.size(), "global signature");
  std::memcpy(signature.globalSignature.data(), global.data(), global.size());
  return signature;
}

std::string VerifyMinisign(std::string_view document, std::string_view signatureFile,
                           const MinisignPublicKey& key) {
  return VerifyMinisign(document, signatureFile, std::vector<MinisignPublicKey>{key});
}

std::string VerifyMinisign(std::string_view document, std::string_view signatureFile,
                           const std::vector<MinisignPublicKey>& keys) {
  EnsureSodium();
  const MinisignSignature signature = ParseMinisignSignature(signatureFile);
  const MinisignPublicKey* key = nullptr;
  for (const MinisignPublicKey& candidate : keys) {
    if (candidate.keyId == signature.keyId) key = &candidate;
  }
  if (key == nullptr) {
    std::string known;
    for (const MinisignPublicKey& candidate : keys) {
      known += (known.empty() ? "" : ", ") + FormatKeyId(candidate.keyId);
    }
    throw SignatureError(SignatureFailure::kUnknownKey,
                         "signed by the key " + FormatKeyId(signature.keyId) + ", not by " +
                             (keys.empty() ? std::string("a trusted key") : "the key " + known));
  }

  int verified;
  if (signature.algorithm == MinisignAlgorithm::kPrehashed) {
    const auto hash = Prehash(document);
    verified = crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(),
                                           key->key.data());
  } else {
    verified = crypto_sign_verify_detached(signature.signature.data(),
                                           reinterpret_cast<const unsigned char*>(document.data()),
                                           document.size(), key->key.data());
  }
  if (verified != 0) {
    throw SignatureError(
        SignatureFailure::kBadSignature,
        "the document does not match its signature by the key " + FormatKeyId(key->keyId));
  }

  std::string covered(signature.signature.begin(), signature.signature.end());
  covered += signature.trustedComment;
  if (crypto_sign_verify_detached(signature.globalSignature.data(),
                                  reinterpret_cast<const unsigned char*>(covered.data()),
                                  covered.size(), key->key.data()) != 0) {
    throw SignatureError(
        SignatureFailure::kBadComment,
        "the trusted comment does not match its signature by the key " + FormatKeyId(key->keyId));
  }
  return signature.trustedComment;
}

MinisignSecretKey::MinisignSecretKey(const MinisignKeyId& keyId,
                                     const std::array<std::uint8_t, 64>& secret)
    : keyId_(keyId), secret_(secret) {}

MinisignSecretKey::~MinisignSecretKey() { sodium_memzero(secret_.data(), secret_.size()); }

MinisignSecretKey::MinisignSecretKey(MinisignSecretKey&& other) noexcept
    : keyId_(other.keyId_), secret_(other.secret_) {
  sodium_memzero(other.secret_.data(), other.secret_.size());
}

MinisignSecretKey& MinisignSecretKey::operator=(MinisignSecretKey&& other) noexcept {
  if (this != &other) {
    keyId_ = other.keyId_;
    secret_ = other.secret_;
    sodium_memzero(other.secret_.data(), other.secret_.size());
  }
  return *this;
}

MinisignPublicKey MinisignSecretKey::publicKey() const {
  MinisignPublicKey key;
  key.keyId = keyId_;
  std::memcpy(key.key.data(), secret_.data() + 32, key.key.size());
  return key;
}

std::string MinisignSecretKey::Sign(std::string_view document, std::string_view trustedComment,
                                    std::string_view untrustedComment) const {
  EnsureSodium();
  CheckComment(trustedComment, kTrustedCommentLimit, "trusted comment");
  CheckComment(untrustedComment, kUntrustedCommentLimit, "untrusted comment");
  MinisignSignature signature;
  signature.algorithm = MinisignAlgorithm::kPrehashed;
  signature.keyId = keyId_;
  signature.untrustedComment = untrustedComment.empty()
                                   ? "signature from secret key " + FormatKeyId(keyId_)
                                   : std::string(untrustedComment);
  signature.trustedComment = std::string(trustedComment);
  const auto hash = Prehash(document);
  crypto_sign_detached(signature.signature.data(), nullptr, hash.data(), hash.size(),
                       secret_.data());
  std::string covered(signature.signature.begin(), signature.signature.end());
  covered += signature.trustedComment;
  crypto_sign_detached(signature.globalSignature.data(), nullptr,
                       reinterpret_cast<const unsigned char*>(covered.data()), covered.size(),
                       secret_.data());
  return signature.ToFile();
}

MinisignSecretKey ParseMinisignSecretKey(std::string_view text, const PasswordSource& password) {
  using L = SecretKeyLayout;
  EnsureSodium();
  const std::vector<std::string_view> lines = Lines(text);
  if (lines.size() != 2 || !StartsWith(lines[0], kCommentPrefix)) {
    Malformed("a secret key is an \"untrusted comment:\" line and a base64 line");
  }
  std::vector<std::uint8_t> bytes = FromBase64(lines[1], L::kSize, "secret key");
  // Wiped on every way out, as it holds the key in clear once decrypted.
  struct Wipe {
    std::vector<std::uint8_t>& bytes;
    ~Wipe() { sodium_memzero(bytes.data(), bytes.size()); }
  } wipe{bytes};

  if (!SameBytes(&bytes[L::kSignatureAlgorithm], kLegacyAlgorithm)) {
    Malformed("the secret key is not an Ed25519 key");
  }
  if (!SameBytes(&bytes[L::kChecksumAlgorithm], kBlake2Algorithm)) {
    Malformed("the secret key has an unknown checksum algorithm");
  }
  const bool encrypted = SameBytes(&bytes[L::kKdfAlgorithm], kScryptAlgorithm);
  if (!encrypted && !SameBytes(&bytes[L::kKdfAlgorithm], kNoKdfAlgorithm)) {
    Malformed("the secret key is encrypted in an unknown way");
  }

  if (encrypted) {
    std::string secretPassword = password();
    std::vector<std::uint8_t> stream(L::kSize - L::kKeyId);
    const int derived = crypto_pwhash_scryptsalsa208sha256(
        stream.data(), stream.size(), secretPassword.data(), secretPassword.size(),
        &bytes[L::kSalt], LittleEndian64(&bytes[L::kOpsLimit]),
        static_cast<std::size_t>(LittleEndian64(&bytes[L::kMemLimit])));
    sodium_memzero(secretPassword.data(), secretPassword.size());
    if (derived != 0) {
      Malformed("the secret key's password cannot be derived with its scrypt limits");
    }
    for (std::size_t i = 0; i < stream.size(); ++i) bytes[L::kKeyId + i] ^= stream[i];
    sodium_memzero(stream.data(), stream.size());
  }

  // The checksum covers the algorithm, the key id and the secret key; minisign writes it
  // zero for unencrypted keys, and then the public half's check below has to do.
  std::uint8_t checksum[32];
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, sizeof checksum);
  crypto_generichash_update(&state, &bytes[L::kSignatureAlgorithm], 2);
  crypto_generichash_update(&state, &bytes[L::kKeyId], 8);
  crypto_generichash_update(&state, &bytes[L::kSecret], 64);
  crypto_generichash_final(&state, checksum, sizeof checksum);
  const bool checksumMatches = sodium_memcmp(checksum, &bytes[L::kChecksum], 32) == 0;
  sodium_memzero(checksum, sizeof checksum);
  if (encrypted && !checksumMatches) {
    throw SignatureError(SignatureFailure::kWrongPassword,
                         "the password does not decrypt the secret key, or the key is damaged");
  }
  if (!encrypted && !checksumMatches && !sodium_is_zero(&bytes[L::kChecksum], 32)) {
    Malformed("the secret key fails its checksum");
  }

  // An Ed25519 secret key is its seed and its public key; the public key must follow from the
  // seed, or every signature made with it would fail.
  std::uint8_t publicKey[crypto_sign_PUBLICKEYBYTES];
  std::uint8_t rebuilt[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(publicKey, rebuilt, &bytes[L::kSecret]);
  const bool consistent = sodium_memcmp(rebuilt, &bytes[L::kSecret], sizeof rebuilt) == 0;
  sodium_memzero(rebuilt, sizeof rebuilt);
  if (!consistent) Malformed("the secret key is damaged: its halves do not belong together");

  MinisignKeyId keyId;
  std::memcpy(keyId.data(), &bytes[L::kKeyId], keyId.size());
  std::array<std::uint8_t, 64> secret;
  std::memcpy(secret.data(), &bytes[L::kSecret], secret.size());
  MinisignSecretKey key(keyId, secret);
  sodium_memzero(secret.data(), secret.size());
  return key;
}

MinisignSecretKey ReadMinisignSecretKeyFile(const std::string& path,
                                            const PasswordSource& password) {
  std::string text = ReadWholeFile(path, "secret key");
  struct Wipe {
    std::string& text;
    ~Wipe() { sodium_memzero(text.data(), text.size()); }
  } wipe{text};
  return WithPath(path, [&] { return ParseMinisignSecretKey(text, password); });
}

}  // namespace halv
