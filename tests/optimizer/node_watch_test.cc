// The optimizer's care of nodes that cannot be reached (set aside with a back-off, probed when
// they come back) and of requests that fall far behind the other nodes (given up by the watch).
// Time is a ManualClock; the watch thread is off and the tests look by hand.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "config/settings.h"
#include "http/http_request.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_manifest.h"
#include "manual_clock.h"
#include "optimizer/optimized_request_params.h"
#include "optimizer/proportional_gambling_transfer_optimizer.h"
#include "start_gate.h"
#include "transfer/http_transfer_status_data.h"
#include "transfer/transfer_shared_data.h"

namespace halv {
namespace {

using NodePtr = std::shared_ptr<NodeManifest>;
using std::chrono::seconds;

constexpr std::uint32_t kSeed = 7;
constexpr std::uint64_t kMiB = 1048576;

std::shared_ptr<const NodeListManifest> MakeList(int count) {
  boost::property_tree::ptree document;
  for (int i = 0; i < count; ++i) {
    boost::property_tree::ptree node;
    node.put("NodeId", "n" + std::to_string(i));
    node.put("Host", "node" + std::to_string(i) + ".example");
    document.add_child("ArrayOfNodeInfo.NodeInfo", node);
  }
  auto list = std::make_shared<StandardNodeListManifest>();
  list->Read(document);
  return list;
}

OptimizedRequestParams MakeParams(const std::shared_ptr<const NodeListManifest>& list) {
  auto file = std::make_shared<TransferSharedFileData>("f.bin", 8 * kMiB);
  auto chunk = std::make_shared<TransferSharedMapData>(file, 0, kMiB - 1, 0u, nullptr);
  return OptimizedRequestParams(list, TransferParams(), chunk);
}

Settings WatchSettings() {
  Settings settings(2);
  settings.requestWatchMilliseconds = 0;
  settings.nodeSetAsideSeconds = 5;
  settings.nodeSetAsideMaxSeconds = 20;
  settings.slowRequestSeconds = 4;
  settings.slowRequestFactor = 10;
  return settings;
}

void Report(TransferOptimizer& optimizer, const NodePtr& node, HttpRequestResult result,
            std::uint64_t bytes = kMiB, std::int32_t responseCode = 206, bool probe = false) {
  OptimizedRequestParams params = MakeParams(nullptr);
  params.SelectedNode = node;
  params.IsProbe = probe;
  HttpRequestStatus status(result, bytes);
  status.responseCode = responseCode;
  optimizer.ReportResult(params, HttpTransferStatusData(node->GetHost(), status, 100));
}

// The hosts GetNode picks over `draws` chunks' first attempts.
std::set<std::string> Picks(TransferOptimizer& optimizer,
                            const std::shared_ptr<const NodeListManifest>& list, int draws = 200) {
  std::set<std::string> hosts;
  for (int i = 0; i < draws; ++i) {
    OptimizedRequestParams params = MakeParams(list);
    optimizer.GetNode(params);
    hosts.insert(params.SelectedNode->GetHost());
    // Each draw's request has ended before the next: no node is busy.
    optimizer.Release(params);
  }
  return hosts;
}

TEST(NodeSetAsideTest, OnlyUnreachableNodesAreSetAside) {
  const struct {
    const char* name;
    HttpRequestResult result;
    std::uint64_t bytes;
    std::int32_t code;
    bool setAside;
  } cases[] = {
      {"refused", HttpRequestResult::ConnectFailed, 0, 0, true},
      {"no such host", HttpRequestResult::ResolveFailed, 0, 0, true},
      {"nothing before the time-out", HttpRequestResult::TimedOut, 0, 0, true},
      {"server error", HttpRequestResult::ServerError, 0, 503, false},
      {"not found", HttpRequestResult::ClientError, 0, 404, false},
      {"short answer", HttpRequestResult::Incomplete, 10, 206, false},
      {"success", HttpRequestResult::Success, kMiB, 206, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ManualClock clock;
    ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
    const auto list = MakeList(3);
    const NodePtr node = list->GetNodes()[0];
    Report(optimizer, node, c.result, c.bytes, c.code);
    EXPECT_EQ(optimizer.IsSetAside(*node), c.setAside);
    EXPECT_EQ(Picks(optimizer, list).count(node->GetHost()), c.setAside ? 0u : 1u);
  }
}

TEST(NodeSetAsideTest, BackOffDoublesUpToTheMostAndAnAnswerEndsIt) {
  test::ManualClock clock;
  ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
  const auto list = MakeList(2);
  const NodePtr dead = list->GetNodes()[0];
  // 5, 10, 20, then held at the most, 20 seconds.
  for (const int backOff : {5, 10, 20, 20}) {
    SCOPED_TRACE(backOff);
    Report(optimizer, dead, HttpRequestResult::ConnectFailed, 0, 0, true);
    clock.Advance(seconds(backOff) - std::chrono::milliseconds(1));
    EXPECT_TRUE(optimizer.IsSetAside(*dead));
    clock.Advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(optimizer.IsSetAside(*dead));
    // Back from its back-off, it is probed: a failure costs the chunk nothing.
    OptimizedRequestParams params = MakeParams(list);
    params.CandidateNodes = {dead};
    optimizer.GetNode(params);
    EXPECT_EQ(params.SelectedNode, dead);
    EXPECT_TRUE(params.IsProbe);
    EXPECT_TRUE(params.FreeRetry);
  }
  Report(optimizer, dead, HttpRequestResult::Success, kMiB, 206, true);
  Report(optimizer, dead, HttpRequestResult::ConnectFailed, 0, 0);
  clock.Advance(seconds(5));
  EXPECT_FALSE(optimizer.IsSetAside(*dead));
}

TEST(NodeSetAsideTest, OneGoodNodeAmongHundredsOfDeadOnesGetsEveryNormalRequest) {
  test::ManualClock clock;
  ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
  const auto list = MakeList(500);
  const NodePtr good = list->GetNodes()[321];
  // Every attempt fails at once except on the good node; probes cost the chunks nothing.
  int counted = 0;
  for (int attempt = 0; attempt < 3000; ++attempt) {
    OptimizedRequestParams params = MakeParams(list);
    optimizer.GetNode(params);
    const bool ok = params.SelectedNode == good;
    if (!params.FreeRetry && !ok) ++counted;
    Report(optimizer, params.SelectedNode,
           ok ? HttpRequestResult::Success : HttpRequestResult::ConnectFailed, ok ? kMiB : 0,
           ok ? 206 : 0, params.IsProbe);
    optimizer.Release(params);
  }
  EXPECT_EQ(counted, 0);
  EXPECT_EQ(Picks(optimizer, list), std::set<std::string>{good->GetHost()});
}

TEST(NodeSetAsideTest, WhenEveryNodeIsSetAsideTheFirstBackAttemptCounts) {
  test::ManualClock clock;
  ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
  const auto list = MakeList(3);
  for (int i : {1, 0, 2}) {
    Report(optimizer, list->GetNodes()[static_cast<std::size_t>(i)],
           HttpRequestResult::ConnectFailed, 0, 0);
    clock.Advance(seconds(1));
  }
  OptimizedRequestParams params = MakeParams(list);
  // Its own candidates are all set aside, and so is the rest of the list.
  params.CandidateNodes = {list->GetNodes()[2]};
  optimizer.GetNode(params);
  EXPECT_EQ(params.SelectedNode, list->GetNodes()[1]);
  EXPECT_FALSE(params.FreeRetry);
  EXPECT_FALSE(params.IsProbe);
}

TEST(NodeSetAsideTest, AChunkThatDroppedTheLiveNodesAsksThemBeforeASetAsideOne) {
  test::ManualClock clock;
  ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
  const auto list = MakeList(2);
  Report(optimizer, list->GetNodes()[1], HttpRequestResult::ConnectFailed, 0, 0);
  OptimizedRequestParams params = MakeParams(list);
  params.CandidateNodes = {list->GetNodes()[1]};
  optimizer.GetNode(params);
  EXPECT_EQ(params.SelectedNode, list->GetNodes()[0]);
}

TEST(RequestsInFlightTest, FollowTheNodesThatAreWorthAsking) {
  const struct {
    const char* name;
    std::vector<double> speeds;  // MiB/s per node; 0: unmeasured; < 0: set aside
    int most;
    std::uint32_t expected;
  } cases[] = {
      {"four unmeasured nodes, two each", {0, 0, 0, 0}, 16, 8},
      {"one set aside", {0, 0, -1, 0}, 16, 6},
      {"every one set aside", {-1, -1}, 16, 1},
      {"the cap holds", {0, 0, 0, 0}, 5, 5},
      {"more for faster nodes, none for one far behind", {8, 4, 2, 0.05}, 16, 4 + 2 + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ManualClock clock;
    Settings settings = WatchSettings();
    settings.maxRequestsInFlight = c.most;
    ProportionalGamblingTransferOptimizer optimizer(settings, kSeed, clock);
    const auto list = MakeList(static_cast<int>(c.speeds.size()));
    for (std::size_t i = 0; i < c.speeds.size(); ++i) {
      const NodePtr& node = list->GetNodes()[i];
      if (c.speeds[i] < 0) Report(optimizer, node, HttpRequestResult::ConnectFailed, 0, 0);
      for (int k = 0; c.speeds[i] > 0 && k < 40; ++k) {
        OptimizedRequestParams params = MakeParams(nullptr);
        params.SelectedNode = node;
        HttpRequestStatus status(HttpRequestResult::Success,
                                 static_cast<std::uint64_t>(c.speeds[i] * kMiB));
        status.responseCode = 206;
        optimizer.ReportResult(params, HttpTransferStatusData(node->GetHost(), status, 1000));
      }
    }
    EXPECT_EQ(optimizer.RequestsInFlight(*list), c.expected);
  }
}

TEST(RequestsInFlightTest, ANodeWithNothingInFlightIsAskedFirst) {
  test::ManualClock clock;
  ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
  const auto list = MakeList(4);
  std::vector<TransferOptimizer::WatchId> ids;
  std::multiset<std::string> hosts;
  for (int i = 0; i < 8; ++i) {
    OptimizedRequestParams params = MakeParams(list);
    optimizer.GetNode(params);
    hosts.insert(params.SelectedNode->GetHost());
    ids.push_back(optimizer.Watch(params.SelectedNode, nullptr));
  }
  for (const auto& node : list->GetNodes()) EXPECT_EQ(hosts.count(node->GetHost()), 2u);
  for (const auto id : ids) optimizer.Unwatch(id);
}

TEST(RequestsInFlightTest, ANodeIsCountedFromTheMomentItIsChosen) {
  test::ManualClock clock;
  ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
  const auto list = MakeList(4);
  // Four threads choose at once and none watches its request yet: each finds another node idle.
  std::vector<OptimizedRequestParams> chosen(4, MakeParams(list));
  test::StartGate gate;
  std::vector<std::thread> threads;
  for (auto& params : chosen) {
    threads.emplace_back([&optimizer, &params, &gate] {
      gate.Wait();
      optimizer.GetNode(params);
    });
  }
  gate.Open();
  for (auto& thread : threads) thread.join();
  std::set<std::string> hosts;
  for (const auto& params : chosen) {
    EXPECT_TRUE(params.Reserved);
    hosts.insert(params.SelectedNode->GetHost());
  }
  EXPECT_EQ(hosts.size(), 4u);
  // Given back (twice is once), the node chosen first is idle again and asked before the others.
  optimizer.Release(chosen[0]);
  optimizer.Release(chosen[0]);
  EXPECT_FALSE(chosen[0].Reserved);
  OptimizedRequestParams next = MakeParams(list);
  optimizer.GetNode(next);
  EXPECT_EQ(next.SelectedNode, chosen[0].SelectedNode);
  for (auto& params : chosen) optimizer.Release(params);
  optimizer.Release(next);
}

// A request whose bytes the test sets; records whether it was cancelled.
class FakeRequest : public HttpRequest {
 public:
  HttpRequestStatus Perform() override { return GetStatus(); }
  HttpRequestStatus GetStatus() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }
  void Cancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.result = HttpRequestResult::Cancelled;
  }
  bool Reset(const HttpRequestParams&, const std::string&) override { return false; }

  void SetBytes(std::uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.bytesWritten = bytes;
  }
  bool Cancelled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.result == HttpRequestResult::Cancelled;
  }

