#include "work/standard_workflow.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "test_works.h"
#include "work/asio_work_manager.h"
#include "work/conditional_work.h"
#include "work/lazy_parallel_work.h"
#include "work/limited_retry_sequential_work.h"
#include "work/limited_retry_simple_work.h"
#include "work/no_op_work.h"
#include "work/parallel_work.h"
#include "work/sequential_work.h"

namespace halv {
namespace {

using test::BlockingPool;
using test::CompletionRecorder;
using test::Monitor;

// Counts give-ups and may act on the workflow from inside the callback.
class RetryableErrorRecorder : public WorkflowRetryableErrorCallback {
 public:
  void OnWorkflowRetryableError(const std::shared_ptr<Workflow>& workflow,
                                const std::shared_ptr<Work>& work,
                                const WorkStatus& status) override {
    // The workflow's lock is released: another thread can read its state meanwhile.
    WorkflowState seenFromAnotherThread{};
    std::thread([&] { seenFromAnotherThread = workflow->GetState(); }).join();
    monitor_.Update([&] {
      works_.push_back(work);
      statuses_.push_back(status);
      states_.push_back(seenFromAnotherThread);
    });
  }
  bool WaitForCount(std::size_t count) {
    return monitor_.WaitUntil([&] { return works_.size() >= count; });
  }
  std::vector<std::shared_ptr<Work>> Works() {
    return monitor_.Read([&] { return works_; });
  }
  std::vector<WorkStatus> Statuses() {
    return monitor_.Read([&] { return statuses_; });
  }
  std::vector<WorkflowState> States() {
    return monitor_.Read([&] { return states_; });
  }

 private:
  Monitor monitor_;
  std::vector<std::shared_ptr<Work>> works_;
  std::vector<WorkStatus> statuses_;
  std::vector<WorkflowState> states_;
};

// A leaf that records the order in which leaves ran (by path) into a shared list.
class PathRecordingWork : public SimpleWork {
 public:
  PathRecordingWork(Monitor* monitor, std::vector<WorkPath>* order)
      : monitor_(monitor), order_(order) {}
  WorkStatus ExecuteTask() override {
    monitor_->Update([this] { order_->push_back(GetPath()); });
    return WorkStatus(WorkResult::Success);
  }
  void Interrupt() override {}

 private:
  Monitor* const monitor_;
  std::vector<WorkPath>* const order_;
};

// A composite that starts fixed children with fixed paths, in the order given; succeeds when all
// have.
class FixedPathWork : public CompositeWork {
 public:
  void Add(const std::shared_ptr<Work>& child, WorkPath path) {
    children_.push_back(child);
    paths_.push_back(std::move(path));
    pending_.insert(child);
    AdoptChild(child);
  }
  void Reset() override {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    CompositeWork::Reset();
    pending_.clear();
    pending_.insert(children_.begin(), children_.end());
  }
  void OnWorkflowSet(const std::shared_ptr<Workflow>& workflow) override {
    for (auto& child : children_) child->SetWorkflow(workflow);
  }
  void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (std::size_t i = 0; i < children_.size(); ++i) {
      children_[i]->SetPath(paths_[i]);
      children_[i]->QueueAvailableWork(workflow);
    }
  }
  bool IsActiveChild(const std::shared_ptr<Work>& child) override {
    return pending_.count(child) != 0;
  }
  CompositeProgress Advance(const std::shared_ptr<Work>& child, const WorkStatus&) override {
    pending_.erase(child);
    return pending_.empty() ? CompositeProgress(WorkStatus(WorkResult::Success))
                            : CompositeProgress();
  }

 private:
  std::vector<std::shared_ptr<Work>> children_;
  std::vector<WorkPath> paths_;
  std::unordered_set<std::shared_ptr<Work>> pending_;
};

// Each test declares its AsioWorkManager after every object that the pool threads touch, so that
// the threads are joined before those objects go away.
class StandardWorkflowTest : public testing::Test {
 protected:
  static constexpr std::uint32_t kThreads = 4;

