#ifndef HALV_EVENT_JSON_HTTP_ANALYTICS_MANAGER_H_
#define HALV_EVENT_JSON_HTTP_ANALYTICS_MANAGER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "event/analytics_manager.h"
#include "event/event_manager.h"
#include "work/work_status.h"

namespace halv {

class HttpRequest;
class HttpRequestFactory;
class HttpSession;
class HttpSessionFactory;

// Where analytics go: plain http URLs of scheme and host (the post goes to the root path). An
// empty URL turns that kind of analytics off.
struct AnalyticsEndpoints {
  std::string transferUrl;  // transfer records (category kTransferAnalyticsCategory)
  std::string eventUrl;     // counters, errors and node throughput (every other category)
};

// The posts of one analytics manager that are running, so that its teardown can cut them short.
// Ownership: shared by the manager and its events. Thread-safety: any thread.
class AnalyticsPostGate {
 public:
  // Registers `request` as running and answers true, or answers false when the gate is closed.
  bool Enter(const std::shared_ptr<HttpRequest>& request);
  void Leave(const std::shared_ptr<HttpRequest>& request);
  // Cancels every running request; every later Enter answers false.
  void Close();

 private:
  std::mutex mutex_;
  // Guarded by mutex_.
  bool closed_ = false;
  std::vector<std::shared_ptr<HttpRequest>> running_;
};

// Posts every event's tree as compact JSON (WriteNarrowJson) with content type
// "application/json", on its own threads, over one pooled HTTP session made at construction.
// Nothing waits for an answer and a failed post is dropped; a post that cannot connect or meets a
// server error (status 500 or above) is tried again up to the retry limit.
// Teardown first lets the queued and running posts finish for up to the drain limit, then cancels
// the ones still running and drops the rest, so an unreachable collector cannot hold the program
// open for longer than that limit and the libcurl progress tick that ends a cancelled request.
// Ownership: owned by value by the assembly; the request factory is not owned and outlives it.
// Thread-safety: CreateEventWork and Submit from any thread; destruction not from its threads.
class JsonHttpAnalyticsManager : public AnalyticsManager {
 public:
  static constexpr std::chrono::milliseconds kDefaultDrainLimit{3000};

  JsonHttpAnalyticsManager(std::uint32_t threadCount, HttpRequestFactory* requestFactory,
                           HttpSessionFactory& sessionFactory, AnalyticsEndpoints endpoints,
                           std::int32_t connectTimeout, std::int32_t timeout,
                           std::int32_t retryLimit,
                           std::chrono::milliseconds drainLimit = kDefaultDrainLimit);
  ~JsonHttpAnalyticsManager() override;

  // A new JsonHttpAnalyticsEventWork of `category` with an empty tree, aimed at the transfer
  // endpoint for kTransferAnalyticsCategory and at the event endpoint otherwise.
  std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t category) override;

 private:
  // Constant after construction.
  HttpRequestFactory* const requestFactory_;
  const std::shared_ptr<HttpSession> session_;
  const AnalyticsEndpoints endpoints_;
  const std::int32_t connectTimeout_;
  const std::int32_t timeout_;
  const std::int32_t retryLimit_;
  const std::chrono::milliseconds drainLimit_;
  const std::shared_ptr<AnalyticsPostGate> gate_;
};

// One analytics post: its tree as JSON to `url`.
// Ownership and thread-safety: as TrackEventWork; the request factory is not owned and outlives
// the work.
class JsonHttpAnalyticsEventWork : public TrackEventWork {
 public:
  JsonHttpAnalyticsEventWork(std::int32_t level, std::string url,
                             HttpRequestFactory* requestFactory,
                             std::shared_ptr<HttpSession> session, std::int32_t connectTimeout,
                             std::int32_t timeout, std::int32_t retryLimit,
                             std::shared_ptr<AnalyticsPostGate> gate);

  // Posts the tree once. Success for a 2xx answer, and at once without posting when the URL is
  // empty; Retryable when no connection could be made or the server answered 500 or above;
  // Error for every other failure, for a tree that cannot be written as JSON and for a post after
  // the manager's teardown has closed its gate.
  WorkStatus ExecuteTask() override;
  // True, counting, while fewer than the retry limit retries have been made.
  bool ShouldRetry() override;
  // Clears the stop request and the retry count.
  void Reset() override;
  // Standalone posts are not stopped by a workflow; teardown cancels them through the gate.
  void Interrupt() override {}

  const std::string& url() const { return url_; }

 private:
  // Constant after construction.
  const std::string url_;
  HttpRequestFactory* const requestFactory_;
  const std::shared_ptr<HttpSession> session_;
  const std::int32_t connectTimeout_;
  const std::int32_t timeout_;
  const std::int32_t retryLimit_;
  const std::shared_ptr<AnalyticsPostGate> gate_;

  // Used by the one thread that runs the work.
  std::int32_t retryCount_ = 0;
};

}  // namespace halv

#endif  // HALV_EVENT_JSON_HTTP_ANALYTICS_MANAGER_H_
