#include "manifest/node_manifest.h"

#include <limits>
#include <optional>

#include <boost/property_tree/ptree.hpp>

#include "manifest/decimal_text.h"
#include "manifest/manifest_exception.h"
#include "manifest/node_statistics.h"

namespace halv {
namespace {

const char kDefaultPath[] = "/packages/";

}  // namespace

StandardNodeManifest::StandardNodeManifest(const boost::property_tree::ptree& tree)
    : path_(kDefaultPath), weight_(1), statistics_(std::make_shared<NodeStatistics>()) {
  StandardNodeManifest::Read(tree);
}

StandardNodeManifest::StandardNodeManifest(const NodeManifest& other,
                                           std::shared_ptr<NodeStatistics> statistics)
    : nodeId_(other.GetNodeId()),
      host_(other.GetHost()),
      path_(other.GetPath()),
      weight_(other.GetWeight()),
      statistics_(std::move(statistics)) {}

void StandardNodeManifest::Read(const boost::property_tree::ptree& tree) {
  try {
    nodeId_ = tree.get_child("NodeId").data();
    host_ = tree.get_child("Host").data();
    path_ = tree.get<std::string>("Path", kDefaultPath);
    std::optional<std::int64_t> weight;
    if (const auto text = tree.get_child_optional("Weight")) {
      weight = ParseDecimalSigned(text->data(), std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max());
    }
    weight_ = weight ? static_cast<std::int32_t>(*weight) : 1;
  } catch (...) {
    throw ManifestParseException();
  }
  if (path_.empty() || path_.front() != '/') path_.insert(path_.begin(), '/');
  if (path_.back() != '/') path_.push_back('/');
  if (nodeId_.empty() || host_.empty()) throw ManifestParseException();
}

void StandardNodeManifest::Write(boost::property_tree::ptree& tree) const {
  tree.put("Node", host_);
  tree.put("Path", path_);
  tree.put("Weight", weight_);
  statistics_->Write(tree);
}

std::shared_ptr<NodeManifest> StandardNodeManifest::WithStatistics(
    std::shared_ptr<NodeStatistics> statistics) const {
  return std::make_shared<StandardNodeManifest>(*this, std::move(statistics));
}

}  // namespace halv