  CompletionRecorder rootObserver_;
};

TEST_F(StandardWorkflowTest, RunsNoMoreThanConcurrencyWorksAtOnce) {
  BlockingPool pool;
  auto root = std::make_shared<ParallelWork>(&rootObserver_);
  std::vector<std::shared_ptr<BlockingPool::Leaf>> leaves;
  for (int i = 0; i < 5; ++i) {
    leaves.push_back(pool.MakeLeaf());
    root->AddChild(leaves.back());
  }
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(root, &manager, 2);
  ASSERT_TRUE(workflow->Start());

  for (int started = 2; started <= 5; ++started) {
    ASSERT_TRUE(pool.WaitForStarts(started));
    ASSERT_TRUE(pool.WaitForExecuting(std::min(2, 5 - (started - 2))));
    EXPECT_EQ(pool.Starts(), started) << "a third work started while two were running";
    // Release the oldest unreleased one.
    pool.Release(leaves[pool.StartOrder()[started - 2]]);
  }
  pool.ReleaseAll();

  ASSERT_TRUE(rootObserver_.WaitForCount(1));
  EXPECT_EQ(rootObserver_.Entries()[0].status.result, WorkResult::Success);
  EXPECT_EQ(pool.MaxExecuting(), 2);
  EXPECT_EQ(workflow->GetState(), WorkflowState::Finished);
}

// Counts how many of its kind execute at once.
class ConcurrencyProbe : public SimpleWork {
 public:
  explicit ConcurrencyProbe(std::atomic<int>* executing, std::atomic<int>* maxExecuting,
                            std::atomic<int>* runs)
      : executing_(executing), maxExecuting_(maxExecuting), runs_(runs) {}
  WorkStatus ExecuteTask() override {
    const int now = executing_->fetch_add(1) + 1;
    int seen = maxExecuting_->load();
    while (now > seen && !maxExecuting_->compare_exchange_weak(seen, now)) {
    }
    runs_->fetch_add(1);
    executing_->fetch_sub(1);
    return WorkStatus(WorkResult::Success);
  }
  void Interrupt() override {}

 private:
  std::atomic<int>* const executing_;
  std::atomic<int>* const maxExecuting_;
  std::atomic<int>* const runs_;
};

class ProbeLeaves : public LazyParallelWork {
 public:
  ProbeLeaves(WorkCompleteCallback* callback, std::uint32_t capacity, int count)
      : LazyParallelWork(callback, capacity), count_(count) {}
  std::shared_ptr<Work> NextChild() override {
    if (made_ >= count_) return nullptr;
    ++made_;
    return std::make_shared<ConcurrencyProbe>(&executing, &maxExecuting, &runs);
  }

  std::atomic<int> executing{0};
  std::atomic<int> maxExecuting{0};
  std::atomic<int> runs{0};

 private:
  const int count_;
  int made_ = 0;
};

TEST_F(StandardWorkflowTest, RunsAManyLeavedLazyTreeWithinItsBounds) {
  struct Case {
    std::uint32_t capacity;
    std::int32_t concurrency;
  };
  for (const Case c : {Case{8, 2}, Case{2, 8}, Case{16, 16}}) {
    SCOPED_TRACE(testing::Message() << c.capacity << " " << c.concurrency);
    CompletionRecorder observer;
    auto root = std::make_shared<ProbeLeaves>(&observer, c.capacity, 500);
    AsioWorkManager manager(kThreads);
    auto workflow = StandardWorkflow::Create(root, &manager, c.concurrency);
    ASSERT_TRUE(workflow->Start());

    ASSERT_TRUE(observer.WaitForCount(1));
    EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Success);
    EXPECT_EQ(root->runs.load(), 500);
    EXPECT_LE(root->maxExecuting.load(), std::min<int>(c.concurrency, c.capacity));
    manager.Drain();
  }
}

TEST_F(StandardWorkflowTest, DispatchesByPathWhateverTheQueueingOrder) {
  Monitor monitor;
  std::vector<WorkPath> order;
  auto root = std::make_shared<FixedPathWork>();
  root->AddCompleteCallback(&rootObserver_);
  for (const WorkPath& path : std::vector<WorkPath>{{1, 0}, {0, 3}, {0}}) {
    root->Add(std::make_shared<PathRecordingWork>(&monitor, &order), path);
  }
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(root, &manager, 1);
  ASSERT_TRUE(workflow->Start());

  ASSERT_TRUE(rootObserver_.WaitForCount(1));
  EXPECT_EQ(monitor.Read([&] { return order; }), (std::vector<WorkPath>{{0}, {0, 3}, {1, 0}}));
}

