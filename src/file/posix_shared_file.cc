#include "file/posix_shared_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <boost/filesystem.hpp>

#include "file/file_exception.h"
#include "file/paths.h"
#include "file/posix_memory_map.h"

namespace halv {
namespace {

namespace fs = boost::filesystem;

constexpr std::size_t kMaxRead = 4096;
constexpr mode_t kExecuteBits = S_IXUSR | S_IXGRP | S_IXOTH;
// Which execute bits DenyExecute took, as octal text.
constexpr char kDeniedExecuteAttribute[] = "user.halv.denied-execute";

void CreateParentDirectories(const std::string& path) {
  try {
    fs::create_directories(fs::path(path).parent_path());
  } catch (const fs::filesystem_error& error) {
    const int code = error.code().value();
    if (code == EPERM || code == EACCES || code == EROFS) throw FileInaccessibleException();
    if (code == ENOSPC || code == EDQUOT) throw FileInsufficientSpaceException();
    throw FileBadPathException();
  } catch (...) {
    throw FileInsufficientSpaceException();
  }
}

// What an earlier DenyExecute recorded on the file.
struct DeniedRecord {
  bool readable;   // false when the attribute could not be read for another reason
  bool supported;  // false on a file system without user extended attributes
  mode_t bits;     // the execute bits taken; 0 when there is no record
};

DeniedRecord ReadDeniedRecord(int descriptor) {
  char text[16] = {};
  const ssize_t length = fgetxattr(descriptor, kDeniedExecuteAttribute, text, sizeof text - 1);
  if (length < 0) {
    if (errno == ENODATA) return {true, true, 0};
    if (errno == ENOTSUP) return {true, false, 0};
    return {false, true, 0};
  }
  text[length] = '\0';
  return {true, true, static_cast<mode_t>(std::strtoul(text, nullptr, 8) & kExecuteBits)};
}

}  // namespace

bool HasExecutableExtension(const std::string& relativePath) {
  const std::size_t slash = relativePath.find_last_of('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = relativePath.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) return false;
  const std::string extension = relativePath.substr(dot);
  for (const char* executable :
       {".exe", ".bat", ".com", ".cmd", ".msi", ".vbs", ".sh", ".run", ".AppImage", ".x86_64"}) {
    if (extension == executable) return true;
  }
  return false;
}

PosixSharedFile::PosixSharedFile(const std::string& folder, const std::string& relativePath,
                                 SharedFileMode mode, std::uint64_t start, std::uint64_t end)
    : SharedFile(start, end) {
  CheckBounds(start, end);
  std::string canonicalFolder;
  try {
    canonicalFolder = fs::canonical(fs::path(folder)).string();
    path_ = JoinPath(canonicalFolder, relativePath);
  } catch (...) {
    throw FileBadPathException();
  }

  int flags = O_RDWR | O_CLOEXEC;
  if (mode == SharedFileMode::CreateNew) {
    flags |= O_CREAT | O_EXCL;
  } else if (mode != SharedFileMode::OpenExisting) {
    flags |= O_CREAT;
  }
  if (flags & O_CREAT) CreateParentDirectories(path_);
  const mode_t permissions = HasExecutableExtension(relativePath) ? 0777 : 0666;
  do {
    descriptor_ = open(path_.c_str(), flags, permissions);
  } while (descriptor_ < 0 && errno == EINTR);
  if (descriptor_ < 0) ThrowLastFileError();
  position_ = start;
}

PosixSharedFile::~PosixSharedFile() {
  {
    std::lock_guard<std::mutex> lock(mapMutex_);
    map_.reset();
  }
  close(descriptor_);
}

std::uint64_t PosixSharedFile::Tell() { return position_; }

void PosixSharedFile::Seek(std::uint64_t position) {
  CheckBounds(position, position);
  position_ = position;
}

std::size_t PosixSharedFile::Read(void* buffer, std::size_t length) {
  if (length == 0) return 0;
  const std::size_t count = std::min(length, kMaxRead);
  const std::uint64_t last = LastOf(position_, count);
  CheckBounds(position_, last);
  CheckSpan(position_, last);
  auto* target = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t result =
        pread(descriptor_, target + done, count - done, static_cast<off_t>(position_ + done));
    if (result < 0) {
      if (errno == EINTR) continue;
      ThrowLastFileError();
    }
    if (result == 0) break;
    done += static_cast<std::size_t>(result);
  }
  position_ += done;
  return done;
}

std::size_t PosixSharedFile::Write(const void* data, std::size_t length) {
  if (length == 0) return 0;
  const std::uint64_t last = LastOf(position_, length);
  CheckBounds(position_, last);
  CheckSpan(position_, last);
  const auto* source = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
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
  Seek(0);
  return true;
}

bool PosixSharedFile::AllowExecute() {
  const DeniedRecord record = ReadDeniedRecord(descriptor_);
  if (!record.readable) return false;
  struct stat status;
  if (fstat(descriptor_, &status) != 0) return false;
  const mode_t mode = status.st_mode & 07777;
  if (!record.supported) {
    // No record can exist here. A program without any execute bit was denied (it was created
    // runnable): let run whoever may read it.
    if ((mode & kExecuteBits) != 0) return true;
    return fchmod(descriptor_, mode | ((mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2)) == 0;
  }
  if (record.bits == 0) return true;
  if (fchmod(descriptor_, mode | record.bits) != 0) return false;
  return fremovexattr(descriptor_, kDeniedExecuteAttribute) == 0 || errno == ENODATA;
}

bool PosixSharedFile::DenyExecute() {
  struct stat status;
  if (fstat(descriptor_, &status) != 0) return false;
  const mode_t mode = status.st_mode & 07777;
  const mode_t taken = mode & kExecuteBits;
  if (taken == 0) return true;
  const DeniedRecord earlier = ReadDeniedRecord(descriptor_);
  if (!earlier.readable) return false;
  if (earlier.supported) {
    char text[16];
    const int length =
        std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(taken | earlier.bits));
    if (fsetxattr(descriptor_, kDeniedExecuteAttribute, text, static_cast<std::size_t>(length),
                  0) != 0 &&
        errno != ENOTSUP) {
      return false;
    }
  }
  return fchmod(descriptor_, mode & ~kExecuteBits) == 0;
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
    if (!map_) map_ = std::make_shared<PosixMemoryMap>(descriptor_);
    map = map_;
  }
  return map->CreateView(first, last);
}

std::shared_ptr<SharedFile> PosixSharedFileFactory::Create(const std::string& folder,
                                                           const std::string& relativePath,
                                                           SharedFileMode mode, std::uint64_t start,
                                                           std::uint64_t end) {
  return std::make_shared<PosixSharedFile>(folder, relativePath, mode, start, end);
}

bool PosixSharedFileFactory::Delete(const std::string& folder, const std::string& relativePath) {
  std::string path;
  try {
    path = JoinPath(folder, relativePath);
  } catch (...) {
    return false;
  }
  return unlink(path.c_str()) == 0;
}

bool PosixSharedFileFactory::IsExecutable(const std::string& /*folder*/,
                                          const std::string& relativePath) {
  return HasExecutableExtension(relativePath);
}

}  // namespace halv
