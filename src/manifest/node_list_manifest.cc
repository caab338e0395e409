#include "manifest/node_list_manifest.h"

#include <algorithm>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"

namespace halv {

std::uint32_t NodeListManifest::GetTotalWeight() const {
  std::uint32_t total = 0;
  for (const auto& node : GetNodes()) total += static_cast<std::uint32_t>(node->GetWeight());
  return total;
}

void StandardNodeListManifest::Read(const boost::property_tree::ptree& tree) {
  try {
    nodes_.clear();
    for (const auto& child : tree.get_child("ArrayOfNodeInfo")) {
      if (child.first != "NodeInfo") continue;
      nodes_.push_back(std::make_shared<StandardNodeManifest>(child.second));
    }
  } catch (...) {
    throw ManifestParseException();
  }
  if (nodes_.empty()) throw ManifestParseException();
  if (GetTotalWeight() != 0) {
    nodes_.erase(std::remove_if(nodes_.begin(), nodes_.end(),
                                [](const std::shared_ptr<NodeManifest>& node) {
                                  return node->GetWeight() == 0;
                                }),
                 nodes_.end());
  } else {
    for (const auto& node : nodes_) node->ResetWeight();
  }
}

}  // namespace halv
