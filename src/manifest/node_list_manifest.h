#ifndef HALV_MANIFEST_NODE_LIST_MANIFEST_H_
#define HALV_MANIFEST_NODE_LIST_MANIFEST_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/input_manifest.h"
#include "manifest/node_manifest.h"

namespace halv {

// The download nodes that serve a partner's packages, in document order. Ownership: held by
// shared pointers; the nodes are shared with the transfer and the optimizer. Thread-safety:
// filled once by Read before it is shared; afterwards the list is read from any thread.
class NodeListManifest : public InputManifest {
 public:
  using NodeList = std::vector<std::shared_ptr<NodeManifest>>;

  // Never empty after a successful Read.
  virtual const NodeList& GetNodes() const = 0;

  // Sum of the weights as unsigned 32-bit numbers (a negative weight wraps).
  std::uint32_t GetTotalWeight() const;
  // The nodes the document named but the list left out, in document order, as printable text
  // (their hosts, with what they lack); none by default.
  virtual const std::vector<std::string>& GetLeftOutHosts() const;
};

// Whether `host` (a node's Host: "[scheme://]NAME[:PORT]" or "[scheme://][IPv6][:PORT]") can
// form a request's URL: a non-empty name of letters, digits, "-", "." and "_", or a bracketed
// IPv6 address, and a port, when given, from 1 to 65535 in plain decimal.
bool IsUsableNodeHost(const std::string& host);

// The document ArrayOfNodeInfo with one NodeInfo element per node; other children are ignored.
// A node whose host cannot form a URL, or that lacks its NodeId or Host, is left out (one bad
// mirror must not stop the others) and named in GetLeftOutHosts for the log: by its host, and
// what it lacks ("HOST (no NodeId)", "node ID (no Host)", "node N (no Host, no NodeId)"). Weights
// are cleaned after that: zero-weight nodes are dropped, unless the weights sum to 0, in which case
// every weight becomes 1.
class StandardNodeListManifest : public NodeListManifest {
 public:
  StandardNodeListManifest() = default;

  // `tree` is the whole document. Throws ManifestParseException when the root is missing or
  // there is no node at all; when every node was left out, the message names them.
  void Read(const boost::property_tree::ptree& tree) override;

  const NodeList& GetNodes() const override { return nodes_; }
  const std::vector<std::string>& GetLeftOutHosts() const override { return leftOut_; }

 private:
  NodeList nodes_;
  std::vector<std::string> leftOut_;
};

}  // namespace halv

#endif  // HALV_MANIFEST_NODE_LIST_MANIFEST_H_
