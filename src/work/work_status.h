#ifndef HALV_WORK_WORK_STATUS_H_
#define HALV_WORK_WORK_STATUS_H_

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "work/work_descriptor.h"

namespace halv {

// How one run of a work ended. Stopped and Retryable are not final: the work runs again.
// Written into property trees as its decimal number.
enum class WorkResult : std::uint8_t {
  Success = 0,    // the work did its job
  Failure = 1,    // the work ran and failed in an expected way; the parent decides what follows
  Stopped = 2,    // stopped by its workflow; queued again and run after the workflow resumes
  Retryable = 3,  // failed in a way that may succeed on another attempt
  Error = 4,      // failed unexpectedly; ends the whole workflow
};

// The payload a status may carry to say why. A virtual base, so that one class may combine it with
// WorkErrorData or WorkExceptionData.
// Ownership: held by shared pointers; statuses that are copies of each other share it.
// Thread-safety: immutable once built; any thread.
class WorkStatusData : public WorkDescriptor {
 public:
  ~WorkStatusData() override = default;
  void Describe(boost::property_tree::ptree& tree) const override = 0;
  // A short text for messages; empty unless a subclass says more.
  virtual std::string ToString() const;
};

// One captured exception, usually the one a task threw.
// Thread-safety: immutable once built; any thread.
class WorkExceptionData : public virtual WorkStatusData {
 public:
  explicit WorkExceptionData(std::exception_ptr exception);
  ~WorkExceptionData() override;

  // Writes "exception" = the exception's type name and "what" = its message for a standard
  // exception, or "exception" = "Unknown exception type" for anything else.
  void Describe(boost::property_tree::ptree& tree) const override;
  // The exception's type name, or "Unknown exception type".
  std::string ToString() const override;

  // Throws the captured exception; throws std::logic_error when none is held.
  [[noreturn]] void Rethrow() const;

  const std::exception_ptr& GetException() const { return exception_; }

 private:
  const std::exception_ptr exception_;
};

// A plain error message.
// Thread-safety: immutable once built; any thread.
class WorkErrorData : public virtual WorkStatusData {
 public:
  explicit WorkErrorData(std::string errorMessage);
  ~WorkErrorData() override;

  // Writes "errorMessage".
  void Describe(boost::property_tree::ptree& tree) const override;
  // The message.
  std::string ToString() const override;

  const std::string& GetErrorMessage() const { return errorMessage_; }

 private:
  const std::string errorMessage_;
};

// The outcome of one run of a work: a result, whether the work is about to retry by itself, and
// optional data saying why. A value type; copies share the data object.
// Thread-safety: a value; copy it to hand it to another thread.
class WorkStatus : public WorkDescriptor {
 public:
  WorkStatus() = default;
  // `retry` starts false.
  explicit WorkStatus(WorkResult result, std::shared_ptr<WorkStatusData> data = nullptr)
      : result(result), data(std::move(data)) {}
  WorkStatus(const WorkStatus&) = default;
  WorkStatus& operator=(const WorkStatus&) = default;
  WorkStatus(WorkStatus&&) = default;
  WorkStatus& operator=(WorkStatus&&) = default;
  ~WorkStatus() override = default;

  // Writes "result" (decimal), "retry" (boolean) and, only when data is set, a child "data".
  void Describe(boost::property_tree::ptree& tree) const override;

  WorkResult result = WorkResult::Error;
  // True only together with Retryable, when the work that produced this status retries by itself.
  bool retry = false;
  std::shared_ptr<WorkStatusData> data;
};

}  // namespace halv

#endif  // HALV_WORK_WORK_STATUS_H_
