#include "app/transfer_monitor.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace halv {
namespace {

// Statuses scripted per id; counts the polls of each id and lets a test wait for a number of them.
class ScriptedSource : public TransferStatusSource {
 public:
  void Set(const std::string& id, TransferStatus status) {
    const std::lock_guard<std::mutex> lock(mutex_);
    statuses_[id] = std::move(status);
  }
  // Every poll of `id` throws from now on.
  void Fail(const std::string& id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failing_.push_back(id);
  }
  TransferStatus GetTransferStatus(const std::string& id) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++polls_[id];
    polled_.notify_all();
    for (const std::string& failing : failing_) {
      if (failing == id) throw std::runtime_error("the status could not be read");
    }
    const auto found = statuses_.find(id);
    return found == statuses_.end() ? TransferStatus(id, TransferState::None) : found->second;
  }
  void WaitForPolls(const std::string& id, int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    polled_.wait(lock, [&] { return polls_[id] >= count; });
  }
  int Polls(const std::string& id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return polls_[id];
  }

 private:
  std::mutex mutex_;
  std::condition_variable polled_;
  std::map<std::string, TransferStatus> statuses_;
  std::map<std::string, int> polls_;
  std::vector<std::string> failing_;
};

// Records every callback as "kind:id" and lets a test wait for a number of them.
class RecordingCallback : public TransferMonitorCallback {
 public:
  void OnTransferProgress(const TransferStatus& s) override { Record("progress:" + s.transferId); }
  void OnTransferInitialized(const TransferStatus& s) override {
    Record("initialized:" + s.transferId);
  }
  void OnTransferError(const TransferStatus& s) override { Record("error:" + s.transferId); }
  void OnTransferFinished(const TransferStatus& s) override { Record("finished:" + s.transferId); }

  std::vector<std::string> WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    recorded_.wait(lock, [&] { return events_.size() >= count; });
    return events_;
  }

 private:
  void Record(const std::string& event) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
    }
    recorded_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable recorded_;
  std::vector<std::string> events_;
};

TransferStatus Status(const std::string& id, TransferState state,
                      TransferError error = TransferError::None, bool retryable = false) {
  TransferStatus status(id, state);
  status.error = error;
  status.retryable = retryable;
  return status;
}

TEST(TransferMonitorTest, EachStatusBecomesItsCallbackAndOneTimeEventsUnwatch) {
  struct Case {
    const char* name;
    TransferStatus status;
    std::vector<std::string> events;  // of the first cycle
    bool staysWatched;
  } const cases[] = {
      {"transferring", Status("t", TransferState::Transferring), {"progress:t"}, true},
      {"initialized", Status("t", TransferState::Initialized), {"initialized:t"}, false},
      {"initialized with a retryable error",
       Status("t", TransferState::Initialized, TransferError::ConnectionError, true),
       {"initialized:t", "error:t"},
       false},
      {"retryable error while transferring",
       Status("t", TransferState::Transferring, TransferError::ConnectionError, true),
       {"error:t"},
       false},
      {"final error",
       Status("t", TransferState::Transferring, TransferError::FileError, false),
       {"finished:t"},
       false},
      {"complete", Status("t", TransferState::Complete), {"finished:t"}, false},
      {"unknown id", Status("t", TransferState::None), {"finished:t"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSource source;
    source.Set("t", c.status);
    RecordingCallback callback;
    // A second id keeps the cycles observable after "t" is unwatched.
    RecordingCallback other;
    source.Set("u", Status("u", TransferState::Transferring));
    // Made after the callbacks, so that its thread is joined before they go.
    TransferMonitorImpl monitor(source);
    monitor.Watch("t", &callback);
    monitor.Watch("u", &other);
    monitor.Start();
    EXPECT_EQ(callback.WaitFor(c.events.size()), c.events);
    const int polls = source.Polls("t");
    // Two more cycles: a watched id is polled again, an unwatched one is not.
    source.WaitForPolls("u", source.Polls("u") + 2);
    if (c.staysWatched) {
      EXPECT_GT(source.Polls("t"), polls);
    } else {
      EXPECT_EQ(source.Polls("t"), polls);
    }
  }
}

TEST(TransferMonitorTest, APollThatThrowsReachesTheCallbackAsAnErrorOfThatTransfer) {
  ScriptedSource source;
  source.Fail("t1");
  RecordingCallback callback;
  TransferMonitorImpl monitor(source, SteadyClock::Instance(), 1);
  monitor.Watch("t1", &callback);
  monitor.Start();
  EXPECT_EQ(callback.WaitFor(1), std::vector<std::string>{"error:t1"});
}

TEST(TransferMonitorTest, SecondWatchKeepsTheFirstCallbackUntilUnwatched) {
  ScriptedSource source;
  source.Set("t", Status("t", TransferState::Initialized));
  RecordingCallback first;
  RecordingCallback second;
  TransferMonitorImpl monitor(source);
  monitor.Watch("t", &first);
  monitor.Watch("t", &second);
  monitor.Start();
  EXPECT_EQ(first.WaitFor(1), std::vector<std::string>{"initialized:t"});
  // The one-time event unwatched "t": a new Watch takes the new callback.
  monitor.Watch("t", &second);
  EXPECT_EQ(second.WaitFor(1), std::vector<std::string>{"initialized:t"});
}

// A steady clock that lets a test wait until the monitor's thread first reads it, which it does
// as it begins to wait for a cycle.
class FirstReadClock : public Clock {
 public:
  TimePoint Now() const override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      read_ = true;
    }
    readOnce_.notify_all();
    return SteadyClock::Instance().Now();
  }
  void WaitForRead() const {
    std::unique_lock<std::mutex> lock(mutex_);
    readOnce_.wait(lock, [this] { return read_; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable readOnce_;
  mutable bool read_ = false;
};

TEST(TransferMonitorTest, DestructionWakesAWaitAtOnce) {
  ScriptedSource source;
  source.Set("t", Status("t", TransferState::Transferring));
  RecordingCallback callback;
  FirstReadClock clock;
  // An hour before the first cycle: only the wake-up of the destructor can end the wait (without
  // it, reset() hangs and the test runs into its time-out).
  auto monitor = std::make_unique<TransferMonitorImpl>(source, clock, 3600000);
  monitor->Watch("t", &callback);
  monitor->Start();
  clock.WaitForRead();
  monitor.reset();
  // Woken to end, not to poll.
  EXPECT_EQ(source.Polls("t"), 0);
}

}  // namespace
}  // namespace halv
