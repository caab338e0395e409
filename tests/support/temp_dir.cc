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

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string PseudoRandomBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (auto& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

}  // namespace halv::test
