#include "work/composite_work.h"

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_works.h"
#include "work/conditional_work.h"
#include "work/deferred_work.h"
#include "work/lazy_parallel_work.h"
#include "work/no_op_work.h"
#include "work/parallel_work.h"
#include "work/sequential_work.h"

namespace halv {
namespace {

using test::CompletionRecorder;
using test::RecordingWorkflow;

// Produces `count` NoOpWork children on demand.
class CountingLazyWork : public LazyParallelWork {
 public:
  CountingLazyWork(WorkCompleteCallback* callback, std::uint32_t capacity, int count)
      : LazyParallelWork(callback, capacity), count_(count) {}
  std::shared_ptr<Work> NextChild() override {
    if (produced_ >= count_) return nullptr;
    ++produced_;
    return std::make_shared<NoOpWork>();
  }
  void Reset() override {
    LazyParallelWork::Reset();
    produced_ = 0;
  }

 private:
  const int count_;
  int produced_ = 0;
};

class TestConditionalWork : public ConditionalWork {
 public:
  using ConditionalWork::ConditionalWork;
  using ConditionalWork::SetCondition;
  using ConditionalWork::SetOnFailure;
  using ConditionalWork::SetOnSuccess;
};

// Hands `root` to a recording workflow and queues it, as Start would.
std::shared_ptr<RecordingWorkflow> Begin(const std::shared_ptr<Work>& root) {
  auto workflow = std::make_shared<RecordingWorkflow>();
  root->SetWorkflow(workflow);
  root->Reset();
  root->QueueAvailableWork(workflow);
  return workflow;
}

std::shared_ptr<WorkErrorData> Why(const std::string& text) {
  return std::make_shared<WorkErrorData>(text);
}

TEST(SequentialWorkTest, RunsChildrenInTurnAndSucceedsAfterTheLast) {
  CompletionRecorder observer;
  auto sequence = std::make_shared<SequentialWork>(&observer, 3);
  for (int i = 0; i < 3; ++i) sequence->AddChild(std::make_shared<NoOpWork>());
  auto workflow = Begin(sequence);

  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(workflow->queued.size(), i + 1) << "one child at a time";
    EXPECT_EQ(workflow->paths[i], WorkPath{0});
    workflow->Complete(i, WorkStatus(WorkResult::Success, Why("dropped")));
  }

  ASSERT_EQ(observer.Count(), 1u);
  EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Success);
  EXPECT_FALSE(observer.Entries()[0].status.data);
  EXPECT_TRUE(sequence->IsComplete());
}

TEST(SequentialWorkTest, AFailedChildEndsTheSequenceWithFailureAndNoData) {
  CompletionRecorder observer;
  auto sequence = std::make_shared<SequentialWork>(&observer, 3);
  for (int i = 0; i < 3; ++i) sequence->AddChild(std::make_shared<NoOpWork>());
  auto workflow = Begin(sequence);

  workflow->Complete(0, WorkStatus(WorkResult::Success));
  workflow->Complete(1, WorkStatus(WorkResult::Failure, Why("checksum")));

  EXPECT_EQ(workflow->queued.size(), 2u) << "the third child never runs";
  ASSERT_EQ(observer.Count(), 1u);
  EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Failure);
  EXPECT_FALSE(observer.Entries()[0].status.data);
}

TEST(ParallelWorkTest, SucceedsAfterTheLastChildWhateverTheOrder) {
  CompletionRecorder observer;
  auto parallel = std::make_shared<ParallelWork>(&observer);
  for (int i = 0; i < 3; ++i) parallel->AddChild(std::make_shared<NoOpWork>());
  auto workflow = Begin(parallel);
  ASSERT_EQ(workflow->paths, (std::vector<WorkPath>{{0}, {1}, {2}}));

  workflow->Complete(2, WorkStatus(WorkResult::Success));
  workflow->Complete(0, WorkStatus(WorkResult::Success));
  EXPECT_EQ(observer.Count(), 0u);
  workflow->Complete(1, WorkStatus(WorkResult::Success));

  ASSERT_EQ(observer.Count(), 1u);
  EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Success);
}

TEST(ParallelWorkTest, AFailedChildEndsItAtOnceWithErrorAndTheChildsData) {
  CompletionRecorder observer;
  auto parallel = std::make_shared<ParallelWork>(&observer);
  for (int i = 0; i < 3; ++i) parallel->AddChild(std::make_shared<NoOpWork>());
  auto workflow = Begin(parallel);
  const auto why = Why("bad file");

  workflow->Complete(1, WorkStatus(WorkResult::Failure, why));
  workflow->Complete(0, WorkStatus(WorkResult::Success));
  workflow->Complete(2, WorkStatus(WorkResult::Error));

  ASSERT_EQ(observer.Count(), 1u) << "later completions are ignored";
  EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Error);
  EXPECT_EQ(observer.Entries()[0].status.data, why);
}

TEST(ParallelWorkTest, AddsAChildOnlyOnce) {
  auto parallel = std::make_shared<ParallelWork>();
  auto child = std::make_shared<NoOpWork>();
  EXPECT_TRUE(parallel->AddChild(child));
  EXPECT_FALSE(parallel->AddChild(child));
  EXPECT_EQ(Begin(parallel)->queued.size(), 1u);
}

