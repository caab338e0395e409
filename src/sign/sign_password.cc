#include "sign/sign_password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "sign/signature_error.h"

namespace halv {
namespace {

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the prompt is a courtesy; reading still works without it
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

std::string PasswordFromEnvironmentOrTerminal() {
  if (const char* value = std::getenv(kSignPasswordVariable)) return value;

  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    throw SignatureError(SignatureFailure::kNoPassword,
                         std::string("the secret key is encrypted: set ") + kSignPasswordVariable +
                             " to its password or run from a terminal");
  }
  termios saved{};
  const bool terminal = tcgetattr(fd, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  WriteAll(fd, "Password for the secret key: ");
  std::string password;
  bool ended = false;
  for (char c; !ended;) {
    const ssize_t got = read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    ended = got <= 0 || c == '\n';
    if (!ended) password += c;
  }
  if (terminal) tcsetattr(fd, TCSAFLUSH, &saved);
  close(fd);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

}  // namespace halv
