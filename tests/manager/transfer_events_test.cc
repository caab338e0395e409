#include "manager/transfer_events.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manager_fakes.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_statistics.h"
#include "manual_clock.h"
#include "transfer/transfer_error_data.h"
#include "transfer/transfer_status_impl.h"
#include "transfer/transfer_work_interface.h"

namespace halv {
namespace {

// What an event reads of a transfer: its ids, its behaviour and its node list.
class FixedWorkInterface : public TransferWorkInterface {
 public:
  FixedWorkInterface(TransferParams params, TransferBehavior behavior,
                     std::shared_ptr<const NodeListManifest> nodes)
      : params_(std::move(params)), behavior_(std::move(behavior)), nodes_(std::move(nodes)) {}
  TransferParams GetParams() override { return params_; }
  const TransferParams& GetParamsRef() const override { return params_; }
  const TransferBehavior& GetBehavior() const override { return behavior_; }
  std::shared_ptr<const PackageManifest> GetPackage() const override { return nullptr; }
  std::shared_ptr<const NodeListManifest> GetNodeList() const override { return nodes_; }
  std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() const override { return nullptr; }
  std::shared_ptr<HttpSession> GetSession() const override { return nullptr; }
  std::shared_ptr<const Folder> GetDestination() const override { return nullptr; }
  WorkCompleteCallback& GetWorkCompleteCallback() override { return unused_; }
  WorkCompleteCallback& GetPackageAcquireCallback() override { return unused_; }
  WorkCompleteCallback& GetNodeListAcquireCallback() override { return unused_; }
  WorkCompleteCallback& GetInitializeCallback() override { return unused_; }
  WorkflowRetryableErrorCallback* GetRetryableErrorCallback() override { return nullptr; }
  void OnFileReleased(const std::string&) override {}
  void OnFileCommitted(const std::string&, const FileIdentity&) override {}

