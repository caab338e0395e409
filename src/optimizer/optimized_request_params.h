#ifndef HALV_OPTIMIZER_OPTIMIZED_REQUEST_PARAMS_H_
#define HALV_OPTIMIZER_OPTIMIZED_REQUEST_PARAMS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/http_request.h"

#include "manifest/node_list_manifest.h"
#include "manifest/node_manifest.h"
#include "transfer/transfer_params.h"
#include "transfer/transfer_shared_data.h"

namespace halv {

// The parameters of one chunk request: which nodes it may still try, the node the optimizer
// chose for the current attempt, and the time-outs and speed limit of that attempt.
// Ownership: a plain member of its chunk request work, never shared.
// Thread-safety: used by the work's thread only (the optimizer fills it on that thread).
struct OptimizedRequestParams {
  // CandidateNodes starts as every node of `nodeList`, in list order; flags false, numbers 0.
  OptimizedRequestParams(std::shared_ptr<const NodeListManifest> nodeList, TransferParams params,
                         std::shared_ptr<TransferSharedMapData> chunkData);

  // Removes SelectedNode from the candidates (every entry equal to it; the rest keep their order).
  // When no candidate is left, every node of the list becomes a candidate again, in list order,
  // so a chunk's attempts go through all nodes before any node is asked twice.
  void DropSelectedNode();

  // The chunk's URL on SelectedNode: http://<host><node path><partner>/<package>/<version>/<file
  // path without leading "/">, every id and every path segment percent-encoded, so that names
  // holding a space, "#", "?", "%" or ":" reach the node as they are. Throws
  // std::invalid_argument without SelectedNode or ChunkData.
  std::string ToUrl() const;
  // The URL on SelectedNode of `name` (one path level) beside the package's versions:
  // http://<host><node path><partner>/<package>/<name>, as ToUrl encodes. Throws
  // std::invalid_argument without SelectedNode.
  std::string ToPackageUrl(const std::string& name) const;
  // A ranged GET of the chunk's bytes (lowerBound-upperBound, inclusive) with the time-outs and
  // the speed limit of this attempt, writing into `writer`.
  HttpRequestParams ToRequestParams(HttpWriteCallback* writer) const;

  std::shared_ptr<const NodeListManifest> NodeList;
  std::vector<std::shared_ptr<NodeManifest>> CandidateNodes;
  TransferParams Params;
  std::shared_ptr<TransferSharedMapData> ChunkData;
  std::shared_ptr<NodeManifest> SelectedNode;  // empty until the first GetNode
  bool FreeRetry = false;           // the failed attempt does not count against the retry limit
  bool CanExtendTimeouts = false;   // the optimizer's adaptive time-outs may still grow
  bool IsProbe = false;             // the attempt measures a little-known node
  bool GivenUp = false;             // the optimizer's watch gave the attempt up as too slow
  bool Reserved = false;            // GetNode's in-flight count of SelectedNode is still held
  std::int32_t ConnectTimeout = 0;  // seconds
  std::int32_t Timeout = 0;         // seconds for the whole request
  std::int32_t LowSpeedLimit = 0;   // bytes per second
  std::int32_t LowSpeedTime = 0;    // seconds
};

}  // namespace halv

#endif  // HALV_OPTIMIZER_OPTIMIZED_REQUEST_PARAMS_H_
