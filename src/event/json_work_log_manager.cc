#include "event/json_work_log_manager.h"

#include <string>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "event/json_writer.h"

namespace halv {

namespace {

using boost::property_tree::ptree;

// The observed work's description and whether it calls itself important.
ptree DescribeObserved(const Work& work, const WorkStatus& status, bool* important) {
  ptree description;
  work.DescribeStatus(status, description);
  *important = work.IsImportant();
  return description;
}

void SubmitWorkEvent(WorkLogManager* logManager, std::int32_t level, const char* name,
                     ptree params) {
  const std::shared_ptr<TrackEventWork> event = logManager->CreateEventWork(level);
  event->tree.put("event", name);
  // Swapped in rather than copied: add_child copies every node of the description.
  event->tree.add_child("params", ptree()).swap(params);
  logManager->Submit(event);
}

}  // namespace

JsonWorkLogManager::~JsonWorkLogManager() { Drain(); }

std::shared_ptr<TrackEventWork> JsonWorkLogManager::CreateEventWork(std::int32_t level) {
  return std::make_shared<JsonLogEventWork>(level, this);
}

bool JsonWorkLogManager::WouldWrite(std::int32_t level, const Work& work) const {
  const std::int32_t mask = GetLogLevel();
  return (level & mask) != 0 || ((kLevelImportant & mask) != 0 && work.IsImportant());
}

void JsonWorkLogManager::OnWorkComplete(const std::shared_ptr<Work>& work,
                                        const WorkStatus& status) {
  const bool failed = status.result == WorkResult::Error || status.result == WorkResult::Retryable;
  if (!WouldWrite(failed ? kLevelFailed : kLevelComplete, *work)) return;
  Submit(std::make_shared<SetUpOnCompleteWork>(this, work, status));
}

void JsonWorkLogManager::OnWorkRetry(const std::shared_ptr<SimpleWork>& work,
                                     const WorkStatus& status) {
  if (!WouldWrite(kLevelRetry, *work)) return;
  Submit(std::make_shared<SetUpOnRetryWork>(this, work, status));
}

JsonLogEventWork::JsonLogEventWork(std::int32_t level, LogManager* logManager)
    : TrackEventWork(level), logManager_(logManager) {}

WorkStatus JsonLogEventWork::ExecuteTask() {
  if ((level & logManager_->GetLogLevel()) != 0) {
    logManager_->WriteLine(level, ToNarrowJson(tree));
  }
  return WorkStatus(WorkResult::Success);
}

SetUpOnCompleteWork::SetUpOnCompleteWork(WorkLogManager* logManager,
                                         std::shared_ptr<const Work> work, WorkStatus status)
    : logManager_(logManager), work_(std::move(work)), status_(std::move(status)) {}

WorkStatus SetUpOnCompleteWork::ExecuteTask() {
  bool important = false;
  ptree params = DescribeObserved(*work_, status_, &important);
  const bool failed =
      status_.result == WorkResult::Error || status_.result == WorkResult::Retryable;
  // 24, 18, 8 or 2.
  std::int32_t level = failed ? kLevelFailed : kLevelComplete;
  if (important) level |= kLevelImportant;
  SubmitWorkEvent(logManager_, level, "OnWorkComplete", std::move(params));
  return WorkStatus(WorkResult::Success);
}

SetUpOnRetryWork::SetUpOnRetryWork(WorkLogManager* logManager, std::shared_ptr<const Work> work,
                                   WorkStatus status)
    : logManager_(logManager), work_(std::move(work)), status_(std::move(status)) {}

WorkStatus SetUpOnRetryWork::ExecuteTask() {
  bool important = false;
  ptree params = DescribeObserved(*work_, status_, &important);
  // 20 or 4.
  std::int32_t level = kLevelRetry;
  if (important) level |= kLevelImportant;
  SubmitWorkEvent(logManager_, level, "OnSimpleWorkRetry", std::move(params));
  return WorkStatus(WorkResult::Success);
}

}  // namespace halv
