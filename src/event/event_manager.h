#ifndef HALV_EVENT_EVENT_MANAGER_H_
#define HALV_EVENT_EVENT_MANAGER_H_

#include <cstdint>
#include <memory>

#include <boost/property_tree/ptree.hpp>

#include "work/asio_work_manager.h"
#include "work/simple_work.h"

namespace halv {

// An event on its way out of the system: a standalone work whose producer fills `tree` and then
// submits it to the manager that made it. `level` holds the event's bits (see LogManager).
// Ownership: shared pointers, by the producer until Submit and then by the manager's handler.
// Thread-safety: the producer fills the tree before Submit; afterwards only the manager's thread
// that executes the work touches it.
class TrackEventWork : public SimpleWork {
 public:
  explicit TrackEventWork(std::int32_t level) : level(level) {}

  boost::property_tree::ptree tree;
  const std::int32_t level;
};

// Sends events on a small thread pool of its own, so that writing a log line or posting an
// analytics request never delays a transfer or the user interface.
// Ownership: owned by value by the assembly; outlives every producer of events.
// Thread-safety: CreateEventWork and Submit from any thread. Destruction drains the pool: every
// event submitted before it is sent; it must not run on one of the pool's threads.
class EventManager {
 public:
  explicit EventManager(std::uint32_t threadCount) : manager_(threadCount) {}
  EventManager(const EventManager&) = delete;
  EventManager& operator=(const EventManager&) = delete;
  virtual ~EventManager() = default;

  // A new, empty event of `level`, made by this manager and to be submitted to it.
  virtual std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t level) = 0;
  // Resets `work` and runs it on one of the pool's threads; returns at once. Works submitted
  // after the drain has begun, other than from a running event, never run.
  virtual void Submit(const std::shared_ptr<SimpleWork>& work) { manager_.Run(work); }

 protected:
  // Runs every submitted event to its end (events submitted by running events included) and
  // joins the threads; a second call does nothing. Every manager that implements
  // CreateEventWork or whose events use its members calls it first in its destructor, so that no
  // event runs against a half-destroyed manager.
  void Drain() { manager_.Drain(); }

 private:
  AsioWorkManager manager_;
};

}  // namespace halv

#endif  // HALV_EVENT_EVENT_MANAGER_H_
