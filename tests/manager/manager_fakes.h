#ifndef HALV_TESTS_MANAGER_MANAGER_FAKES_H_
#define HALV_TESTS_MANAGER_MANAGER_FAKES_H_

#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "event/analytics_manager.h"
#include "event/json_writer.h"
#include "event/work_log_manager.h"
#include "manifest/xml_manifest_parser.h"
#include "work/workflow.h"
#include "works/transfer_workflow_factory.h"

namespace halv::test {

// A manifest of type T (a package or a node list) read from XML text, as a source reads it.
template <typename T>
std::shared_ptr<T> ReadManifest(const std::string& xml) {
  std::istringstream stream(xml);
  boost::property_tree::ptree tree;
  ParseXmlManifest(stream, tree);
  auto manifest = std::make_shared<T>();
  manifest->Read(tree);
  return manifest;
}

// A workflow that only records the commands it gets and answers them as told.
class FakeWorkflow : public Workflow {
 public:
  void OnWorkComplete(const std::shared_ptr<Work>&, const WorkStatus&) override {}
  bool Start() override { return Record("Start", startResult); }
  bool Pause() override { return Record("Pause", true); }
  bool Resume() override { return Record("Resume", true); }
  bool Retry() override { return Record("Retry", true); }
  WorkflowState GetState() const override { return WorkflowState::NotStarted; }
  bool IsStarted() const override { return false; }
  bool IsPaused() const override { return false; }
  bool IsRetryPending() const override { return false; }
  bool IsFinished() const override { return false; }
  bool Abort(const WorkStatus& status) override {
    if (onAbort) onAbort(status);
    return Record("Abort", true);
  }
  void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) override {
    retryableErrorCallback = callback;
  }
  void Enqueue(const std::shared_ptr<SimpleWork>&) override {}
  void OnWorkExecuted(const std::shared_ptr<SimpleWork>&, const WorkStatus&) override {}

  std::vector<std::string> Commands() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

  bool startResult = true;
  std::function<void(const WorkStatus&)> onAbort;
  WorkflowRetryableErrorCallback* retryableErrorCallback = nullptr;

 private:
  bool Record(const char* command, bool result) {
    const std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(command);
    return result;
  }
  std::mutex mutex_;
  std::vector<std::string> commands_;
};

// Hands out FakeWorkflows and keeps each, with the interface it was made for.
class FakeWorkflowFactory : public TransferWorkflowFactory {
 public:
  std::shared_ptr<Workflow> CreateWorkflow(
      const std::shared_ptr<TransferWorkInterface>& transfer) override {
    auto workflow = std::make_shared<FakeWorkflow>();
    const std::lock_guard<std::mutex> lock(mutex_);
    workflows.push_back(workflow);
    interfaces.push_back(transfer);
    return workflow;
  }
  std::shared_ptr<FakeWorkflow> Last() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return workflows.back();
  }

  std::vector<std::shared_ptr<FakeWorkflow>> workflows;
  std::vector<std::shared_ptr<TransferWorkInterface>> interfaces;

 private:
  std::mutex mutex_;
};

// An event that keeps its tree where the test can read it instead of sending it.
class RecordedEventWork : public TrackEventWork {
 public:
  using TrackEventWork::TrackEventWork;
  WorkStatus ExecuteTask() override { return WorkStatus(WorkResult::Success); }
  void Interrupt() override {}
};

// Records submitted events as "level JSON", synchronously, in submission order.
template <typename Base>
class RecordingEvents : public Base {
 public:
  template <typename... Args>
  explicit RecordingEvents(Args&&... args) : Base(std::forward<Args>(args)...) {}
  std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t level) override {
    return std::make_shared<RecordedEventWork>(level);
  }
  void Submit(const std::shared_ptr<SimpleWork>& work) override {
    const auto& event = dynamic_cast<const TrackEventWork&>(*work);
    std::string json = ToNarrowJson(event.tree);
    json.pop_back();
    const std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::to_string(event.level) + " " + json);
  }
  std::vector<std::string> Take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

class RecordingLog : public RecordingEvents<WorkLogManager> {
 public:
  // No threads and no file: every event is recorded by Submit.
  RecordingLog() : RecordingEvents<WorkLogManager>(0u, -1, "", "", nullptr) {}
  void OnWorkComplete(const std::shared_ptr<Work>&, const WorkStatus&) override {}
  void OnWorkRetry(const std::shared_ptr<SimpleWork>&, const WorkStatus&) override {}
};
class RecordingAnalytics : public RecordingEvents<AnalyticsManager> {
 public:
  RecordingAnalytics() : RecordingEvents<AnalyticsManager>(0u) {}
};

}  // namespace halv::test

#endif  // HALV_TESTS_MANAGER_MANAGER_FAKES_H_
