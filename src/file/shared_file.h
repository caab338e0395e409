#ifndef HALV_FILE_SHARED_FILE_H_
#define HALV_FILE_SHARED_FILE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "file/beneath.h"
#include "file/bounded_file_data.h"
#include "file/folder.h"

namespace halv {

// How SharedFileFactory::Create treats an existing or missing file. Any other value behaves as
// OpenOrCreate.
enum class SharedFileMode : std::uint8_t {
  OpenOrCreate = 0,  // open, create if missing
  CreateNew = 1,     // create, FileInUseException if it exists
  OpenExisting = 2,  // open, FileBadPathException if missing
  // Open or create the file under its partial name (PartialFileName) beside the final one,
  // which stays as it is until Commit. Anything at the partial name but a regular file of the
  // running user with one name is removed first. The open file is locked (flock) for as long as
  // it or a window of it is open: another download that opens it meanwhile, in this process or
  // another, fails with FileUnsafePathException naming the holder. A folder below `folder` that
  // holds it and belongs to another user than us, root or the owner of `folder`, or that anyone
  // may write without the sticky bit, is refused the same way, naming it.
  Staged = 3,
  // Open the regular file at the final name read-only, to check it where it stands; nothing is
  // created. FileBadPathException when it is missing, is not a regular file of the running user,
  // or something is at its partial name (an earlier run's file, to resume instead). Commit only
  // checks it; Seed, Allocate and windows are not for it.
  InPlace = 4,
};

// An open file restricted to its bounds: positioned reads and writes, pre-allocation, its mode
// and time once verified, and memory-mapped windows for concurrent chunk writers.
// Ownership: held by shared pointers; windows outlive it safely. Thread-safety: Map and MapAll
// from any thread at any time; Tell, Seek, Read, Write and the rest by one user at a time.
class SharedFile : public BoundedFileData {
 public:
  using BoundedFileData::BoundedFileData;

  virtual std::uint64_t GetSize() = 0;
  // Reads at most 1 MiB at `position`, which stays as it was; fewer bytes only at the end of
  // the file. For checking one file from several threads at once: any thread, concurrently
  // with other ReadAt calls.
  virtual std::size_t ReadAt(void* buffer, std::size_t length, std::uint64_t position) = 0;
  // Reserves `size` bytes on disk for a new, empty file and leaves the position at 0; a full
  // disk throws FileInsufficientSpaceException here rather than later while chunks are written.
  // Returns false, touching nothing, when the file is not empty; true for size 0.
  virtual bool Allocate(std::uint64_t size) = 0;
  // A window over the whole bounds: Map(start(), end()).
  virtual std::shared_ptr<MemoryMappedFileData> MapAll() = 0;
  // A window over bytes first..last, which must already exist in the file (allocate first):
  // FileInvalidMapException otherwise, FileOutOfBoundsException outside the bounds, std::bad_alloc
  // for 4 GiB or more.
  virtual std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t first, std::uint64_t last) = 0;
  // Sizes an empty staged file to `size`, taking its first bytes from the regular file at the
  // final name, if any (shared extents where the file system has them, a copy otherwise), and
  // reserving the rest as Allocate does. Returns how many bytes came from the final file, whose
  // chunks are then still to be verified; 0, touching nothing, when the file is not empty.
  virtual std::uint64_t Seed(std::uint64_t size) = 0;
  // Whether the file's bytes may have changed since this object last wrote them (or opened it,
  // or TakeAsVerified): its change time moved, so another program may have written into it.
  // Such a file is read and checked again before Commit, which refuses it otherwise.
  virtual bool MayHaveChanged() = 0;
  // Takes the bytes as they stand now as the ones verified; call it before reading them all
  // again, so that a write while they are read is still seen by Commit.
  virtual void TakeAsVerified() = 0;
  // Renames a staged file to its final name. When something is at that name already, the data
  // is put on disk first, so that what is replaced is replaced by bytes on disk; a new name
  // waits for the destination's one flush (ConfirmBeneath) instead. A file opened in place is
  // left as it is. Returns whether something was at the final name and is now replaced. Throws a
  // FileException when MayHaveChanged, when the partial name no longer holds this file, or when a
  // folder is at the final name or the folder does not let this user replace what is there,
  // naming it.
  virtual bool Commit() = 0;
  // What CommitOrDefer did.
  enum class CommitOutcome : std::uint8_t {
    kCreated,   // renamed to a free final name (or a file opened in place: left as it is)
    kReplaced,  // renamed over what was at the final name, after putting the data on disk
    kDeferred,  // something is at the final name: the file is left under its partial name
  };
  // Commit for a caller that replaces files later, all at once after one flush of the file
  // system (ReplaceBeneath), rather than flushing each one here: a file that would replace
  // something is left as it is and kDeferred returned. Other outcomes and errors as Commit. The
  // default commits at once.
  virtual CommitOutcome CommitOrDefer() {
    return Commit() ? CommitOutcome::kReplaced : CommitOutcome::kCreated;
  }
  // For a file that CommitOrDefer left under its partial name: what ReplaceBeneath checks before
  // renaming it into place. Throws FileException.
  virtual DeferredFile Deferred() = 0;
  // For a verified file in its place: the permission bits of `mode` that 0755 allows, less the
  // process's umask (never write for group or others, set-user-ID, set-group-ID or sticky,
  // whatever the document says), or the file's own bits when there is no mode; with `runnable`
  // also execute permission for whoever may read it (and no set-user-ID or set-group-ID bit); then
  // the modification time `modified` (seconds since 1970) when given. All on the open descriptor,
  // and only what differs: a file that already has its mode and time is not touched. A file with
  // more than `names` names (hard links) is never changed: FileUnsafePathException naming it,
  // for another name may lie outside the destination. Throws FileException.
  virtual void ApplyMode(std::optional<std::uint32_t> mode, std::optional<std::int64_t> modified,
                         bool runnable, std::uint64_t names) = 0;
  // Which file on disk this is; FileException when it cannot be told.
  virtual FileIdentity Identity() = 0;
  // How many names (hard links) the file has; FileException when it cannot be told.
  virtual std::uint64_t LinkCount() = 0;
};

