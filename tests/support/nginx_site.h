#ifndef HALV_TESTS_SUPPORT_NGINX_SITE_H_
#define HALV_TESTS_SUPPORT_NGINX_SITE_H_

#include <string>
#include <vector>

namespace halv::test {

// `count` distinct loopback ports that were free a moment ago.
std::vector<int> FreeLoopbackPorts(int count);

// Folders published with the real halvane-publish and served by tools/serve-nginx on loopback:
// one manifest port and a number of node ports, each with its own access log.
// Ownership: a test's fixture; stops the nginx it started (by the PID of its state folder) when
// destroyed. Thread-safety: the owning test's thread.
class NginxSite {
 public:
  // `folder` receives the published tree, nginx's state and the inputs' copies.
  NginxSite(std::string publishBinary, std::string serveNginx, std::string folder, int nodes);
  ~NginxSite();
  NginxSite(const NginxSite&) = delete;
  NginxSite& operator=(const NginxSite&) = delete;

  // Remembers one publication: `input` as PARTNER/`package`/`version` with the site's nodes, and
  // `extra` arguments for halvane-publish. Published by Serve.
  void Add(const std::string& input, const std::string& partner, const std::string& package,
           const std::string& version, const std::string& extra = "");
  // Serves every port over TLS with this certificate and key; the nodes and the manifest host
  // are then https ones. Before Serve.
  void UseTls(const std::string& certificate, const std::string& key);
  // Takes free ports, publishes everything added with them as nodes, and starts nginx; tries
  // new ports when another process took one in between. Fails the test when it cannot.
  void Serve();

  std::string ManifestHost() const;
  const std::vector<int>& NodePorts() const { return nodePorts_; }
  // The request lines of every file request the nodes logged so far.
  std::vector<std::string> FileRequests() const;

 private:
  struct Publication {
    std::string input, partner, package, version, extra;
  };
  bool TryServe();

  const std::string publish_;
  const std::string serveNginx_;
  const std::string folder_;
  const int nodes_;
  std::vector<Publication> publications_;
  std::string tlsArguments_;  // for serve-nginx; empty for plain HTTP
  int manifestPort_ = 0;
  std::vector<int> nodePorts_;
  bool started_ = false;
};

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_NGINX_SITE_H_
