#include "app/services.h"

#include <chrono>
#include <memory>

#include "config/not_given.h"
#include "file/paths.h"

namespace halv {

Services::Services(const Settings& settings, const std::string& baseFolder,
                   const AnalyticsEndpoints& analytics)
    : proxyFactory_(settings.proxyResolveTimeout),
      requestFactory_(proxyFactory_),
      verifier_(std::make_shared<PublicationVerifier>(
          settings.publisherKeys, JoinPath(baseFolder, settings.publicationsFile))),
      packageFactory_(settings.manifestHost, requestFactory_, settings.manifestConnectTimeout,
                      settings.manifestTimeout, verifier_),
      nodeListFactory_(settings.manifestHost, requestFactory_, settings.manifestConnectTimeout,
                       settings.manifestTimeout, verifier_),
      manifestStore_(settings.transfersFolder, fileFactory_, baseFolder),
      transferFactory_(&manifestStore_, &workflowFactory_),
      transferManager_(&transferFactory_, &manifestStore_),
      optimizer_(settings),
      analyticsManager_(3, &requestFactory_, sessionFactory_, analytics,
                        settings.analyticsConnectTimeout, settings.analyticsTimeout,
                        settings.analyticsRetryLimit),
      workLogManager_(2, settings.logLevel, baseFolder, settings.logsFolder, &fileFactory_),
      workManager_(static_cast<std::uint32_t>(settings.workThreads)) {
  behavior_.settings = settings;
  behavior_.sessionFactory = &sessionFactory_;
  behavior_.requestFactory = &requestFactory_;
  behavior_.fileFactory = &fileFactory_;
  behavior_.packageFactory = &packageFactory_;
  behavior_.nodeListFactory = &nodeListFactory_;
  behavior_.transferManager = &transferManager_;
  behavior_.optimizer = &optimizer_;
  behavior_.analyticsManager = &analyticsManager_;
  behavior_.logManager = &workLogManager_;
  behavior_.workManager = &workManager_;
  // Records of transfers that nobody restored for a month, or beyond the newest 50, are of no
  // more use: without this every interrupted run would leave one behind for good.
  manifestStore_.Prune(std::chrono::hours(24 * 30), 50);
}

Services::~Services() {
  // Every transfer is suspended (kept for a later run) before anything it uses goes away; the
  // members then go in reverse order, the event managers draining their queues as they do.
  transferManager_.Shutdown();
}

TransferStatus Services::Unknown(const std::string& transferId) const {
  return TransferStatus(transferId, TransferState::None);
}

TransferStatus Services::InitializeTransfer(const std::string& partnerId,
                                            const std::string& packageId,
                                            const std::string& versionId) {
  TransferParams params;
  params.partnerId = partnerId;
  params.packageId = packageId;
  params.versionId = versionId;
  const auto transfer = transferManager_.CreateTransfer(params, behavior_);
  return transfer ? transfer->Initialize() : TransferStatus();
}

TransferStatus Services::InitializeTransfer(const std::string& partnerId,
                                            const std::string& packageId) {
  return InitializeTransfer(partnerId, packageId, kNotGiven);
}

TransferStatus Services::StartTransfer(const std::string& transferId, const std::string& destPath) {
  const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
  return transfer ? transfer->Start(destPath) : Unknown(transferId);
}

TransferStatus Services::GetTransferStatus(const std::string& transferId) {
  const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
  return transfer ? transfer->GetStatus() : Unknown(transferId);
}

TransferStatus Services::RestoreTransfer(const std::string& transferId) {
  const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
  return transfer ? transfer->Restore() : Unknown(transferId);
}

TransferStatus Services::PauseTransfer(const std::string& transferId) {
  const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
  return transfer ? transfer->Pause() : Unknown(transferId);
}

TransferStatus Services::ResumeTransfer(const std::string& transferId) {
  const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
  return transfer ? transfer->Resume() : Unknown(transferId);
}

TransferStatus Services::RetryTransfer(const std::string& transferId) {
  const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
  return transfer ? transfer->Retry() : Unknown(transferId);
}

TransferStatus Services::CancelTransfer(const std::string& transferId, bool deleteFiles) {
  const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
  return transfer ? transfer->Cancel(deleteFiles) : Unknown(transferId);
}

bool Services::HasSufficientSpace(const std::string& transferId, const std::string& destPath) {
  const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
  return transfer && transfer->HasSufficientSpace(destPath);
}

}  // namespace halv
