#include "manager/transfer_events.h"

#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "event/analytics_manager.h"
#include "event/work_log_manager.h"
#include "manifest/node_list_manifest.h"
#include "manifest/node_manifest.h"
#include "manifest/node_statistics.h"
#include "transfer/transfer_status_data.h"
#include "transfer/transfer_work_interface.h"

namespace halv {

namespace {

TransferState CurrentState(TransferStatusImpl& status) { return status.StoredStatus().state; }

}  // namespace

TransferEvent::TransferEvent(const std::shared_ptr<TransferWorkInterface>& transfer,
                             std::string name)
    : params_(transfer->GetParamsRef()),
      behavior_(transfer->GetBehavior()),
      nodeList_(transfer->GetNodeList()),
      name_(std::move(name)) {}

TransferEvent::~TransferEvent() = default;

void TransferEvent::Fire() const {
  SendAnalytics();
  Log();
}

void TransferEvent::Track(std::int32_t category, const OutputManifest& request) const {
  AnalyticsManager* analytics = behavior_.analyticsManager;
  if (!analytics) return;
  auto work = analytics->CreateEventWork(category);
  request.Write(work->tree);
  analytics->Submit(work);
}

void TransferEvent::Log() const {
  WorkLogManager* log = behavior_.logManager;
  if (!log) return;
  auto work = log->CreateEventWork(kLevelTransferEvent);
  work->tree.put("event", name_);
  boost::property_tree::ptree params;
  params_.Describe(params);
  work->tree.add_child("params", params);
  log->Submit(work);
}

std::shared_ptr<TrackEventWork> TransferEvent::CreateArrayWork() const {
  AnalyticsManager* analytics = behavior_.analyticsManager;
  return analytics ? analytics->CreateEventWork(kEventAnalytics) : nullptr;
}

void TransferEvent::AddNodeAnalytics(TrackEventWork& work) const {
  if (!nodeList_) return;
  for (const auto& node : nodeList_->GetNodes()) {
    const auto statistics = node->GetStatistics();
    const std::uint32_t timeMs = statistics ? statistics->totalTimeMs.TakeDelta() : 0;
    const std::uint64_t bytes = statistics ? statistics->totalBytes.TakeDelta() : 0;
    const OptimizerAnalyticsRequest request(params_, bytes, timeMs, node->GetHost());
    request.Write(work.tree.push_back({"", {}})->second);
  }
}

void TransferEvent::Submit(const std::shared_ptr<TrackEventWork>& work) const {
  behavior_.analyticsManager->Submit(work);
}

SimpleTransferEvent::SimpleTransferEvent(const std::string& counter, std::string name,
                                         const std::shared_ptr<TransferWorkInterface>& transfer)
    : TransferEvent(transfer, std::move(name)), counterRequest_(params_, counter) {}

void SimpleTransferEvent::SendAnalytics() const { Track(kEventAnalytics, counterRequest_); }

TransferStateEvent::TransferStateEvent(TransferState state, std::uint64_t bytes,
                                       std::uint64_t durationMs, const std::string& counter,
                                       std::string name,
                                       const std::shared_ptr<TransferWorkInterface>& transfer)
    : SimpleTransferEvent(counter, std::move(name), transfer),
      transferRequest_(params_, state, bytes, durationMs) {}

void TransferStateEvent::SendAnalytics() const {
  Track(kEventAnalytics, counterRequest_);
  Track(kTransferAnalytics, transferRequest_);
}

TransferEndEvent::Deltas TransferEndEvent::TakeDeltas(TransferStatusImpl& status) {
  const std::uint64_t activeTimeMs = status.TakeActiveTimeDelta();
  const std::uint64_t receivedBytes = status.TakeReceivedBytesDelta();
  return {activeTimeMs, receivedBytes};
}

TransferEndEvent::TransferEndEvent(const std::string& counter, std::string name,
                                   const std::shared_ptr<TransferWorkInterface>& transfer,
                                   TransferStatusImpl& status)
    : TransferEndEvent(CurrentState(status), TakeDeltas(status), counter, std::move(name),
                       transfer) {}

TransferEndEvent::TransferEndEvent(TransferState state, const std::string& counter,
                                   std::string name,
                                   const std::shared_ptr<TransferWorkInterface>& transfer,
                                   TransferStatusImpl& status)
    : TransferEndEvent(state, TakeDeltas(status), counter, std::move(name), transfer) {}

TransferEndEvent::TransferEndEvent(TransferState state, Deltas deltas, const std::string& counter,
                                   std::string name,
                                   const std::shared_ptr<TransferWorkInterface>& transfer)
    : TransferStateEvent(state, deltas.receivedBytes, deltas.activeTimeMs, counter, std::move(name),
                         transfer) {}

void TransferEndEvent::SendAnalytics() const {
  Track(kTransferAnalytics, transferRequest_);
  auto work = CreateArrayWork();
  if (!work) return;
  counterRequest_.Write(work->tree.push_back({"", {}})->second);
  AddNodeAnalytics(*work);
  Submit(work);
}

TransferErrorEvent::TransferErrorEvent(const std::string& counter, std::string name,
                                       const std::shared_ptr<TransferWorkInterface>& transfer,
                                       TransferStatusImpl& status, const TransferStatusData& data)
    : TransferEvent(transfer, std::move(name)),
      errorRequest_(params_, counter, data.ToString()),
      transferRequest_([&] {
        const auto deltas = TransferEndEvent::TakeDeltas(status);
        return TransferAnalyticsRequest(params_, CurrentState(status), deltas.receivedBytes,
                                        deltas.activeTimeMs);
      }()) {}

void TransferErrorEvent::SendAnalytics() const {
  if (transferRequest_.GetBytes() != 0 || transferRequest_.GetDurationMs() != 0) {
    Track(kTransferAnalytics, transferRequest_);
  }
  auto work = CreateArrayWork();
  if (!work) return;
  errorRequest_.Write(work->tree.push_back({"", {}})->second);
  AddNodeAnalytics(*work);
  Submit(work);
}

TransferPeriodicEvent::TransferPeriodicEvent(const std::shared_ptr<TransferWorkInterface>& transfer,
                                             TransferStatusImpl& status)
    : TransferEvent(transfer, "PeriodicUpdate"), transferRequest_([&] {
        const auto deltas = TransferEndEvent::TakeDeltas(status);
        return TransferAnalyticsRequest(params_, CurrentState(status), deltas.receivedBytes,
                                        deltas.activeTimeMs);
      }()) {}

void TransferPeriodicEvent::SendAnalytics() const {
  Track(kTransferAnalytics, transferRequest_);
  auto work = CreateArrayWork();
  if (!work) return;
  AddNodeAnalytics(*work);
  Submit(work);
}

}  // namespace halv