// Opens every file the system reads or writes. Failures are FileException subclasses.
// Ownership: one stateless factory lives for the whole run. Thread-safety: any thread.
class SharedFileFactory {
 public:
  virtual ~SharedFileFactory() = default;

  // Opens `relativePath` (leading slashes stripped) beneath `folder`, restricted to bytes
  // start..end and positioned at start. Nothing below `folder` is followed if it is a link; a link
  // or a non-regular file at the path throws FileBadPathException (a staged file replaces it
  // instead). Every mode but OpenExisting creates missing parent directories. The file and its
  // windows hold `folder` while they live.
  virtual std::shared_ptr<SharedFile> Create(const std::shared_ptr<const Folder>& folder,
                                             const std::string& relativePath, SharedFileMode mode,
                                             std::uint64_t start, std::uint64_t end) = 0;
  // True if the file (or a link itself, never a folder) beneath `folder` was deleted; false on
  // any failure, without throwing.
  virtual bool Delete(const Folder& folder, const std::string& relativePath) = 0;
  // Makes `relativePath` beneath `folder` the symbolic link `target`, never following a link on
  // the way (missing folders are created): a link already there with another target is
  // replaced in one step, one with this target kept; a file, folder or anything else there is
  // left as it is and throws FileUnsafePathException naming it. Returns which entry on disk the
  // link is.
  virtual FileIdentity PlaceLink(const Folder& folder, const std::string& relativePath,
                                 const std::string& target) = 0;
  // Makes `relativePath` beneath `folder` a second name (hard link) of the regular file at
  // `existingPath` beneath it, neither followed: the same file there is kept, another regular
  // file replaced in one step; a folder, link or anything else there is left as it is and throws
  // FileUnsafePathException naming it. Returns which file on disk it is.
  virtual FileIdentity PlaceHardLink(const Folder& folder, const std::string& relativePath,
                                     const std::string& existingPath) = 0;
  // Makes `relativePath` beneath `folder` a folder (missing folders on the way too), never
  // following a link: a folder there is kept; anything else there is left as it is and throws
  // FileUnsafePathException naming it. Returns which folder on disk it is.
  virtual FileIdentity PlaceFolder(const Folder& folder, const std::string& relativePath) = 0;
};

}  // namespace halv

#endif  // HALV_FILE_SHARED_FILE_H_
