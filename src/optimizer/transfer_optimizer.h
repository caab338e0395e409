#ifndef HALV_OPTIMIZER_TRANSFER_OPTIMIZER_H_
#define HALV_OPTIMIZER_TRANSFER_OPTIMIZER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/settings.h"
#include "work/clock.h"

namespace halv {

class HttpRequest;
class HttpTransferStatusData;
class NodeListManifest;
class NodeManifest;
class NodeStatistics;
struct OptimizedRequestParams;

// What the optimizer's watch needs to judge whether a chunk request is worth racing: the chunk's
// length, the node list the chunk is asked from, and what starts a racing copy (true when it
// started one). Empty `start`: never raced.
struct RaceHook {
  std::uint64_t length = 0;
  std::shared_ptr<const NodeListManifest> nodes;
  std::function<bool()> start;
};

// Picks the node and the time-outs of every chunk request, and learns from every outcome. The
// time-outs adapt to the network: a timed-out request doubles the connect and low-speed times up
// to their maxima, a successful one lowers them by a second down to their minima; probes of
// little-known nodes never move them.
//
// A node that refuses connections, cannot be resolved or sends nothing before its request is
// given up is set aside: no request goes to it for nodeSetAsideSeconds, doubled for every further
// failure in a row up to nodeSetAsideMaxSeconds; then it is probed again (a probe's failure costs
// the chunk no retry), and the first request it answers ends its back-off. Only when every node
// of the list is set aside does a chunk's attempt go to the node whose back-off ends first, and
// that attempt counts against the chunk's retries, so a run whose nodes are all dead ends.
//
// The watch: every request in flight is registered; every requestWatchMilliseconds a thread of
// the optimizer (started with the first request) compares each request that has run for
// slowRequestSeconds with the best mean speed the statistics know of any other node, and gives
// it up (cancels it) when it runs below 1/slowRequestFactor of that; a node that sends nothing
// at all while another delivers is given up the same way, whatever curl's time-outs say.
// The same look starts races at the end of a file: a request watched with a RaceHook, while a node
// that is not set aside nor far behind has nothing in flight and is unmeasured or expected to
// deliver the whole chunk in half the time the request needs for the rest (at its own rate once it
// has run raceMilliseconds, before that at its node's mean speed, if known), gets its hook called
// (with no lock held) until the hook says it started a racing copy; the copy asks GetRaceNode for
// that node. The requests with the most time left go
// first, no more of them in one look than there are idle nodes; a node going idle while a
// request may be raced makes the watch look at once.
// Time is read from the clock handed in, so tests drive it by hand.
//
// Ownership: one per run, owned by value by the assembly; it outlives every transfer. A derived
// class stops the watch thread (StopWatch) in its destructor, before its own members go.
// Thread-safety: every operation from any thread; each holds mutex_ for its whole run, except that
// requests are asked for their status and cancelled with mutex_ released. Lock order: mutex_
// before the mutex of any statistics object; watchMutex_ is never held with another lock.
class TransferOptimizer {
 public:
  explicit TransferOptimizer(const Settings& settings,
                             const Clock& clock = SteadyClock::Instance());
  TransferOptimizer(const TransferOptimizer&) = delete;
  TransferOptimizer& operator=(const TransferOptimizer&) = delete;
  virtual ~TransferOptimizer();

  // Chooses one of params.CandidateNodes and sets SelectedNode, FreeRetry, CanExtendTimeouts,
  // IsProbe and the four time-out and speed fields. Throws std::invalid_argument
  // "TransferOptimizer::GetNode received empty nodelist" when there is no candidate.
  // The chosen node's in-flight count is taken in the same hold of mutex_ (params.Reserved), so
  // two threads choosing at once never both see the same node idle; the caller gives it back
  // with Release once its request is watched or will not run.
  virtual void GetNode(OptimizedRequestParams& params) = 0;
  // Gives back the in-flight count GetNode took for params.SelectedNode; nothing when none is held.
  void Release(OptimizedRequestParams& params);

  // After an attempt that succeeded or may be retried: adapts the time-outs to the result (unless
  // the attempt was a probe), then records the attempt in the statistics.
  virtual void ReportResult(const OptimizedRequestParams& params,
                            const HttpTransferStatusData& statusData);

  // The statistics this optimizer keeps of `node`; here, the node description's own.
  virtual std::shared_ptr<NodeStatistics> GetStatistics(const NodeManifest& node);

