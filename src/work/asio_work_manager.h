#ifndef HALV_WORK_ASIO_WORK_MANAGER_H_
#define HALV_WORK_ASIO_WORK_MANAGER_H_

#include <cstdint>
#include <memory>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/thread/thread.hpp>

#include "work/work_manager.h"

namespace halv {

// A work manager whose threads share one Boost.Asio handler queue.
// Ownership: owned by value by its user; handlers hold shared pointers to their work and workflow,
// so both live until their handler has finished.
// Thread-safety: Execute from any thread. Drain and destruction join the threads and must not be
// called from one of them (the thread library throws "boost thread: trying joining itself").
class AsioWorkManager : public WorkManager {
 public:
  // Starts `threadCount` threads; with 0, posted works never run. Throws the thread library's
  // resource error when a thread cannot be created.
  explicit AsioWorkManager(std::uint32_t threadCount);
  AsioWorkManager(const AsioWorkManager&) = delete;
  AsioWorkManager& operator=(const AsioWorkManager&) = delete;
  // Discards the handlers that have not started, waits for the running ones.
  ~AsioWorkManager() override;

  void Execute(const std::shared_ptr<SimpleWork>& work) override;
  void Execute(const std::shared_ptr<Workflow>& workflow,
               const std::shared_ptr<SimpleWork>& work) override;

  // Runs every handler already posted to its end, then joins the threads. Works posted afterwards
  // never run.
  void Drain();

  std::uint32_t GetThreadCount() const { return threadCount_; }

 private:
  using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

  boost::asio::io_context service_;
  // Keeps the threads' run loops alive while the queue is empty; released by Drain.
  std::unique_ptr<WorkGuard> guard_;
  boost::thread_group threads_;
  const std::uint32_t threadCount_;
};

}  // namespace halv

#endif  // HALV_WORK_ASIO_WORK_MANAGER_H_
