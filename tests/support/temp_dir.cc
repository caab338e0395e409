#include "temp_dir.h"

#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include <boost/filesystem.hpp>

namespace halv::test {

namespace fs = boost::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "halv-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = buffer.data();
}

TempDir::~TempDir() {
  boost::system::error_code error;
  // Tests may leave read-only or execute-denied files behind; restore rights before removal.
  for (fs::recursive_directory_iterator it(path_, error), end; !error && it != end;
       it.increment(error)) {
    fs::permissions(it->path(), fs::owner_all | fs::add_perms, error);
  }
  fs::remove_all(path_, error);
}

std::string TempDir::Child(const std::string& relative) const { return path_ + "/" + relative; }

ScopedCacheHome::ScopedCacheHome() {
  const char* old = std::getenv("XDG_CACHE_HOME");
  hadValue_ = old != nullptr;
  if (old) oldValue_ = old;
  setenv("XDG_CACHE_HOME", folder_.path().c_str(), 1);
}

ScopedCacheHome::~ScopedCacheHome() {
  if (hadValue_) {
    setenv("XDG_CACHE_HOME", oldValue_.c_str(), 1);
  } else {
    unsetenv("XDG_CACHE_HOME");
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

}  // namespace halv::test
