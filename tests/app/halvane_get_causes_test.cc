// What halvane-get says when a run fails: each cause produced for real (loopback servers, a proxy
// that is not there, real folders and file systems) and named for what it is and where, never
// as another cause and never with an HTTP status that did not come.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/exit_status.h"

#include "nginx_site.h"
#include "scoped_environment.h"
#include "temp_dir.h"
#include "test_http_server.h"

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

// A loopback port bound and never listened on: connections to it are refused for as long as the
// object lives, and no other test's server can take it meanwhile.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no free loopback port";
    }
    address_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  ~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  const std::string& address() const { return address_; }

 private:
  int fd_;
  std::string address_;
};

// Whether this machine lets an unprivileged process mount a file system of its own (a user and
// mount namespace), which the disk rows need.
bool CanMountPrivately() {
  return std::system("unshare -rm sh -c 'mount -t tmpfs tmpfs /tmp' >/dev/null 2>&1") == 0;
}

class HalvaneGetCausesTest : public testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(temp_.Child("in/big.bin"), test::PseudoRandomBytes(40 * 65536 + 123, 3));
    test::WriteFile(temp_.Child("in/small.txt"), "hello");
    fs::create_directories(temp_.Child("home"));
  }

  // halvane-get's exit status; `errors` gets its stderr. `environment` adds variables; `mount`
  // names tmpfs options for a file system mounted on `dest` for this run alone.
  int Get(const std::string& host, const std::string& dest, const std::string& environment,
          const std::string& mount, std::string& errors) {
    std::string command = "env -i PATH=/usr/bin:/bin HOME='" + temp_.Child("home") +
                          "' XDG_CACHE_HOME='" + temp_.Child("home/cache") + "' XDG_DATA_HOME='" +
                          temp_.Child("home/data") + "' XDG_STATE_HOME='" +
                          temp_.Child("home/state") + "' HALV_ANALYTICS_URL= " + environment;
    for (const std::string& variable : test::SanitizerEnvironment()) command += " " + variable;
    if (!mount.empty()) {
      command += " unshare -rm sh -c 'mount -t tmpfs -o " + mount +
                 " tmpfs \"$0\" && exec \"$@\"' '" + dest + "'";
    }
    command += std::string(" '") + HALV_GET_BINARY + "' --host '" + host +
               "' --partner R --package abc --retry-for 0 --dest '" + dest + "' >/dev/null 2>'" +
               temp_.Child("errors") + "'";
    const int status = std::system(command.c_str());
    errors = ReadFile(temp_.Child("errors"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  test::TempDir temp_;
};

TEST_F(HalvaneGetCausesTest, EachCauseIsNamedForWhatItIsAndWhere) {
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 2);
  site.Add(temp_.Child("in"), "R", "abc", "7", "--chunk-size 65536");
  site.Serve();
  // A web server, but not the publisher's: it has no document of ours.
  test::TestHttpServer otherSite;
  otherSite.Start();
  const std::string other = "127.0.0.1:" + std::to_string(otherSite.port());
  RefusingPort deadProxy;
  RefusingPort deadHost;
  test::WriteFile(temp_.Child("a file"), "the user's");
  fs::create_directories(temp_.Child("small disk"));
  fs::create_directories(temp_.Child("read-only"));
  const bool mounts = CanMountPrivately();

  struct Case {
    const char* name;
    std::string host;
    std::string dest;
    std::string environment;
    std::string mount;  // tmpfs options for a file system on dest
    std::vector<std::string> said;
    int status;  // the documented exit status of the cause
  } const cases[] = {
      {"a proxy that is not there",
       site.ManifestHost(),
       temp_.Child("dest"),
       "http_proxy=http://" + deadProxy.address(),
       "",
       {"the proxy " + deadProxy.address() + " refused the connection"},
       kExitNetwork},
      {"a host that is not the manifest host",
       other,
       temp_.Child("dest"),
       "",
       "",
       {other + " has neither the node list of partner R nor the package abc",
        "is it the manifest host of this package?"},
       kExitNotFound},
      {"https:// on a server of plain HTTP",
       "https://" + site.ManifestHost(),
       temp_.Child("dest"),
       "",
       "",
       {site.ManifestHost() + " did not start a TLS session",
        "if it serves plain HTTP, give the host without https://"},
       kExitNetwork},
      {"a manifest host that is down",
       deadHost.address(),
       temp_.Child("dest"),
       "",
       "",
       {"the server " + deadHost.address() + " refused the connection"},
       kExitNetwork},
      {"--dest a file",
       site.ManifestHost(),
       temp_.Child("a file"),
       "",
       "",
       {temp_.Child("a file") + " is a file, not a folder"},
       kExitLocalFiles},
      {"--dest below a file",
       site.ManifestHost(),
       temp_.Child("a file/sub"),
       "",
       "",
       {"cannot create the destination folder " + temp_.Child("a file/sub") + ": " +
        temp_.Child("a file") + " is a file, not a folder"},
       kExitLocalFiles},
      {"a small empty disk",
       site.ManifestHost(),
       temp_.Child("small disk"),
       "",
       "size=64k",
       {"needs 2.5 MiB in " + temp_.Child("small disk") +
        ", and its file system has 64.0 KiB free"},
       kExitDiskFull},
      {"a read-only destination",
       site.ManifestHost(),
       temp_.Child("read-only"),
       "",
       "ro",
       {temp_.Child("read-only") + " is on a read-only file system"},
       kExitLocalFiles},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.mount.empty() && !mounts) {
      std::cout << "[ SKIPPED  ] " << c.name << ": no private mounts on this machine\n";
      continue;
    }
    std::string errors;
    EXPECT_EQ(Get(c.host, c.dest, c.environment, c.mount, errors), c.status) << errors;
    for (const std::string& text : c.said) {
      EXPECT_NE(errors.find(text), std::string::npos) << text << "\nin: " << errors;
    }
    // No status is named where none came, and no cause is blamed on the user's partner id.
    EXPECT_EQ(errors.find("HTTP 0"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("partner id right"), std::string::npos) << errors;
    // The message is one line.
    const std::size_t last = errors.rfind("halvane-get: ");
    ASSERT_NE(last, std::string::npos) << errors;
    EXPECT_EQ(errors.find('\n', last), errors.size() - 1) << errors;
  }
  EXPECT_EQ(ReadFile(temp_.Child("a file")), "the user's");
}

}  // namespace
}  // namespace halv