TEST_F(StandardWorkflowTest, RunsWorksOfEarlierSubtreesFirst) {
  Monitor monitor;
  std::vector<WorkPath> order;
  auto root = std::make_shared<ParallelWork>(&rootObserver_);
  for (int file = 0; file < 3; ++file) {
    auto chunks = std::make_shared<ParallelWork>();
    for (int chunk = 0; chunk < 3; ++chunk) {
      chunks->AddChild(std::make_shared<PathRecordingWork>(&monitor, &order));
    }
    root->AddChild(chunks);
  }
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(root, &manager, 1);
  ASSERT_TRUE(workflow->Start());

  ASSERT_TRUE(rootObserver_.WaitForCount(1));
  std::vector<WorkPath> expected;
  for (std::uint32_t file = 0; file < 3; ++file) {
    for (std::uint32_t chunk = 0; chunk < 3; ++chunk) expected.push_back({file, chunk});
  }
  EXPECT_EQ(monitor.Read([&] { return order; }), expected);
}

TEST_F(StandardWorkflowTest, PauseStopsRunningWorksWhichRunAgainAfterResume) {
  BlockingPool pool;
  auto root = std::make_shared<ParallelWork>(&rootObserver_);
  CompletionRecorder leafObserver;
  std::vector<std::shared_ptr<BlockingPool::Leaf>> leaves;
  for (int i = 0; i < 2; ++i) {
    leaves.push_back(pool.MakeLeaf());
    leaves.back()->AddCompleteCallback(&leafObserver);
    root->AddChild(leaves.back());
  }
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(root, &manager, 2);
  ASSERT_TRUE(workflow->Start());
  ASSERT_TRUE(pool.WaitForStarts(2));
  EXPECT_FALSE(workflow->Retry()) << "nothing is pending while running";

  ASSERT_TRUE(workflow->Pause());
  EXPECT_FALSE(workflow->Pause());
  EXPECT_TRUE(workflow->IsPaused());
  ASSERT_TRUE(leafObserver.WaitForCount(2));
  for (const auto& entry : leafObserver.Entries()) {
    EXPECT_EQ(entry.status.result, WorkResult::Stopped);
  }
  for (const auto& leaf : leaves) EXPECT_EQ(leaf->Interrupts(), 1);

  pool.ReleaseAll();
  ASSERT_TRUE(workflow->Resume());
  EXPECT_FALSE(workflow->Resume());

  ASSERT_TRUE(rootObserver_.WaitForCount(1));
  EXPECT_EQ(rootObserver_.Entries()[0].status.result, WorkResult::Success);
  for (const auto& leaf : leaves) EXPECT_EQ(leaf->Runs(), 2);
  EXPECT_EQ(pool.Starts(), 4) << "nothing ran while paused";
}

// Always gives up; counts its attempts.
class AlwaysRetryableWork : public LimitedRetrySimpleWork {
 public:
  using LimitedRetrySimpleWork::LimitedRetrySimpleWork;
  WorkStatus ExecuteTask() override {
    attempts.fetch_add(1);
    return WorkStatus(WorkResult::Retryable, std::make_shared<WorkErrorData>("node busy"));
  }
  void Interrupt() override {}
  std::atomic<int> attempts{0};
};

