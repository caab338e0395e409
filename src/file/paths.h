#ifndef HALV_FILE_PATHS_H_
#define HALV_FILE_PATHS_H_

#include <cstdint>
#include <optional>
#include <string>

// UTF-8 path helpers. Every file path built from a folder and a manifest path goes through
// JoinPath. All functions are free, stateless and safe to call from any thread.
namespace halv {

// Appended to a destination file's name for the file being downloaded in its place, which is
// renamed over it once complete, verified and on disk. A package may not name a file so.
inline constexpr char kPartialFileSuffix[] = ".halvane-part";

// The name of the file downloaded in place of the file named `name` (one component):
// `name` + kPartialFileSuffix when that fits the 255 bytes a name may have, otherwise the first
// bytes of `name` (cut at a character boundary), "~", 16 hexadecimal digits of a hash of the
// whole name, then the suffix. The same name always gives the same partial name, so a rerun
// resumes it.
std::string PartialFileName(const std::string& name);

// `relativePath` with its last component made PartialFileName of it.
std::string PartialFilePath(const std::string& relativePath);

// `relativePath` without its leading slashes, made absolute against `folder` (which is itself
// made absolute against the current directory). Throws FileBadPathException when the trimmed
// path has a ".." component: a manifest path must never leave its destination folder.
std::string JoinPath(const std::string& folder, const std::string& relativePath);

// `folder` / `name`; no trimming, no absolutisation.
std::string AppendPath(const std::string& folder, const std::string& name);

// `path` without its leading "/" characters.
std::string TrimLeadingSlashes(const std::string& path);

// False also when the check itself fails.
bool PathExists(const std::string& path);

// Creates every missing directory; true when the folder exists afterwards, false on any failure.
bool CreateDirectories(const std::string& path);

// Bytes available to the current user on the volume holding `path`; nothing when it cannot be
// measured.
std::optional<std::uint64_t> GetAvailableSpace(const std::string& path);

}  // namespace halv

#endif  // HALV_FILE_PATHS_H_