TEST(LazyParallelWorkTest, KeepsAtMostCapacityActiveAndIndexesChildrenInCreationOrder) {
  CompletionRecorder observer;
  auto lazy = std::make_shared<CountingLazyWork>(&observer, 2, 5);
  auto workflow = Begin(lazy);
  ASSERT_EQ(workflow->queued.size(), 2u);

  // Complete the oldest active child each time; every completion queues exactly one more.
  for (std::size_t done = 0; done < 5; ++done) {
    EXPECT_LE(workflow->queued.size() - done, 2u);
    EXPECT_EQ(observer.Count(), 0u);
    workflow->Complete(done, WorkStatus(WorkResult::Success));
  }

  EXPECT_EQ(workflow->paths, (std::vector<WorkPath>{{0}, {1}, {2}, {3}, {4}}));
  ASSERT_EQ(observer.Count(), 1u);
  EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Success);
}

TEST(LazyParallelWorkTest, RefusesZeroCapacity) {
  try {
    CountingLazyWork lazy(nullptr, 0, 1);
    FAIL() << "constructed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "LazyParallelWork::Reserve called with zero capacity");
  }
}

TEST(ConditionalWorkTest, RunsTheBranchChosenByTheConditionAndReportsIt) {
  for (const WorkResult conditionResult : {WorkResult::Success, WorkResult::Failure}) {
    SCOPED_TRACE(static_cast<int>(conditionResult));
    CompletionRecorder observer;
    auto conditional = std::make_shared<TestConditionalWork>(&observer);
    auto condition = std::make_shared<NoOpWork>();
    auto onSuccess = std::make_shared<NoOpWork>();
    auto onFailure = std::make_shared<NoOpWork>();
    conditional->SetCondition(condition);
    conditional->SetOnSuccess(onSuccess);
    conditional->SetOnFailure(onFailure);
    conditional->SetOnFailure(std::make_shared<NoOpWork>());  // ignored: already set
    auto workflow = Begin(conditional);
    ASSERT_EQ(workflow->queued.size(), 1u);
    EXPECT_EQ(workflow->queued[0], condition);

    workflow->Complete(0, WorkStatus(conditionResult));
    ASSERT_EQ(workflow->queued.size(), 2u);
    EXPECT_EQ(workflow->queued[1], conditionResult == WorkResult::Success
                                       ? std::static_pointer_cast<SimpleWork>(onSuccess)
                                       : onFailure);
    EXPECT_EQ(observer.Count(), 0u);

    const auto why = Why("branch");
    workflow->Complete(1, WorkStatus(WorkResult::Failure, why));
    ASSERT_EQ(observer.Count(), 1u);
    EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Failure);
    EXPECT_FALSE(observer.Entries()[0].status.data);
  }
}

TEST(ConditionalWorkTest, RefusesToStartWithoutAllThreeChildren) {
  auto conditional = std::make_shared<TestConditionalWork>();
  conditional->SetCondition(std::make_shared<NoOpWork>());
  conditional->SetOnSuccess(std::make_shared<NoOpWork>());
  try {
    Begin(conditional);
    FAIL() << "queued";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "ConditionalWork::QueueAvailableWork called with incomplete children");
  }
}

TEST(DeferredWorkTest, StartedWithoutAChildRunsANoOpWork) {
  CompletionRecorder observer;
  auto deferred = DeferredWork::Create(&observer);
  EXPECT_EQ(test::Describe(*deferred).get<std::string>("name"), "DeferredWork");
  auto workflow = Begin(deferred);

  ASSERT_EQ(workflow->queued.size(), 1u);
  EXPECT_EQ(test::Describe(*workflow->queued[0]).get<std::string>("name"), "NoOpWork");
  EXPECT_FALSE(deferred->SetWork(std::make_shared<NoOpWork>()));

  workflow->Complete(0, workflow->queued[0]->Execute());
  ASSERT_EQ(observer.Count(), 1u);
  EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Success);
}

TEST(DeferredWorkTest, RunsTheChildItWasGiven) {
  auto deferred = DeferredWork::Create();
  auto child = std::make_shared<NoOpWork>();
  EXPECT_TRUE(deferred->SetWork(child));
  EXPECT_FALSE(deferred->SetWork(nullptr));
  EXPECT_EQ(deferred->GetWork(), child);
  auto workflow = Begin(deferred);
  ASSERT_EQ(workflow->queued.size(), 1u);
  EXPECT_EQ(workflow->queued[0], child);
  EXPECT_EQ(workflow->paths[0], WorkPath{0});
}

// The status each kind reports when its (first) child ends with a given result.
struct CompletionRuleCase {
  std::string name;
  std::function<std::shared_ptr<CompositeWork>(WorkCompleteCallback*)> make;
  WorkResult childResult;
  WorkResult expectedResult;
  bool expectData;
};

