#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "publish_internal.h"

// Locking the output folder, checking its folders, and removing what a killed run left behind.
namespace halv::publish::detail {
namespace {

constexpr char kLockName[] = ".halvane-publish.lock";

bool IsTemporary(const std::string& name) {
  return !name.empty() && name.front() == '.' && name.find(kTemporaryMark) != std::string::npos;
}

// ".VERSION.blocks", the block file of a version (see BlockFilePath).
bool IsBlockFile(const std::string& name) {
  constexpr std::string_view kSuffix = ".blocks";
  return name.size() > kSuffix.size() + 1 && name.front() == '.' &&
         name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

}  // namespace

std::optional<fs::path> OutputTree::Folder(const fs::path& relative, bool create) const {
  fs::path path = output_;
  for (const fs::path& level : relative) {
    path /= level;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
      if (errno != ENOENT) FailErrno("cannot read", path);
      if (!create) return std::nullopt;
      if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) FailErrno("cannot create", path);
      continue;
    }
    if (S_ISLNK(info.st_mode)) {
      std::error_code error;
      const fs::path target = fs::canonical(path, error);
      if (error) Fail("refusing " + Quote(path.string()) + ": the link leads nowhere");
      if (!IsInside(target, output_) || IsInside(target, input_) || IsInside(input_, target)) {
        Fail("refusing " + Quote(path.string()) + ": it links to " + Quote(target.string()) +
             ", which is outside the output folder or holds input files");
      }
      if (!fs::is_directory(target)) Fail(Quote(path.string()) + " is not a folder");
    } else if (!S_ISDIR(info.st_mode)) {
      Fail(Quote(path.string()) + " is not a folder");
    }
  }
  return path;
}

OutputLock::OutputLock(const fs::path& output, const std::function<void()>& onWait) {
  const fs::path path = output / kLockName;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd_ < 0) FailErrno("cannot open the lock file", path);
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
  if (errno != EWOULDBLOCK) Fail(LockError(path));
  if (onWait) onWait();
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) Fail(LockError(path));
  }
}

std::string OutputLock::LockError(const fs::path& path) {
  const std::string message = "cannot lock " + Quote(path.string()) + ": " + std::strerror(errno);
  ::close(fd_);
  return message;
}

// Removes the signatures in `folder` whose document is missing: a killed run wrote a new
// document's signature but not the document.
void RemoveOrphanSignatures(const fs::path& folder) {
  std::error_code error;
  std::vector<fs::path> remove;
  const std::string suffix = std::string(".xml") + kSignatureSuffix;
  for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    struct stat info;
    const fs::path document = folder / name.substr(0, name.size() - std::strlen(kSignatureSuffix));
    if (::lstat(document.c_str(), &info) != 0 && errno == ENOENT &&
        ::lstat(it->path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      remove.push_back(it->path());
    }
  }
  if (error) Fail("cannot read " + Quote(folder.string()) + ": " + error.message());
  for (const auto& path : remove) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) FailErrno("cannot remove", path);
  }
}

// Removes the temporary entries that a killed run left in `folder` and, when `documents` is
// set, the version folders and block files in it that have no document in `documents` (a
// killed run moved them into place but did not get to write their document).
void RemoveLeftovers(const fs::path& folder, const std::optional<fs::path>& documents) {
  std::error_code error;
  std::vector<fs::path> remove;
  for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (IsTemporary(name)) {
      remove.push_back(it->path());
    } else if (documents && IsBlockFile(name) &&
               !fs::exists(*documents / (name.substr(1, name.size() - 8) + ".xml"))) {
      remove.push_back(it->path());
    } else if (documents && name.front() != '.' && it->is_directory(error) && !error &&
               !it->is_symlink(error) && !fs::exists(*documents / (name + ".xml"))) {
      remove.push_back(it->path());
    }
  }
  if (error) Fail("cannot read " + Quote(folder.string()) + ": " + error.message());
  for (const auto& path : remove) {
    fs::remove_all(path, error);
    if (error) Fail("cannot remove " + Quote(path.string()) + ": " + error.message());
  }
}

}  // namespace halv::publish::detail