  using WatchId = std::uint64_t;
  // Starts watching `request`, a chunk request to `node` that is about to run; with a `race`
  // hook, the watch may start a racing copy of it.
  WatchId Watch(const std::shared_ptr<NodeManifest>& node, std::shared_ptr<HttpRequest> request,
                RaceHook race = RaceHook());
  // For the racing copy of a chunk whose first request runs on `firstHost`: chooses, and counts as
  // in flight, the node a racing copy goes to (the fastest measured idle node, else an idle
  // unmeasured one, as a probe), as GetNode does; false, choosing nothing, when no node is idle.
  bool GetRaceNode(OptimizedRequestParams& params, const std::string& firstHost);
  // Stops watching; true when the watch gave the request up (and cancelled it).
  bool Unwatch(WatchId id);
  // One look at every watched request, as the watch thread takes it every
  // requestWatchMilliseconds.
  void CheckRequests();
  // Whether no request should go to `node` now.
  bool IsSetAside(const NodeManifest& node);
  // How many chunk requests of one file should be in flight for `nodes`: requestsPerNode for
  // every node that is not set aside nor far behind (up to twice that for the fastest, fewer for
  // slower ones, once the statistics know them), from 1 to maxRequestsInFlight.
  std::uint32_t RequestsInFlight(const NodeListManifest& nodes);

 protected:
  // Records the attempt; called by ReportResult with mutex_ held.
  virtual void UpdateStatistics(const OptimizedRequestParams& params,
                                const HttpTransferStatusData& statusData) = 0;

  // A normal request to `node`, with the current adaptive time-outs and a whole-request limit
  // long enough for the chunk at the slowest acceptable speed. Call with mutex_ held.
  void SelectNode(OptimizedRequestParams& params, const std::shared_ptr<NodeManifest>& node);
  // A probe of a little-known `node`: short, strict limits, and a failure does not count against
  // the chunk's retries. Call with mutex_ held.
  void SelectProbe(OptimizedRequestParams& params, const std::shared_ptr<NodeManifest>& node);

  // The nodes a chunk may ask now: its candidates that are not set aside, or, when all of them
  // are, the nodes of the whole list that are not. Empty when every node of the list is set
  // aside; `*soonest` is then the one whose back-off ends first. Call with mutex_ held.
  std::vector<std::shared_ptr<NodeManifest>> UsableNodes(const OptimizedRequestParams& params,
                                                         std::shared_ptr<NodeManifest>* soonest);
  // Whether `host` came back from a back-off and has not answered since. Call with mutex_ held.
  bool IsReturning(const std::string& host) const;
  // The best mean speed, in bytes per second, that the statistics know of any host other than
  // `host`; 0 when none is known. Call with mutex_ held.
  virtual double ReferenceSpeed(const std::string& host) = 0;
  // The mean speed of `host` in bytes per second, when the statistics have measured it (two
  // samples or more); 0 otherwise. Call with mutex_ held.
  virtual double MeanSpeed(const std::string& host) = 0;
  // Requests to `host` chosen and not yet given back: watched, or between GetNode and Watch.
  // Call with mutex_ held.
  std::uint32_t InFlight(const std::string& host) const;
  // Whether `host` is measured and delivers below 1/slowRequestFactor of the best other host: not
  // worth keeping busy. Call with mutex_ held.
  bool IsFarBehind(const std::string& host);
  // Ends the watch thread; idempotent. Derived destructors call it first.
  void StopWatch();

  std::mutex mutex_;
  const Settings settings_;
  const Clock& clock_;

 private:
  struct SetAside {
    std::uint32_t failures = 0;
    Clock::TimePoint until;
  };
  struct Watched {
    std::string host;
    std::shared_ptr<HttpRequest> request;
    Clock::TimePoint started;
    bool givenUp = false;
    RaceHook race;
    bool raced = false;
  };

  // Whether `host` may take a racing copy now: not `firstHost`, nothing in flight, neither set
  // aside nor far behind. Call with mutex_ held.
  bool IsRaceable(const std::string& host, const std::string& firstHost, Clock::TimePoint now);

  // Sets `host` aside after a failure that says it is unreachable, or ends its back-off after an
  // answer. Call with mutex_ held.
  // Takes one in-flight count of `node` for `params`, giving back any it held. Call with mutex_
  // held.
  void Reserve(OptimizedRequestParams& params, const std::shared_ptr<NodeManifest>& node);
  // Gives back one in-flight count of `host`. Call with mutex_ held.
  void Unreserve(const std::string& host);
  void UpdateSetAside(const std::string& host, const HttpTransferStatusData& statusData,
                      bool givenUp);
  void WatchLoop();

  // Guarded by mutex_.
  std::int32_t connectTimeout_;  // seconds
  std::int32_t lowSpeedTime_;    // seconds
  std::unordered_map<std::string, SetAside> setAside_;
  std::map<WatchId, Watched> watched_;
  std::unordered_map<std::string, std::uint32_t> inFlight_;
  WatchId nextWatchId_ = 1;

  // Guarded by watchMutex_.
  std::mutex watchMutex_;
  std::condition_variable watchWake_;
  bool watchStopping_ = false;
  bool lookNow_ = false;  // a node went idle while a request may be raced
  std::thread watchThread_;
};

}  // namespace halv

#endif  // HALV_OPTIMIZER_TRANSFER_OPTIMIZER_H_