 private:
  std::mutex mutex_;
  HttpRequestStatus status_{HttpRequestResult::InProgress, 0};
};

TEST(RequestWatchTest, ARequestFarBehindTheBestOtherNodeIsGivenUpAfterThePatience) {
  const struct {
    const char* name;
    std::uint64_t bytes;  // sent by the watched request in 4 s
    bool otherNodeKnown;  // the statistics know a node of 1 MiB/s (reported below)
    bool givenUp;
  } cases[] = {
      {"stalled", 0, true, true},
      {"trickling", 100, true, true},
      {"a tenth of the best", 4 * kMiB / 10 + 4096, true, false},
      {"stalled, nothing to compare with", 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ManualClock clock;
    ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
    const auto list = MakeList(2);
    if (c.otherNodeKnown) {
      // Mean speed of node1 converges on 1 MiB per second (1 MiB in 1000 ms).
      for (int i = 0; i < 40; ++i) {
        OptimizedRequestParams params = MakeParams(nullptr);
        params.SelectedNode = list->GetNodes()[1];
        HttpRequestStatus status(HttpRequestResult::Success, kMiB);
        status.responseCode = 206;
        optimizer.ReportResult(params, HttpTransferStatusData("node1.example", status, 1000));
      }
    }
    auto request = std::make_shared<FakeRequest>();
    const auto id = optimizer.Watch(list->GetNodes()[0], request);
    request->SetBytes(c.bytes);
    clock.Advance(seconds(4) - std::chrono::milliseconds(1));
    optimizer.CheckRequests();
    EXPECT_FALSE(request->Cancelled());
    clock.Advance(std::chrono::milliseconds(1));
    optimizer.CheckRequests();
    EXPECT_EQ(request->Cancelled(), c.givenUp);
    EXPECT_EQ(optimizer.Unwatch(id), c.givenUp);
    // Once unwatched, a request is never looked at again.
    EXPECT_FALSE(optimizer.Unwatch(id));
  }
}

TEST(RequestWatchTest, AGivenUpRequestDoesNotStretchTheTimeoutsAndSetsAsideOnlyASilentNode) {
  for (const std::uint64_t bytes : {std::uint64_t{0}, std::uint64_t{100}}) {
    SCOPED_TRACE(bytes);
    test::ManualClock clock;
    ProportionalGamblingTransferOptimizer optimizer(WatchSettings(), kSeed, clock);
    const auto list = MakeList(1);
    OptimizedRequestParams params = MakeParams(list);
    optimizer.GetNode(params);
    const std::int32_t lowSpeedTime = params.LowSpeedTime;
    params.GivenUp = true;
    optimizer.ReportResult(
        params,
        HttpTransferStatusData(params.SelectedNode->GetHost(),
                               HttpRequestStatus(HttpRequestResult::TimedOut, bytes), 4000));
    EXPECT_EQ(optimizer.IsSetAside(*params.SelectedNode), bytes == 0);
    clock.Advance(seconds(60));
    // A success lowers the time-outs by one second, down to their minima: a doubling would show.
    Report(optimizer, params.SelectedNode, HttpRequestResult::Success);
    OptimizedRequestParams next = MakeParams(list);
    optimizer.GetNode(next);
    EXPECT_EQ(next.LowSpeedTime, lowSpeedTime);
  }
}

TEST(RequestWatchTest, ASlowRequestIsRacedWhenAnIdleNodeCanDeliverTheChunkFirst) {
  const struct {
    const char* name;
    std::chrono::milliseconds age;  // of the watched request when the watch looks
    std::uint64_t bytes;            // of the 1 MiB chunk received by then
    bool otherNodeKnown;            // node1 measured at 10 MiB/s (1 MiB in 100 ms)
    bool otherNodeBusy;             // node1 has a request of its own in flight
    bool ownNodeSlow;               // node0 measured at 1 MiB/s: its young requests are judged so
    bool raced;
  } cases[] = {
      {"stalled, a fast node idle", seconds(2), 0, true, false, false, true},
      {"slow, a fast node idle", seconds(2), kMiB / 10, true, false, false, true},
      {"nearly done", seconds(2), kMiB - kMiB / 100, true, false, false, false},
      {"stalled, the fast node busy", seconds(2), 0, true, true, false, false},
      {"stalled, an unmeasured node idle", seconds(2), 0, false, false, false, true},
      {"not yet raceMilliseconds old", std::chrono::milliseconds(999), 0, true, false, false,
       false},
      {"young, on a node known to be slow", std::chrono::milliseconds(100), 0, true, false, true,
       true},
      {"young, on a slow node, nothing known of the idle one", std::chrono::milliseconds(100), 0,
       false, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ManualClock clock;
    Settings settings = WatchSettings();
    settings.raceMilliseconds = 1000;
    ProportionalGamblingTransferOptimizer optimizer(settings, kSeed, clock);
    const auto list = MakeList(2);
    const NodePtr other = list->GetNodes()[1];
    if (c.otherNodeKnown) {
      for (int i = 0; i < 40; ++i) Report(optimizer, other, HttpRequestResult::Success, kMiB);
    }
    if (c.otherNodeBusy) optimizer.Watch(other, std::make_shared<FakeRequest>());
    if (c.ownNodeSlow) {
      for (int i = 0; i < 40; ++i) {
        Report(optimizer, list->GetNodes()[0], HttpRequestResult::Success, kMiB / 10);
      }
    }
    int calls = 0;
    bool accept = false;
    auto request = std::make_shared<FakeRequest>();
    optimizer.Watch(list->GetNodes()[0], request, RaceHook{kMiB, list, [&] {
                                                    ++calls;
                                                    return accept;
                                                  }});
    request->SetBytes(c.bytes);
    clock.Advance(c.age);
    optimizer.CheckRequests();
    EXPECT_EQ(calls, c.raced ? 1 : 0);
    if (!c.raced) continue;
    // The file had chunks left to start: the hook said no, and is asked again.
    accept = true;
    optimizer.CheckRequests();
    EXPECT_EQ(calls, 2);
    // Raced once, never again.
    optimizer.CheckRequests();
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(request->Cancelled());
    // The racing copy goes to the idle node, counted busy from then on.
    OptimizedRequestParams params = MakeParams(list);
    ASSERT_TRUE(optimizer.GetRaceNode(params, list->GetNodes()[0]->GetHost()));
    EXPECT_EQ(params.SelectedNode, other);
    EXPECT_EQ(params.IsProbe, !c.otherNodeKnown);
    OptimizedRequestParams second = MakeParams(list);
    EXPECT_FALSE(optimizer.GetRaceNode(second, list->GetNodes()[0]->GetHost()));
    optimizer.Release(params);
  }
}

TEST(RequestWatchTest, TheRequestsWithTheMostLeftAreRacedOneForEachIdleNode) {
  test::ManualClock clock;
  Settings settings = WatchSettings();
  settings.raceMilliseconds = 1000;
  ProportionalGamblingTransferOptimizer optimizer(settings, kSeed, clock);
  const auto list = MakeList(3);
  for (int i = 0; i < 40; ++i) {
    Report(optimizer, list->GetNodes()[2], HttpRequestResult::Success, kMiB);
  }
  // Three slow requests on node0 and node1; node2 alone is idle.
  const std::uint64_t received[] = {kMiB / 4, kMiB / 20, kMiB / 8};
  std::vector<int> calls(3, 0);
  std::vector<std::shared_ptr<FakeRequest>> requests;
  for (int i = 0; i < 3; ++i) {
    requests.push_back(std::make_shared<FakeRequest>());
    requests.back()->SetBytes(received[i]);
    optimizer.Watch(list->GetNodes()[i % 2], requests.back(), RaceHook{kMiB, list, [&calls, i] {
                                                                ++calls[i];
                                                                return true;
                                                              }});
  }
  clock.Advance(seconds(2));
  optimizer.CheckRequests();
  // The one furthest from done, alone: a second copy would find no idle node.
  EXPECT_EQ(calls, (std::vector<int>{0, 1, 0}));
}

TEST(RequestWatchTest, ANodeGoingIdleMakesTheWatchLookAtOnce) {
  Settings settings = WatchSettings();
  // The watch's own rounds never come during the test: only a node going idle wakes it.
  settings.requestWatchMilliseconds = 3600 * 1000;
  settings.raceMilliseconds = 0;
  ProportionalGamblingTransferOptimizer optimizer(settings, kSeed);
  const auto list = MakeList(2);
  std::promise<void> raced;
  std::atomic<int> calls{0};
  const auto slow = std::make_shared<FakeRequest>();
  const auto busy = optimizer.Watch(list->GetNodes()[1], std::make_shared<FakeRequest>());
  optimizer.Watch(list->GetNodes()[0], slow, RaceHook{kMiB, list, [&] {
                                              if (calls++ == 0) raced.set_value();
                                              return true;
                                            }});
  EXPECT_EQ(calls.load(), 0);
  // node1's request ends: node1 is idle, and the watch races node0's request at once.
  optimizer.Unwatch(busy);
  // Bounded only so that a broken wake fails instead of hanging the suite.
  ASSERT_EQ(raced.get_future().wait_for(std::chrono::minutes(1)), std::future_status::ready);
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace halv
