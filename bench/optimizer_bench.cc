// The cost of choosing a node for one chunk request: GetNode over 2, 5 and 20 measured nodes,
// whose speeds spread from 1 to 10 MB/s with some jitter, so the gamble of every call runs its
// full trial count (100, 250 and 500 trials). Reported in microseconds per call; the gamble holds
// the optimizer's one mutex, so this is also how long every other chunk request may wait for it.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/property_tree/ptree.hpp>

#include "config/settings.h"
#include "manifest/node_manifest.h"
#include "optimizer/optimized_request_params.h"
#include "optimizer/proportional_gambling_transfer_optimizer.h"
#include "transfer/http_transfer_status_data.h"
#include "transfer/transfer_shared_data.h"

namespace halv {
namespace {

constexpr std::uint64_t kChunk = 1048576;

std::vector<std::shared_ptr<NodeManifest>> MakeNodes(int count) {
  std::vector<std::shared_ptr<NodeManifest>> nodes;
  for (int i = 0; i < count; ++i) {
    boost::property_tree::ptree info;
    info.put("NodeId", "node" + std::to_string(i));
    info.put("Host", "node" + std::to_string(i) + ".example:8080");
    nodes.push_back(std::make_shared<StandardNodeManifest>(info));
  }
  return nodes;
}

OptimizedRequestParams MakeParams(const std::vector<std::shared_ptr<NodeManifest>>& nodes) {
  auto file = std::make_shared<TransferSharedFileData>("bench.bin", 64 * kChunk);
  OptimizedRequestParams params(
      nullptr, TransferParams(),
      std::make_shared<TransferSharedMapData>(file, 0, kChunk - 1, 0, nullptr));
  params.CandidateNodes = nodes;
  return params;
}

// Ten samples per node: node i serves a chunk in 100 to 1000 ms, give or take 10%.
void Measure(TransferOptimizer& optimizer,
             const std::vector<std::shared_ptr<NodeManifest>>& nodes) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    for (int s = 0; s < 10; ++s) {
      OptimizedRequestParams params = MakeParams({nodes[i]});
      params.SelectedNode = nodes[i];
      const auto baseMs = static_cast<std::int32_t>(100 + 900 * i / nodes.size());
      const std::int32_t timeMs = baseMs + (s % 3 - 1) * baseMs / 10;
      optimizer.ReportResult(
          params,
          HttpTransferStatusData(nodes[i]->GetHost(),
                                 HttpRequestStatus(HttpRequestResult::Success, kChunk), timeMs));
    }
  }
}

void BM_GetNode(benchmark::State& state) {
  const auto nodeCount = static_cast<int>(state.range(0));
  ProportionalGamblingTransferOptimizer optimizer(Settings(4), 12345);
  const auto nodes = MakeNodes(nodeCount);
  Measure(optimizer, nodes);
  // GetNode only writes the choice and the time-outs, so one record serves every call.
  OptimizedRequestParams params = MakeParams(nodes);
  for (auto _ : state) {
    optimizer.GetNode(params);
    benchmark::DoNotOptimize(params.SelectedNode);
  }
  if (params.IsProbe) state.SkipWithError("the nodes were not measured");
  state.counters["trials"] = std::min(10000 / nodeCount, 50 * nodeCount);
}

BENCHMARK(BM_GetNode)->Arg(2)->Arg(5)->Arg(20)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace halv

BENCHMARK_MAIN();
