// Whole package transfers whose node lists are mostly dead: ports that refuse every connection,
// and test servers that accept a request and never answer (the stall fault). The optimizer's time
// is a ManualClock: nodes that never answer are given up by its watch, not by curl's time-outs.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manual_clock.h"
#include "temp_dir.h"
#include "test_http_server.h"
#include "test_transfer_work_interface.h"
#include "transfer/transfer_status_data.h"
#include "works/transfer_workflow_factory.h"

namespace halv {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kChunk = 16384;

const std::map<std::string, std::string>& Files() {
  static const std::map<std::string, std::string> files = {
      {"app", test::PseudoRandomBytes(12 * kChunk + 3, 11)},
      {"data/big.bin", test::PseudoRandomBytes(20 * kChunk, 12)},
  };
  return files;
}

Settings DeadNodeSettings() {
  Settings settings(4);
  settings.workflowConcurrency = 8;
  settings.fileConcurrency = 8;
  settings.manifestConnectTimeout = 5;
  settings.manifestTimeout = 20;
  return settings;
}

class DeadNodesTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const auto& file : Files()) test::WriteFile(temp_.Child("in/" + file.first), file.second);
    fs::create_directories(temp_.Child("dest"));
    manifests_.Start();
    good_.Start();
  }

  void TearDown() override {
    if (workflow_) workflow_->Abort(WorkStatus(WorkResult::Stopped));
    services_.reset();
    workflow_.reset();
    for (auto& server : stalling_) server->Stop();
    good_.Stop();
    manifests_.Stop();
    for (const int fd : refusing_) ::close(fd);
  }

  // `count` loopback ports that refuse connections until the test ends: each is bound and never
  // listened on, so no server of a test running beside this one can take it and answer.
  std::vector<int> RefusingPorts(int count) {
    std::vector<int> ports;
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof(address);
      if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "no free loopback port";
        if (fd >= 0) ::close(fd);
        break;
      }
      refusing_.push_back(fd);
      ports.push_back(ntohs(address.sin_port));
    }
    return ports;
  }

  // Publishes the package for `ports` (in this order) and serves it: the manifests from their
  // own server, the package's files from the good node and from every stalling server.
  void Publish(const std::vector<int>& ports) {
    std::string command = std::string(HALV_PUBLISH_BINARY) + " --input " + temp_.Child("in") +
                          " --output " + temp_.Child("www") +
                          " --partner R --package abc --package-version 7 --name Demo --run app" +
                          " --chunk-size " + std::to_string(kChunk);
    for (const int port : ports) command += " --node 127.0.0.1:" + std::to_string(port);
    command += " >/dev/null";
    ASSERT_EQ(::system(command.c_str()), 0);
    for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("www"))) {
      if (!entry.is_regular_file()) continue;
      const std::string path =
          "/" + fs::relative(entry.path(), temp_.Child("www")).generic_string();
      const std::string content = test::ReadFile(entry.path().string());
      if (path.rfind("/packages/", 0) != 0) {
        manifests_.AddContent(path, content);
        continue;
      }
      good_.AddContent(path, content);
      test::HttpFault stall;
      stall.stallBeforeHeaders = true;
      for (auto& server : stalling_) {
        server->AddContent(path, content);
        server->SetFault(path, stall);
      }
    }
  }

  // Starts a transfer of the package on its own thread; the future tells whether it ended.
  std::future<bool> Start(const Settings& settings, const Clock& clock) {
    services_ = std::make_unique<test::TransferServices>(
        "127.0.0.1:" + std::to_string(manifests_.port()), settings,
        static_cast<std::uint32_t>(settings.workThreads), clock);
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

  void ExpectComplete() {
    const auto completions = transfer_->Completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].status.result, WorkResult::Success);
    EXPECT_TRUE(transfer_->RetryableErrors().empty());
    for (const auto& file : Files()) {
      EXPECT_TRUE(test::ReadFile(temp_.Child("dest/" + file.first)) == file.second) << file.first;
    }
  }

  test::TempDir temp_;
  // The optimizer's time in the tests that drive it; outlives the services that read it.
  test::ManualClock clock_;
  test::TestHttpServer manifests_;
  test::TestHttpServer good_;
  std::vector<std::unique_ptr<test::TestHttpServer>> stalling_;
  std::vector<int> refusing_;
  std::unique_ptr<test::TransferServices> services_;
  std::shared_ptr<test::TestTransferWorkInterface> transfer_;
  std::shared_ptr<Workflow> workflow_;
};

TEST_F(DeadNodesTest, OneGoodNodeAmongFiveHundredRefusingOnesCompletesThePackage) {
  std::vector<int> ports = RefusingPorts(500);
  ports.insert(ports.begin() + 250, good_.port());
  Publish(ports);
  auto done = Start(DeadNodeSettings(), SteadyClock::Instance());
  ASSERT_TRUE(done.get());
  ExpectComplete();
}

