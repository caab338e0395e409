#ifndef HALV_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
#define HALV_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_

#include <optional>
#include <string>
#include <vector>

namespace halv::test {

// Sets (or, with std::nullopt, unsets) one environment variable for its lifetime and restores
// the old state afterwards. Owned by one test; the environment is process-wide, so no other
// thread may read it meanwhile.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  const std::string name_;
  std::optional<std::string> oldValue_;
};

// The sanitizer settings of this process ("ASAN_OPTIONS=...", and the others that are set), for
// the environment of a program a test starts, so that a sanitizer build's suppressions and
// halting rules hold for it too.
std::vector<std::string> SanitizerEnvironment();

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