TEST_F(StandardWorkflowTest, ASimpleWorkThatGivesUpHoldsTheWorkflowUntilRetry) {
  RetryableErrorRecorder giveUps;
  auto work = std::make_shared<AlwaysRetryableWork>(4, &rootObserver_);
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(work, &manager, 2);
  workflow->AddRetryableErrorCallback(&giveUps);
  EXPECT_FALSE(workflow->Retry()) << "nothing pending before start";
  ASSERT_TRUE(workflow->Start());

  ASSERT_TRUE(giveUps.WaitForCount(1));
  EXPECT_EQ(work->attempts.load(), 5);
  EXPECT_EQ(giveUps.Works()[0], work);
  EXPECT_EQ(giveUps.Statuses()[0].result, WorkResult::Retryable);
  EXPECT_FALSE(giveUps.Statuses()[0].retry);
  EXPECT_EQ(giveUps.Statuses()[0].data->ToString(), "node busy");
  EXPECT_EQ(giveUps.States()[0], WorkflowState::RetryPending);
  EXPECT_TRUE(workflow->IsRetryPending());

  ASSERT_TRUE(workflow->Retry());
  ASSERT_TRUE(giveUps.WaitForCount(2));
  EXPECT_EQ(work->attempts.load(), 10);

  ASSERT_TRUE(workflow->Abort(WorkStatus(WorkResult::Error)));
  EXPECT_FALSE(workflow->Abort(WorkStatus(WorkResult::Error)));
  EXPECT_EQ(workflow->GetState(), WorkflowState::Aborted);
}

// Counts its runs and ends with a fixed result.
class CountingWork : public SimpleWork {
 public:
  explicit CountingWork(WorkResult result) : result_(result) {}
  WorkStatus ExecuteTask() override {
    runs.fetch_add(1);
    return WorkStatus(result_, std::make_shared<WorkErrorData>("chunk mismatch"));
  }
  void Interrupt() override {}
  std::atomic<int> runs{0};

 private:
  const WorkResult result_;
};

TEST_F(StandardWorkflowTest, ALimitedRetrySequenceRestartsThenReportsAtOnceAfterRetry) {
  RetryableErrorRecorder giveUps;
  auto first = std::make_shared<CountingWork>(WorkResult::Success);
  auto second = std::make_shared<CountingWork>(WorkResult::Failure);
  auto sequence = std::make_shared<LimitedRetrySequentialWork>(&rootObserver_, 2);
  sequence->AddChild(first);
  sequence->AddChild(second);
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(sequence, &manager, 2);
  workflow->AddRetryableErrorCallback(&giveUps);
  ASSERT_TRUE(workflow->Start());

  ASSERT_TRUE(giveUps.WaitForCount(1));
  EXPECT_EQ(first->runs.load(), 3);
  EXPECT_EQ(second->runs.load(), 3);
  EXPECT_EQ(giveUps.Works()[0], sequence);
  const WorkStatus status = giveUps.Statuses()[0];
  EXPECT_EQ(status.result, WorkResult::Retryable);
  EXPECT_FALSE(status.retry);
  EXPECT_EQ(status.data->ToString(), "chunk mismatch");
  ASSERT_TRUE(rootObserver_.WaitForCount(1)) << "the give-up reaches the sequence's observers";
  EXPECT_EQ(rootObserver_.Entries()[0].status.result, WorkResult::Retryable);

  ASSERT_TRUE(workflow->Retry());
  ASSERT_TRUE(giveUps.WaitForCount(2));
  EXPECT_EQ(first->runs.load(), 4);
  EXPECT_EQ(second->runs.load(), 4) << "the used-up budget reports the next failure at once";
  EXPECT_EQ(workflow->GetState(), WorkflowState::RetryPending);
  workflow->Abort(WorkStatus(WorkResult::Error));
}

TEST_F(StandardWorkflowTest, PauseAndRetryCombineWhileAGiveUpIsPending) {
  RetryableErrorRecorder giveUps;
  auto work = std::make_shared<AlwaysRetryableWork>(0, &rootObserver_);
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(work, &manager, 1);
  workflow->AddRetryableErrorCallback(&giveUps);
  ASSERT_TRUE(workflow->Start());
  ASSERT_TRUE(giveUps.WaitForCount(1));

  ASSERT_TRUE(workflow->Pause());
  EXPECT_EQ(workflow->GetState(), WorkflowState::PausedRetryPending);
  EXPECT_TRUE(workflow->IsPaused());
  EXPECT_TRUE(workflow->IsRetryPending());
  ASSERT_TRUE(workflow->Retry());
  EXPECT_EQ(workflow->GetState(), WorkflowState::Paused);
  EXPECT_FALSE(workflow->Pause()) << "already paused";
  EXPECT_EQ(work->attempts.load(), 1) << "nothing runs while paused";
  ASSERT_TRUE(workflow->Resume());
  ASSERT_TRUE(giveUps.WaitForCount(2));
  EXPECT_EQ(work->attempts.load(), 2);
  workflow->Abort(WorkStatus(WorkResult::Error));
}

