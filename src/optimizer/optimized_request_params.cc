#include "optimizer/optimized_request_params.h"

#include <algorithm>
#include <utility>

namespace halv {

OptimizedRequestParams::OptimizedRequestParams(std::shared_ptr<const NodeListManifest> nodeList,
                                               TransferParams params,
                                               std::shared_ptr<TransferSharedMapData> chunkData)
    : NodeList(std::move(nodeList)),
      CandidateNodes(NodeList ? NodeList->GetNodes() : NodeListManifest::NodeList()),
      Params(std::move(params)),
      ChunkData(std::move(chunkData)) {}

void OptimizedRequestParams::DropSelectedNode() {
  CandidateNodes.erase(std::remove(CandidateNodes.begin(), CandidateNodes.end(), SelectedNode),
                       CandidateNodes.end());
  if (CandidateNodes.empty() && NodeList) CandidateNodes = NodeList->GetNodes();
}

}  // namespace halv
