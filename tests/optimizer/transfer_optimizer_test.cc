#include "optimizer/proportional_gambling_transfer_optimizer.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "config/settings.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_manifest.h"
#include "manifest/normal_node_statistics.h"
#include "optimizer/optimized_request_params.h"
#include "start_gate.h"
#include "transfer/http_transfer_status_data.h"
#include "transfer/transfer_shared_data.h"

namespace halv {
namespace {

using boost::property_tree::ptree;
using NodePtr = std::shared_ptr<NodeManifest>;

constexpr std::uint32_t kSeed = 20261210;
constexpr std::uint64_t kMiB = 1048576;

ptree NodeInfo(const std::string& host, int weight) {
  ptree node;
  node.put("NodeId", "id-" + host);
  node.put("Host", host);
  node.put("Weight", weight);
  return node;
}

NodePtr MakeNode(const std::string& host, int weight = 1) {
  return std::make_shared<StandardNodeManifest>(NodeInfo(host, weight));
}

std::shared_ptr<const NodeListManifest> MakeNodeList(const std::vector<std::string>& hosts) {
  ptree document;
  for (const auto& host : hosts) document.add_child("ArrayOfNodeInfo.NodeInfo", NodeInfo(host, 1));
  auto list = std::make_shared<StandardNodeListManifest>();
  list->Read(document);
  return list;
}

std::shared_ptr<TransferSharedMapData> MakeChunk(std::uint64_t length) {
  auto file = std::make_shared<TransferSharedFileData>("data/file.bin", 64 * kMiB);
  return std::make_shared<TransferSharedMapData>(file, 3 * kMiB, 3 * kMiB + length - 1, 0x1234u,
                                                 nullptr);
}

// Request params whose candidates are `nodes` (the node list holds them only when given one).
OptimizedRequestParams MakeParams(const std::vector<NodePtr>& nodes, std::uint64_t length = kMiB) {
  OptimizedRequestParams params(nullptr, TransferParams(), MakeChunk(length));
  params.CandidateNodes = nodes;
  return params;
}

Settings DefaultSettings(int workThreads = 12) {
  Settings settings(4);
  settings.workThreads = workThreads;
  return settings;
}

HttpTransferStatusData Outcome(const NodePtr& node, HttpRequestResult result,
                               std::uint64_t bytes = kMiB, std::int32_t timeMs = 1000) {
  return HttpTransferStatusData(node->GetHost(), HttpRequestStatus(result, bytes), timeMs);
}

// Reports one finished request to `node` as if the optimizer had chosen it.
void Report(TransferOptimizer& optimizer, const NodePtr& node, HttpRequestResult result,
            std::uint64_t bytes = kMiB, std::int32_t timeMs = 1000, bool probe = false) {
  OptimizedRequestParams params = MakeParams({node});
  params.SelectedNode = node;
  params.IsProbe = probe;
  optimizer.ReportResult(params, Outcome(node, result, bytes, timeMs));
}

std::uint32_t SampleCount(TransferOptimizer& optimizer, const NodePtr& node) {
  const auto statistics =
      std::dynamic_pointer_cast<NormalNodeStatistics>(optimizer.GetStatistics(*node));
  return statistics ? statistics->GetCount() : 0;
}

// How often each candidate is chosen over `draws` calls of GetNode.
std::map<std::string, int> Tally(TransferOptimizer& optimizer, const std::vector<NodePtr>& nodes,
                                 int draws) {
  std::map<std::string, int> tally;
  for (int i = 0; i < draws; ++i) {
    OptimizedRequestParams params = MakeParams(nodes);
    optimizer.GetNode(params);
    EXPECT_FALSE(params.IsProbe);
    ++tally[params.SelectedNode->GetHost()];
    // Each draw's request has ended before the next: no node is busy.
    optimizer.Release(params);
  }
  return tally;
}

TEST(TransferOptimizerTest, AnEmptyCandidateListIsRefused) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  OptimizedRequestParams params = MakeParams({});
  try {
    optimizer.GetNode(params);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "TransferOptimizer::GetNode received empty nodelist");
  }
  EXPECT_FALSE(params.SelectedNode);
}

