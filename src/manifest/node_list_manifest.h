#ifndef HALV_MANIFEST_NODE_LIST_MANIFEST_H_
#define HALV_MANIFEST_NODE_LIST_MANIFEST_H_

#include <cstdint>
#include <memory>
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
};

// The document ArrayOfNodeInfo with one NodeInfo element per node; other children are ignored.
// Weights are cleaned after reading: zero-weight nodes are dropped, unless the weights sum to 0,
// in which case every weight becomes 1.
class StandardNodeListManifest : public NodeListManifest {
 public:
  StandardNodeListManifest() = default;

  // `tree` is the whole document. Throws ManifestParseException when the root is missing, a
  // node is defective or there is no node at all.
  void Read(const boost::property_tree::ptree& tree) override;

  const NodeList& GetNodes() const override { return nodes_; }

 private:
  NodeList nodes_;
};

}  // namespace halv

#endif  // HALV_MANIFEST_NODE_LIST_MANIFEST_H_
