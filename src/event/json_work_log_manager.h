#ifndef HALV_EVENT_JSON_WORK_LOG_MANAGER_H_
#define HALV_EVENT_JSON_WORK_LOG_MANAGER_H_

#include <cstdint>
#include <memory>

#include "event/event_manager.h"
#include "event/work_log_manager.h"
#include "work/simple_work.h"
#include "work/work.h"
#include "work/work_status.h"

namespace halv {

// The work log of the product: every event is one line of compact JSON (see WriteNarrowJson).
// Completions and retries of works are described on the log manager's own threads, never on the
// thread of the work that reports them.
// Ownership and thread-safety: as WorkLogManager.
class JsonWorkLogManager : public WorkLogManager {
 public:
  using WorkLogManager::WorkLogManager;
  // Drains before any member goes: set-up works call back into CreateEventWork.
  ~JsonWorkLogManager() override;

  // A new JsonLogEventWork of `level` with an empty tree.
  std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t level) override;
  // Post a SetUpOnCompleteWork or SetUpOnRetryWork and return at once; nothing when the log
  // level would drop the line whatever the description (a many-file package completes a dozen
  // works per file, and describing each cost more than the download of a small file).
  void OnWorkComplete(const std::shared_ptr<Work>& work, const WorkStatus& status) override;
  void OnWorkRetry(const std::shared_ptr<SimpleWork>& work, const WorkStatus& status) override;

 private:
  // Whether a line of `level` about `work` passes the log level, important or not.
  bool WouldWrite(std::int32_t level, const Work& work) const;
};

// Writes its tree as one log line when its level passes the log level.
// Ownership: as TrackEventWork; the log manager is not owned and outlives it.
// Thread-safety: as TrackEventWork.
class JsonLogEventWork : public TrackEventWork {
 public:
  JsonLogEventWork(std::int32_t level, LogManager* logManager);

  // Success in every case: a line that cannot be written is lost (see LogManager::WriteLine).
  // A tree that cannot be written as JSON throws, which ends the work with Error.
  WorkStatus ExecuteTask() override;
  // Writing a line is short; there is nothing to interrupt.
  void Interrupt() override {}

 private:
  LogManager* const logManager_;
};

// Describes a completed work into an "OnWorkComplete" event of level 24, 18, 8 or 2 (important or
// not, failed or not) and submits it. Ownership: a standalone work held by the log manager's
// handler; keeps the observed work alive until it has described it. Thread-safety: runs on one
// log manager thread.
class SetUpOnCompleteWork : public SimpleWork {
 public:
  SetUpOnCompleteWork(WorkLogManager* logManager, std::shared_ptr<const Work> work,
                      WorkStatus status);

  // Success; a description that throws ends the work with Error and no event is written.
  WorkStatus ExecuteTask() override;
  void Interrupt() override {}

 private:
  WorkLogManager* const logManager_;
  const std::shared_ptr<const Work> work_;
  const WorkStatus status_;
};

// As SetUpOnCompleteWork for a simple work about to retry: an "OnSimpleWorkRetry" event of level
// 20 or 4.
class SetUpOnRetryWork : public SimpleWork {
 public:
  SetUpOnRetryWork(WorkLogManager* logManager, std::shared_ptr<const Work> work, WorkStatus status);

  WorkStatus ExecuteTask() override;
  void Interrupt() override {}

 private:
  WorkLogManager* const logManager_;
  const std::shared_ptr<const Work> work_;
  const WorkStatus status_;
};

}  // namespace halv

#endif  // HALV_EVENT_JSON_WORK_LOG_MANAGER_H_
