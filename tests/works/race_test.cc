// Racing the end of a file: a one-chunk package served by two loopback test servers. Node A
// sends half of the chunk and holds the rest until the test releases it; node B, idle, is asked
// for a racing copy once the optimizer's watch (its time a ManualClock moved by the test) finds
// A's request old enough. Node choice is made deterministic by an optimizer that asks the first
// idle node of the list, so A always carries the first copy and B the racing one.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "event/json_work_log_manager.h"
#include "file/shared_file.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_manifest.h"
#include "manifest/node_statistics.h"
#include "manual_clock.h"
#include "optimizer/optimized_request_params.h"
#include "temp_dir.h"
#include "test_http_server.h"
#include "test_transfer_work_interface.h"
#include "transfer/http_transfer_status_data.h"
#include "works/optimized_request_chunk_work.h"
#include "works/transfer_workflow_factory.h"

namespace halv {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kChunk = 65536;
const char kPath[] = "/packages/R/abc/7/app";

// Asks the first idle node of the candidates (else the first usable one) and learns nothing, so
// that the test knows which node carries which copy. Tells the test when a racing copy reported.
class FirstIdleOptimizer : public TransferOptimizer {
 public:
  FirstIdleOptimizer(const Settings& settings, const Clock& clock)
      : TransferOptimizer(settings, clock) {}
  ~FirstIdleOptimizer() override { StopWatch(); }

  void GetNode(OptimizedRequestParams& params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<NodeManifest> soonest;
    const auto usable = UsableNodes(params, &soonest);
    std::shared_ptr<NodeManifest> chosen = usable.empty() ? soonest : usable.front();
    for (const auto& node : usable) {
      if (InFlight(node->GetHost()) == 0) {
        chosen = node;
        break;
      }
    }
    SelectNode(params, chosen);
  }

  void ReportResult(const OptimizedRequestParams& params,
                    const HttpTransferStatusData& statusData) override {
    TransferOptimizer::ReportResult(params, statusData);
    if (statusData.GetStatus().errorDetails.rfind("racing copy", 0) == 0) {
      std::lock_guard<std::mutex> lock(reportedMutex_);
      if (!reportedSet_) {
        reportedSet_ = true;
        racerReported_.set_value();
      }
    }
  }

  std::future<void> RacerReported() { return racerReported_.get_future(); }

 protected:
  void UpdateStatistics(const OptimizedRequestParams&, const HttpTransferStatusData&) override {}
  double ReferenceSpeed(const std::string&) override { return 0.0; }
  double MeanSpeed(const std::string&) override { return 0.0; }

