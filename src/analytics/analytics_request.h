#ifndef HALV_ANALYTICS_ANALYTICS_REQUEST_H_
#define HALV_ANALYTICS_ANALYTICS_REQUEST_H_

#include <cstdint>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/output_manifest.h"
#include "transfer/transfer_status.h"

namespace halv {

struct TransferParams;

// The analytics documents that transfer events post. Each record copies what it needs when it is
// built, so it may be destroyed before its post runs. Write fills a tree for WriteNarrowJson, in
// which every value is a string.
// Ownership: plain values or shared pointers, as the event that holds them likes.
// Thread-safety: immutable after construction; Write from any thread.

// A document for the event analytics endpoint: "pid", "pkgid", "vid", then the "metrics" and
// "dimensions" objects that the subclass fills.
class EventAnalyticsRequest : public OutputManifest {
 public:
  explicit EventAnalyticsRequest(const TransferParams& params);
  ~EventAnalyticsRequest() override;

  void Write(boost::property_tree::ptree& tree) const override;
  virtual void AddMetrics(boost::property_tree::ptree& tree) const = 0;
  virtual void AddDimensions(boost::property_tree::ptree& tree) const = 0;

 protected:
  const std::string partnerId_;
  const std::string packageId_;
  const std::string versionId_;
};

// One occurrence of a user-visible event: metrics {counter: "1"}, no dimensions ({}).
class SimpleEventAnalyticsRequest : public EventAnalyticsRequest {
 public:
  SimpleEventAnalyticsRequest(const TransferParams& params, std::string counter);

  void AddMetrics(boost::property_tree::ptree& tree) const override;
  // The empty object.
  void AddDimensions(boost::property_tree::ptree& tree) const override;

 private:
  const std::string counter_;
};

// An error report: as the simple request, with dimensions {"error": errorText}, or {} when the
// text is empty.
class ErrorAnalyticsRequest : public SimpleEventAnalyticsRequest {
 public:
  ErrorAnalyticsRequest(const TransferParams& params, std::string counter, std::string errorText);

  void AddDimensions(boost::property_tree::ptree& tree) const override;

 private:
  const std::string errorText_;
};

// The throughput of one node: metrics {"bytes": decimal, "requestTime": seconds}, dimensions
// {"cdn": the node's host}.
class OptimizerAnalyticsRequest : public EventAnalyticsRequest {
 public:
  // `requestTimeMs` is the node's request time since the previous report (a 32-bit delta).
  OptimizerAnalyticsRequest(const TransferParams& params, std::uint64_t bytes,
                            std::uint64_t requestTimeMs, std::string cdn);

  void AddMetrics(boost::property_tree::ptree& tree) const override;
  void AddDimensions(boost::property_tree::ptree& tree) const override;

 private:
  const std::uint64_t bytes_;
  const std::uint64_t requestTimeMs_;
  const std::string cdn_;
};

// A transfer report for the transfer analytics endpoint: "pid", "pkgid", "vid", "tid",
// "status", "transferBytes" (decimal) and "duration" (seconds).
class TransferAnalyticsRequest : public OutputManifest {
 public:
  TransferAnalyticsRequest(const TransferParams& params, TransferState state, std::uint64_t bytes,
                           std::uint64_t durationMs);
  ~TransferAnalyticsRequest() override;

  void Write(boost::property_tree::ptree& tree) const override;

  std::uint64_t GetBytes() const { return bytes_; }
  std::uint64_t GetDurationMs() const { return durationMs_; }

 private:
  const std::string partnerId_;
  const std::string packageId_;
  const std::string versionId_;
  const std::string transferId_;
  const TransferState state_;
  const std::uint64_t bytes_;
  const std::uint64_t durationMs_;
};

// "suspended", "completed" or "canceled" for Suspended, Complete and Canceled; "active" for every
// other state.
std::string TransferAnalyticsStatus(TransferState state);

// Milliseconds as seconds in the general notation with 16 significant digits and no trailing
// zeros: 5000 gives "5", 1234 gives "1.234".
std::string MillisecondsAsSeconds(std::uint64_t milliseconds);

}  // namespace halv

#endif  // HALV_ANALYTICS_ANALYTICS_REQUEST_H_
