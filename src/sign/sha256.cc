#include "sign/sha256.h"

#include <new>
#include <stdexcept>

#include <openssl/evp.h>

namespace halv {
namespace {

// Fetched once: OpenSSL 3 otherwise looks the algorithm up in its provider table on every call,
// which costs more than hashing a short buffer. An EVP_MD is immutable and shared by threads.
const EVP_MD* Algorithm() {
  static const EVP_MD* const algorithm = [] {
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (fetched == nullptr) throw std::runtime_error("OpenSSL offers no SHA-256");
    return fetched;
  }();
  return algorithm;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Sha256Digest Sha256(const void* data, std::size_t size) {
  Sha256Digest digest;
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest.data(), &length, Algorithm(), nullptr) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("SHA-256 failed in OpenSSL");
  }
  return digest;
}

Sha256Digest Sha256(std::string_view bytes) { return Sha256(bytes.data(), bytes.size()); }

std::string Sha256Hex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(digest.size() * 2, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 0xf];
  }
  return text;
}

std::optional<Sha256Digest> ParseSha256Hex(std::string_view text) {
  Sha256Digest digest;
  if (text.size() != digest.size() * 2) return std::nullopt;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return digest;
}

Sha256Hasher::Sha256Hasher() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr) throw std::bad_alloc();
  if (EVP_DigestInit_ex(context_, Algorithm(), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw std::runtime_error("SHA-256 failed in OpenSSL");
  }
}

Sha256Hasher::~Sha256Hasher() { EVP_MD_CTX_free(context_); }

void Sha256Hasher::Update(const void* data, std::size_t size) {
  if (EVP_DigestUpdate(context_, data, size) != 1) {
    throw std::runtime_error("SHA-256 failed in OpenSSL");
  }
}

Sha256Digest Sha256Hasher::Finish() {
  Sha256Digest digest;
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_, digest.data(), &length) != 1 || length != digest.size() ||
      EVP_DigestInit_ex(context_, Algorithm(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed in OpenSSL");
  }
  return digest;
}

}  // namespace halv
