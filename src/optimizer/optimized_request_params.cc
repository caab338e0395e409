#include "optimizer/optimized_request_params.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <Poco/URI.h>

#include "manifest/manifest_url.h"

namespace halv {

OptimizedRequestParams::OptimizedRequestParams(std::shared_ptr<const NodeListManifest> nodeList,
                                               TransferParams params,
                                               std::shared_ptr<TransferSharedMapData> chunkData)
    : NodeList(std::move(nodeList)),
      CandidateNodes(NodeList ? NodeList->GetNodes() : NodeListManifest::NodeList()),
      Params(std::move(params)),
      ChunkData(std::move(chunkData)) {}

namespace {

// `segment` as a relative reference of exactly one path level: every character that would end
// the segment or change what it means to the resolution ("/", "?", "#", "%", ":" and the other
// reserved ones) is percent-encoded.
std::string EncodeSegment(const std::string& segment) {
  std::string encoded;
  Poco::URI::encode(segment, "!#$&'()*+,/:;=?@[]%", encoded);
  return encoded;
}

// The folder of the package's versions on `node`.
Poco::URI PackageFolder(const NodeManifest& node, const TransferParams& params) {
  // A node written "https://HOST[:PORT]" is fetched over TLS; a bare HOST[:PORT] stays plain.
  const HostAddress address = ParseHostAddress(node.GetHost());
  Poco::URI uri;
  uri.setScheme(address.scheme);
  uri.setAuthority(address.authority);
  uri.setPath(node.GetPath());
  uri.resolve(EncodeSegment(params.partnerId) + "/");
  uri.resolve(EncodeSegment(params.packageId) + "/");
  return uri;
}

}  // namespace

std::string OptimizedRequestParams::ToPackageUrl(const std::string& name) const {
  if (!SelectedNode) {
    throw std::invalid_argument(
        "OptimizedRequestParams::ToPackageUrl invoked with no SelectedNode");
  }
  Poco::URI uri = PackageFolder(*SelectedNode, Params);
  uri.resolve("./" + EncodeSegment(name));
  return uri.toString();
}

std::string OptimizedRequestParams::ToUrl() const {
  if (!SelectedNode || !ChunkData) {
    throw std::invalid_argument(
        "OptimizedRequestParams::ToUrl invoked with no SelectedNode or no ChunkData");
  }
  Poco::URI uri = PackageFolder(*SelectedNode, Params);
  uri.resolve(EncodeSegment(Params.versionId) + "/");
  const std::string& path = ChunkData->fileData ? ChunkData->fileData->filePath : std::string();
  const std::size_t first = path.find_first_not_of('/');
  std::string relative;
  for (std::size_t start = first; start != std::string::npos && start <= path.size();) {
    const std::size_t slash = path.find('/', start);
    if (!relative.empty()) relative += '/';
    relative +=
        EncodeSegment(path.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  // A first segment that reads like "name:" would be taken for a scheme; "./" keeps it a path.
  uri.resolve("./" + relative);
  return uri.toString();
}

HttpRequestParams OptimizedRequestParams::ToRequestParams(HttpWriteCallback* writer) const {
  HttpRequestParams request(ToUrl(), writer);
  request.method = HttpMethod::Get;
  request.acceptEncoding.clear();
  if (ChunkData) {
    request.rangeStart = ChunkData->lowerBound;
    request.rangeEnd = ChunkData->upperBound;
  }
  request.connectTimeout = ConnectTimeout;
  request.timeout = Timeout;
  request.lowSpeedLimit = LowSpeedLimit;
  request.lowSpeedTime = LowSpeedTime;
  return request;
}

void OptimizedRequestParams::DropSelectedNode() {
  CandidateNodes.erase(std::remove(CandidateNodes.begin(), CandidateNodes.end(), SelectedNode),
                       CandidateNodes.end());
  if (CandidateNodes.empty() && NodeList) CandidateNodes = NodeList->GetNodes();
}

}  // namespace halv
