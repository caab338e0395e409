#ifndef HALV_MANIFEST_NODE_MANIFEST_H_
#define HALV_MANIFEST_NODE_MANIFEST_H_

#include <cstdint>
#include <memory>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/input_manifest.h"
#include "manifest/output_manifest.h"

namespace halv {

class NodeStatistics;

// One download node of a node list: where its packages are served and how much of the load it
// should carry, with the statistics of the requests sent to it. Ownership: always held by
// shared pointers (hence shared-from-this); the statistics are shared with their readers.
// Thread-safety: the texts and the weight are written only before the node is shared and are
// then read from any thread; the statistics do their own locking.
class NodeManifest : public InputManifest,
                     public OutputManifest,
                     public std::enable_shared_from_this<NodeManifest> {
 public:
  virtual const std::string& GetNodeId() const = 0;
  // Goes into a URL's authority: a host name, optionally with ":" and a port.
  virtual const std::string& GetHost() const = 0;
  // The URL path prefix of the node's packages; always begins and ends with "/".
  virtual const std::string& GetPath() const = 0;
  // May be negative as published; sums of weights are taken as unsigned 32-bit numbers.
  virtual std::int32_t GetWeight() const = 0;
  // Sets the weight to 1.
  virtual void ResetWeight() = 0;
  virtual std::shared_ptr<NodeStatistics> GetStatistics() const = 0;
  // A new node with this node's id, host, path and weight that holds `statistics`.
  virtual std::shared_ptr<NodeManifest> WithStatistics(
      std::shared_ptr<NodeStatistics> statistics) const = 0;
};

// The NodeInfo element of a node list: NodeId and Host (required), Path (default "/packages/",
// normalised to begin and end with "/") and Weight (default 1, also when it is not a number).
// Write puts "Node" (the host), "Path" and "Weight", then the statistics' own keys.
class StandardNodeManifest final : public NodeManifest {
 public:
  // Reads `tree`, the subtree of one NodeInfo element, over the defaults (path "/packages/",
  // weight 1, fresh statistics). Throws ManifestParseException for a defective node.
  explicit StandardNodeManifest(const boost::property_tree::ptree& tree);
  // Copies the texts and the weight of `other`, holding `statistics` instead of its statistics.
  StandardNodeManifest(const NodeManifest& other, std::shared_ptr<NodeStatistics> statistics);

  void Read(const boost::property_tree::ptree& tree) override;
  void Write(boost::property_tree::ptree& tree) const override;

  const std::string& GetNodeId() const override { return nodeId_; }
  const std::string& GetHost() const override { return host_; }
  const std::string& GetPath() const override { return path_; }
  std::int32_t GetWeight() const override { return weight_; }
  void ResetWeight() override { weight_ = 1; }
  std::shared_ptr<NodeStatistics> GetStatistics() const override { return statistics_; }
  std::shared_ptr<NodeManifest> WithStatistics(
      std::shared_ptr<NodeStatistics> statistics) const override;

 private:
  std::string nodeId_;
  std::string host_;
  std::string path_;
  std::int32_t weight_;
  std::shared_ptr<NodeStatistics> statistics_;
};

}  // namespace halv

#endif  // HALV_MANIFEST_NODE_MANIFEST_H_
