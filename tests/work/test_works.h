#ifndef HALV_TESTS_WORK_TEST_WORKS_H_
#define HALV_TESTS_WORK_TEST_WORKS_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "work/composite_work.h"
#include "work/simple_work.h"
#include "work/work.h"
#include "work/work_status.h"
#include "work/workflow.h"

namespace halv::test {

// A bound on every wait, so that a broken engine fails a test instead of hanging the suite. Not a
// synchronisation device: every wait ends on its condition long before.
inline constexpr std::chrono::seconds kWaitLimit{30};

// A condition variable with its mutex, for waiting on state that worker threads change.
struct Monitor {
  // Notifies under the mutex: a waiter may destroy the monitor as soon as it wakes.
  template <typename Fn>
  void Update(Fn&& fn) {
    std::lock_guard<std::mutex> guard(mutex_);
    fn();
    changed_.notify_all();
  }
  // Waits until `predicate` holds (read under the mutex); false after kWaitLimit.
  template <typename Pred>
  bool WaitUntil(Pred&& predicate) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, kWaitLimit, predicate);
  }
  template <typename Fn>
  auto Read(Fn&& fn) {
    std::lock_guard<std::mutex> guard(mutex_);
    return fn();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
};

// A leaf whose task is a function of its attempt number (0-based over the work's lifetime) and
// whose ShouldRetry answers from a script.
class ScriptedWork : public SimpleWork {
 public:
  using Task = std::function<WorkStatus(int attempt)>;

  explicit ScriptedWork(Task task, std::vector<bool> retryAnswers = {})
      : task_(std::move(task)), retryAnswers_(std::move(retryAnswers)) {}

  WorkStatus ExecuteTask() override { return task_(attempts_++); }
  void Interrupt() override {}
  bool ShouldRetry() override {
    const std::size_t asked = retryQuestions_++;
    return asked < retryAnswers_.size() && retryAnswers_[asked];
  }

  int Attempts() const { return attempts_; }
  int RetryQuestions() const { return static_cast<int>(retryQuestions_); }

 private:
  Task task_;
  std::vector<bool> retryAnswers_;
  int attempts_ = 0;
  std::size_t retryQuestions_ = 0;
};

// A leaf that ends with a fixed result.
inline std::shared_ptr<ScriptedWork> MakeLeaf(WorkResult result,
                                              std::shared_ptr<WorkStatusData> data = nullptr) {
  return std::make_shared<ScriptedWork>([result, data](int) { return WorkStatus(result, data); });
}

// Leaves that block in their task until released or stopped; shared state lets a test see how
// many are executing at once.
class BlockingPool {
 public:
  class Leaf : public SimpleWork {
   public:
    Leaf(BlockingPool* pool, int id, WorkResult result) : pool_(pool), id_(id), result_(result) {}

    WorkStatus ExecuteTask() override { return pool_->Run(*this); }
    void Interrupt() override {
      pool_->monitor_.Update([this] { ++interrupts_; });
    }

    int Id() const { return id_; }
    int Runs() {
      return pool_->monitor_.Read([this] { return runs_; });
    }
    int Interrupts() {
      return pool_->monitor_.Read([this] { return interrupts_; });
    }

   private:
    friend class BlockingPool;
    BlockingPool* const pool_;
    const int id_;
    const WorkResult result_;
    // Guarded by pool_->monitor_.
    int runs_ = 0;
    int interrupts_ = 0;
    bool released_ = false;
  };

  std::shared_ptr<Leaf> MakeLeaf(WorkResult result = WorkResult::Success) {
    auto leaf = std::make_shared<Leaf>(this, static_cast<int>(leaves_.size()), result);
    leaves_.push_back(leaf);
    return leaf;
  }
  // Lets every present and future run of `leaf` finish.
  void Release(const std::shared_ptr<Leaf>& leaf) {
    monitor_.Update([&] { leaf->released_ = true; });
  }
  void ReleaseAll() {
    monitor_.Update([&] {
      for (auto& leaf : leaves_) leaf->released_ = true;
    });
  }
  bool WaitForStarts(int starts) {
    return monitor_.WaitUntil([&] { return starts_ >= starts; });
  }
  bool WaitForExecuting(int executing) {
    return monitor_.WaitUntil([&] { return executing_ == executing; });
  }
  int Starts() {
    return monitor_.Read([&] { return starts_; });
  }
  int Executing() {
    return monitor_.Read([&] { return executing_; });
  }
  int MaxExecuting() {
    return monitor_.Read([&] { return maxExecuting_; });
  }
  // Ids in the order their tasks started.
  std::vector<int> StartOrder() {
    return monitor_.Read([&] { return startOrder_; });
  }

