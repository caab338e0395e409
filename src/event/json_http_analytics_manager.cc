#include "event/json_http_analytics_manager.h"

#include <algorithm>
#include <future>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#include <boost/property_tree/json_parser/error.hpp>

#include "event/json_writer.h"
#include "http/http_request.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "http/http_stringstream_writer.h"

namespace halv {

bool AnalyticsPostGate::Enter(const std::shared_ptr<HttpRequest>& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  running_.push_back(request);
  return true;
}

void AnalyticsPostGate::Leave(const std::shared_ptr<HttpRequest>& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = std::find(running_.begin(), running_.end(), request);
  if (found != running_.end()) running_.erase(found);
}

void AnalyticsPostGate::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  for (const std::shared_ptr<HttpRequest>& request : running_) request->Cancel();
}

JsonHttpAnalyticsManager::JsonHttpAnalyticsManager(
    std::uint32_t threadCount, HttpRequestFactory* requestFactory,
    HttpSessionFactory& sessionFactory, AnalyticsEndpoints endpoints, std::int32_t connectTimeout,
    std::int32_t timeout, std::int32_t retryLimit, std::chrono::milliseconds drainLimit)
    : AnalyticsManager(threadCount),
      requestFactory_(requestFactory),
      session_(sessionFactory.Create()),
      endpoints_(std::move(endpoints)),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      retryLimit_(retryLimit),
      drainLimit_(drainLimit),
      gate_(std::make_shared<AnalyticsPostGate>()) {}

JsonHttpAnalyticsManager::~JsonHttpAnalyticsManager() {
  // Drain on a helper thread so that this one can stop waiting when the limit is spent; the
  // future measures the limit on the steady clock.
  std::promise<void> drained;
  std::future<void> done = drained.get_future();
  try {
    std::thread drainer([this, &drained] {
      Drain();
      drained.set_value();
    });
    if (done.wait_for(drainLimit_) != std::future_status::ready) gate_->Close();
    drainer.join();
  } catch (const std::system_error&) {
    // No thread for the drain: close at once, so that it cannot hang, and drain here.
    gate_->Close();
    Drain();
  }
}

std::shared_ptr<TrackEventWork> JsonHttpAnalyticsManager::CreateEventWork(std::int32_t category) {
  return std::make_shared<JsonHttpAnalyticsEventWork>(
      category,
      category == kTransferAnalyticsCategory ? endpoints_.transferUrl : endpoints_.eventUrl,
      requestFactory_, session_, connectTimeout_, timeout_, retryLimit_, gate_);
}

JsonHttpAnalyticsEventWork::JsonHttpAnalyticsEventWork(
    std::int32_t level, std::string url, HttpRequestFactory* requestFactory,
    std::shared_ptr<HttpSession> session, std::int32_t connectTimeout, std::int32_t timeout,
    std::int32_t retryLimit, std::shared_ptr<AnalyticsPostGate> gate)
    : TrackEventWork(level),
      url_(std::move(url)),
      requestFactory_(requestFactory),
      session_(std::move(session)),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      retryLimit_(retryLimit),
      gate_(std::move(gate)) {}

WorkStatus JsonHttpAnalyticsEventWork::ExecuteTask() {
  if (url_.empty()) return WorkStatus(WorkResult::Success);
  std::string text;
  try {
    text = ToNarrowJson(tree);
  } catch (const boost::property_tree::json_parser::json_parser_error&) {
    return WorkStatus(WorkResult::Error);
  }
  std::ostringstream response;
  HttpStringstreamWriter writer(&response);
  HttpRequestParams params(url_, &writer);
  params.method = HttpMethod::Post;
  params.contentType = "application/json";
  params.body = std::move(text);
  params.connectTimeout = connectTimeout_;
  params.timeout = timeout_;
  const std::shared_ptr<HttpRequest> request = requestFactory_->CreateRequest(params, session_);
  if (!gate_->Enter(request)) return WorkStatus(WorkResult::Error);
  HttpRequestStatus status;
  try {
    status = request->Perform();
  } catch (...) {
    gate_->Leave(request);
    throw;
  }
  gate_->Leave(request);
  switch (status.result) {
    case HttpRequestResult::Success:
      return WorkStatus(WorkResult::Success);
    case HttpRequestResult::ConnectFailed:
    case HttpRequestResult::ServerError:
      return WorkStatus(WorkResult::Retryable);
    default:
      return WorkStatus(WorkResult::Error);
  }
}

bool JsonHttpAnalyticsEventWork::ShouldRetry() {
  if (retryCount_ >= retryLimit_) return false;
  ++retryCount_;
  return true;
}

void JsonHttpAnalyticsEventWork::Reset() {
  TrackEventWork::Reset();
  retryCount_ = 0;
}

}  // namespace halv