TEST(TransferOptimizerTest, ASingleCandidateIsANormalRequestEvenUnmeasured) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const NodePtr node = MakeNode("solo.example");
  OptimizedRequestParams params = MakeParams({node});
  params.FreeRetry = true;
  params.IsProbe = true;
  optimizer.GetNode(params);
  EXPECT_EQ(params.SelectedNode, node);
  EXPECT_FALSE(params.IsProbe);
  EXPECT_FALSE(params.FreeRetry);
  EXPECT_TRUE(params.CanExtendTimeouts);
  EXPECT_EQ(params.ConnectTimeout, 3);
  EXPECT_EQ(params.LowSpeedTime, 5);
}

TEST(TransferOptimizerTest, NewHostsAreProbedTwiceEachBeforeNormalRequests) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const std::vector<NodePtr> nodes = {MakeNode("a.example"), MakeNode("b.example"),
                                      MakeNode("c.example")};
  std::map<std::string, int> probes;
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    OptimizedRequestParams params = MakeParams(nodes);
    optimizer.GetNode(params);
    EXPECT_TRUE(params.IsProbe);
    EXPECT_TRUE(params.FreeRetry);
    EXPECT_FALSE(params.CanExtendTimeouts);
    EXPECT_EQ(params.ConnectTimeout, 2);
    EXPECT_EQ(params.LowSpeedTime, 3);
    ++probes[params.SelectedNode->GetHost()];
    // Failures count as samples too (answers that fail: an unreachable node is set aside).
    optimizer.ReportResult(
        params, Outcome(params.SelectedNode,
                        i % 2 == 0 ? HttpRequestResult::Success : HttpRequestResult::ServerError));
    optimizer.Release(params);
  }
  EXPECT_EQ(probes,
            (std::map<std::string, int>{{"a.example", 2}, {"b.example", 2}, {"c.example", 2}}));
  for (int i = 0; i < 20; ++i) {
    OptimizedRequestParams params = MakeParams(nodes);
    optimizer.GetNode(params);
    EXPECT_FALSE(params.IsProbe);
    EXPECT_FALSE(params.FreeRetry);
  }
}

TEST(TransferOptimizerTest, OnlyTheUnderSampledCandidatesAreProbed) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const NodePtr known = MakeNode("known.example");
  const NodePtr fresh = MakeNode("fresh.example");
  Report(optimizer, known, HttpRequestResult::Success);
  Report(optimizer, known, HttpRequestResult::ServerError);
  Report(optimizer, fresh, HttpRequestResult::Success);
  for (int i = 0; i < 20; ++i) {
    OptimizedRequestParams params = MakeParams({known, fresh});
    optimizer.GetNode(params);
    EXPECT_TRUE(params.IsProbe);
    EXPECT_EQ(params.SelectedNode, fresh);
    optimizer.Release(params);
  }
}

TEST(TransferOptimizerTest, TimeoutsFollowTheChunkLengthAndTheThreadCount) {
  struct Case {
    const char* name;
    std::uint64_t length;
    int workThreads;
    bool probe;
    std::int32_t timeout;
    std::int32_t lowSpeedLimit;
  };
  const Case cases[] = {
      {"1 MiB, 12 threads", kMiB, 12, false, 1755, 597},
      {"1 MiB, 12 threads, probe", kMiB, 12, true, 384, 2730},
      {"small chunk gets the minimum", 1000, 12, false, 10, 597},
      {"small chunk probe gets the probe minimum", 1000, 12, true, 3, 2730},
      {"1 MiB, 4 threads", kMiB, 4, false, 585, 1792},
      // Past 2^31 in 32 bits; the limit must still be a long positive time.
      {"2 GiB, 12 threads", 2048 * kMiB, 12, false, 3595117, 597},
      {"no threads count as one", kMiB, 0, false, 146, 7168},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(c.workThreads), kSeed);
    const NodePtr node = MakeNode("a.example");
    // Two unmeasured candidates make a probe; a single one never does.
    const std::vector<NodePtr> candidates =
        c.probe ? std::vector<NodePtr>{node, MakeNode("b.example")} : std::vector<NodePtr>{node};
    OptimizedRequestParams params = MakeParams(candidates, c.length);
    optimizer.GetNode(params);
    ASSERT_EQ(params.IsProbe, c.probe);
    EXPECT_EQ(params.Timeout, c.timeout);
    EXPECT_EQ(params.LowSpeedLimit, c.lowSpeedLimit);
  }
}

