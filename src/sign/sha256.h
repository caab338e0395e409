#ifndef HALV_SIGN_SHA256_H_
#define HALV_SIGN_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/types.h>

namespace halv {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The SHA-256 of `size` bytes at `data`, through OpenSSL's libcrypto, which uses the processor's
// SHA instructions where it has them. Stateless; safe to call from any thread.
Sha256Digest Sha256(const void* data, std::size_t size);
Sha256Digest Sha256(std::string_view bytes);

// The 64 lowercase hexadecimal digits of `digest`, as documents carry them.
std::string Sha256Hex(const Sha256Digest& digest);

// The digest written as exactly 64 hexadecimal digits (either case); std::nullopt for any other
// text, so a short, long or non-hexadecimal entry never compares equal to a real digest.
std::optional<Sha256Digest> ParseSha256Hex(std::string_view text);

// The SHA-256 of bytes that arrive in pieces, for data that is never whole in memory.
// Ownership: one owner; not shared between threads without a lock.
class Sha256Hasher {
 public:
  Sha256Hasher();
  ~Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  void Update(const void* data, std::size_t size);
  // The digest of everything given since construction or the last Finish, which starts over.
  Sha256Digest Finish();

 private:
  EVP_MD_CTX* context_;
};

}  // namespace halv

#endif  // HALV_SIGN_SHA256_H_