std::shared_ptr<CompositeWork> MakeSequence(WorkCompleteCallback* observer) {
  auto work = std::make_shared<SequentialWork>(observer, 2);
  work->AddChild(std::make_shared<NoOpWork>());
  work->AddChild(std::make_shared<NoOpWork>());
  return work;
}
std::shared_ptr<CompositeWork> MakeParallel(WorkCompleteCallback* observer) {
  auto work = std::make_shared<ParallelWork>(observer);
  work->AddChild(std::make_shared<NoOpWork>());
  work->AddChild(std::make_shared<NoOpWork>());
  return work;
}
std::shared_ptr<CompositeWork> MakeLazy(WorkCompleteCallback* observer) {
  return std::make_shared<CountingLazyWork>(observer, 2, 2);
}
std::shared_ptr<CompositeWork> MakeDeferred(WorkCompleteCallback* observer) {
  return DeferredWork::Create(observer);
}

void PrintTo(const CompletionRuleCase& c, std::ostream* os) { *os << c.name; }

class CompletionRuleTest : public testing::TestWithParam<CompletionRuleCase> {};

TEST_P(CompletionRuleTest, DerivesItsStatusFromTheChild) {
  const CompletionRuleCase& c = GetParam();
  CompletionRecorder observer;
  auto composite = c.make(&observer);
  auto workflow = Begin(composite);
  const auto why = Why("child says");

  workflow->Complete(0, WorkStatus(c.childResult, why));

  ASSERT_EQ(observer.Count(), 1u);
  const WorkStatus status = observer.Entries()[0].status;
  EXPECT_EQ(status.result, c.expectedResult);
  EXPECT_EQ(status.data, c.expectData ? why : nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CompletionRuleTest,
    testing::Values(
        CompletionRuleCase{"SequenceFailure", MakeSequence, WorkResult::Failure,
                           WorkResult::Failure, false},
        CompletionRuleCase{"SequenceError", MakeSequence, WorkResult::Error, WorkResult::Error,
                           true},
        CompletionRuleCase{"ParallelFailure", MakeParallel, WorkResult::Failure, WorkResult::Error,
                           true},
        CompletionRuleCase{"ParallelError", MakeParallel, WorkResult::Error, WorkResult::Error,
                           true},
        CompletionRuleCase{"LazyFailure", MakeLazy, WorkResult::Failure, WorkResult::Error, true},
        CompletionRuleCase{"LazyError", MakeLazy, WorkResult::Error, WorkResult::Error, true},
        CompletionRuleCase{"DeferredSuccess", MakeDeferred, WorkResult::Success,
                           WorkResult::Success, false},
        CompletionRuleCase{"DeferredFailure", MakeDeferred, WorkResult::Failure,
                           WorkResult::Failure, false},
        CompletionRuleCase{"DeferredError", MakeDeferred, WorkResult::Error, WorkResult::Error,
                           true}),
    [](const testing::TestParamInfo<CompletionRuleCase>& info) { return info.param.name; });

TEST(CompositeWorkTest, StoppedAndRetryableChildrenLeaveProgressUnchanged) {
  CompletionRecorder observer;
  auto sequence = std::make_shared<SequentialWork>(&observer, 1);
  sequence->AddChild(std::make_shared<NoOpWork>());
  auto workflow = Begin(sequence);

  workflow->Complete(0, WorkStatus(WorkResult::Stopped));
  workflow->Complete(0, WorkStatus(WorkResult::Retryable));
  EXPECT_EQ(observer.Count(), 0u);
  EXPECT_FALSE(sequence->IsComplete());

  workflow->Complete(0, WorkStatus(WorkResult::Success));
  ASSERT_EQ(observer.Count(), 1u);
  EXPECT_EQ(observer.Entries()[0].status.result, WorkResult::Success);
}

TEST(CompositeWorkTest, ACompletionFromAnInactiveChildIsAnError) {
  CompletionRecorder observer;
  auto sequence = std::make_shared<SequentialWork>(&observer, 2);
  auto first = std::make_shared<NoOpWork>();
  auto second = std::make_shared<NoOpWork>();
  sequence->AddChild(first);
  sequence->AddChild(second);
  Begin(sequence);

  second->NotifyComplete(WorkStatus(WorkResult::Success));

  ASSERT_EQ(observer.Count(), 1u);
  const WorkStatus status = observer.Entries()[0].status;
  EXPECT_EQ(status.result, WorkResult::Error);
  ASSERT_TRUE(status.data);
  EXPECT_EQ(status.data->ToString(), "Invalid child progress for CompositeWork::OnWorkComplete");
}

TEST(CompositeWorkTest, NestedChildrenGetTheirParentsPathAsPrefix) {
  auto root = std::make_shared<ParallelWork>();
  auto inner = std::make_shared<SequentialWork>();
  auto lazy = std::make_shared<CountingLazyWork>(nullptr, 3, 2);
  root->AddChild(std::make_shared<NoOpWork>());
  root->AddChild(inner);
  inner->AddChild(lazy);

  auto workflow = Begin(root);

  EXPECT_EQ(workflow->paths, (std::vector<WorkPath>{{0}, {1, 0, 0}, {1, 0, 1}}));
}

}  // namespace
}  // namespace halv