TEST(TransferOptimizerTest, TimeoutsDoubleOnTimeOutsAndShrinkOnSuccess) {
  struct Step {
    HttpRequestResult result;
    bool probe;
    std::int32_t connectTimeout;
    std::int32_t lowSpeedTime;
    bool canExtend;
  };
  const Step steps[] = {
      {HttpRequestResult::TimedOut, false, 6, 10, true},
      {HttpRequestResult::TimedOut, false, 12, 20, true},
      {HttpRequestResult::TimedOut, false, 15, 40, true},
      {HttpRequestResult::Success, false, 14, 39, true},
      // Probes and other failures leave the time-outs alone.
      {HttpRequestResult::TimedOut, true, 14, 39, true},
      {HttpRequestResult::Success, true, 14, 39, true},
      {HttpRequestResult::ConnectFailed, false, 14, 39, true},
      {HttpRequestResult::Cancelled, false, 14, 39, true},
      {HttpRequestResult::TimedOut, false, 15, 60, false},
      {HttpRequestResult::TimedOut, false, 15, 60, false},
      {HttpRequestResult::Success, false, 14, 59, true},
  };
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const NodePtr node = MakeNode("a.example");
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(index++);
    Report(optimizer, node, step.result, kMiB, 1000, step.probe);
    OptimizedRequestParams params = MakeParams({node});
    optimizer.GetNode(params);
    EXPECT_EQ(params.ConnectTimeout, step.connectTimeout);
    EXPECT_EQ(params.LowSpeedTime, step.lowSpeedTime);
    EXPECT_EQ(params.CanExtendTimeouts, step.canExtend);
  }
}

TEST(TransferOptimizerTest, SuccessesNeverGoBelowTheMinima) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const NodePtr node = MakeNode("a.example");
  for (int i = 0; i < 5; ++i) Report(optimizer, node, HttpRequestResult::Success);
  OptimizedRequestParams params = MakeParams({node});
  optimizer.GetNode(params);
  EXPECT_EQ(params.ConnectTimeout, 3);
  EXPECT_EQ(params.LowSpeedTime, 5);
}

TEST(TransferOptimizerTest, OnlyRealFailuresCountAsErrorsOfTheHost) {
  struct Case {
    HttpRequestResult result;
    bool failed;
  };
  const Case cases[] = {
      {HttpRequestResult::NotStarted, false},   {HttpRequestResult::InProgress, false},
      {HttpRequestResult::Success, false},      {HttpRequestResult::Cancelled, false},
      {HttpRequestResult::InvalidUrl, true},    {HttpRequestResult::ResolveFailed, true},
      {HttpRequestResult::ConnectFailed, true}, {HttpRequestResult::ClientError, true},
      {HttpRequestResult::ServerError, true},   {HttpRequestResult::NetworkError, true},
      {HttpRequestResult::WriteFailed, true},   {HttpRequestResult::Incomplete, true},
      {HttpRequestResult::TimedOut, true},      {HttpRequestResult::OutOfMemory, true},
      {HttpRequestResult::OtherError, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToNumber(c.result));
    ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
    const NodePtr node = MakeNode("a.example");
    Report(optimizer, node, c.result, 4096, 250);
    const auto statistics = optimizer.GetStatistics(*node);
    EXPECT_EQ(statistics->errors.Load(), c.failed ? 1u : 0u);
    EXPECT_EQ(statistics->successes.Load(), c.failed ? 0u : 1u);
    EXPECT_EQ(statistics->totalBytes.Load(), 4096u);
    EXPECT_EQ(statistics->totalTimeMs.Load(), 250u);
  }
}

TEST(TransferOptimizerTest, StatisticsAreKeptPerHostApartFromTheNodeDescriptions) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const NodePtr first = MakeNode("shared.example:8080");
  const NodePtr second = MakeNode("shared.example:8080");
  const NodePtr other = MakeNode("shared.example:8081");
  Report(optimizer, first, HttpRequestResult::Success, 2000, 1000);
  Report(optimizer, second, HttpRequestResult::Success, 2000, 1000);

  const auto statistics = optimizer.GetStatistics(*first);
  EXPECT_EQ(statistics, optimizer.GetStatistics(*second));
  EXPECT_NE(statistics, optimizer.GetStatistics(*other));
  EXPECT_EQ(statistics->successes.Load(), 2u);
  EXPECT_EQ(SampleCount(optimizer, other), 0u);
  // The descriptions' own statistics are the chunk request's business, not the optimizer's.
  EXPECT_EQ(first->GetStatistics()->successes.Load(), 0u);

  ptree tree;
  statistics->Write(tree);
  EXPECT_EQ(tree.get<std::string>("Requests"), "2");
  EXPECT_EQ(tree.get<std::string>("Average Request Speed"),
            "1020");  // 0.3 × 2000, then + 0.3 × 1400
}