 private:
  std::mutex reportedMutex_;
  bool reportedSet_ = false;
  std::promise<void> racerReported_;
};

class RaceTest : public testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(temp_.Child("in/app"), content_);
    fs::create_directories(temp_.Child("dest"));
    fs::create_directories(temp_.Child("cache"));
    manifests_.Start();
    first_.Start();
    racer_.Start();
    const std::string command =
        std::string(HALV_PUBLISH_BINARY) + " --input " + temp_.Child("in") + " --output " +
        temp_.Child("www") +
        " --partner R --package abc --package-version 7 --name Demo --run app --chunk-size " +
        std::to_string(kChunk) + " --node 127.0.0.1:" + std::to_string(first_.port()) +
        " --node 127.0.0.1:" + std::to_string(racer_.port()) + " >/dev/null";
    ASSERT_EQ(::system(command.c_str()), 0);
    for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("www"))) {
      if (!entry.is_regular_file()) continue;
      const std::string path =
          "/" + fs::relative(entry.path(), temp_.Child("www")).generic_string();
      const std::string content = test::ReadFile(entry.path().string());
      if (path.rfind("/packages/", 0) == 0) {
        first_.AddContent(path, content);
        racer_.AddContent(path, content);
      } else {
        manifests_.AddContent(path, content);
      }
    }
    test::HttpFault hold;
    hold.holdMidBody = true;
    hold.times = 1;
    first_.SetFault(kPath, hold);
  }

  void TearDown() override {
    if (workflow_) workflow_->Abort(WorkStatus(WorkResult::Stopped));
    services_.reset();
    workflow_.reset();
    log_.reset();
    first_.Stop();
    racer_.Stop();
    manifests_.Stop();
  }

  // Starts the transfer on its own thread, with curl's limits far beyond the test's life: only
  // the racing copy or the release of node A ends the first request.
  std::future<bool> Start() {
    Settings settings(2);
    settings.connectTimeoutMin = settings.connectTimeoutMax = settings.probeConnectTimeout = 600;
    settings.lowSpeedTimeMin = settings.lowSpeedTimeMax = settings.probeLowSpeedTime = 600;
    settings.requestTimeoutMin = settings.probeRequestTimeoutMin = 3600;
    settings.slowRequestSeconds = 3600;
    settings.requestWatchMilliseconds = 5;
    settings.raceMilliseconds = 1000;
    settings.manifestConnectTimeout = 5;
    settings.manifestTimeout = 20;
    optimizer_ = std::make_unique<FirstIdleOptimizer>(settings, clock_);
    // The default log level, which leaves out plain successes.
    log_ = std::make_unique<JsonWorkLogManager>(2, Settings().logLevel, temp_.Child("cache"),
                                                "logs", &files_);
    services_ = std::make_unique<test::TransferServices>(
        "127.0.0.1:" + std::to_string(manifests_.port()), settings, 4, clock_);
    services_->behavior.optimizer = optimizer_.get();
    services_->behavior.logManager = log_.get();
    TransferParams params;
    params.transferId = NewTransferId();
    params.partnerId = "R";
    params.packageId = "abc";
    params.destPath = temp_.Child("dest");
    transfer_ = std::make_shared<test::TestTransferWorkInterface>(params, services_->behavior,
                                                                  services_->sessions.Create());
    workflow_ = StandardTransferWorkflowFactory().CreateWorkflow(transfer_);
    return std::async(std::launch::async, [transfer = transfer_, workflow = workflow_] {
      return transfer->RunToEnd(workflow);
    });
  }

  // Once node A holds the first copy, moves the optimizer's time past the race delay: the watch
  // then asks node B for the racing copy.
  void RaceWhenAHolds() {
    ASSERT_TRUE(first_.WaitForRequests(1));
    // Node A's half has reached the file, so that its statistics have a known count.
    const auto& progress = *transfer_->progress();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (progress.received.load() < kChunk / 2 && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(progress.received.load(), kChunk / 2);
    clock_.Advance(std::chrono::seconds(2));
    ASSERT_TRUE(racer_.WaitForRequests(1));
  }

  // The work log's lines, once the services have drained it.
  std::string Log() {
    workflow_.reset();
    services_.reset();
    log_.reset();
    std::string text;
    for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("cache"))) {
      if (entry.is_regular_file()) text += test::ReadFile(entry.path().string());
    }
    return text;
  }

  std::uint64_t NodeBytes(const test::TestHttpServer& server) const {
    for (const auto& node : transfer_->GetNodeList()->GetNodes()) {
      if (node->GetHost() == "127.0.0.1:" + std::to_string(server.port())) {
        return node->GetStatistics()->totalBytes.TakeDelta();
      }
    }
    return 0;
  }

  void ExpectOneCopyCounted() {
    const auto completions = transfer_->Completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].status.result, WorkResult::Success);
    EXPECT_TRUE(transfer_->RetryableErrors().empty());
    EXPECT_TRUE(test::ReadFile(temp_.Child("dest/app")) == content_);
    const auto& progress = *transfer_->progress();
    EXPECT_EQ(progress.peakTransferred.load(), static_cast<std::int64_t>(content_.size()));
    EXPECT_EQ(progress.transferred.load(), static_cast<std::int64_t>(content_.size()));
    EXPECT_EQ(progress.completed.load(), content_.size());
    EXPECT_EQ(progress.received.load(), content_.size()) << "the chunk counts once";
    // One request each: the racing copy cost the first copy no retry.
    EXPECT_EQ(first_.RequestsFor(kPath).size(), 1u);
    EXPECT_EQ(racer_.RequestsFor(kPath).size(), 1u);
  }

  const std::string content_ = test::PseudoRandomBytes(kChunk, 21);
  test::TempDir temp_;
  test::ManualClock clock_;
  PosixSharedFileFactory files_;
  test::TestHttpServer manifests_;
  test::TestHttpServer first_;
  test::TestHttpServer racer_;
  std::unique_ptr<FirstIdleOptimizer> optimizer_;
  std::unique_ptr<JsonWorkLogManager> log_;
  std::unique_ptr<test::TransferServices> services_;
  std::shared_ptr<test::TestTransferWorkInterface> transfer_;
  std::shared_ptr<Workflow> workflow_;
};

