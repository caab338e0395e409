#ifndef HALV_TESTS_SUPPORT_TEMP_DIR_H_
#define HALV_TESTS_SUPPORT_TEMP_DIR_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace halv::test {

// A fresh private folder under the build's temporary area, removed with everything in it when
// the object dies. Owned by one test; not for sharing between threads while it is destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string Child(const std::string& relative) const;

 private:
  std::string path_;
};

// Points XDG_CACHE_HOME at a fresh private folder for its lifetime and restores the old value.
class ScopedCacheHome {
 public:
  ScopedCacheHome();
  ~ScopedCacheHome();
  ScopedCacheHome(const ScopedCacheHome&) = delete;
  ScopedCacheHome& operator=(const ScopedCacheHome&) = delete;

  const std::string& path() const { return folder_.path(); }

 private:
  TempDir folder_;
  bool hadValue_;
  std::string oldValue_;
};

// The whole content of the file at `path`; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Writes `content` to the file at `path`, creating its missing folders.
void WriteFile(const std::string& path, const std::string& content);

// `size` bytes that look random and are the same for the same seed, so that every chunk of a
// test file differs and a misplaced byte shows.
std::string PseudoRandomBytes(std::size_t size, std::uint32_t seed);

}  // namespace halv::test

#endif  // HALV_TESTS_SUPPORT_TEMP_DIR_H_