 private:
  WorkStatus Run(Leaf& leaf) {
    std::unique_lock<std::mutex> guard(monitor_.mutex_);
    ++leaf.runs_;
    ++starts_;
    ++executing_;
    maxExecuting_ = std::max(maxExecuting_, executing_);
    startOrder_.push_back(leaf.id_);
    monitor_.changed_.notify_all();
    monitor_.changed_.wait(guard, [&] { return leaf.released_ || leaf.IsStopRequested(); });
    --executing_;
    monitor_.changed_.notify_all();
    return leaf.released_ ? WorkStatus(leaf.result_) : WorkStatus(WorkResult::Stopped);
  }

  Monitor monitor_;
  std::vector<std::shared_ptr<Leaf>> leaves_;
  int starts_ = 0;
  int executing_ = 0;
  int maxExecuting_ = 0;
  std::vector<int> startOrder_;
};

// Records completions it observes, with the thread-safe wait a test needs.
class CompletionRecorder : public WorkCompleteCallback {
 public:
  struct Entry {
    std::shared_ptr<Work> work;
    WorkStatus status;
  };

  explicit CompletionRecorder(std::string label = {}, std::vector<std::string>* log = nullptr)
      : label_(std::move(label)), log_(log) {}

  void OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) override {
    monitor_.Update([&] {
      entries_.push_back({work, status});
      if (log_ != nullptr) log_->push_back(label_);
    });
  }
  bool WaitForCount(std::size_t count) {
    return monitor_.WaitUntil([&] { return entries_.size() >= count; });
  }
  std::vector<Entry> Entries() {
    return monitor_.Read([&] { return entries_; });
  }
  std::size_t Count() {
    return monitor_.Read([&] { return entries_.size(); });
  }

 private:
  const std::string label_;
  std::vector<std::string>* const log_;
  Monitor monitor_;
  std::vector<Entry> entries_;
};

// A workflow that only records: what was queued (with its path at that moment) and which
// completions it heard. Single-threaded tests complete the queued leaves by hand.
class RecordingWorkflow : public Workflow {
 public:
  explicit RecordingWorkflow(std::vector<std::string>* log = nullptr) : log_(log) {}

  void OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) override {
    heard.push_back({work, status});
    if (log_ != nullptr) log_->push_back("workflow");
  }
  bool Start() override { return false; }
  bool Pause() override { return false; }
  bool Resume() override { return false; }
  bool Retry() override { return false; }
  WorkflowState GetState() const override { return WorkflowState::Running; }
  bool IsStarted() const override { return true; }
  bool IsPaused() const override { return false; }
  bool IsRetryPending() const override { return false; }
  bool IsFinished() const override { return false; }
  bool Abort(const WorkStatus&) override { return false; }
  void AddRetryableErrorCallback(WorkflowRetryableErrorCallback*) override {}
  void Enqueue(const std::shared_ptr<SimpleWork>& work) override {
    work->Reset();
    queued.push_back(work);
    paths.push_back(work->GetPath());
  }
  void OnWorkExecuted(const std::shared_ptr<SimpleWork>&, const WorkStatus&) override {}

  // Completes the queued work at `index` with `status`, as a manager's handler would.
  void Complete(std::size_t index, const WorkStatus& status) {
    queued.at(index)->NotifyComplete(status);
  }

  std::vector<std::shared_ptr<SimpleWork>> queued;
  std::vector<WorkPath> paths;
  std::vector<CompletionRecorder::Entry> heard;

 private:
  std::vector<std::string>* const log_;
};

inline boost::property_tree::ptree Describe(const WorkDescriptor& descriptor) {
  boost::property_tree::ptree tree;
  descriptor.Describe(tree);
  return tree;
}

}  // namespace halv::test

#endif  // HALV_TESTS_WORK_TEST_WORKS_H_
