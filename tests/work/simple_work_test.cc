#include "work/simple_work.h"

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_works.h"
#include "work/limited_retry_simple_work.h"
#include "work/no_op_work.h"
#include "work/sequential_work.h"

namespace halv {
namespace {

using test::CompletionRecorder;
using test::RecordingWorkflow;
using test::ScriptedWork;

class RetryRecorder : public SimpleWorkRetryCallback {
 public:
  void OnWorkRetry(const std::shared_ptr<SimpleWork>& work, const WorkStatus& status) override {
    works.push_back(work);
    statuses.push_back(status);
  }
  std::vector<std::shared_ptr<SimpleWork>> works;
  std::vector<WorkStatus> statuses;
};

struct RetryLoopCase {
  std::string name;
  std::vector<WorkResult> results;  // per attempt; the last repeats
  std::vector<bool> retryAnswers;
  WorkResult expectedResult;
  int expectedAttempts;
  int expectedQuestions;
};

void PrintTo(const RetryLoopCase& c, std::ostream* os) { *os << c.name; }

class RetryLoopTest : public testing::TestWithParam<RetryLoopCase> {};

TEST_P(RetryLoopTest, RunsTheTaskWhileShouldRetryAllows) {
  const RetryLoopCase& c = GetParam();
  auto work = std::make_shared<ScriptedWork>(
      [&c](int attempt) {
        return WorkStatus(c.results[std::min<std::size_t>(attempt, c.results.size() - 1)]);
      },
      c.retryAnswers);
  RetryRecorder retries;
  work->AddRetryCallback(&retries);

  const WorkStatus status = work->Execute();

  EXPECT_EQ(status.result, c.expectedResult);
  EXPECT_FALSE(status.retry);
  EXPECT_EQ(work->Attempts(), c.expectedAttempts);
  EXPECT_EQ(work->RetryQuestions(), c.expectedQuestions);
  ASSERT_EQ(retries.works.size(), static_cast<std::size_t>(c.expectedAttempts - 1));
  for (std::size_t i = 0; i < retries.works.size(); ++i) {
    EXPECT_EQ(retries.works[i], work);
    EXPECT_EQ(retries.statuses[i].result, WorkResult::Retryable);
    EXPECT_TRUE(retries.statuses[i].retry);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetryLoopTest,
    testing::Values(
        RetryLoopCase{"RetryableTwiceThenGivesUp",
                      {WorkResult::Retryable},
                      {true, true, false},
                      WorkResult::Retryable,
                      3,
                      3},
        RetryLoopCase{"RetryableThenSucceeds",
                      {WorkResult::Retryable, WorkResult::Retryable, WorkResult::Success},
                      {true, true},
                      WorkResult::Success,
                      3,
                      2},
        RetryLoopCase{
            "FailureIsNeverRetried", {WorkResult::Failure}, {true}, WorkResult::Failure, 1, 0},
        RetryLoopCase{"ErrorIsNeverRetried", {WorkResult::Error}, {true}, WorkResult::Error, 1, 0},
        RetryLoopCase{"SuccessAtOnce", {WorkResult::Success}, {}, WorkResult::Success, 1, 0}),
    [](const testing::TestParamInfo<RetryLoopCase>& info) { return info.param.name; });

TEST(SimpleWorkTest, StopRequestedBeforeTheFirstAttemptSkipsTheTask) {
  auto work = test::MakeLeaf(WorkResult::Success);
  work->RequestStop();
  EXPECT_EQ(work->Execute().result, WorkResult::Stopped);
  EXPECT_EQ(work->Attempts(), 0);

  work->Reset();
  EXPECT_EQ(work->Execute().result, WorkResult::Success);
}

TEST(SimpleWorkTest, StopRequestedBetweenAttemptsEndsTheLoop) {
  class StopOnRetry : public SimpleWorkRetryCallback {
   public:
    void OnWorkRetry(const std::shared_ptr<SimpleWork>& work, const WorkStatus&) override {
      work->RequestStop();
    }
  } stopper;
  auto work = std::make_shared<ScriptedWork>([](int) { return WorkStatus(WorkResult::Retryable); },
                                             std::vector<bool>{true, true});
  work->AddRetryCallback(&stopper);

  const WorkStatus status = work->Execute();

  EXPECT_EQ(status.result, WorkResult::Stopped);
  EXPECT_FALSE(status.data);
  EXPECT_EQ(work->Attempts(), 1);
}

TEST(SimpleWorkTest, ATaskThatThrowsEndsWithErrorAndExceptionData) {
  auto work =
      std::make_shared<ScriptedWork>([](int) -> WorkStatus { throw std::out_of_range("chunk 7"); });

  const WorkStatus status = work->Execute();

  EXPECT_EQ(status.result, WorkResult::Error);
  EXPECT_FALSE(status.retry);
  ASSERT_TRUE(status.data);
  const auto tree = test::Describe(*status.data);
  EXPECT_EQ(tree.get<std::string>("exception"), "std::out_of_range");
  EXPECT_EQ(tree.get<std::string>("what"), "chunk 7");
}

TEST(SimpleWorkTest, NoOpWorkSucceedsWithoutData) {
  const WorkStatus status = std::make_shared<NoOpWork>()->Execute();
  EXPECT_EQ(status.result, WorkResult::Success);
  EXPECT_FALSE(status.data);
}

TEST(LimitedRetrySimpleWorkTest, RunsLimitPlusOneTimesAndResetRestoresTheBudget) {
  class AlwaysRetryable : public LimitedRetrySimpleWork {
   public:
    AlwaysRetryable() : LimitedRetrySimpleWork(4) {}
    WorkStatus ExecuteTask() override {
      ++attempts;
      return WorkStatus(WorkResult::Retryable);
    }
    void Interrupt() override {}
    int attempts = 0;
  };
  auto work = std::make_shared<AlwaysRetryable>();

  EXPECT_EQ(work->Execute().result, WorkResult::Retryable);
  EXPECT_EQ(work->attempts, 5);
  EXPECT_EQ(work->Execute().result, WorkResult::Retryable);
  EXPECT_EQ(work->attempts, 6) << "the budget stays used up until Reset";

  work->Reset();
  work->Execute();
  EXPECT_EQ(work->attempts, 11);
}

TEST(NotifyCompleteTest, WorkflowHearsFirstThenObserversThenParent) {
  std::vector<std::string> log;
  CompletionRecorder firstObserver("observer 1", &log);
  CompletionRecorder secondObserver("observer 2", &log);
  CompletionRecorder parentObserver("parent observer", &log);
  auto leaf = std::make_shared<NoOpWork>(&firstObserver);
  leaf->AddCompleteCallback(&secondObserver);
  auto parent = std::make_shared<SequentialWork>(&parentObserver, 1);
  parent->AddChild(leaf);
  auto workflow = std::make_shared<RecordingWorkflow>(&log);
  parent->SetWorkflow(workflow);
  parent->QueueAvailableWork(workflow);
  ASSERT_EQ(workflow->queued.size(), 1u);

  workflow->Complete(0, WorkStatus(WorkResult::Success));

  EXPECT_EQ(log, (std::vector<std::string>{"workflow", "observer 1", "observer 2", "workflow",
                                           "parent observer"}));
  ASSERT_EQ(workflow->heard.size(), 2u);
  EXPECT_EQ(workflow->heard[0].work, leaf);
  EXPECT_EQ(workflow->heard[1].work, parent);
  EXPECT_EQ(firstObserver.Entries().at(0).work, leaf);
}

TEST(NotifyCompleteTest, AWorkWhoseParentIsGoneNotifiesWorkflowAndObserversOnly) {
  std::vector<std::string> log;
  CompletionRecorder observer("observer", &log);
  auto leaf = std::make_shared<NoOpWork>(&observer);
  auto workflow = std::make_shared<RecordingWorkflow>(&log);
  {
    auto parent = std::make_shared<SequentialWork>();
    parent->AddChild(leaf);
    parent->SetWorkflow(workflow);
  }

  leaf->NotifyComplete(WorkStatus(WorkResult::Success));

  EXPECT_EQ(log, (std::vector<std::string>{"workflow", "observer"}));
}

}  // namespace
}  // namespace halv
