#ifndef HALV_TESTS_HTTP_HTTP_TEST_HELPERS_H_
#define HALV_TESTS_HTTP_HTTP_TEST_HELPERS_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "http/http_request.h"

namespace halv::test {

// A port on 127.0.0.1 where nothing listens: bound by the system, then released.
inline std::uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Keeps every byte of a body. One request at a time.
class Collect : public HttpWriteCallback {
 public:
  HttpRequestStatus Write(const char* data, std::size_t length) override {
    body.append(data, length);
    return HttpRequestStatus(HttpRequestResult::Success, length);
  }
  std::string body;
};

}  // namespace halv::test

#endif  // HALV_TESTS_HTTP_HTTP_TEST_HELPERS_H_
