#ifndef HALV_SIGN_SIGNATURE_ERROR_H_
#define HALV_SIGN_SIGNATURE_ERROR_H_

#include <stdexcept>
#include <string>

namespace halv {

// Why a key or a signature was refused.
enum class SignatureFailure {
  kUnreadable,     // a key or signature file cannot be read
  kMalformed,      // a key, signature or trusted comment is not in its format
  kUnknownKey,     // the signature names a key id that is not the given key (or any of them)
  kBadSignature,   // the document does not match its signature
  kBadComment,     // the trusted comment does not match its global signature
  kWrongDocument,  // authentic, but the trusted comment names another document
  kWrongPassword,  // an encrypted secret key does not decrypt with the password
  kNoPassword,     // an encrypted secret key, and no password to be had
};

// Every refusal of the signing library: the failure, for callers that branch on it, and a message
// for people, which names the file or key where there is one. A plain value; throw and copy from
// any thread.
class SignatureError : public std::runtime_error {
 public:
  SignatureError(SignatureFailure failure, const std::string& message)
      : std::runtime_error(message), failure_(failure) {}

  SignatureFailure failure() const { return failure_; }

 private:
  SignatureFailure failure_;
};

}  // namespace halv

#endif  // HALV_SIGN_SIGNATURE_ERROR_H_
