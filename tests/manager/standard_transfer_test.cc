#include "manager/standard_transfer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/not_given.h"
#include "file/posix_shared_file.h"
#include "manager_fakes.h"
#include "manifest/node_list_manifest.h"
#include "manifest/package_manifest.h"
#include "temp_dir.h"
#include "transfer/transfer_error_data.h"
#include "transfer/transfer_status_impl.h"
#include "works/package_works.h"

namespace halv {
namespace {

namespace fs = std::filesystem;

using test::FakeWorkflow;

std::shared_ptr<const PackageManifest> Package(const std::string& partner = "R",
                                               const std::string& id = "abc") {
  return test::ReadManifest<StandardPackageManifest>(
      "<package><id>" + id + "</id><name>Demo</name><partnerId>" + partner +
      "</partnerId><versionId>7</versionId><run>app</run><files><file>"
      "<path>app</path><chunksize>4</chunksize><size>10</size><checksums>"
      "000000000000000000000000</checksums></file></files></package>");
}

std::shared_ptr<const NodeListManifest> Nodes() {
  return test::ReadManifest<StandardNodeListManifest>(
      "<ArrayOfNodeInfo><NodeInfo><NodeId>a</NodeId><Host>a.example</Host></NodeInfo>"
      "<NodeInfo><NodeId>b</NodeId><Host>b.example:81</Host></NodeInfo></ArrayOfNodeInfo>");
}

WorkStatus Success(std::shared_ptr<WorkStatusData> data = nullptr) {
  return WorkStatus(WorkResult::Success, std::move(data));
}

WorkStatus Retryable(TransferError error) {
  return WorkStatus(WorkResult::Retryable, std::make_shared<TransferErrorData>(error, "busy"));
}

bool Contains(const std::vector<std::string>& events, const std::string& text) {
  for (const std::string& event : events) {
    if (event.find(text) != std::string::npos) return true;
  }
  return false;
}

class StandardTransferTest : public ::testing::Test {
 protected:
  StandardTransferTest() {
    behavior_.settings = Settings(4);
    behavior_.analyticsManager = &analytics_;
    behavior_.logManager = &log_;
    behavior_.fileFactory = &files_;
  }

  std::shared_ptr<StandardTransfer> NewTransfer(bool stored = false) {
    TransferParams params;
    params.transferId = NewTransferId();
    params.partnerId = "R";
    params.packageId = "abc";
    params.stored = stored;
    if (stored) params.destPath = dir_.path();
    return std::make_shared<StandardTransfer>(params, behavior_, &workflows_);
  }

  // Reports both manifests and the end of initialization through the transfer's interface.
  static void Initialize(StandardTransfer& transfer,
                         std::shared_ptr<const PackageManifest> package = Package()) {
    transfer.Initialize();
    const auto work = transfer.GetWorkInterface();
    work->GetPackageAcquireCallback().OnWorkComplete(
        nullptr, Success(std::make_shared<PackageStatusData>(std::move(package))));
    work->GetNodeListAcquireCallback().OnWorkComplete(
        nullptr, Success(std::make_shared<NodeListStatusData>(Nodes())));
    work->GetInitializeCallback().OnWorkComplete(nullptr, Success());
  }

  // Counts every byte of the 10-byte package as transferred and completed.
  static void MoveAllBytes(StandardTransfer& transfer) {
    const auto progress = transfer.GetWorkInterface()->GetProgressUpdater();
    progress->AddReceivedBytes(10);
    progress->AddTransferredBytes(10);
    progress->AddCompletedBytes(10);
  }

  std::vector<std::string> TakeLog() { return log_.Take(); }

