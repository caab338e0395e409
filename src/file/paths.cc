#include "file/paths.h"

#include <cstdio>

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

std::string PartialFileName(const std::string& name) {
  constexpr std::size_t kMaxName = 255;
  constexpr std::size_t kSuffix = sizeof kPartialFileSuffix - 1;
  if (name.size() + kSuffix <= kMaxName) return name + kPartialFileSuffix;
  // FNV-1a: only told apart from the other long names of one folder, which a package chose
  // itself; nothing here needs to resist a forger.
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
  std::size_t keep = kMaxName - kSuffix - 1 - 16;
  // Never half a UTF-8 sequence: the name stays readable in a listing.
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xc0) == 0x80) --keep;
  return name.substr(0, keep) + "~" + digits + kPartialFileSuffix;
}

std::string PartialFilePath(const std::string& relativePath) {
  const std::size_t slash = relativePath.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  return relativePath.substr(0, start) + PartialFileName(relativePath.substr(start));
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
