#ifndef HALV_TESTS_EVENT_LOG_TEST_SUPPORT_H_
#define HALV_TESTS_EVENT_LOG_TEST_SUPPORT_H_

#include <stdlib.h>

#include <cstdlib>
#include <string>

#include "temp_dir.h"

namespace halv::test {

// Points HOME and XDG_CACHE_HOME at fresh private folders for its lifetime and restores both.
class ScopedHomes {
 public:
  ScopedHomes() {
    const char* old = std::getenv("HOME");
    hadHome_ = old != nullptr;
    if (old) oldHome_ = old;
    setenv("HOME", home_.path().c_str(), 1);
  }
  ~ScopedHomes() {
    if (hadHome_) {
      setenv("HOME", oldHome_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  ScopedHomes(const ScopedHomes&) = delete;
  ScopedHomes& operator=(const ScopedHomes&) = delete;

  const std::string& cachePath() const { return cache_.path(); }

 private:
  TempDir home_;
  bool hadHome_;
  std::string oldHome_;
  ScopedCacheHome cache_;
};

}  // namespace halv::test

#endif  // HALV_TESTS_EVENT_LOG_TEST_SUPPORT_H_
