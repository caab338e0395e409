#include "file/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "file/paths.h"

namespace halv {
namespace {

std::atomic<bool> forceWalk{false};

std::vector<std::string> Components(const std::string& relativePath) {
  std::vector<std::string> parts;
  std::size_t start = relativePath.find_first_not_of('/');
  while (start != std::string::npos && start < relativePath.size()) {
    const std::size_t slash = relativePath.find('/', start);
    parts.push_back(relativePath.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

std::string Joined(const std::vector<std::string>& parts, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) path += (i == 0 ? "" : "/") + parts[i];
  return path;
}

[[noreturn]] void ThrowNotAFolder(const std::string& folder) {
  throw FileUnsafePathException("\"" + folder +
                                "\" in the destination is a link or a file where the package "
                                "needs a folder; it is left as it is");
}

// openat2 where it can be used: -1 with errno ENOSYS when it cannot.
int OpenAt2(int folder, const std::string& path) {
  if (forceWalk.load()) {
    errno = ENOSYS;
    return -1;
  }
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  int result;
  do {
    result = static_cast<int>(syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how));
  } while (result < 0 && errno == EINTR);
  // A filter of system calls in a container answers EPERM for a call it does not know.
  if (result < 0 && errno == EPERM) errno = ENOSYS;
  return result;
}

// One component at a time, never following a link; creates what is missing when `create`.
int Walk(int folder, const std::vector<std::string>& parts, std::size_t count, bool create) {
  int current = fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (current < 0) ThrowLastFileError();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& part = parts[i];
    if (part.empty() || part == "." || part == "..") {
      close(current);
      throw FileBadPathException();
    }
    if (create && mkdirat(current, part.c_str(), 0777) != 0 && errno != EEXIST) {
      const int error = errno;
      close(current);
      ThrowFileError(error);
    }
    int next;
    do {
      next = openat(current, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (next < 0 && errno == EINTR);
    const int error = errno;
    close(current);
    if (next < 0) {
      if (error == ELOOP || error == ENOTDIR) ThrowNotAFolder(Joined(parts, i + 1));
      ThrowFileError(error);
    }
    current = next;
  }
  return current;
}

}  // namespace

FileUnsafePathException::FileUnsafePathException(std::string message)
    : message_(std::move(message)) {}

const char* FileUnsafePathException::what() const noexcept { return message_.c_str(); }

int OpenParentBeneath(int folder, const std::string& relativePath, bool create, std::string& name) {
  const std::vector<std::string> parts = Components(relativePath);
  if (parts.empty()) throw FileBadPathException();
  name = parts.back();
  if (name == "." || name == "..") throw FileBadPathException();
  const std::size_t count = parts.size() - 1;
  if (count == 0) {
    const int copy = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) ThrowLastFileError();
    return copy;
  }
  const int opened = OpenAt2(folder, Joined(parts, count));
  if (opened >= 0) return opened;
  const int error = errno;
  // A link on the way, or a file where a folder must be: the walk names which component.
  if (error == ENOSYS || error == ELOOP || error == ENOTDIR || error == EXDEV ||
      (error == ENOENT && create)) {
    return Walk(folder, parts, count, create && error != ELOOP && error != ENOTDIR);
  }
  ThrowFileError(error);
}

namespace {

// The text of the link `name` in `parent`, or nothing when it is no link.
std::optional<std::string> LinkText(int parent, const std::string& name) {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t length = readlinkat(parent, name.c_str(), buffer.data(), buffer.size());
  if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

FileIdentity PlaceLinkIn(int parent, const std::string& relativePath, const std::string& name,
                         const std::string& target) {
  const auto refuse = [&] {
    throw FileUnsafePathException("\"" + relativePath +
                                  "\" in the destination is a file or a folder where the package "
                                  "has a link; it is left as it is");
  };
  struct stat there;
  if (fstatat(parent, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISLNK(there.st_mode)) refuse();
    if (LinkText(parent, name) != target) {
      // Made beside it under a name no package entry can have, then renamed over it: a rename
      // replaces a link (never a folder) in one step.
      const std::string temporary = PartialFileName(name);
      struct stat old;
      if (fstatat(parent, temporary.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
          !S_ISDIR(old.st_mode) && unlinkat(parent, temporary.c_str(), 0) != 0 && errno != ENOENT) {
        ThrowLastFileError();
      }
      if (symlinkat(target.c_str(), parent, temporary.c_str()) != 0) ThrowLastFileError();
      if (renameat(parent, temporary.c_str(), parent, name.c_str()) != 0) {
        const int error = errno;
        unlinkat(parent, temporary.c_str(), 0);
        if (error == EISDIR || error == ENOTEMPTY || error == EEXIST) refuse();
        ThrowFileError(error);
      }
    }
  } else if (errno != ENOENT) {
    ThrowLastFileError();
  } else if (symlinkat(target.c_str(), parent, name.c_str()) != 0) {
    // Something came in between: it is looked at once more, as if it had been there.
    if (errno != EEXIST) ThrowLastFileError();
    if (fstatat(parent, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(there.st_mode) || LinkText(parent, name) != target) {
      refuse();
    }
  }
  if (fstatat(parent, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) ThrowLastFileError();
  if (!S_ISLNK(there.st_mode) || LinkText(parent, name) != target) refuse();
  return {static_cast<std::uint64_t>(there.st_dev), static_cast<std::uint64_t>(there.st_ino)};
}

}  // namespace

FileIdentity PlaceLinkBeneath(int folder, const std::string& relativePath,
                              const std::string& target) {
  std::string name;
  const int parent = OpenParentBeneath(folder, relativePath, true, name);
  try {
    const FileIdentity identity = PlaceLinkIn(parent, relativePath, name, target);
    close(parent);
    return identity;
  } catch (...) {
    close(parent);
    throw;
  }
}

namespace {

// Closes the descriptor it was given when it goes, whatever is thrown in between.
class OwnedDescriptor {
 public:
  explicit OwnedDescriptor(int fd) : fd_(fd) {}
  ~OwnedDescriptor() { close(fd_); }
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  const int fd_;
};

FileIdentity IdentityOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

FileIdentity PlaceHardLinkBeneath(int folder, const std::string& relativePath,
                                  const std::string& existingPath) {
  std::string existingName;
  const OwnedDescriptor existingParent(
      OpenParentBeneath(folder, existingPath, false, existingName));
  struct stat primary;
  const bool found =
      fstatat(existingParent.get(), existingName.c_str(), &primary, AT_SYMLINK_NOFOLLOW) == 0;
  if (!found && errno != ENOENT) ThrowLastFileError();
  if (!found || !S_ISREG(primary.st_mode)) {
    throw FileUnsafePathException("\"" + existingPath + "\" in the destination, of which \"" +
                                  relativePath +
                                  "\" is a second name, is no longer a file; it is left as it is");
  }
  std::string name;
  const OwnedDescriptor parent(OpenParentBeneath(folder, relativePath, true, name));
  const auto refuse = [&] {
    throw FileUnsafePathException("\"" + relativePath +
                                  "\" in the destination is a folder, a link or something else "
                                  "where the package has a file; it is left as it is");
  };
  struct stat there;
  if (fstatat(parent.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(there.st_mode)) refuse();
    if (!SameFile(there, primary)) {
      // An earlier copy: the link is made beside it under a name no package entry can have and
      // renamed over it, so that the path holds one file or the other at every moment. A new
      // file's bytes wait for the destination's one flush; what replaces a file must be on disk
      // first, as a file's own rename over another waits for its flush.
      {
        const int data =
            openat(existingParent.get(), existingName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (data < 0) ThrowLastFileError();
        const OwnedDescriptor owned(data);
        struct stat opened;
        if (fstat(data, &opened) != 0) ThrowLastFileError();
        if (!SameFile(opened, primary)) {
          throw FileUnsafePathException("\"" + existingPath +
                                        "\" in the destination was replaced while \"" +
                                        relativePath + "\" was made a second name of it");
        }
        if (fdatasync(data) != 0) ThrowLastFileError();
      }
      const std::string temporary = PartialFileName(name);
      struct stat old;
      if (fstatat(parent.get(), temporary.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
          !S_ISDIR(old.st_mode) && unlinkat(parent.get(), temporary.c_str(), 0) != 0 &&
          errno != ENOENT) {
        ThrowLastFileError();
      }
      if (linkat(existingParent.get(), existingName.c_str(), parent.get(), temporary.c_str(), 0) !=
          0) {
        ThrowLastFileError();
      }
      if (renameat(parent.get(), temporary.c_str(), parent.get(), name.c_str()) != 0) {
        const int error = errno;
        unlinkat(parent.get(), temporary.c_str(), 0);
        if (error == EISDIR || error == ENOTEMPTY || error == EEXIST) refuse();
        ThrowFileError(error);
      }
    }
  } else if (errno != ENOENT) {
    ThrowLastFileError();
  } else if (linkat(existingParent.get(), existingName.c_str(), parent.get(), name.c_str(), 0) !=
             0) {
    // Something came in between: it is looked at once more, as if it had been there.
    if (errno != EEXIST) ThrowLastFileError();
  }
  if (fstatat(parent.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) ThrowLastFileError();
  if (!S_ISREG(there.st_mode) || !SameFile(there, primary)) refuse();
  return IdentityOf(there);
}

FileIdentity PlaceFolderBeneath(int folder, const std::string& relativePath) {
  std::string name;
  const OwnedDescriptor parent(OpenParentBeneath(folder, relativePath, true, name));
  if (mkdirat(parent.get(), name.c_str(), 0777) != 0 && errno != EEXIST) ThrowLastFileError();
  struct stat there;
  if (fstatat(parent.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) ThrowLastFileError();
  if (!S_ISDIR(there.st_mode)) {
    throw FileUnsafePathException("\"" + relativePath +
                                  "\" in the destination is a file or a link where the package "
                                  "has a folder; it is left as it is");
  }
  return IdentityOf(there);
}

void ConfirmBeneath(int folder, const std::map<std::string, FileIdentity>& files) {
  // One flush of the destination's file system puts every file's bytes, every rename and every
  // folder this run wrote on disk at once: a package of many small files costs one flush, not
  // two per file. It also reports a write-back that failed since the destination was opened.
  if (syncfs(folder) != 0) ThrowLastFileError();
  // Files of one folder sit together in path order: each folder is opened once for all of them.
  std::string openFolder;
  int parent = -1;
  const auto closeParent = [&parent]() {
    if (parent >= 0) close(parent);
    parent = -1;
  };
  try {
    for (const auto& [path, identity] : files) {
      const std::size_t slash = path.rfind('/');
      const std::string holder = slash == std::string::npos ? std::string() : path.substr(0, slash);
      const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
      if (parent < 0 || holder != openFolder) {
        closeParent();
        std::string unused;
        parent = OpenParentBeneath(folder, path, false, unused);
        openFolder = holder;
      }
      struct stat there;
      const bool same = fstatat(parent, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                        static_cast<std::uint64_t>(there.st_dev) == identity.device &&
                        static_cast<std::uint64_t>(there.st_ino) == identity.inode;
      if (!same) {
        throw FileUnsafePathException("\"" + path +
                                      "\" was replaced or removed before the download was "
                                      "complete");
      }
    }
  } catch (...) {
    closeParent();
    throw;
  }
  closeParent();
}

DeferredFile DescribeDeferred(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) ThrowLastFileError();
  return DeferredFile{FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                                   static_cast<std::uint64_t>(status.st_ino)},
                      static_cast<std::int64_t>(status.st_ctim.tv_sec),
                      static_cast<std::int64_t>(status.st_ctim.tv_nsec)};
}

FileIdentity ReplaceBeneath(int folder, const std::string& relativePath,
                            const DeferredFile& deferred) {
  std::string name;
  const int parent = OpenParentBeneath(folder, relativePath, false, name);
  try {
    const std::string partial = PartialFileName(name);
    struct stat there;
    if (fstatat(parent, partial.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        static_cast<std::uint64_t>(there.st_dev) != deferred.identity.device ||
        static_cast<std::uint64_t>(there.st_ino) != deferred.identity.inode ||
        there.st_ctim.tv_sec != deferred.changedSeconds ||
        there.st_ctim.tv_nsec != deferred.changedNanoseconds) {
      throw FileUnsafePathException("\"" + PartialFilePath(relativePath) +
                                    "\" was changed, replaced or removed after it was verified");
    }
    if (renameat(parent, partial.c_str(), parent, name.c_str()) != 0) {
      if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) {
        throw FileUnsafePathException("\"" + relativePath +
                                      "\" is a folder where the package needs a file; it is left "
                                      "as it is");
      }
      if (errno == EPERM || errno == EACCES) {
        struct stat old;
        const std::string owner = fstatat(parent, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0
                                      ? "belongs to user " + std::to_string(old.st_uid) + " and "
                                      : std::string();
        throw FileUnsafePathException("\"" + relativePath + "\" " + owner +
                                      "this folder does not let it be replaced; it is left as it "
                                      "is");
      }
      ThrowLastFileError();
    }
  } catch (...) {
    close(parent);
    throw;
  }
  close(parent);
  return deferred.identity;
}

std::optional<FileIdentity> IdentityBeneath(int folder, const std::string& relativePath) {
  try {
    std::string name;
    const OwnedDescriptor parent(OpenParentBeneath(folder, relativePath, false, name));
    struct stat there;
    if (fstatat(parent.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return IdentityOf(there);
  } catch (const FileException&) {
    return std::nullopt;
  }
}

std::optional<std::string> LinkLeadsOutside(int folder, const std::string& relativePath,
                                            const std::set<std::string>& absoluteAllowed) {
  // Resolved as the kernel would, one component at a time, on disk as it is now: `resolved`
  // holds the folders below `folder` reached so far (none of them a link), `pending` what is
  // still to follow.
  constexpr int kMaxLinks = 40;  // the kernel's own limit (ELOOP)
  std::vector<std::string> resolved;
  std::vector<std::string> pending;  // in reverse: the next component last
  const auto push = [&pending](const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
      const std::size_t slash = std::min(path.find('/', start), path.size());
      parts.push_back(path.substr(start, slash - start));
      start = slash + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  };
  const auto joined = [&resolved](const std::string& next) {
    std::string path;
    for (const std::string& part : resolved) path += part + "/";
    return path + next;
  };
  push(relativePath);
  std::string lastLink;
  int links = 0;
  while (!pending.empty()) {
    const std::string part = pending.back();
    pending.pop_back();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (resolved.empty()) return lastLink;
      resolved.pop_back();
      continue;
    }
    const std::string path = joined(part);
    struct stat status;
    // Nothing there, or not a folder with more to follow: the kernel reaches nothing.
    if (fstatat(folder, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    if (!S_ISLNK(status.st_mode)) {
      if (!S_ISDIR(status.st_mode) && !pending.empty()) return std::nullopt;
      resolved.push_back(part);
      continue;
    }
    if (++links > kMaxLinks) return std::nullopt;
    const std::optional<std::string> target = LinkText(folder, path);
    if (!target) return std::nullopt;
    lastLink = path;
    if (!target->empty() && target->front() == '/') {
      if (absoluteAllowed.count(path) != 0) return std::nullopt;
      return lastLink;
    }
    push(*target);
  }
  return std::nullopt;
}

void ForceBeneathWalk(bool force) { forceWalk.store(force); }

}  // namespace halv
