#ifndef HALV_FILE_POSIX_SHARED_FILE_H_
#define HALV_FILE_POSIX_SHARED_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "file/change_watch.h"
#include "file/shared_file.h"

namespace halv {

class PosixMemoryMap;

// The process's umask, read from /proc without changing it (umask(2) would, for a moment, for
// every thread); 022 where the kernel does not tell.
mode_t ReadProcessUmask();

// A file opened with openat(2) below its folder, never through a link, and only if it is a
// regular file. The position is kept here and every read and write is positioned
// (pread, pwrite), so the descriptor's own offset is never used. Files are created without any
// execute bit (0666 less the umask), and a partial file loses any it has, so that nothing runs
// before it is verified; ApplyMode then gives a verified file its mode.
// Ownership: held by shared pointers; its windows outlive it. Thread-safety: Map and MapAll from
// any thread; everything else by one user at a time.
class PosixSharedFile : public SharedFile {
 public:
  // Failures throw FileException subclasses and leave nothing open. `umask` is what ApplyMode
  // takes away from a document's mode.
  PosixSharedFile(std::shared_ptr<const Folder> folder, const std::string& relativePath,
                  SharedFileMode mode, std::uint64_t start, std::uint64_t end,
                  mode_t umask = ReadProcessUmask());
  ~PosixSharedFile() override;

  std::uint64_t Tell() override;
  void Seek(std::uint64_t position) override;
  std::size_t Read(void* buffer, std::size_t length) override;
  std::size_t Write(const void* data, std::size_t length) override;
  std::uint64_t GetSize() override;
  std::size_t ReadAt(void* buffer, std::size_t length, std::uint64_t position) override;
  bool Allocate(std::uint64_t size) override;
  std::shared_ptr<MemoryMappedFileData> MapAll() override;
  std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t first, std::uint64_t last) override;
  std::uint64_t Seed(std::uint64_t size) override;
  bool MayHaveChanged() override;
  void TakeAsVerified() override;
  bool Commit() override;
  CommitOutcome CommitOrDefer() override;
  DeferredFile Deferred() override;
  void ApplyMode(std::optional<std::uint32_t> mode, std::optional<std::int64_t> modified,
                 bool runnable, std::uint64_t names) override;
  FileIdentity Identity() override;
  std::uint64_t LinkCount() override;

  // The final path, also for a staged file.
  const std::string& path() const { return path_; }

 private:
  // Commit's rename; with `replace` false, a taken final name defers instead (CommitOrDefer).
  CommitOutcome Rename(bool replace);
  int OpenFinal(SharedFileMode mode);
  int OpenPartial();
  // Refuses, naming it, a folder below the destination that holds the file and that another
  // user than us, root or the destination's owner owns, or that anyone may write without the
  // sticky bit.
  void CheckParent(const std::string& relativePath);
  // Removes what is at the partial name (described by `status`) to make room for a file of ours;
  // throws naming it when the folder does not let this user remove it.
  void RemovePartial(const struct stat& status);
  // Copies the first `length` bytes of `source` to the same offsets here; returns how many it
  // found.
  std::uint64_t CopyFrom(int source, std::uint64_t length);

  // Constant after construction.
  // Held so that the folder (and a destination's lock on it) outlives every file below it.
  std::shared_ptr<const Folder> folder_;
  std::string path_;
  int descriptor_ = -1;
  // The folder that holds the file, and the file's name in it: every later name operation is
  // relative to this descriptor.
  int parent_ = -1;
  std::string name_;
  // The partial name in the folder, and the partial file's path for messages.
  std::string partialName_;
  std::string partialPath_;
  const mode_t umask_;
  // Sees writes into the file by anyone but this object and its windows.
  const std::shared_ptr<ChangeWatch> watch_ = std::make_shared<ChangeWatch>();

  // Used by one user at a time.
  bool staged_ = false;  // open under the partial name, not yet renamed over the final one

  std::uint64_t position_ = 0;

  std::mutex mapMutex_;
  // Made by the first Map and shared by every window made after it. Guarded by mapMutex_.
  std::shared_ptr<PosixMemoryMap> map_;
};

// Opens PosixSharedFiles with the umask the process had when the factory was made (the product
// never changes it; reading it for every file of a package of thousands cost a tenth of placing
// a small one). Any thread.
class PosixSharedFileFactory : public SharedFileFactory {
 public:
  PosixSharedFileFactory();

  std::shared_ptr<SharedFile> Create(const std::shared_ptr<const Folder>& folder,
                                     const std::string& relativePath, SharedFileMode mode,
                                     std::uint64_t start, std::uint64_t end) override;
  bool Delete(const Folder& folder, const std::string& relativePath) override;
  FileIdentity PlaceLink(const Folder& folder, const std::string& relativePath,
                         const std::string& target) override;
  FileIdentity PlaceHardLink(const Folder& folder, const std::string& relativePath,
                             const std::string& existingPath) override;
  FileIdentity PlaceFolder(const Folder& folder, const std::string& relativePath) override;

 private:
  const mode_t umask_;
};

}  // namespace halv

#endif  // HALV_FILE_POSIX_SHARED_FILE_H_
