#ifndef HALV_TESTS_SUPPORT_TEST_TRANSFER_WORK_INTERFACE_H_
#define HALV_TESTS_SUPPORT_TEST_TRANSFER_WORK_INTERFACE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "file/posix_shared_file.h"
#include "http/http_proxy.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "manifest/node_list_manifest_factory.h"
#include "manifest/package_manifest_factory.h"
#include "optimizer/proportional_gambling_transfer_optimizer.h"
#include "transfer/transfer_params.h"
#include "transfer/transfer_progress_updater.h"
#include "transfer/transfer_work_interface.h"
#include "work/asio_work_manager.h"
#include "work/workflow.h"

namespace halv::test {

// Counts a transfer's bytes as the transfer's status would, and remembers the highest
// transferred count ever reached, so that a test can show progress never ran past the total.
// Thread-safety: any thread.
class CountingProgressUpdater : public TransferProgressUpdater {
 public:
  void AddTransferredBytes(std::uint64_t count) override;
  void RemoveTransferredBytes(std::uint64_t count) override;
  void AddCompletedBytes(std::uint64_t count) override { completed += count; }
  void AddReceivedBytes(std::uint64_t count) override { received += count; }
  void NoteDiskCheck() override { ++diskChecks; }

  // Signed, so that taking back more than was counted shows as a negative value.
  std::atomic<std::int64_t> transferred{0};
  std::atomic<std::int64_t> peakTransferred{0};
  std::atomic<std::uint64_t> completed{0};
  std::atomic<std::uint64_t> received{0};
  std::atomic<int> diskChecks{0};  // checks begun of bytes already on disk
};

// Direct connections: no proxy lookup.
class DirectProxyFactory : public HttpProxyFactory {
 public:
  std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

// The real services a transfer's works use, as the assembly would make them: curl requests
// without proxy, the XML manifest factories on `manifestHost`, POSIX destination files, the
// proportional-gambling optimizer (reading `clock`) and a work manager with `threads` threads.
// Ownership: owned by the test; outlives every workflow it runs. Thread-safety: as its services.
class TransferServices {
 public:
  TransferServices(const std::string& manifestHost, const Settings& settings, std::uint32_t threads,
                   const Clock& clock = SteadyClock::Instance());
  ~TransferServices();

  TransferBehavior behavior;
  DirectProxyFactory proxies;
  CurlHttpRequestFactory requests{proxies};
  XmlHttpPackageManifestFactory packages;
  XmlHttpNodeListManifestFactory nodeLists;
  PosixSharedFileFactory files;
  ProportionalGamblingTransferOptimizer optimizer;
  RoundRobinHttpSessionFactory sessions;
  AsioWorkManager workManager;
};

// One completion a callback heard.
struct RecordedCompletion {
  std::string name;  // the work's "name"
  WorkStatus status;
};

// Everything a transfer gives its works, without the transfer: the params, the behaviour with
// real services, a session, a counting progress updater; the callbacks record what they hear and
// keep the package and node list as the transfer would (the package's version replaces the
// params' version). Completion of the whole package or a hold for a retry wakes Wait.
// Ownership: shared pointers (the works hold it). Thread-safety: any thread.
class TestTransferWorkInterface : public TransferWorkInterface,
                                  public WorkflowRetryableErrorCallback {
 public:
  TestTransferWorkInterface(TransferParams params, TransferBehavior behavior,
                            std::shared_ptr<HttpSession> session);
  ~TestTransferWorkInterface() override;

  TransferParams GetParams() override;
  const TransferParams& GetParamsRef() const override { return params_; }
  const TransferBehavior& GetBehavior() const override { return behavior_; }
  std::shared_ptr<const PackageManifest> GetPackage() const override;
  std::shared_ptr<const NodeListManifest> GetNodeList() const override;
  std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() const override { return progress_; }
  std::shared_ptr<HttpSession> GetSession() const override { return session_; }
  // The destination opened again by its path at every call, without a lock; empty when it
  // cannot be opened.
  std::shared_ptr<const Folder> GetDestination() const override;
  WorkCompleteCallback& GetWorkCompleteCallback() override { return workComplete_; }
  WorkCompleteCallback& GetPackageAcquireCallback() override { return packageAcquired_; }
  WorkCompleteCallback& GetNodeListAcquireCallback() override { return nodeListAcquired_; }
  WorkCompleteCallback& GetInitializeCallback() override { return initialized_; }
  WorkflowRetryableErrorCallback* GetRetryableErrorCallback() override { return this; }
  void OnFileReleased(const std::string& relativePath) override;
  void OnFileCommitted(const std::string&, const FileIdentity&) override {}

  void OnWorkflowRetryableError(const std::shared_ptr<Workflow>& workflow,
                                const std::shared_ptr<Work>& work,
                                const WorkStatus& status) override;

  // For tests that build works below the package work: as if the manifests had been acquired.
  void SetPackage(std::shared_ptr<const PackageManifest> package);
  void SetNodeList(std::shared_ptr<const NodeListManifest> nodeList);

  // Starts `workflow` with this interface's retryable-error callback and waits until the
  // package work completed or the workflow holds for a retry (at most `limit`, a guard against
  // a hang, not a measurement). True when one of them happened.
  bool RunToEnd(const std::shared_ptr<Workflow>& workflow,
                std::chrono::seconds limit = std::chrono::seconds(120));

  std::vector<RecordedCompletion> Completions() const;       // of the package work
  std::vector<RecordedCompletion> PackageAcquired() const;   // of the package manifest work
  std::vector<RecordedCompletion> NodeListAcquired() const;  // of the node list work
  std::vector<RecordedCompletion> Initialized() const;       // of the initialization
  std::vector<RecordedCompletion> RetryableErrors() const;   // the holds of the workflow
  std::vector<std::string> ReleasedFiles() const;

  const std::shared_ptr<CountingProgressUpdater>& progress() const { return progress_; }

 private:
  class Recorder : public WorkCompleteCallback {
   public:
    enum class Kind { Package, NodeList, Initialize, Complete };
    Recorder(TestTransferWorkInterface* owner, Kind kind) : owner_(owner), kind_(kind) {}
    void OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) override;

   private:
    TestTransferWorkInterface* const owner_;
    const Kind kind_;
  };

  const TransferBehavior behavior_;
  const std::shared_ptr<HttpSession> session_;
  const std::shared_ptr<CountingProgressUpdater> progress_;
  Recorder workComplete_{this, Recorder::Kind::Complete};
  Recorder packageAcquired_{this, Recorder::Kind::Package};
  Recorder nodeListAcquired_{this, Recorder::Kind::NodeList};
  Recorder initialized_{this, Recorder::Kind::Initialize};

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Written under mutex_ by the callbacks; the works read the unlocked reference only for the
  // ids, which never change, and the version, which changes before any work reads it.
  TransferParams params_;
  std::shared_ptr<const PackageManifest> package_;
  std::shared_ptr<const NodeListManifest> nodeList_;
  std::vector<RecordedCompletion> completions_;
  std::vector<RecordedCompletion> packageAcquisitions_;
  std::vector<RecordedCompletion> nodeListAcquisitions_;
  std::vector<RecordedCompletion> initializations_;
  std::vector<RecordedCompletion> retryableErrors_;
  std::vector<std::string> releasedFiles_;
};

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_TEST_TRANSFER_WORK_INTERFACE_H_