 private:
  struct Unused : WorkCompleteCallback {
    void OnWorkComplete(const std::shared_ptr<Work>&, const WorkStatus&) override {}
  } unused_;
  const TransferParams params_;
  const TransferBehavior behavior_;
  const std::shared_ptr<const NodeListManifest> nodes_;
};

std::shared_ptr<const NodeListManifest> OneNode() {
  return test::ReadManifest<StandardNodeListManifest>(
      "<ArrayOfNodeInfo><NodeInfo><NodeId>a</NodeId><Host>a.example</Host></NodeInfo>"
      "</ArrayOfNodeInfo>");
}

TEST(TransferEventsTest, EveryEventPostsItsRecordsInOrderAndOneLogLine) {
  test::RecordingAnalytics analytics;
  test::RecordingLog log;
  TransferBehavior behavior;
  behavior.analyticsManager = &analytics;
  behavior.logManager = &log;
  TransferParams params;
  params.transferId = std::string(32, 'a');
  params.partnerId = "R";
  params.packageId = "abc";
  params.versionId = "7";
  const auto nodes = OneNode();
  nodes->GetNodes()[0]->GetStatistics()->AddSample(2048, 1000, false);
  auto transfer = std::make_shared<FixedWorkInterface>(params, behavior, nodes);
  test::ManualClock clock;
  TransferStatusImpl status(params, 10, 500, clock);
  status.StoredStatus().state = TransferState::Canceled;
  const TransferErrorData error(TransferError::ChecksumError, "bad chunk");

  const std::string ids = "\"pid\":\"R\",\"pkgid\":\"abc\",\"vid\":\"7\"";
  const std::string counter = "{" + ids + ",\"metrics\":{\"%\":\"1\"},\"dimensions\":{}}";
  const auto Counter = [&](const std::string& name) {
    std::string text = counter;
    return text.replace(text.find('%'), 1, name);
  };
  const std::string node = "{" + ids +
                           ",\"metrics\":{\"bytes\":\"2048\",\"requestTime\":\"1\"},"
                           "\"dimensions\":{\"cdn\":\"a.example\"}}";
  const std::string transferRecord = "{" + ids + ",\"tid\":\"" + params.transferId +
                                     "\",\"status\":\"%s\",\"transferBytes\":\"%b\","
                                     "\"duration\":\"0\"}";
  const auto Record = [&](const std::string& state, const std::string& bytes) {
    std::string text = transferRecord;
    text.replace(text.find("%s"), 2, state);
    return text.replace(text.find("%b"), 2, bytes);
  };

  struct Case {
    std::string name;
    std::function<std::unique_ptr<TransferEvent>()> make;
    std::vector<std::string> posts;  // "category body", in order
  } const cases[] = {
      {"Initialize",
       [&] { return std::make_unique<TransferInitializeEvent>(transfer); },
       {"1 " + Counter("numInitializes")}},
      {"InitializeComplete",
       [&] { return std::make_unique<TransferInitializeCompleteEvent>(transfer); },
       {"1 " + Counter("numInitializeCompletes")}},
      {"Pause",
       [&] { return std::make_unique<TransferPauseEvent>(transfer); },
       {"1 " + Counter("numPauses")}},
      {"Resume",
       [&] { return std::make_unique<TransferResumeEvent>(transfer); },
       {"1 " + Counter("numResumes")}},
      {"Retry",
       [&] { return std::make_unique<TransferRetryEvent>(transfer); },
       {"1 " + Counter("numRetries")}},
      {"Start",
       [&] { return std::make_unique<TransferStartEvent>(transfer); },
       {"1 " + Counter("numStarts"), "32 " + Record("active", "0")}},
      {"Restore",
       [&] { return std::make_unique<TransferRestoreEvent>(transfer); },
       {"1 " + Counter("numRestores"), "32 " + Record("active", "0")}},
      {"Cancel",
       [&] {
         status.AddReceivedBytes(1000);
         return std::make_unique<TransferCancelEvent>(transfer, status);
       },
       {"32 " + Record("canceled", "1000"), "1 [" + Counter("numCancels") + "," + node + "]"}},
      {"Suspend",
       [&] { return std::make_unique<TransferSuspendEvent>(transfer, status); },
       {"32 " + Record("suspended", "0"), "1 [" + Counter("numSuspends") + ",{" + ids +
                                              ",\"metrics\":{\"bytes\":\"0\",\"requestTime\":"
                                              "\"0\"},\"dimensions\":{\"cdn\":\"a.example\"}}]"}},
      {"Complete",
       [&] {
         status.StoredStatus().state = TransferState::Complete;
         status.AddReceivedBytes(7);
         return std::make_unique<TransferCompleteEvent>(transfer, status);
       },
       {"32 " + Record("completed", "7"), "1 [" + Counter("numCompletes") + ",{" + ids +
                                              ",\"metrics\":{\"bytes\":\"0\",\"requestTime\":"
                                              "\"0\"},\"dimensions\":{\"cdn\":\"a.example\"}}]"}},
      {"RetryableError",
       [&] {
         status.StoredStatus().state = TransferState::Transferring;
         status.AddReceivedBytes(3);
         return std::make_unique<TransferRetryableErrorEvent>(transfer, status, error);
       },
       {"32 " + Record("active", "3"),
        "1 [{" + ids +
            ",\"metrics\":{\"numRetryableErrors\":\"1\"},\"dimensions\":{\"error\":"
            "\"error|6|bad chunk\"}},{" +
            ids +
            ",\"metrics\":{\"bytes\":\"0\",\"requestTime\":\"0\"},\"dimensions\":{"
            "\"cdn\":\"a.example\"}}]"}},
      {"FatalError",
       [&] { return std::make_unique<TransferFatalErrorEvent>(transfer, status, error); },
       {"1 [{" + ids +
        ",\"metrics\":{\"numFatalErrors\":\"1\"},\"dimensions\":{\"error\":\"error|6|bad "
        "chunk\"}},{" +
        ids +
        ",\"metrics\":{\"bytes\":\"0\",\"requestTime\":\"0\"},\"dimensions\":{\"cdn\":"
        "\"a.example\"}}]"}},
      {"PeriodicUpdate",
       [&] {
         status.AddReceivedBytes(5);
         return std::make_unique<TransferPeriodicEvent>(transfer, status);
       },
       {"32 " + Record("active", "5"), "1 [{" + ids +
                                           ",\"metrics\":{\"bytes\":\"0\",\"requestTime\":"
                                           "\"0\"},\"dimensions\":{\"cdn\":\"a.example\"}}]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make()->Fire();
    EXPECT_EQ(analytics.Take(), c.posts);
    EXPECT_EQ(log.Take(), std::vector<std::string>{
                              "1 {\"event\":\"" + c.name + "\",\"params\":{\"transferId\":\"" +
                              params.transferId +
                              "\",\"partnerId\":\"R\",\"packageId\":\"abc\",\"versionId\":\"7\","
                              "\"destPath\":\"?\"}}"});
  }
}

}  // namespace
}  // namespace halv
