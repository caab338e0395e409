#ifndef HALV_FILE_BENEATH_H_
#define HALV_FILE_BENEATH_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "file/file_exception.h"

// Reaching the files of a destination folder relative to its descriptor, never by joining
// strings, and never through a link: a package path names a place below the folder or nothing.
// All functions are free and safe to call from any thread; descriptors they return belong to
// the caller.
namespace halv {

// A refused path, with a message naming it for people: a link or a file where a folder of the
// package must be, a folder where a file must be, a file replaced behind the download's back.
class FileUnsafePathException : public FileBadPathException {
 public:
  explicit FileUnsafePathException(std::string message);
  const char* what() const noexcept override;

 private:
  std::string message_;
};

// Opens the folder that holds the final component of `relativePath` (leading slashes trimmed)
// below `folder`, creating missing folders when `create`, and sets `name` to that component.
// Uses openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the kernel has it, otherwise a
// walk that opens each component with O_NOFOLLOW | O_DIRECTORY. A link or a non-folder on the way
// throws FileUnsafePathException naming it; a missing folder without `create`
// FileBadPathException; other failures the FileException of their error code.
int OpenParentBeneath(int folder, const std::string& relativePath, bool create, std::string& name);

// Which file on disk an open file is: its device and inode.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// Makes `relativePath` below `folder` the symbolic link `target` with symlinkat on the
// descriptor of the folder that holds it (OpenParentBeneath, creating missing folders). A link
// there with another target is replaced by a rename, in one step; one with this target is kept;
// anything else there is left as it is and throws FileUnsafePathException naming it. Returns
// the link's identity, which ConfirmBeneath then checks like a file's.
FileIdentity PlaceLinkBeneath(int folder, const std::string& relativePath,
                              const std::string& target);

// Makes `relativePath` below `folder` a second name (a hard link, linkat) of the regular file at
// `existingPath` below `folder`, neither followed if it is a link (missing folders on the way to
// `relativePath` are created). The same file there already is kept; another regular file there (an
// earlier copy) is replaced by a link made beside it and renamed over it, in one step; a folder, a
// link or anything else there is left as it is and throws FileUnsafePathException naming it, as
// does anything but a regular file at `existingPath`. Returns the identity of the file, which
// ConfirmBeneath then checks at `relativePath`.
FileIdentity PlaceHardLinkBeneath(int folder, const std::string& relativePath,
                                  const std::string& existingPath);

// Makes `relativePath` below `folder` a folder with mkdirat (mode 0777 less the umask, missing
// folders on the way created), never following a link. A folder there already is kept; anything
// else there is left as it is and throws FileUnsafePathException naming it. Returns the folder's
// identity, which ConfirmBeneath then checks like a file's.
FileIdentity PlaceFolderBeneath(int folder, const std::string& relativePath);

// The last step before a download may be called complete: flushes the file system that holds
// `folder` (syncfs: every file, rename and folder written there is then on disk), then checks
// that each relative path, not followed if it is a link, still holds the file (or the link, or
// the folder) it was verified as. A path that holds something else or nothing throws
// FileUnsafePathException naming it; a flush that fails, or a folder that cannot be opened, the
// FileException of its error.
// `folder` is a descriptor of the destination, which stays the caller's.
void ConfirmBeneath(int folder, const std::map<std::string, FileIdentity>& files);

// Where a verified file waits under its partial name to replace what is at its final name: its
// identity and its change time when it was left there, so that a file changed since is not
// renamed into place.
struct DeferredFile {
  FileIdentity identity;
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanoseconds = 0;
};

// What DeferredFile records of the open file `fd`.
DeferredFile DescribeDeferred(int fd);

// Renames the partial file of `relativePath` (PartialFilePath) over `relativePath` beneath `folder`
// (neither followed), once the caller flushed the file system, so that the old file is replaced by
// bytes on disk. The partial name must still hold the file `deferred` describes, unchanged since:
// otherwise FileUnsafePathException naming it (nothing is renamed); a folder at the final name
// throws FileUnsafePathException too, and is left as it is. Returns the file's identity.
FileIdentity ReplaceBeneath(int folder, const std::string& relativePath,
                            const DeferredFile& deferred);

// Which entry is at `relativePath` below `folder`, not followed if it is a link; nothing when
// there is none or it cannot be reached without following a link.
std::optional<FileIdentity> IdentityBeneath(int folder, const std::string& relativePath);

// Whether the relative link at `relativePath` below `folder`, followed on disk as it is now
// through every link met on the way (the package's, an earlier version's, the user's), leads out
// of `folder`: the path of the last link followed before it left (the link itself when its own
// target leaves), nothing when it stays below `folder` or reaches nothing. A link met on the way
// whose target is absolute leads out, unless its path is one of `absoluteAllowed` (links that
// lead out by design, such as a package's own absolute links): following stops there.
std::optional<std::string> LinkLeadsOutside(int folder, const std::string& relativePath,
                                            const std::set<std::string>& absoluteAllowed = {});

// For tests: whether OpenParentBeneath acts as on a kernel (or a system-call filter) without
// openat2. Process-wide.
void ForceBeneathWalk(bool force);

}  // namespace halv

#endif  // HALV_FILE_BENEATH_H_
