#include "nginx_site.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace halv::test {

namespace {

std::string Quote(const std::string& text) { return "'" + text + "'"; }

}  // namespace

std::vector<int> FreeLoopbackPorts(int count) {
  std::vector<int> sockets;
  std::vector<int> ports;
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no free port";
    }
    sockets.push_back(fd);
    ports.push_back(ntohs(address.sin_port));
  }
  for (const int fd : sockets) ::close(fd);
  return ports;
}

NginxSite::NginxSite(std::string publishBinary, std::string serveNginx, std::string folder,
                     int nodes)
    : publish_(std::move(publishBinary)),
      serveNginx_(std::move(serveNginx)),
      folder_(std::move(folder)),
      nodes_(nodes) {}

NginxSite::~NginxSite() {
  if (!started_) return;
  const std::string stop = Quote(serveNginx_) + " stop --state " + Quote(folder_ + "/nginx");
  EXPECT_EQ(::system(stop.c_str()), 0);
}

void NginxSite::Add(const std::string& input, const std::string& partner,
                    const std::string& package, const std::string& version,
                    const std::string& extra) {
  publications_.push_back({input, partner, package, version, extra});
}

void NginxSite::UseTls(const std::string& certificate, const std::string& key) {
  tlsArguments_ = " --tls-cert " + Quote(certificate) + " --tls-key " + Quote(key);
}

void NginxSite::Serve() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (TryServe()) return;
  }
  ADD_FAILURE() << "nginx could not start on free ports";
}

bool NginxSite::TryServe() {
  const std::vector<int> ports = FreeLoopbackPorts(nodes_ + 1);
  manifestPort_ = ports[0];
  nodePorts_.assign(ports.begin() + 1, ports.end());
  // The node list names the ports: publish anew for every set of ports.
  std::filesystem::remove_all(folder_ + "/www");
  for (const Publication& p : publications_) {
    std::string command = Quote(publish_) + " --input " + Quote(p.input) + " --output " +
                          Quote(folder_ + "/www") + " --partner " + p.partner + " --package " +
                          p.package + " --package-version " + p.version + " --name Test " + p.extra;
    const std::string scheme = tlsArguments_.empty() ? "" : "https://";
    for (const int port : nodePorts_) {
      command += " --node " + scheme + "127.0.0.1:" + std::to_string(port);
    }
    command += " >/dev/null";
    if (::system(command.c_str()) != 0) {
      ADD_FAILURE() << "publishing failed: " << command;
      return true;
    }
  }
  std::string start = Quote(serveNginx_) + " start --root " + Quote(folder_ + "/www") +
                      " --state " + Quote(folder_ + "/nginx") + " --manifest-port " +
                      std::to_string(manifestPort_);
  for (const int port : nodePorts_) start += " --node-port " + std::to_string(port);
  start += tlsArguments_ + " >/dev/null 2>&1";
  started_ = ::system(start.c_str()) == 0;
  return started_;
}

std::string NginxSite::ManifestHost() const {
  return (tlsArguments_.empty() ? "" : "https://") + std::string("127.0.0.1:") +
         std::to_string(manifestPort_);
}

std::vector<std::string> NginxSite::FileRequests() const {
  std::vector<std::string> lines;
  for (const int port : nodePorts_) {
    std::ifstream log(folder_ + "/nginx/access-" + std::to_string(port) + ".log");
    for (std::string line; std::getline(log, line);) {
      if (line.find("/packages/") != std::string::npos) lines.push_back(line);
    }
  }
  return lines;
}

}  // namespace halv::test
