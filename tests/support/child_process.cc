#include "child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace halv::test {

std::string RunInChild(const std::function<std::string()>& body) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(channel[0]);
    std::string message;
    try {
      message = body();
    } catch (const std::exception& error) {
      message = std::string("unexpected exception: ") + error.what();
    }
    const ssize_t written = write(channel[1], message.data(), message.size());
    _exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
  }
  close(channel[1]);
  std::string message;
  char buffer[256];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    message.append(buffer, static_cast<std::size_t>(n));
  }
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    message += " (child ended with status " + std::to_string(status) + ")";
  }
  return message;
}

}  // namespace halv::test
