#include "analytics/analytics_request.h"

#include <sstream>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "event/json_writer.h"
#include "transfer/transfer_params.h"

namespace halv {

namespace {

using boost::property_tree::ptree;

// A key taken whole: counter names are data, so a "." in one must not make a path.
ptree::path_type Key(const std::string& key) { return ptree::path_type(key, '\0'); }

}  // namespace

std::string TransferAnalyticsStatus(TransferState state) {
  switch (state) {
    case TransferState::Suspended:
      return "suspended";
    case TransferState::Complete:
      return "completed";
    case TransferState::Canceled:
      return "canceled";
    default:
      return "active";
  }
}

std::string MillisecondsAsSeconds(std::uint64_t milliseconds) {
  std::ostringstream text;
  text.precision(16);
  text << static_cast<double>(milliseconds) / 1000.0;
  return text.str();
}

EventAnalyticsRequest::EventAnalyticsRequest(const TransferParams& params)
    : partnerId_(params.partnerId), packageId_(params.packageId), versionId_(params.versionId) {}

EventAnalyticsRequest::~EventAnalyticsRequest() = default;

void EventAnalyticsRequest::Write(ptree& tree) const {
  tree.put("pid", partnerId_);
  tree.put("pkgid", packageId_);
  tree.put("vid", versionId_);
  ptree metrics;
  AddMetrics(metrics);
  tree.put_child("metrics", metrics);
  ptree dimensions;
  AddDimensions(dimensions);
  tree.put_child("dimensions", dimensions);
}

SimpleEventAnalyticsRequest::SimpleEventAnalyticsRequest(const TransferParams& params,
                                                         std::string counter)
    : EventAnalyticsRequest(params), counter_(std::move(counter)) {}

void SimpleEventAnalyticsRequest::AddMetrics(ptree& tree) const { tree.put(Key(counter_), "1"); }

void SimpleEventAnalyticsRequest::AddDimensions(ptree& tree) const {
  tree.put_value(kJsonEmptyObject);
}

ErrorAnalyticsRequest::ErrorAnalyticsRequest(const TransferParams& params, std::string counter,
                                             std::string errorText)
    : SimpleEventAnalyticsRequest(params, std::move(counter)), errorText_(std::move(errorText)) {}

void ErrorAnalyticsRequest::AddDimensions(ptree& tree) const {
  if (errorText_.empty()) {
    SimpleEventAnalyticsRequest::AddDimensions(tree);
  } else {
    tree.put("error", errorText_);
  }
}

OptimizerAnalyticsRequest::OptimizerAnalyticsRequest(const TransferParams& params,
                                                     std::uint64_t bytes,
                                                     std::uint64_t requestTimeMs, std::string cdn)
    : EventAnalyticsRequest(params),
      bytes_(bytes),
      requestTimeMs_(requestTimeMs),
      cdn_(std::move(cdn)) {}

void OptimizerAnalyticsRequest::AddMetrics(ptree& tree) const {
  tree.put("bytes", std::to_string(bytes_));
  tree.put("requestTime", MillisecondsAsSeconds(requestTimeMs_));
}

void OptimizerAnalyticsRequest::AddDimensions(ptree& tree) const { tree.put("cdn", cdn_); }

TransferAnalyticsRequest::TransferAnalyticsRequest(const TransferParams& params,
                                                   TransferState state, std::uint64_t bytes,
                                                   std::uint64_t durationMs)
    : partnerId_(params.partnerId),
      packageId_(params.packageId),
      versionId_(params.versionId),
      transferId_(params.transferId),
      state_(state),
      bytes_(bytes),
      durationMs_(durationMs) {}

TransferAnalyticsRequest::~TransferAnalyticsRequest() = default;

void TransferAnalyticsRequest::Write(ptree& tree) const {
  tree.put("pid", partnerId_);
  tree.put("pkgid", packageId_);
  tree.put("vid", versionId_);
  tree.put("tid", transferId_);
  tree.put("status", TransferAnalyticsStatus(state_));
  tree.put("transferBytes", std::to_string(bytes_));
  tree.put("duration", MillisecondsAsSeconds(durationMs_));
}

}  // namespace halv