  test::TempDir dir_;
  test::RecordingAnalytics analytics_;
  test::RecordingLog log_;
  PosixSharedFileFactory files_;
  test::FakeWorkflowFactory workflows_;
  TransferBehavior behavior_;
};

TEST_F(StandardTransferTest, RunsFromInitializingToCompleteWithOneEventPerTransition) {
  const auto transfer = NewTransfer();
  EXPECT_EQ(transfer->GetStatus().state, TransferState::Initializing);
  EXPECT_EQ(transfer->Start(dir_.path()).state, TransferState::Initializing)
      << "Start before initialization completes changes nothing";
  EXPECT_TRUE(TakeLog().empty());

  Initialize(*transfer);
  TransferStatus status = transfer->GetStatus();
  EXPECT_EQ(status.state, TransferState::Initialized);
  EXPECT_EQ(status.versionId, "7") << "the version learned from the package";
  EXPECT_EQ(status.totalBytes, 10u);
  EXPECT_EQ(workflows_.Last()->Commands(), (std::vector<std::string>{"Start", "Pause"}))
      << "paused once initialized, so that no file is touched before Start";

  status = transfer->Start(dir_.path());
  EXPECT_EQ(status.state, TransferState::Transferring);
  EXPECT_EQ(status.destPath, dir_.path());
  MoveAllBytes(*transfer);
  transfer->GetWorkInterface()->GetWorkCompleteCallback().OnWorkComplete(nullptr, Success());
  status = transfer->GetStatus();
  EXPECT_EQ(status.state, TransferState::Complete);
  EXPECT_EQ(status.runPath, "app");

  std::vector<std::string> names;
  for (const std::string& line : TakeLog()) {
    const auto start = line.find("\"event\":\"") + 9;
    names.push_back(line.substr(start, line.find('"', start) - start));
    EXPECT_EQ(line.rfind("1 {\"event\":", 0), 0u) << "transfer events have level 1: " << line;
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"Initialize", "InitializeComplete", "Start", "Complete"}));
  const auto analytics = analytics_.Take();
  EXPECT_TRUE(Contains(analytics, "\"numStarts\":\"1\"")) << analytics.size();
  EXPECT_TRUE(Contains(analytics, "\"status\":\"active\",\"transferBytes\":\"0\""));
  EXPECT_TRUE(Contains(analytics, "\"status\":\"completed\",\"transferBytes\":\"10\""));
  EXPECT_TRUE(Contains(analytics, "\"numCompletes\":\"1\""));
}