TEST_F(RaceTest, ARacingCopyThatVerifiesFirstIsTheOneInTheFileAndTheSlowCopyIsCancelled) {
  auto done = Start();
  RaceWhenAHolds();
  ASSERT_TRUE(done.get());
  ExpectOneCopyCounted();
  // Each node's statistics count what it sent, the loser's half included.
  EXPECT_EQ(NodeBytes(racer_), content_.size());
  EXPECT_EQ(NodeBytes(first_), content_.size() / 2);
  // Node A's rest, sent late, cannot reach the file: it is complete and renamed already.
  first_.ReleaseHeld();
  EXPECT_TRUE(test::ReadFile(temp_.Child("dest/app")) == content_);
  const std::string log = Log();
  EXPECT_NE(log.find("\"race\":\"won\""), std::string::npos) << log;
  EXPECT_NE(log.find("\"race\":\"lost\""), std::string::npos) << log;
  EXPECT_NE(log.find("lost the race: the racing copy from 127.0.0.1:" +
                     std::to_string(racer_.port()) + " verified first"),
            std::string::npos)
      << log;
}

TEST_F(RaceTest, AWrongRacingCopyNeverReachesTheFileNorCostsTheSlowCopyARetry) {
  test::HttpFault corrupt;
  corrupt.corrupt = true;
  racer_.SetFault(kPath, corrupt);
  auto done = Start();
  std::future<void> reported = optimizer_->RacerReported();
  RaceWhenAHolds();
  // The racing copy came back wrong while the first one still held half of the chunk.
  reported.wait();
  first_.ReleaseHeld();
  ASSERT_TRUE(done.get());
  ExpectOneCopyCounted();
  EXPECT_EQ(NodeBytes(racer_), content_.size());
  EXPECT_EQ(NodeBytes(first_), content_.size());
  const std::string log = Log();
  EXPECT_NE(log.find("\"race\":\"wrong bytes\""), std::string::npos) << log;
}

TEST(RaceChunkRequestTest, AnAttemptThatStartsAfterARacingCopyWonAsksNothing) {
  test::TempDir temp;
  Settings settings(2);
  settings.requestWatchMilliseconds = 0;
  test::TransferServices services("127.0.0.1:1", settings, 1);
  auto transfer = std::make_shared<test::TestTransferWorkInterface>(
      TransferParams(), services.behavior, services.sessions.Create());
  auto file = std::make_shared<TransferSharedFileData>("f.bin", 16);
  fs::create_directories(temp.Child("dest"));
  file->sharedFile = services.files.Create(Folder::Open(temp.Child("dest")), "f.bin",
                                           SharedFileMode::CreateNew, 0, 15);
  ASSERT_TRUE(file->sharedFile->Allocate(16));
  auto chunk =
      std::make_shared<TransferSharedMapData>(file, 0, 15, 0u, transfer->GetProgressUpdater());
  chunk->boundedData = file->sharedFile->Map(0, 15);
  chunk->race.verified = true;
  chunk->race.racerWon = true;
  chunk->race.racerHost = "127.0.0.1:2";
  // No node list: the attempt must not even choose a node.
  OptimizedRequestChunkWork work(1, transfer, chunk);
  const WorkStatus status = work.ExecuteTask();
  EXPECT_EQ(status.result, WorkResult::Success);
  const auto data = std::dynamic_pointer_cast<HttpTransferStatusData>(status.data);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->GetStatus().errorDetails,
            "lost the race: the racing copy from 127.0.0.1:2 verified first");
  boost::property_tree::ptree tree;
  work.Describe(tree);
  EXPECT_EQ(tree.get<std::string>("race", ""), "lost");
  EXPECT_EQ(transfer->progress()->transferred.load(), 0);
}

}  // namespace
}  // namespace halv
