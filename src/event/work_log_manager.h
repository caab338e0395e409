#ifndef HALV_EVENT_WORK_LOG_MANAGER_H_
#define HALV_EVENT_WORK_LOG_MANAGER_H_

#include <cstdint>

#include "event/log_manager.h"
#include "work/simple_work.h"
#include "work/work.h"

namespace halv {

// The level bits of log events. An event is written when (level & log level) != 0; the default
// log level -9 has every bit but kLevelComplete.
enum LogLevelBits : std::int32_t {
  kLevelTransferEvent = 1,  // transfer events
  kLevelFailed = 2,         // a work completed with Error or Retryable
  kLevelRetry = 4,          // a simple work is about to retry
  kLevelComplete = 8,       // a work completed with any other result
  kLevelImportant = 16,     // the work describes itself as important
};

// A log manager whose events are the completions and retries of works. It also observes works:
// transfer works register it as their completion (and, for retrying works, retry) observer.
// Ownership: owned by value by the assembly; works hold a plain pointer through TransferBehavior.
// Thread-safety: OnWorkComplete and OnWorkRetry are called on the main work manager's threads and
// only post a work to the log manager's own threads; everything else as EventManager.
class WorkLogManager : public LogManager,
                       public WorkCompleteCallback,
                       public SimpleWorkRetryCallback {
 public:
  using LogManager::LogManager;
};

}  // namespace halv

#endif  // HALV_EVENT_WORK_LOG_MANAGER_H_
