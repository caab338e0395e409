#include "scoped_environment.h"

#include <stdlib.h>

#include <cstdlib>
#include <utility>

namespace halv::test {

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name,
                                                     const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) oldValue_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  if (oldValue_) {
    setenv(name_.c_str(), oldValue_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

std::vector<std::string> SanitizerEnvironment() {
  std::vector<std::string> environment;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name))
      environment.push_back(name + std::string("=") + value);
  }
  return environment;
}

}  // namespace halv::test