TEST_F(DeadNodesTest, WhenEveryNodeRefusesTheRunEndsWithAConnectionError) {
  Publish(RefusingPorts(500));
  auto done = Start(DeadNodeSettings(), SteadyClock::Instance());
  ASSERT_TRUE(done.get());
  EXPECT_TRUE(transfer_->Completions().empty());
  const auto holds = transfer_->RetryableErrors();
  ASSERT_EQ(holds.size(), 1u);
  const auto data = std::dynamic_pointer_cast<TransferStatusData>(holds[0].status.data);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->ToTransferError(), TransferError::ConnectionError);
}

TEST_F(DeadNodesTest, NodesThatAcceptAndNeverAnswerAreGivenUpAndTheGoodNodeCompletes) {
  std::vector<int> ports;
  for (int i = 0; i < 6; ++i) {
    stalling_.push_back(std::make_unique<test::TestHttpServer>());
    stalling_.back()->Start();
    ports.push_back(stalling_.back()->port());
  }
  ports.insert(ports.begin() + 3, good_.port());
  Publish(ports);
  // curl's own limits are far beyond the test's life: only the watch can give a request up.
  Settings settings = DeadNodeSettings();
  settings.connectTimeoutMin = settings.connectTimeoutMax = settings.probeConnectTimeout = 600;
  settings.lowSpeedTimeMin = settings.lowSpeedTimeMax = settings.probeLowSpeedTime = 600;
  settings.requestTimeoutMin = settings.probeRequestTimeoutMin = 3600;
  settings.slowRequestSeconds = 5;
  settings.requestWatchMilliseconds = 5;
  auto done = Start(settings, clock_);
  // The optimizer's time moves a second at a time while the transfer runs; nothing is timed.
  while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    clock_.Advance(std::chrono::seconds(1));
  }
  ASSERT_TRUE(done.get());
  ExpectComplete();
  int stalled = 0;
  for (const auto& server : stalling_) stalled += static_cast<int>(server->Requests().size());
  EXPECT_GT(stalled, 0);
}

TEST_F(DeadNodesTest, RequestsInFlightFollowTheNodesNotTheProcessors) {
  // Four nodes that hold every request: whatever reaches them is in flight at once.
  std::vector<int> ports;
  for (int i = 0; i < 4; ++i) {
    stalling_.push_back(std::make_unique<test::TestHttpServer>());
    stalling_.back()->Start();
    ports.push_back(stalling_.back()->port());
  }
  Publish(ports);
  // Two processors: today's processor bound would allow four requests in all.
  Settings settings(2);
  settings.connectTimeoutMin = settings.connectTimeoutMax = settings.probeConnectTimeout = 600;
  settings.lowSpeedTimeMin = settings.lowSpeedTimeMax = settings.probeLowSpeedTime = 600;
  settings.requestTimeoutMin = settings.probeRequestTimeoutMin = 3600;
  settings.requestWatchMilliseconds = 0;
  ASSERT_EQ(settings.requestsPerNode, 2);
  auto done = Start(settings, clock_);
  // At least two per node, spread evenly over the nodes (the run file alone has 13 chunks): a
  // node's count is taken when it is chosen, so no two threads both find one node idle.
  for (auto& server : stalling_) EXPECT_TRUE(server->WaitForRequests(2));
  std::size_t total = 0;
  for (auto& server : stalling_) total += server->Requests().size();
  EXPECT_LE(total, static_cast<std::size_t>(settings.workflowConcurrency));
  for (auto& server : stalling_) {
    EXPECT_LE(server->Requests().size(), total / 4 + 1);
  }
  workflow_->Abort(WorkStatus(WorkResult::Stopped));
  for (auto& server : stalling_) server->Stop();
  done.wait();
}

TEST_F(DeadNodesTest, AChunkThatKeepsFailingItsCheckNamesTheNodeThatServedIt) {
  Publish({good_.port()});
  test::HttpFault corrupt;
  corrupt.corrupt = true;
  good_.SetFault("/packages/R/abc/7/app", corrupt);
  auto done = Start(DeadNodeSettings(), SteadyClock::Instance());
  ASSERT_TRUE(done.get());
  const auto holds = transfer_->RetryableErrors();
  ASSERT_EQ(holds.size(), 1u);
  const auto data = std::dynamic_pointer_cast<TransferStatusData>(holds[0].status.data);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->ToTransferError(), TransferError::ChecksumError);
  const std::string message = data->Message();
  EXPECT_NE(message.find(" of app failed their check as node 127.0.0.1:" +
                         std::to_string(good_.port()) + " served them"),
            std::string::npos)
      << message;
}

}  // namespace
}  // namespace halv
