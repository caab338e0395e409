#ifndef HALV_PLATFORM_SIMPLE_PROCESS_H_
#define HALV_PLATFORM_SIMPLE_PROCESS_H_

#include <string>
#include <utility>
#include <vector>

namespace halv {

// Starts one program of the system: the downloaded application once both packages are complete.
// Ownership: a short-lived value of the caller. Thread-safety: one caller at a time; Run blocks
// that caller while it waits.
class SimpleProcess {
 public:
  // `path` is the program's full path (UTF-8).
  explicit SimpleProcess(std::string path) : path_(std::move(path)) {}
  virtual ~SimpleProcess() = default;
  SimpleProcess(const SimpleProcess&) = delete;
  SimpleProcess& operator=(const SimpleProcess&) = delete;

  // Starts the program with `arguments` after its name, each one passed on as it is, in the
  // folder `workingFolder` (empty: the program's own folder). With `wait`, returns only after
  // the program has exited. True when the program was started (and, with `wait`, waited for);
  // false on any failure, never an exception.
  virtual bool Run(bool wait, const std::vector<std::string>& arguments,
                   const std::string& workingFolder) = 0;

  const std::string& path() const { return path_; }

 private:
  const std::string path_;
};

}  // namespace halv

#endif  // HALV_PLATFORM_SIMPLE_PROCESS_H_
