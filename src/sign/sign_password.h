#ifndef HALV_SIGN_SIGN_PASSWORD_H_
#define HALV_SIGN_SIGN_PASSWORD_H_

#include <string>

namespace halv {

// The environment variable that holds the password of an encrypted secret key, for runs without
// a terminal (scripts, CI). Named by the publisher's --help.
inline constexpr char kSignPasswordVariable[] = "HALVANE_SIGN_PASSWORD";

// The password of an encrypted secret key: the value of kSignPasswordVariable when it is set
// (even empty), otherwise a line typed at the controlling terminal after a prompt, without echo.
// Throws SignatureError(kNoPassword) when the variable is unset and there is no terminal.
// A PasswordSource for ReadMinisignSecretKeyFile. Reads the environment: call it from the
// thread that owns it, while no other thread changes it.
std::string PasswordFromEnvironmentOrTerminal();

}  // namespace halv

#endif  // HALV_SIGN_SIGN_PASSWORD_H_
