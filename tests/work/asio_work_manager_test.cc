#include "work/asio_work_manager.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_works.h"
#include "work/no_op_work.h"
#include "work/standard_workflow.h"

namespace halv {
namespace {

using test::BlockingPool;
using test::CompletionRecorder;

TEST(AsioWorkManagerTest, RunsAsManyWorksAtOnceAsItHasThreads) {
  BlockingPool pool;
  CompletionRecorder observer;
  std::vector<std::shared_ptr<BlockingPool::Leaf>> leaves;
  for (int i = 0; i < 3; ++i) {
    leaves.push_back(pool.MakeLeaf());
    leaves.back()->AddCompleteCallback(&observer);
  }
  AsioWorkManager manager(2);
  for (const auto& leaf : leaves) manager.Run(leaf);

  ASSERT_TRUE(pool.WaitForStarts(2));
  // Both threads are held by blocked works, so the third cannot have started.
  EXPECT_EQ(pool.Starts(), 2);
  EXPECT_EQ(pool.Executing(), 2);

  const int firstId = pool.StartOrder()[0];
  pool.Release(leaves[firstId]);
  ASSERT_TRUE(pool.WaitForStarts(3));
  EXPECT_EQ(pool.MaxExecuting(), 2);

  pool.ReleaseAll();
  ASSERT_TRUE(observer.WaitForCount(3));
  for (const auto& entry : observer.Entries()) {
    EXPECT_EQ(entry.status.result, WorkResult::Success);
  }
}

TEST(AsioWorkManagerTest, DrainRunsEveryPostedWorkAndLaterWorksNever) {
  CompletionRecorder observer;
  AsioWorkManager manager(2);
  for (int i = 0; i < 50; ++i) manager.Run(std::make_shared<NoOpWork>(&observer));

  manager.Drain();
  EXPECT_EQ(observer.Count(), 50u);

  manager.Run(std::make_shared<NoOpWork>(&observer));
  manager.Drain();
  EXPECT_EQ(observer.Count(), 50u);
}

TEST(AsioWorkManagerTest, DestructionDiscardsQueuedWorks) {
  CompletionRecorder observer;
  auto work = std::make_shared<NoOpWork>(&observer);
  {
    AsioWorkManager manager(0);
    manager.Run(work);
  }
  EXPECT_EQ(observer.Count(), 0u);
  EXPECT_EQ(work.use_count(), 1) << "the discarded handler released the work";
}

// Throws the first time it is told of a completion.
class ThrowingObserver : public WorkCompleteCallback {
 public:
  void OnWorkComplete(const std::shared_ptr<Work>&, const WorkStatus&) override {
    if (calls_++ == 0) throw std::runtime_error("observer broke");
  }

 private:
  std::atomic<int> calls_{0};
};

TEST(AsioWorkManagerTest, AnExceptionInAStandaloneHandlerIsDroppedAndThePoolSurvives) {
  ThrowingObserver thrower;
  CompletionRecorder observer;
  AsioWorkManager manager(1);
  manager.Run(std::make_shared<NoOpWork>(&thrower));
  manager.Run(std::make_shared<NoOpWork>(&observer));
  ASSERT_TRUE(observer.WaitForCount(1));
}

TEST(AsioWorkManagerTest, AnExceptionInAWorkflowHandlerAbortsTheWorkflowWithError) {
  ThrowingObserver thrower;
  CompletionRecorder rootObserver;
  auto root = std::make_shared<NoOpWork>(&thrower);
  root->AddCompleteCallback(&rootObserver);
  AsioWorkManager manager(2);
  auto workflow = StandardWorkflow::Create(root, &manager, 2);

  ASSERT_TRUE(workflow->Start());
  ASSERT_TRUE(rootObserver.WaitForCount(1));

  EXPECT_EQ(workflow->GetState(), WorkflowState::Aborted);
  const WorkStatus status = rootObserver.Entries()[0].status;
  EXPECT_EQ(status.result, WorkResult::Error);
  ASSERT_TRUE(status.data);
  const auto tree = test::Describe(*status.data);
  EXPECT_EQ(tree.get<std::string>("exception"), "std::runtime_error");
  EXPECT_EQ(tree.get<std::string>("what"), "observer broke");
  manager.Drain();
}

}  // namespace
}  // namespace halv
