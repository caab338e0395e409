#include "file/posix_shared_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "file/beneath.h"
#include "file/destination_lock.h"
#include "file/file_exception.h"
#include "file/paths.h"
#include "file/posix_memory_map.h"

namespace halv {
namespace {

// One read of an open file: large enough that a check of a complete file costs about what the
// disk and the checksum cost, not a system call per page.
constexpr std::size_t kMaxRead = std::size_t{1} << 20;
constexpr mode_t kExecuteBits = S_IXUSR | S_IXGRP | S_IXOTH;
// Nothing this product writes keeps the set-user-ID, set-group-ID or sticky bit, nor write
// permission for group or others, whoever asked for them.
constexpr mode_t kAppliedBits = 0755;

}  // namespace

mode_t ReadProcessUmask() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return 022;
  char line[256];
  unsigned value = 022;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Umask: %o", &value) == 1) break;
  }
  std::fclose(status);
  return static_cast<mode_t>(value & 0777);
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether a file found at a package path or a partial name may be taken as ours: a regular file
// of the running user. Another user's file in a folder both may write (as /tmp is) stays theirs
// to rewrite after we verified it.
bool Ours(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == geteuid();
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

PosixSharedFile::PosixSharedFile(std::shared_ptr<const Folder> folder,
                                 const std::string& relativePath, SharedFileMode mode,
                                 std::uint64_t start, std::uint64_t end, mode_t umask)
    : SharedFile(start, end),
      folder_(std::move(folder)),
      umask_(umask),
      staged_(mode == SharedFileMode::Staged) {
  CheckBounds(start, end);
  if (!folder_) throw FileBadPathException();
  path_ = JoinPath(folder_->path(), relativePath);
  partialPath_ = JoinPath(folder_->path(), PartialFilePath(relativePath));
  parent_ = OpenParentBeneath(
      folder_->descriptor(), relativePath,
      mode != SharedFileMode::OpenExisting && mode != SharedFileMode::InPlace, name_);
  partialName_ = PartialFileName(name_);
  try {
    if (staged_ || mode == SharedFileMode::InPlace) CheckParent(relativePath);
    descriptor_ = staged_ ? OpenPartial() : OpenFinal(mode);
  } catch (...) {
    close(parent_);
    throw;
  }
  try {
    watch_->Stamp(descriptor_);
  } catch (...) {
    close(descriptor_);
    close(parent_);
    throw;
  }
  position_ = start;
}

int PosixSharedFile::OpenFinal(SharedFileMode mode) {
  // O_NONBLOCK: opening a FIFO or a device must not wait; the checks below refuse them.
  int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  if (mode == SharedFileMode::InPlace) {
    struct stat partial;
    if (fstatat(parent_, partialName_.c_str(), &partial, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno != ENOENT) {
      throw FileBadPathException();
    }
    flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  } else if (mode == SharedFileMode::CreateNew) {
    flags |= O_CREAT | O_EXCL;
  } else if (mode != SharedFileMode::OpenExisting) {
    flags |= O_CREAT;
  }
  int descriptor;
  do {
    descriptor = openat(parent_, name_.c_str(), flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    if (errno == ELOOP)
      throw FileUnsafePathException("\"" + path_ + "\" is a link; it is not followed");
    if (errno == EISDIR) throw FileUnsafePathException("\"" + path_ + "\" is a folder");
    ThrowLastFileError();
  }
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    throw FileUnsafePathException("\"" + path_ + "\" is not a regular file");
  }
  if (mode == SharedFileMode::InPlace && !Ours(status)) {
    close(descriptor);
    throw FileUnsafePathException(Quoted(path_) +
                                  " belongs to another user; it is not taken as "
                                  "it stands");
  }
  return descriptor;
}

void PosixSharedFile::CheckParent(const std::string& relativePath) {
  struct stat parent;
  struct stat destination;
  if (fstat(parent_, &parent) != 0 || fstat(folder_->descriptor(), &destination) != 0) {
    ThrowLastFileError();
  }
  // The destination itself is the caller's choice, whoever owns it.
  if (SameFile(parent, destination)) return;
  const std::string trimmed = TrimLeadingSlashes(relativePath);
  const std::string folder =
      Quoted(JoinPath(folder_->path(), trimmed.substr(0, trimmed.rfind('/'))));
  // Whoever else owns the folder, or anyone when anyone may write it without the sticky bit,
  // could replace what is verified in it.
  if (parent.st_uid != geteuid() && parent.st_uid != 0 && parent.st_uid != destination.st_uid) {
    throw FileUnsafePathException(folder + " belongs to user " + std::to_string(parent.st_uid) +
                                  ", who could replace what is written in it; nothing is written "
                                  "there");
  }
  if ((parent.st_mode & (S_IWOTH | S_ISVTX)) == S_IWOTH) {
    throw FileUnsafePathException(folder +
                                  " may be written by anyone, who could replace what is written "
                                  "in it; nothing is written there");
  }
}

void PosixSharedFile::RemovePartial(const struct stat& status) {
  if (S_ISDIR(status.st_mode)) throw FileUnsafePathException(Quoted(partialPath_) + " is a folder");
  if (unlinkat(parent_, partialName_.c_str(), 0) == 0 || errno == ENOENT) return;
  if (errno == EPERM || errno == EACCES) {
    throw FileUnsafePathException(
        Quoted(partialPath_) + " belongs to user " + std::to_string(status.st_uid) +
        " and this folder does not let it be replaced; it is not written into either");
  }
  ThrowLastFileError();
}

int PosixSharedFile::OpenPartial() {
  const char* partial = partialName_.c_str();
  for (int attempt = 0;; ++attempt) {
    struct stat status;
    // A link, a FIFO, a device, a file with another name elsewhere or another user's file is
    // never written through: it is removed (only it, never a folder) and a file of ours takes
    // its place.
    if (fstatat(parent_, partial, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        (!Ours(status) || status.st_nlink > 1)) {
      RemovePartial(status);
    }
    int descriptor;
    do {
      descriptor =
          openat(parent_, partial, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
      if (errno == ELOOP && attempt < 2) continue;
      ThrowLastFileError();
    }
    if (fstat(descriptor, &status) != 0 || !Ours(status) || status.st_nlink > 1) {
      close(descriptor);
      if (attempt < 2) continue;
      throw FileUnsafePathException(Quoted(partialPath_) +
                                    " keeps being replaced by something other than a file of ours");
    }
    // Two downloads whose destinations nest may both have this file in their packages: only one
    // writes it, or each would verify its own bytes and commit the other's.
    int locked;
    do {
      locked = flock(descriptor, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      const int error = errno;
      close(descriptor);
      if (error != EWOULDBLOCK) ThrowFileError(error);
      const std::string holder = DescribeLockHolder(status.st_dev, status.st_ino);
      throw FileUnsafePathException(Quoted(partialPath_) + " is being written by another download" +
                                    (holder.empty() ? std::string() : " (" + holder + ")") +
                                    "; this one does not write into it");
    }
    // Nothing unverified may run: an earlier run's partial file loses any execute bit it has.
    if ((status.st_mode & (S_ISUID | S_ISGID | S_ISVTX | kExecuteBits)) != 0 &&
        fchmod(descriptor, status.st_mode & 0666) != 0) {
      close(descriptor);
      ThrowLastFileError();
    }
    return descriptor;
  }
}

PosixSharedFile::~PosixSharedFile() {
  {
    std::lock_guard<std::mutex> lock(mapMutex_);
    map_.reset();
  }
  close(descriptor_);
  close(parent_);
}

std::uint64_t PosixSharedFile::Seed(std::uint64_t size) {
  if (GetSize() != 0) return 0;
  int source = -1;
  if (staged_) {
    do {
      source = openat(parent_, name_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    } while (source < 0 && errno == EINTR);
  }
  struct stat status;
  if (source >= 0 && (fstat(source, &status) != 0 || !S_ISREG(status.st_mode))) {
    close(source);
    source = -1;
  }
  if (source < 0) {
    Allocate(size);
    return 0;
  }
  const std::uint64_t length = std::min<std::uint64_t>(status.st_size, size);
  std::uint64_t copied = 0;
  try {
    // A file system with shared extents gives the whole file at no cost in time or space.
    if (length == size && size != 0 && ioctl(descriptor_, FICLONE, source) == 0) {
      copied = size;
    } else {
      Allocate(size);
      copied = CopyFrom(source, length);
    }
  } catch (...) {
    close(source);
    throw;
  }
  close(source);
  // Our own change: what was copied is verified chunk by chunk like any other bytes.
  watch_->Stamp(descriptor_);
  Seek(start_);
  return copied;
}

std::uint64_t PosixSharedFile::CopyFrom(int source, std::uint64_t length) {
  std::uint64_t copied = 0;
  bool kernelCopy = true;
  std::vector<char> buffer;
  while (copied < length) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(length - copied, 1 << 20));
    ssize_t done;
    if (kernelCopy) {
      loff_t in = static_cast<loff_t>(copied);
      loff_t out = static_cast<loff_t>(copied);
      done = copy_file_range(source, &in, descriptor_, &out, want, 0);
      if (done < 0 &&
          (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        kernelCopy = false;
        continue;
      }
    } else {
      buffer.resize(1 << 20);
      done = pread(source, buffer.data(), want, static_cast<off_t>(copied));
      if (done > 0) {
        const std::size_t read = static_cast<std::size_t>(done);
        std::size_t written = 0;
        while (written < read) {
          const ssize_t result = pwrite(descriptor_, buffer.data() + written, read - written,
                                        static_cast<off_t>(copied + written));
          if (result < 0 && errno == EINTR) continue;
          if (result <= 0) ThrowLastFileError();
          written += static_cast<std::size_t>(result);
        }
      }
    }
    if (done < 0) {
      if (errno == EINTR) continue;
      ThrowLastFileError();
    }
    // The existing file shrank while it was copied: the rest stays as allocated.
    if (done == 0) break;
    copied += static_cast<std::uint64_t>(done);
  }
  return copied;
}

bool PosixSharedFile::MayHaveChanged() { return watch_->Changed(descriptor_); }

void PosixSharedFile::TakeAsVerified() { watch_->Stamp(descriptor_); }

bool PosixSharedFile::Commit() { return Rename(true) == CommitOutcome::kReplaced; }

SharedFile::CommitOutcome PosixSharedFile::CommitOrDefer() { return Rename(false); }

DeferredFile PosixSharedFile::Deferred() { return DescribeDeferred(descriptor_); }

SharedFile::CommitOutcome PosixSharedFile::Rename(bool replace) {
  if (watch_->Changed(descriptor_)) {
    throw FileUnsafePathException(
        Quoted(staged_ ? partialPath_ : path_) +
        " was changed by another program after its bytes were verified; it is not taken as "
        "complete, and the next run checks it again");
  }
  // A file verified where it stands holds nothing of ours to flush; the destination's flush
  // before the download is called complete covers whatever an earlier run wrote into it.
  if (!staged_) return CommitOutcome::kCreated;
  const char* partial = partialName_.c_str();
  struct stat mine;
  struct stat there;
  if (fstat(descriptor_, &mine) != 0) ThrowLastFileError();
  if (fstatat(parent_, partial, &there, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(mine, there)) {
    throw FileUnsafePathException(Quoted(partialPath_) +
                                  " was replaced or removed during the download");
  }
  // A new name replaces nothing: its bytes reach the disk with the destination's one flush
  // before the download is called complete (ConfirmBeneath), and a crash before that leaves a
  // file that the next run checks chunk by chunk. Whatever is at the name already (the user's
  // file, an earlier version) is replaced only by bytes that are on disk.
  CommitOutcome outcome = CommitOutcome::kCreated;
  if (renameat2(parent_, partial, parent_, name_.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EEXIST && errno != EINVAL && errno != ENOSYS) ThrowLastFileError();
    if (!replace) {
      struct stat final;
      // Where the kernel has no RENAME_NOREPLACE, only a name that is really taken defers.
      if (errno == EEXIST || fstatat(parent_, name_.c_str(), &final, AT_SYMLINK_NOFOLLOW) == 0) {
        return CommitOutcome::kDeferred;
      }
    }
    if (fdatasync(descriptor_) != 0) ThrowLastFileError();
    // A link, a FIFO or a file at the final name is replaced by ours as one step; a folder is
    // not ours to remove.
    if (renameat(parent_, partial, parent_, name_.c_str()) != 0) {
      if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) {
        throw FileUnsafePathException("\"" + path_ +
                                      "\" is a folder where the package needs a file; it is left "
                                      "as it is");
      }
      if (errno == EPERM || errno == EACCES) {
        struct stat old;
        const std::string owner = fstatat(parent_, name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0
                                      ? "belongs to user " + std::to_string(old.st_uid) + " and "
                                      : std::string();
        throw FileUnsafePathException(Quoted(path_) + " " + owner +
                                      "this folder does not let it be replaced; it is left as it "
                                      "is");
      }
      ThrowLastFileError();
    }
    outcome = CommitOutcome::kReplaced;
  }
  staged_ = false;
  return outcome;
}

void PosixSharedFile::ApplyMode(std::optional<std::uint32_t> mode,
                                std::optional<std::int64_t> modified, bool runnable,
                                std::uint64_t names) {
  struct stat status;
  if (fstat(descriptor_, &status) != 0) ThrowLastFileError();
  // Without a mode the file keeps its bits, as files always did; the run file then only gains
  // execute permission, as it always did.
  mode_t bits = status.st_mode & 07777;
  if (mode) bits = static_cast<mode_t>(*mode) & kAppliedBits & ~umask_;
  if (runnable) bits = (bits & 0777) | ((bits & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2);
  const bool newMode = (status.st_mode & 07777) != bits;
  // A file checked where it stands usually has its time already.
  const bool newTime =
      modified && (status.st_mtim.tv_sec != *modified || status.st_mtim.tv_nsec != 0);
  if (!newMode && !newTime) return;
  // Changing the mode of a file with a name outside the destination would change that file.
  if (status.st_nlink > names) {
    throw FileUnsafePathException(Quoted(path_) + " has " + std::to_string(status.st_nlink) +
                                  " names (hard links), some of them not the package's; its mode "
                                  "and time are left as they are");
  }
  if (newMode && fchmod(descriptor_, bits) != 0) ThrowLastFileError();
  if (newTime) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(*modified), 0}};
    if (futimens(descriptor_, times) != 0) ThrowLastFileError();
  }
}

FileIdentity PosixSharedFile::Identity() {
  struct stat status;
  if (fstat(descriptor_, &status) != 0) ThrowLastFileError();
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::uint64_t PosixSharedFile::LinkCount() {
  struct stat status;
  if (fstat(descriptor_, &status) != 0) ThrowLastFileError();
  return static_cast<std::uint64_t>(status.st_nlink);
}

std::uint64_t PosixSharedFile::Tell() { return position_; }

void PosixSharedFile::Seek(std::uint64_t position) {
  CheckBounds(position, position);
  position_ = position;
}

std::size_t PosixSharedFile::Read(void* buffer, std::size_t length) {
  const std::size_t done = ReadAt(buffer, length, position_);
  position_ += done;
  return done;
}

std::size_t PosixSharedFile::ReadAt(void* buffer, std::size_t length, std::uint64_t position) {
  if (length == 0) return 0;
  const std::size_t count = std::min(length, kMaxRead);
  const std::uint64_t last = LastOf(position, count);
  CheckBounds(position, last);
  CheckSpan(position, last);
  auto* target = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t result =
        pread(descriptor_, target + done, count - done, static_cast<off_t>(position + done));
    if (result < 0) {
      if (errno == EINTR) continue;
      ThrowLastFileError();
    }
    if (result == 0) break;
    done += static_cast<std::size_t>(result);
  }
  return done;
}

std::size_t PosixSharedFile::Write(const void* data, std::size_t length) {
  if (length == 0) return 0;
  const std::uint64_t last = LastOf(position_, length);
  CheckBounds(position_, last);
  CheckSpan(position_, last);
  const auto* source = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  watch_->Around(descriptor_, [&] {
    while (done < length) {
      const ssize_t result =
          pwrite(descriptor_, source + done, length - done, static_cast<off_t>(position_ + done));
      if (result < 0) {
        if (errno == EINTR) continue;
        ThrowLastFileError();
      }
      if (result == 0) throw FileUnknownException();
      done += static_cast<std::size_t>(result);
    }
  });
  position_ += done;
  return done;
}

std::uint64_t PosixSharedFile::GetSize() {
  struct stat status;
  if (fstat(descriptor_, &status) != 0) ThrowLastFileError();
  return static_cast<std::uint64_t>(status.st_size);
}

bool PosixSharedFile::Allocate(std::uint64_t size) {
  if (GetSize() != 0) return false;
  if (size == 0) return true;
  CheckBounds(0, size - 1);
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    throw FileInsufficientSpaceException();
  }
  // Reserving the blocks now makes a full disk fail here, before any chunk is downloaded, rather
  // than part way through the file.
  int result;
  do {
    result = fallocate(descriptor_, 0, 0, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    if (error == EOPNOTSUPP || error == ENOSYS) {
      // A file system that cannot reserve blocks: size the file and let writes find the space.
      if (ftruncate(descriptor_, static_cast<off_t>(size)) != 0) ThrowLastFileError();
    } else {
      // Give back whatever was reserved before the refusal (the file was empty). The refusal is
      // what the caller needs to hear about, whether or not this succeeds.
      [[maybe_unused]] const int truncated = ftruncate(descriptor_, 0);
      ThrowFileError(error);
    }
  }
  watch_->Stamp(descriptor_);
  Seek(0);
  return true;
}

std::shared_ptr<MemoryMappedFileData> PosixSharedFile::MapAll() { return Map(start_, end_); }

std::shared_ptr<MemoryMappedFileData> PosixSharedFile::Map(std::uint64_t first,
                                                           std::uint64_t last) {
  CheckBounds(first, last);
  CheckSpan(first, last);
  if (last >= GetSize()) throw FileInvalidMapException();
  std::shared_ptr<PosixMemoryMap> map;
  {
    std::lock_guard<std::mutex> lock(mapMutex_);
    if (!map_) map_ = std::make_shared<PosixMemoryMap>(descriptor_, folder_, watch_);
    map = map_;
  }
  return map->CreateView(first, last);
}

PosixSharedFileFactory::PosixSharedFileFactory() : umask_(ReadProcessUmask()) {}

std::shared_ptr<SharedFile> PosixSharedFileFactory::Create(
    const std::shared_ptr<const Folder>& folder, const std::string& relativePath,
    SharedFileMode mode, std::uint64_t start, std::uint64_t end) {
  return std::make_shared<PosixSharedFile>(folder, relativePath, mode, start, end, umask_);
}

bool PosixSharedFileFactory::Delete(const Folder& folder, const std::string& relativePath) {
  int parent = -1;
  bool deleted = false;
  try {
    std::string name;
    parent = OpenParentBeneath(folder.descriptor(), relativePath, false, name);
    // unlinkat without AT_REMOVEDIR: a folder is never removed, a link is removed itself.
    deleted = unlinkat(parent, name.c_str(), 0) == 0;
  } catch (...) {
  }
  if (parent >= 0) close(parent);
  return deleted;
}

FileIdentity PosixSharedFileFactory::PlaceLink(const Folder& folder,
                                               const std::string& relativePath,
                                               const std::string& target) {
  return PlaceLinkBeneath(folder.descriptor(), relativePath, target);
}

FileIdentity PosixSharedFileFactory::PlaceHardLink(const Folder& folder,
                                                   const std::string& relativePath,
                                                   const std::string& existingPath) {
  return PlaceHardLinkBeneath(folder.descriptor(), relativePath, existingPath);
}

FileIdentity PosixSharedFileFactory::PlaceFolder(const Folder& folder,
                                                 const std::string& relativePath) {
  return PlaceFolderBeneath(folder.descriptor(), relativePath);
}

}  // namespace halv