TEST_F(StandardWorkflowTest, ANonRootFailureDoesNotEndTheWorkflow) {
  class Branching : public ConditionalWork {
   public:
    using ConditionalWork::ConditionalWork;
    void Build(std::shared_ptr<Work> onFailure) {
      SetCondition(std::make_shared<CountingWork>(WorkResult::Failure));
      SetOnSuccess(std::make_shared<NoOpWork>());
      SetOnFailure(std::move(onFailure));
    }
  };
  auto recovery = std::make_shared<CountingWork>(WorkResult::Success);
  auto root = std::make_shared<Branching>(&rootObserver_);
  root->Build(recovery);
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(root, &manager, 2);
  ASSERT_TRUE(workflow->Start());

  ASSERT_TRUE(rootObserver_.WaitForCount(1));
  EXPECT_EQ(recovery->runs.load(), 1);
  EXPECT_EQ(rootObserver_.Entries()[0].status.result, WorkResult::Success);
  EXPECT_EQ(workflow->GetState(), WorkflowState::Finished);
}

TEST_F(StandardWorkflowTest, AnErrorAnywhereFinishesTheWorkflowAndStopsRunningWorks) {
  BlockingPool pool;
  auto root = std::make_shared<ParallelWork>(&rootObserver_);
  auto blocked = pool.MakeLeaf();
  root->AddChild(blocked);
  root->AddChild(std::make_shared<CountingWork>(WorkResult::Error));
  root->AddChild(std::make_shared<NoOpWork>());
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(root, &manager, 2);
  ASSERT_TRUE(workflow->Start());

  ASSERT_TRUE(rootObserver_.WaitForCount(1));
  EXPECT_EQ(rootObserver_.Entries()[0].status.result, WorkResult::Error);
  EXPECT_EQ(rootObserver_.Entries()[0].status.data->ToString(), "chunk mismatch");
  EXPECT_TRUE(workflow->IsFinished());
  EXPECT_EQ(workflow->GetState(), WorkflowState::Finished);
  ASSERT_TRUE(pool.WaitForExecuting(0)) << "the blocked work was stopped";
  EXPECT_EQ(blocked->Interrupts(), 1);
  EXPECT_FALSE(workflow->Pause());
  EXPECT_FALSE(workflow->Retry());
}

TEST_F(StandardWorkflowTest, AbortStopsWorksAndHandsItsStatusToTheRootsObservers) {
  BlockingPool pool;
  auto root = std::make_shared<ParallelWork>(&rootObserver_);
  auto blocked = pool.MakeLeaf();
  root->AddChild(blocked);
  AsioWorkManager manager(kThreads);
  auto workflow = StandardWorkflow::Create(root, &manager, 2);
  EXPECT_FALSE(workflow->IsStarted());
  ASSERT_TRUE(workflow->Start());
  EXPECT_FALSE(workflow->Start());
  EXPECT_TRUE(workflow->IsStarted());
  ASSERT_TRUE(pool.WaitForStarts(1));

  const auto why = std::make_shared<WorkErrorData>("transfer broke its contract");
  ASSERT_TRUE(workflow->Abort(WorkStatus(WorkResult::Error, why)));

  ASSERT_TRUE(rootObserver_.WaitForCount(1));
  EXPECT_EQ(rootObserver_.Entries()[0].status.data, why);
  EXPECT_EQ(workflow->GetState(), WorkflowState::Aborted);
  EXPECT_TRUE(workflow->IsFinished());
  ASSERT_TRUE(pool.WaitForExecuting(0));
  EXPECT_EQ(blocked->Interrupts(), 1);
  manager.Drain();
  EXPECT_EQ(pool.Starts(), 1) << "a stopped work is not run again after an abort";
  EXPECT_EQ(rootObserver_.Count(), 1u);
}

}  // namespace
}  // namespace halv
