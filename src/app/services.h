#ifndef HALV_APP_SERVICES_H_
#define HALV_APP_SERVICES_H_

#include <memory>
#include <string>

#include "app/transfer_monitor.h"
#include "config/settings.h"
#include "event/json_http_analytics_manager.h"
#include "event/json_work_log_manager.h"
#include "file/posix_shared_file.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "http/linux_http_proxy.h"
#include "manager/transfer_manager.h"
#include "manifest/node_list_manifest_factory.h"
#include "manifest/package_manifest_factory.h"
#include "manifest/publication_verifier.h"
#include "optimizer/proportional_gambling_transfer_optimizer.h"
#include "store/manifest_store.h"
#include "store/transfer_manifest.h"
#include "transfer/transfer_behavior.h"
#include "transfer/transfer_status.h"
#include "work/asio_work_manager.h"
#include "works/transfer_workflow_factory.h"

namespace halv {

// Builds and owns every long-lived service of the process, in a fixed order, and the behaviour
// record through which transfers and works reach them.
// Ownership: owned by the entry; outlives the monitor and every transfer and work.
// Thread-safety: the transfer operations from any thread (the manager and each transfer lock
// what they share). Destruction on one thread after every caller has stopped: it suspends every
// transfer, drains the log and analytics pools and destroys the services in reverse order.
class Services : public TransferStatusSource {
 public:
  // `baseFolder` holds the transfer store, the logs and the publication record (the product's
  // state folder, StartupParameters::stateFolder); `analytics` says where analytics go (an empty
  // URL turns that kind off).
  Services(const Settings& settings, const std::string& baseFolder,
           const AnalyticsEndpoints& analytics);
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;
  ~Services() override;

  // A new transfer of that package, initializing; the default status after shutdown.
  TransferStatus InitializeTransfer(const std::string& partnerId, const std::string& packageId,
                                    const std::string& versionId);
  TransferStatus InitializeTransfer(const std::string& partnerId, const std::string& packageId);
  // Starts the transfer into `destPath`; a status in state None for an unknown id.
  TransferStatus StartTransfer(const std::string& transferId, const std::string& destPath);
  // The transfer's status (raising its periodic event when due); state None for an unknown id.
  TransferStatus GetTransferStatus(const std::string& transferId) override;
  // Restores a transfer kept in the store by an earlier run: it acquires its manifests again
  // (state Initializing); once Initialized, StartTransfer with the not-given destination "?"
  // continues it into its stored destination.
  TransferStatus RestoreTransfer(const std::string& transferId);
  // Pause, resume, retry or cancel by id; a status in state None for an unknown id.
  TransferStatus PauseTransfer(const std::string& transferId);
  TransferStatus ResumeTransfer(const std::string& transferId);
  TransferStatus RetryTransfer(const std::string& transferId);
  TransferStatus CancelTransfer(const std::string& transferId, bool deleteFiles);
  // Whether the initialized transfer fits into `destPath`; false for an unknown id.
  bool HasSufficientSpace(const std::string& transferId, const std::string& destPath);

  const TransferBehavior& GetBehavior() const { return behavior_; }

 private:
  TransferStatus Unknown(const std::string& transferId) const;

  RoundRobinHttpSessionFactory sessionFactory_;
  LinuxHttpProxyFactory proxyFactory_;
  CurlHttpRequestFactory requestFactory_;
  PosixSharedFileFactory fileFactory_;
  // The publisher's keys and the record of accepted publications, shared by both factories.
  std::shared_ptr<PublicationVerifier> verifier_;
  XmlHttpPackageManifestFactory packageFactory_;
  XmlHttpNodeListManifestFactory nodeListFactory_;
  StandardTransferWorkflowFactory workflowFactory_;
  JsonTempFileManifestStore<TransferManifest> manifestStore_;
  StoredTransferFactory transferFactory_;
  TempFileTransferManager transferManager_;
  ProportionalGamblingTransferOptimizer optimizer_;
  JsonHttpAnalyticsManager analyticsManager_;
  JsonWorkLogManager workLogManager_;
  AsioWorkManager workManager_;
  TransferBehavior behavior_;
};

}  // namespace halv

#endif  // HALV_APP_SERVICES_H_
