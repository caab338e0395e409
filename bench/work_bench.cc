// The work engine's cost per leaf: 100,000 NoOpWork leaves run to completion by a StandardWorkflow
// of concurrency 8 on a 4-thread AsioWorkManager, under a LazyParallelWork of capacity 8 (leaves
// made on demand, as the file and chunk works do) and under a ParallelWork (all queued at once).
// Reports leaves per second as items per second; tree construction is part of the cost.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include <benchmark/benchmark.h>

#include "work/asio_work_manager.h"
#include "work/lazy_parallel_work.h"
#include "work/no_op_work.h"
#include "work/parallel_work.h"
#include "work/standard_workflow.h"

namespace halv {
namespace {

constexpr std::int64_t kLeaves = 100000;
constexpr std::uint32_t kCapacity = 8;
constexpr std::int32_t kConcurrency = 8;
constexpr std::uint32_t kThreads = 4;

class NoOpLeaves : public LazyParallelWork {
 public:
  NoOpLeaves(WorkCompleteCallback* callback, std::int64_t count)
      : LazyParallelWork(callback, kCapacity), count_(count) {}
  std::shared_ptr<Work> NextChild() override {
    if (made_ >= count_) return nullptr;
    ++made_;
    return std::make_shared<NoOpWork>();
  }
  void Reset() override {
    LazyParallelWork::Reset();
    made_ = 0;
  }

 private:
  const std::int64_t count_;
  std::int64_t made_ = 0;
};

// Lets the benchmark thread wait for the root's completion.
class RootDone : public WorkCompleteCallback {
 public:
  void OnWorkComplete(const std::shared_ptr<Work>&, const WorkStatus& status) override {
    // Notified under the mutex: the waiter destroys this object as soon as it wakes.
    std::lock_guard<std::mutex> guard(mutex_);
    done_ = true;
    result_ = status.result;
    cv_.notify_all();
  }
  WorkResult Wait() {
    std::unique_lock<std::mutex> guard(mutex_);
    cv_.wait(guard, [this] { return done_; });
    return result_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  WorkResult result_ = WorkResult::Error;
};

template <typename MakeRoot>
void RunTree(benchmark::State& state, MakeRoot makeRoot) {
  AsioWorkManager manager(kThreads);
  for (auto _ : state) {
    RootDone done;
    std::shared_ptr<Work> root = makeRoot(&done);
    auto workflow = StandardWorkflow::Create(root, &manager, kConcurrency);
    workflow->Start();
    if (done.Wait() != WorkResult::Success) {
      state.SkipWithError("the tree did not succeed");
      break;
    }
  }
  manager.Drain();
  state.SetItemsProcessed(state.iterations() * kLeaves);
}

void BM_LazyParallelLeaves(benchmark::State& state) {
  RunTree(state, [](WorkCompleteCallback* done) -> std::shared_ptr<Work> {
    return std::make_shared<NoOpLeaves>(done, kLeaves);
  });
}
BENCHMARK(BM_LazyParallelLeaves)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ParallelLeaves(benchmark::State& state) {
  RunTree(state, [](WorkCompleteCallback* done) -> std::shared_ptr<Work> {
    auto root = std::make_shared<ParallelWork>(done);
    root->Reserve(kLeaves);
    for (std::int64_t i = 0; i < kLeaves; ++i) root->AddChild(std::make_shared<NoOpWork>());
    return root;
  });
}
BENCHMARK(BM_ParallelLeaves)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace halv

BENCHMARK_MAIN();
