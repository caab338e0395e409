// A partial file that another program writes into in place while it downloads (as
// `dd conv=notrunc` would): its chunks verified by the digests of what we wrote, the download must
// still not be called complete over the bytes the other program left. The node holds every
// answer half way, so the other write lands between two writes of ours.

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "file/paths.h"
#include "manual_clock.h"
#include "temp_dir.h"
#include "test_http_server.h"
#include "test_transfer_work_interface.h"
#include "transfer/transfer_error_data.h"
#include "works/transfer_workflow_factory.h"

namespace halv {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kChunk = 16384;

const std::string& App() {
  static const std::string bytes = test::PseudoRandomBytes(6 * kChunk + 5, 21);
  return bytes;
}

// Waits until the file system's clock has ticked, so that a write after this call gives a file
// another change time than our last write (change times are kept at the tick of the coarse
// clock, which is what this spins on).
void NextClockTick() {
  timespec start;
  clock_gettime(CLOCK_REALTIME_COARSE, &start);
  timespec now = start;
  while (now.tv_sec == start.tv_sec && now.tv_nsec == start.tv_nsec) {
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
  }
}

class ChangedPartialTest : public testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(temp_.Child("in/app"), App());
    fs::create_directories(temp_.Child("dest"));
    manifests_.Start();
    node_.Start();
    const std::string command = std::string(HALV_PUBLISH_BINARY) + " --input " + temp_.Child("in") +
                                " --output " + temp_.Child("www") +
                                " --partner R --package abc --package-version 7 --name Demo" +
                                " --run app --chunk-size " + std::to_string(kChunk) +
                                " --node 127.0.0.1:" + std::to_string(node_.port()) + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("www"))) {
      if (!entry.is_regular_file()) continue;
      const std::string path =
          "/" + fs::relative(entry.path(), temp_.Child("www")).generic_string();
      const std::string content = test::ReadFile(entry.path().string());
      (path.rfind("/packages/", 0) == 0 ? node_ : manifests_).AddContent(path, content);
    }
  }

  void TearDown() override {
    if (workflow_) workflow_->Abort(WorkStatus(WorkResult::Stopped));
    services_.reset();
    workflow_.reset();
    node_.Stop();
    manifests_.Stop();
  }

  // Starts a transfer of the package on its own thread; the future tells whether it ended.
  std::future<bool> Start() {
    Settings settings(4);
    settings.raceMilliseconds = -1;
    services_ = std::make_unique<test::TransferServices>(
        "127.0.0.1:" + std::to_string(manifests_.port()), settings, 8, clock_);
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

  test::TempDir temp_;
  test::ManualClock clock_;
  test::TestHttpServer manifests_;
  test::TestHttpServer node_;
  std::unique_ptr<test::TransferServices> services_;
  std::shared_ptr<test::TestTransferWorkInterface> transfer_;
  std::shared_ptr<Workflow> workflow_;
};

TEST_F(ChangedPartialTest, BytesWrittenIntoThePartialFileByAnotherProgramAreNeverComplete) {
  test::HttpFault hold;
  hold.holdMidBody = true;
  node_.SetFault("/packages/R/abc/7/app", hold);
  auto done = Start();

  // Once the first half of the first chunk is in the partial file, another program changes a
  // byte of it; then the rest of every chunk arrives.
  const std::string partial = temp_.Child("dest/app") + kPartialFileSuffix;
  const std::string firstHalf = App().substr(0, kChunk / 2);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool seen = false;
  while (!seen && std::chrono::steady_clock::now() < giveUp) {
    seen = test::ReadFile(partial).substr(0, firstHalf.size()) == firstHalf;
    if (!seen) std::this_thread::yield();
  }
  ASSERT_TRUE(seen) << "the first half of the first chunk never arrived";
  NextClockTick();
  const int other = ::open(partial.c_str(), O_WRONLY);
  ASSERT_GE(other, 0);
  const char wrong = static_cast<char>(App()[100] ^ 0x55);
  ASSERT_EQ(::pwrite(other, &wrong, 1, 100), 1);
  ::close(other);
  node_.ReleaseHeld();
  ASSERT_TRUE(done.get());

  const auto completions = transfer_->Completions();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].status.result, WorkResult::Error);
  auto data = std::dynamic_pointer_cast<TransferExceptionData>(completions[0].status.data);
  ASSERT_TRUE(data);
  EXPECT_NE(data->Message().find("app" + std::string(kPartialFileSuffix) +
                                 "\" was changed by another program"),
            std::string::npos)
      << data->Message();
  EXPECT_FALSE(fs::exists(temp_.Child("dest/app")));

  // The next run checks the partial file chunk by chunk and fetches the changed one again.
  workflow_->Abort(WorkStatus(WorkResult::Stopped));
  services_.reset();
  workflow_.reset();
  node_.ClearFault("/packages/R/abc/7/app");
  auto again = Start();
  ASSERT_TRUE(again.get());
  const auto rerun = transfer_->Completions();
  ASSERT_EQ(rerun.size(), 1u);
  EXPECT_EQ(rerun[0].status.result, WorkResult::Success);
  EXPECT_TRUE(test::ReadFile(temp_.Child("dest/app")) == App());
}

}  // namespace
}  // namespace halv
