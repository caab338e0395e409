#include "optimizer/optimized_request_params.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/node_list_manifest.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

std::shared_ptr<const NodeListManifest> MakeNodeList(const std::vector<std::string>& hosts) {
  ptree document;
  for (const auto& host : hosts) {
    ptree node;
    node.put("NodeId", host);
    node.put("Host", host);
    document.add_child("ArrayOfNodeInfo.NodeInfo", node);
  }
  auto list = std::make_shared<StandardNodeListManifest>();
  list->Read(document);
  return list;
}

std::vector<std::string> Hosts(const std::vector<std::shared_ptr<NodeManifest>>& nodes) {
  std::vector<std::string> hosts;
  for (const auto& node : nodes) hosts.push_back(node->GetHost());
  return hosts;
}

TEST(OptimizedRequestParamsTest, StartsWithEveryNodeAsCandidateAndNothingChosen) {
  const auto list = MakeNodeList({"a", "b", "c"});
  TransferParams ids;
  ids.packageId = "abc";
  const OptimizedRequestParams params(list, ids, nullptr);
  EXPECT_EQ(params.CandidateNodes, list->GetNodes());
  EXPECT_EQ(params.Params.packageId, "abc");
  EXPECT_FALSE(params.SelectedNode);
  EXPECT_FALSE(params.FreeRetry || params.CanExtendTimeouts || params.IsProbe);
  EXPECT_EQ(params.ConnectTimeout | params.Timeout | params.LowSpeedLimit | params.LowSpeedTime, 0);
}

TEST(OptimizedRequestParamsTest, DropsTriedNodesAndRefillsInListOrderWhenAllWereTried) {
  const auto list = MakeNodeList({"a", "b", "c"});
  OptimizedRequestParams params(list, TransferParams(), nullptr);
  const auto& nodes = list->GetNodes();
  struct Step {
    std::size_t drop;
    std::vector<std::string> left;
  };
  const Step steps[] = {
      {1, {"a", "c"}},
      {0, {"c"}},
      {2, {"a", "b", "c"}},
      {0, {"b", "c"}},
  };
  for (const Step& step : steps) {
    params.SelectedNode = nodes[step.drop];
    params.DropSelectedNode();
    EXPECT_EQ(Hosts(params.CandidateNodes), step.left);
  }
}

TEST(OptimizedRequestParamsTest, DropRemovesEveryEntryOfTheSelectedNode) {
  const auto list = MakeNodeList({"a", "b"});
  OptimizedRequestParams params(list, TransferParams(), nullptr);
  const auto& nodes = list->GetNodes();
  params.CandidateNodes = {nodes[0], nodes[1], nodes[0]};
  params.SelectedNode = nodes[0];
  params.DropSelectedNode();
  EXPECT_EQ(Hosts(params.CandidateNodes), std::vector<std::string>{"b"});
}

}  // namespace
}  // namespace halv