TEST_F(StandardTransferTest, StartChecksTheDestination) {
  struct Case {
    const char* name;
    bool stored;    // restored with the destination dir_
    bool sameDest;  // Start with dir_ (else "?" or another folder)
    bool notGiven;  // Start with "?"
    bool accepted;
  } const cases[] = {
      {"not stored, given", false, true, false, true},
      {"not stored, not given", false, false, true, false},
      {"stored, not given keeps its own", true, false, true, true},
      {"stored, the same", true, true, false, true},
      {"stored, another folder", true, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto transfer = NewTransfer(c.stored);
    if (c.stored) transfer->Restore();
    Initialize(*transfer);
    const std::string dest = c.notGiven   ? std::string(kNotGiven)
                             : c.sameDest ? dir_.path()
                                          : dir_.path() + "/other";
    const TransferStatus status = transfer->Start(dest);
    EXPECT_EQ(status.state, c.accepted ? TransferState::Transferring : TransferState::Initialized);
    if (c.accepted) {
      EXPECT_EQ(status.destPath, dir_.path());
    }
    // The next case's transfer runs into the same folder.
    transfer->Cancel(false);
  }
}

TEST_F(StandardTransferTest, OneTransferAtATimeRunsIntoADestination) {
  const auto first = NewTransfer();
  Initialize(*first);
  ASSERT_EQ(first->Start(dir_.path()).state, TransferState::Transferring);
  const auto second = NewTransfer();
  Initialize(*second);
  // Another spelling of the same folder meets the same lock.
  const TransferStatus refused = second->Start(dir_.path() + "/.");
  EXPECT_EQ(refused.error, TransferError::FileAccessError);
  EXPECT_NE(refused.errorMessage.find("process " + std::to_string(getpid())), std::string::npos)
      << refused.errorMessage;
  first->Cancel(false);
  const auto third = NewTransfer();
  Initialize(*third);
  EXPECT_EQ(third->Start(dir_.path()).state, TransferState::Transferring) << "released at the end";
}

TEST_F(StandardTransferTest, APackageThatCannotFitEndsAtStartWithInsufficientSpace) {
  // 64 TiB fit on no disk of a test machine: 32768 chunks of 2 GiB.
  const auto huge = test::ReadManifest<StandardPackageManifest>(
      "<package><id>abc</id><name>D</name><partnerId>R</partnerId><versionId>7</versionId>"
      "<files><file><path>huge</path><chunksize>2147483648</chunksize>"
      "<size>70368744177664</size><checksums>" +
      std::string(8 * 32768, '0') + "</checksums></file></files></package>");
  const auto transfer = NewTransfer();
  Initialize(*transfer, huge);
  const TransferStatus status = transfer->Start(dir_.path());
  EXPECT_EQ(status.error, TransferError::InsufficientSpace);
  EXPECT_TRUE(status.IsFinished());
  EXPECT_EQ(workflows_.Last()->Commands().back(), "Abort") << "nothing is allocated";
}

TEST_F(StandardTransferTest, ContractViolationsFailWithTheirMessageAndAbortOutsideTheLock) {
  const auto transfer = NewTransfer();
  Initialize(*transfer);
  transfer->Start(dir_.path());
  TakeLog();
  analytics_.Take();
  // The abort asks the transfer for its status from another thread: with the transfer's lock
  // still held this would deadlock.
  workflows_.Last()->onAbort = [&](const WorkStatus&) {
    std::thread([&] { transfer->GetStatus(); }).join();
  };
  const auto work = transfer->GetWorkInterface();
  work->GetWorkCompleteCallback().OnWorkComplete(nullptr, Success());
  const TransferStatus status = transfer->GetStatus();
  EXPECT_EQ(status.error, TransferError::UnknownError);
  EXPECT_FALSE(status.retryable);
  EXPECT_EQ(workflows_.Last()->Commands().back(), "Abort");
  const auto analytics = analytics_.Take();
  EXPECT_TRUE(Contains(analytics,
                       "error|9|Transfer::OnWorkComplete called with Success result but progress "
                       "is not complete"));
  // Finished: a second report, such as the abort heard again by the root's observers, is ignored.
  work->GetWorkCompleteCallback().OnWorkComplete(nullptr, Success());
  EXPECT_TRUE(TakeLog().size() == 1) << "one FatalError line only";
}

TEST_F(StandardTransferTest, PackageOfOtherIdsIsAManifestError) {
  const auto transfer = NewTransfer();
  Initialize(*transfer, Package("R", "other"));
  EXPECT_EQ(transfer->GetStatus().error, TransferError::ManifestError);
}

TEST_F(StandardTransferTest, ARetryableErrorIsRecordedOnceUntilRetry) {
  const auto transfer = NewTransfer();
  Initialize(*transfer);
  transfer->Start(dir_.path());
  const auto workflow = workflows_.Last();
  const auto callback = transfer->GetWorkInterface()->GetRetryableErrorCallback();
  callback->OnWorkflowRetryableError(workflow, nullptr, Retryable(TransferError::ConnectionError));
  callback->OnWorkflowRetryableError(workflow, nullptr, Retryable(TransferError::FileError));
  TransferStatus status = transfer->GetStatus();
  EXPECT_EQ(status.error, TransferError::ConnectionError);
  EXPECT_TRUE(status.retryable);
  EXPECT_FALSE(status.IsFinished());
  status = transfer->Retry();
  EXPECT_EQ(status.error, TransferError::None);
  EXPECT_EQ(workflow->Commands().back(), "Retry");
}

TEST_F(StandardTransferTest, SuspendStartsANewIncarnationThatRestoreAcquiresAgain) {
  const auto transfer = NewTransfer(true);
  transfer->Restore();
  Initialize(*transfer);
  transfer->Start(kNotGiven);
  MoveAllBytes(*transfer);
  const auto oldWork = transfer->GetWorkInterface();
  TransferStatus status = transfer->Suspend();
  EXPECT_EQ(status.state, TransferState::Suspended);
  EXPECT_EQ(status.transferredBytes, 0u) << "the new incarnation counts from zero";
  EXPECT_EQ(status.destPath, dir_.path());
  // Works of the old workflow fall silent.
  oldWork->GetWorkCompleteCallback().OnWorkComplete(nullptr, Success());
  EXPECT_EQ(transfer->GetStatus().state, TransferState::Suspended);

  EXPECT_TRUE(transfer->Cancel(true).state == TransferState::Suspended)
      << "a cleanly suspended transfer keeps its files and stays suspended";
  status = transfer->Restore();
  EXPECT_EQ(status.state, TransferState::Initializing);
  EXPECT_EQ(workflows_.workflows.size(), 2u) << "a new workflow for the new incarnation";
  EXPECT_EQ(workflows_.Last()->Commands(), std::vector<std::string>{"Start"});
}

TEST_F(StandardTransferTest, CancelWithDeletionRemovesReleasedFilesEvenWhenComplete) {
  const auto transfer = NewTransfer();
  Initialize(*transfer);
  transfer->Start(dir_.path());
  std::ofstream(dir_.path() + "/app") << "0123456789";
  transfer->GetWorkInterface()->OnFileReleased("app");
  MoveAllBytes(*transfer);
  transfer->GetWorkInterface()->GetWorkCompleteCallback().OnWorkComplete(nullptr, Success());
  TakeLog();
  EXPECT_EQ(transfer->Cancel(true).state, TransferState::Complete);
  struct stat info {};
  EXPECT_NE(::stat((dir_.path() + "/app").c_str(), &info), 0);
  EXPECT_TRUE(TakeLog().empty()) << "a finished transfer raises no cancel event";
}

TEST_F(StandardTransferTest, CompleteOnlyWhenEveryCommittedPathStillHoldsItsVerifiedFile) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> after;
    bool complete;
  };
  const std::vector<Case> cases = {
      {"left alone", [](const std::string&) {}, true},
      {"replaced by a copy",
       [](const std::string& path) {
         std::ofstream(path + ".new") << "0123456789";
         ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
       },
       false},
      {"removed", [](const std::string& path) { ASSERT_EQ(::unlink(path.c_str()), 0); }, false},
      {"replaced by a link to itself",
       [](const std::string& path) {
         ASSERT_EQ(::rename(path.c_str(), (path + ".old").c_str()), 0);
         ASSERT_EQ(::symlink((path + ".old").c_str(), path.c_str()), 0);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dest;
    const auto transfer = NewTransfer();
    Initialize(*transfer);
    ASSERT_EQ(transfer->Start(dest.path()).state, TransferState::Transferring);
    fs::create_directories(dest.path() + "/tools/bin");
    for (const std::string path : {"app", "tools/bin/setup.sh"}) {
      std::ofstream(dest.path() + "/" + path) << "0123456789";
      auto file = files_.Create(transfer->GetWorkInterface()->GetDestination(), path,
                                SharedFileMode::OpenExisting, 0, 9);
      transfer->GetWorkInterface()->OnFileCommitted(path, file->Identity());
    }
    c.after(dest.path() + "/tools/bin/setup.sh");
    MoveAllBytes(*transfer);
    transfer->GetWorkInterface()->GetWorkCompleteCallback().OnWorkComplete(nullptr, Success());
    const TransferStatus status = transfer->GetStatus();
    if (c.complete) {
      EXPECT_EQ(status.state, TransferState::Complete);
      EXPECT_EQ(status.error, TransferError::None);
    } else {
      EXPECT_NE(status.state, TransferState::Complete);
      EXPECT_EQ(status.error, TransferError::FileAccessError);
      EXPECT_NE(status.errorMessage.find("\"tools/bin/setup.sh\""), std::string::npos)
          << status.errorMessage;
    }
  }
}

TEST_F(StandardTransferTest, NodeStatisticsAreAJsonArray) {
  const auto transfer = NewTransfer();
  EXPECT_EQ(transfer->GetNodeStatistics(), "[]");
  Initialize(*transfer);
  const std::string text = transfer->GetNodeStatistics();
  EXPECT_EQ(text.front(), '[');
  EXPECT_EQ(text.back(), ']');
  EXPECT_NE(text.find("\"Node\":\"a.example\""), std::string::npos) << text;
  EXPECT_NE(text.find("b.example:81"), std::string::npos) << text;
}

TEST_F(StandardTransferTest, AWorkThatOutlivesItsTransferReachesNothing) {
  auto transfer = NewTransfer();
  Initialize(*transfer);
  transfer->Start(dir_.path());
  const auto work = transfer->GetWorkInterface();
  transfer.reset();
  // Under AddressSanitizer any touch of the freed transfer would be reported here.
  work->GetWorkCompleteCallback().OnWorkComplete(nullptr, Success());
  work->OnFileReleased("app");
  work->GetRetryableErrorCallback()->OnWorkflowRetryableError(
      nullptr, nullptr, Retryable(TransferError::ConnectionError));
  EXPECT_EQ(work->GetParams().packageId, "abc");
}

}  // namespace
}  // namespace halv
