#include "file/paths.h"

#include <boost/filesystem.hpp>

#include "file/file_exception.h"

namespace halv {

namespace fs = boost::filesystem;

std::string JoinPath(const std::string& folder, const std::string& relativePath) {
  const fs::path relative(TrimLeadingSlashes(relativePath));
  for (const fs::path& part : relative) {
    if (part == "..") throw FileBadPathException();
  }
  try {
    // An absolute folder needs no working folder (fs::absolute asks for it either way).
    const fs::path base(folder);
    if (base.is_absolute()) return (base / relative).make_preferred().string();
    return fs::absolute(relative, fs::absolute(base)).make_preferred().string();
  } catch (const fs::filesystem_error&) {
    throw FileBadPathException();
  }
}

std::string AppendPath(const std::string& folder, const std::string& name) {
  return (fs::path(folder) / fs::path(name)).make_preferred().string();
}

std::string TrimLeadingSlashes(const std::string& path) {
  const auto first = path.find_first_not_of('/');
  return first == std::string::npos ? std::string() : path.substr(first);
}

bool PathExists(const std::string& path) {
  boost::system::error_code error;
  return fs::exists(fs::path(path), error) && !error;
}

bool CreateDirectories(const std::string& path) {
  boost::system::error_code error;
  fs::create_directories(fs::path(path), error);
  return !error && fs::is_directory(fs::path(path), error) && !error;
}

std::optional<std::uint64_t> GetAvailableSpace(const std::string& path) {
  boost::system::error_code error;
  const fs::space_info info = fs::space(fs::path(path), error);
  if (error) return std::nullopt;
  return info.available;
}

}  // namespace halv