TEST(TransferOptimizerTest, ANodeOfWeightZeroIsProbedButNeverChosenOnceMeasured) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const std::vector<NodePtr> nodes = {MakeNode("heavy.example", 3), MakeNode("zero.example", 0),
                                      MakeNode("light.example", 1)};
  std::map<std::string, int> probes;
  for (int i = 0; i < 6; ++i) {
    OptimizedRequestParams params = MakeParams(nodes);
    optimizer.GetNode(params);
    ASSERT_TRUE(params.IsProbe);
    ++probes[params.SelectedNode->GetHost()];
    optimizer.ReportResult(params, Outcome(params.SelectedNode, HttpRequestResult::Success));
    optimizer.Release(params);
  }
  EXPECT_EQ(probes["zero.example"], 2);

  const auto tally = Tally(optimizer, nodes, 3000);
  EXPECT_EQ(tally.count("zero.example"), 0u);
  // Equal speeds: the weights 3 and 1 decide.
  ASSERT_EQ(tally.count("light.example"), 1u);
  EXPECT_GT(tally.at("heavy.example"), 2 * tally.at("light.example"));
}

TEST(TransferOptimizerTest, NegativeWeightsAreNeverChosenAndNeverBreakTheDraw) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const std::vector<NodePtr> nodes = {MakeNode("good.example", 3), MakeNode("bad.example", -1)};
  for (const auto& node : nodes) {
    Report(optimizer, node, HttpRequestResult::Success);
    Report(optimizer, node, HttpRequestResult::Success);
  }
  const auto tally = Tally(optimizer, nodes, 2000);
  EXPECT_EQ(tally.count("bad.example"), 0u);

  // Only non-positive weights left: the unweighted gamble decides.
  const std::vector<NodePtr> hopeless = {MakeNode("x.example", -1), MakeNode("y.example", 2),
                                         MakeNode("z.example", 0)};
  const std::vector<NodePtr> candidates = {hopeless[0], hopeless[2]};
  for (const auto& node : candidates) {
    Report(optimizer, node, HttpRequestResult::Success);
    Report(optimizer, node, HttpRequestResult::Success);
  }
  const auto unweighted = Tally(optimizer, candidates, 2000);
  EXPECT_GT(unweighted.at("x.example"), 500);
  EXPECT_GT(unweighted.at("z.example"), 500);
}

// A node with a steady 1000 bytes per second and one whose every request failed.
void MeasureFastAndDead(TransferOptimizer& optimizer, const NodePtr& fast, const NodePtr& dead) {
  for (int i = 0; i < 60; ++i) Report(optimizer, fast, HttpRequestResult::Success, 1000, 1000);
  // Dead as far as the gamble goes: it answers, but only with errors (a node that cannot be
  // reached at all is set aside instead, see SetAside below).
  for (int i = 0; i < 3; ++i) Report(optimizer, dead, HttpRequestResult::ServerError, 0, 10);
}

TEST(TransferOptimizerTest, AFastNodeWinsAlmostEveryTrialAgainstADeadOne) {
  constexpr int kDraws = 40000;
  // Two nodes: 100 trials, so the fast node's share is (100 + 1) / (100 + 2).
  constexpr double kExpected = 101.0 / 102.0;
  for (bool deadFirst : {false, true}) {
    SCOPED_TRACE(deadFirst);
    ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
    const NodePtr fast = MakeNode("fast.example");
    const NodePtr dead = MakeNode("dead.example");
    MeasureFastAndDead(optimizer, fast, dead);
    const auto tally = Tally(
        optimizer, deadFirst ? std::vector<NodePtr>{dead, fast} : std::vector<NodePtr>{fast, dead},
        kDraws);
    const double share = static_cast<double>(tally.at("fast.example")) / kDraws;
    // About five standard deviations of the draw either side.
    EXPECT_NEAR(share, kExpected, 0.0025);
    EXPECT_GT(tally.count("dead.example"), 0u);
  }
}

