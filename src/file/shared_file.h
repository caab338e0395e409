#ifndef HALV_FILE_SHARED_FILE_H_
#define HALV_FILE_SHARED_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "file/bounded_file_data.h"

namespace halv {

// How SharedFileFactory::Create treats an existing or missing file. Any other value behaves as
// OpenOrCreate.
enum class SharedFileMode : std::uint8_t {
  OpenOrCreate = 0,  // open, create if missing
  CreateNew = 1,     // create, FileInUseException if it exists
  OpenExisting = 2,  // open, FileBadPathException if missing
};

// An open file restricted to its bounds: positioned reads and writes, pre-allocation, execute
// permission, and memory-mapped windows for concurrent chunk writers.
// Ownership: held by shared pointers; windows outlive it safely. Thread-safety: Map and MapAll
// from any thread at any time; Tell, Seek, Read, Write and the rest by one user at a time.
class SharedFile : public BoundedFileData {
 public:
  using BoundedFileData::BoundedFileData;

  virtual std::uint64_t GetSize() = 0;
  // Reserves `size` bytes on disk for a new, empty file and leaves the position at 0; a full
  // disk throws FileInsufficientSpaceException here rather than later while chunks are written.
  // Returns false, touching nothing, when the file is not empty; true for size 0.
  virtual bool Allocate(std::uint64_t size) = 0;
  // Undoes DenyExecute, also from another SharedFile of the same path or a later run. True when
  // there was nothing to undo; false on failure.
  virtual bool AllowExecute() = 0;
  // Makes the file unrunnable until AllowExecute; false on failure.
  virtual bool DenyExecute() = 0;
  // A window over the whole bounds: Map(start(), end()).
  virtual std::shared_ptr<MemoryMappedFileData> MapAll() = 0;
  // A window over bytes first..last, which must already exist in the file (allocate first):
  // FileInvalidMapException otherwise, FileOutOfBoundsException outside the bounds, std::bad_alloc
  // for 4 GiB or more.
  virtual std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t first, std::uint64_t last) = 0;
};

// Opens every file the system reads or writes. Failures are FileException subclasses.
// Ownership: one stateless factory lives for the whole run. Thread-safety: any thread.
class SharedFileFactory {
 public:
  virtual ~SharedFileFactory() = default;

  // Opens `relativePath` (leading slashes stripped) inside `folder`, which must exist
  // (FileBadPathException otherwise), restricted to bytes start..end and positioned at start.
  // OpenOrCreate and CreateNew create missing parent directories.
  virtual std::shared_ptr<SharedFile> Create(const std::string& folder,
                                             const std::string& relativePath, SharedFileMode mode,
                                             std::uint64_t start, std::uint64_t end) = 0;
  // True if the file was deleted; false on any failure, without throwing.
  virtual bool Delete(const std::string& folder, const std::string& relativePath) = 0;
  // Whether the extension of `relativePath` marks a program; `folder` is not used.
  virtual bool IsExecutable(const std::string& folder, const std::string& relativePath) = 0;
};

}  // namespace halv

#endif  // HALV_FILE_SHARED_FILE_H_
