#include "app/cache_layout.h"

#include <filesystem>
#include <system_error>

namespace halv {

namespace fs = std::filesystem;

namespace {

// Whether anything (a link included) stands at `path`; a check that fails counts as yes, so
// that nothing is moved over what could not be seen.
bool Occupied(const fs::path& path) {
  std::error_code error;
  const fs::file_type type = fs::symlink_status(path, error).type();
  return type != fs::file_type::not_found;
}

// `from` at `to`, which must not exist. False when it could not be done; nothing half-done is
// left at `to` then, so a later run tries again from the untouched original.
bool MoveEntry(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (!error) return true;
  // Another file system (a cache on tmpfs, say): copy beside the target, then rename into place.
  fs::path copy = to;
  copy += ".moving";
  fs::remove_all(copy, error);
  fs::copy(from, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
  if (!error) fs::rename(copy, to, error);
  if (error) {
    fs::remove_all(copy, error);
    return false;
  }
  fs::remove_all(from, error);
  return true;
}

}  // namespace

bool MoveCacheLayout(const std::string& oldFolder, const std::string& stateFolder) {
  if (oldFolder.empty() || stateFolder.empty()) return true;
  const fs::path old(oldFolder);
  const fs::path state(stateFolder);
  for (const char* entry : kCacheLayoutStateEntries) {
    if (Occupied(old / entry) && !Occupied(state / entry)) MoveEntry(old / entry, state / entry);
  }
  std::error_code error;
  // The lock beside the record is recreated when needed.
  fs::remove(old / "publications.lock", error);
  // Empty folders only: anything else of the old layout is the user's to remove.
  if (fs::remove(old, error)) fs::remove(old.parent_path(), error);
  return !Occupied(old / "publications") || Occupied(state / "publications");
}

}  // namespace halv
