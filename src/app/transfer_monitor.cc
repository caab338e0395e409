#include "app/transfer_monitor.h"

#include <chrono>
#include <exception>
#include <utility>
#include <vector>

namespace halv {

TransferMonitorImpl::TransferMonitorImpl(TransferStatusSource& source, const Clock& clock,
                                         std::uint32_t pollIntervalMs)
    : source_(source), clock_(clock), pollIntervalMs_(pollIntervalMs) {}

TransferMonitorImpl::~TransferMonitorImpl() {
  std::thread thread;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  wakeup_.notify_all();
  if (thread.joinable()) thread.join();
}

void TransferMonitorImpl::Start() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!thread_.joinable() && !stopping_) thread_ = std::thread([this] { Run(); });
}

void TransferMonitorImpl::Watch(const std::string& transferId, TransferMonitorCallback* callback) {
  const std::lock_guard<std::mutex> lock(mutex_);
  watched_.emplace(transferId, callback);
}

void TransferMonitorImpl::Unwatch(const std::string& transferId) {
  const std::lock_guard<std::mutex> lock(mutex_);
  watched_.erase(transferId);
}

bool TransferMonitorImpl::IsStopping() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

bool TransferMonitorImpl::WaitForNextCycle() {
  using std::chrono::milliseconds;
  const Clock::TimePoint start = clock_.Now();
  const auto interval = milliseconds(pollIntervalMs_);
  const auto threshold = milliseconds(pollIntervalMs_ * 9 / 10);
  std::unique_lock<std::mutex> lock(mutex_);
  Clock::Duration elapsed{0};
  while (!stopping_) {
    wakeup_.wait_for(lock, interval - elapsed);
    elapsed = clock_.Now() - start;
    if (elapsed >= threshold) break;
  }
  return !stopping_;
}

void TransferMonitorImpl::Run() {
  while (WaitForNextCycle()) {
    std::vector<std::pair<std::string, TransferMonitorCallback*>> watched;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      watched.assign(watched_.begin(), watched_.end());
    }
    for (const auto& [id, callback] : watched) {
      if (IsStopping()) break;
      TransferStatus status;
      try {
        status = source_.GetTransferStatus(id);
        Dispatch(id, *callback, status);
      } catch (const std::exception& exception) {
        Fault(id, *callback, status, exception.what());
      } catch (...) {
        Fault(id, *callback, status, "unknown exception");
      }
    }
  }
}

void TransferMonitorImpl::Dispatch(const std::string& id, TransferMonitorCallback& callback,
                                   const TransferStatus& status) {
  if (status.IsFinished()) {
    Unwatch(id);
    callback.OnTransferFinished(status);
  } else if (status.state == TransferState::Initialized) {
    Unwatch(id);
    callback.OnTransferInitialized(status);
    if (status.error != TransferError::None) callback.OnTransferError(status);
  } else if (status.error == TransferError::None) {
    callback.OnTransferProgress(status);
  } else {
    Unwatch(id);
    callback.OnTransferError(status);
  }
}

void TransferMonitorImpl::Fault(const std::string& id, TransferMonitorCallback& callback,
                                TransferStatus status, const std::string& message) {
  // An exception must not end the monitor's thread, which would end the process: the front end
  // hears of a failed transfer instead, once, and the transfer is watched no more.
  Unwatch(id);
  // A poll that threw left no status: the front end knows the transfer only by its id.
  status.transferId = id;
  if (status.error == TransferError::None) status.error = TransferError::UnknownError;
  status.retryable = false;
  status.errorMessage = message;
  try {
    callback.OnTransferError(status);
  } catch (...) {
    // The front end could not take even the failure; it stays as it was.
  }
}

}  // namespace halv