TEST(TransferOptimizerTest, WhenNoNodeShowsAnySpeedTheFirstCandidateWinsTheTrials) {
  constexpr int kDraws = 30000;
  // Three nodes: 150 trials, all won by the first: (150 + 1) / (150 + 3).
  constexpr double kExpected = 151.0 / 153.0;
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const std::vector<NodePtr> nodes = {MakeNode("a.example"), MakeNode("b.example"),
                                      MakeNode("c.example")};
  for (const auto& node : nodes) {
    Report(optimizer, node, HttpRequestResult::ServerError, 0, 5);
    Report(optimizer, node, HttpRequestResult::ServerError, 0, 5);
  }
  const auto tally = Tally(optimizer, nodes, kDraws);
  EXPECT_NEAR(static_cast<double>(tally.at("a.example")) / kDraws, kExpected, 0.004);
}

TEST(TransferOptimizerTest, TheSameSeedMakesTheSameChoices) {
  const std::vector<NodePtr> nodes = {MakeNode("a.example"), MakeNode("b.example"),
                                      MakeNode("c.example"), MakeNode("d.example")};
  auto run = [&nodes](std::uint32_t seed) {
    ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), seed);
    std::vector<std::string> choices;
    for (int i = 0; i < 40; ++i) {
      OptimizedRequestParams params = MakeParams(nodes);
      optimizer.GetNode(params);
      choices.push_back(params.SelectedNode->GetHost());
      optimizer.ReportResult(params,
                             Outcome(params.SelectedNode, HttpRequestResult::Success,
                                     kMiB * (1 + params.SelectedNode->GetHost()[0] - 'a'), 700));
    }
    return choices;
  };
  EXPECT_EQ(run(7), run(7));
  EXPECT_NE(run(7), run(8));
}

TEST(TransferOptimizerTest, ChoosesFromTheListTheChunkRequestWalksThrough) {
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const auto list = MakeNodeList({"a.example", "b.example", "c.example"});
  OptimizedRequestParams params(list, TransferParams(), MakeChunk(kMiB));
  std::vector<std::string> chosen;
  for (int attempt = 0; attempt < 3; ++attempt) {
    optimizer.GetNode(params);
    chosen.push_back(params.SelectedNode->GetHost());
    params.DropSelectedNode();
  }
  std::sort(chosen.begin(), chosen.end());
  EXPECT_EQ(chosen, (std::vector<std::string>{"a.example", "b.example", "c.example"}));
  EXPECT_EQ(params.CandidateNodes, list->GetNodes());
}

TEST(TransferOptimizerConcurrencyTest, ManyChunkRequestsShareOneOptimizer) {
  constexpr int kThreads = 8;
  constexpr int kRequestsEach = 150;
  ProportionalGamblingTransferOptimizer optimizer(DefaultSettings(), kSeed);
  const std::vector<NodePtr> nodes = {MakeNode("a.example"), MakeNode("b.example"),
                                      MakeNode("c.example"), MakeNode("d.example"),
                                      MakeNode("e.example")};
  test::StartGate gate;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      gate.Wait();
      for (int i = 0; i < kRequestsEach; ++i) {
        OptimizedRequestParams params = MakeParams(nodes);
        optimizer.GetNode(params);
        const HttpRequestResult result =
            (i + t) % 7 == 0 ? HttpRequestResult::TimedOut : HttpRequestResult::Success;
        optimizer.ReportResult(params, Outcome(params.SelectedNode, result, kMiB, 100 + t));
      }
    });
  }
  // The transfer's status thread reads the statistics meanwhile.
  std::thread reader([&] {
    gate.Wait();
    for (int i = 0; i < 200; ++i) {
      for (const auto& node : nodes) {
        const auto statistics = optimizer.GetStatistics(*node);
        statistics->totalBytes.TakeDelta();
        ptree tree;
        statistics->Write(tree);
      }
    }
  });
  gate.Open();
  for (auto& thread : threads) thread.join();
  reader.join();

  std::uint32_t requests = 0;
  for (const auto& node : nodes) {
    const auto statistics = optimizer.GetStatistics(*node);
    requests += statistics->successes.Load() + statistics->errors.Load();
    EXPECT_GE(SampleCount(optimizer, node), 2u);
  }
  EXPECT_EQ(requests, static_cast<std::uint32_t>(kThreads * kRequestsEach));
}

}  // namespace
}  // namespace halv
