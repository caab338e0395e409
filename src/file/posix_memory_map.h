#ifndef HALV_FILE_POSIX_MEMORY_MAP_H_
#define HALV_FILE_POSIX_MEMORY_MAP_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "file/bounded_file_data.h"
#include "file/change_watch.h"

namespace halv {

// A window of a file mapped shared and writable. The mapping starts at the page boundary at or
// before the window's first byte; the `delta` bytes in front belong to the neighbouring window
// and are never touched. The window keeps its own descriptor of the file but no reference to
// the PosixSharedFile or its PosixMemoryMap, and stays valid after both are gone; it holds what
// its map was given to keep alive (the folder the file was opened beneath, whose lock must not
// be let go while a window may still write).
//
// Write puts the bytes into the file with pwrite(2) rather than copying them into the mapping:
// both land in the same page-cache pages, so the mapping sees them at once, but a copy into a
// mapping costs a page fault and a file-system callback per page of a new file, several times the
// CPU of the write path even when the pages are populated in advance (see bench/file_bench.cc).
// Each write goes through the file's ChangeWatch, when it has one, so that a change by another
// program between our writes is seen. Reads, Fetch and ProcessWindow go through the mapping under
// the fault guard: a page that cannot be accessed throws FileInvalidMapException. A failed Read or
// Write leaves the position where it was (bytes already written stay written). Ownership: held by
// shared pointers. Thread-safety: one thread at a time per window.
class PosixMemoryMapView : public MemoryMappedFileData {
 public:
  // Maps bytes first..last of the open file `descriptor`, which may be closed afterwards, and
  // holds `keepAlive` until the window is gone; writes go through `watch` when given. Failures
  // throw FileException subclasses and leave nothing open or mapped.
  PosixMemoryMapView(int descriptor, std::uint64_t first, std::uint64_t last,
                     std::shared_ptr<const void> keepAlive = nullptr,
                     std::shared_ptr<ChangeWatch> watch = nullptr);
  ~PosixMemoryMapView() override;

  std::uint64_t Tell() override;
  void Seek(std::uint64_t position) override;
  std::size_t Read(void* buffer, std::size_t length) override;
  std::size_t Write(const void* data, std::size_t length) override;
  unsigned char* Advance(std::size_t count) override;
  unsigned char* Data() override;
  void ProcessWindow(const WindowFunction& function) override;
  void Fetch() override;
  void PrefaultForWrite() override;
  void StartWriteBack() override;
  void FlushData() override;

  // The offset of start() inside the mapping, which begins at file offset start() - delta().
  std::uint32_t delta() const { return delta_; }

 private:
  std::uint32_t Length() const { return static_cast<std::uint32_t>(end_ - start_ + 1); }
  // madvise(`advice`) over the window's pages; false when the kernel does not know the advice.
  bool Populate(int advice);
  // FileInvalidMapException unless the file still holds the byte at `last`.
  void CheckFileHolds(std::uint64_t last) const;

  std::shared_ptr<const void> keepAlive_;
  const std::shared_ptr<ChangeWatch> watch_;
  int descriptor_ = -1;
  unsigned char* base_ = nullptr;
  std::size_t mappedLength_ = 0;
  std::uint32_t delta_ = 0;
  std::uint32_t position_ = 0;
};

// The mapping side of one open file: makes its windows. On this system there is no separate
// mapping object; it keeps its own descriptor of the file, closed when the last holder drops it.
// Ownership: held by the PosixSharedFile through a shared pointer. Thread-safety: CreateView
// from any thread.
class PosixMemoryMap {
 public:
  // Duplicates `descriptor`; every window holds `keepAlive` and writes through `watch`.
  // Failures throw FileException subclasses.
  explicit PosixMemoryMap(int descriptor, std::shared_ptr<const void> keepAlive = nullptr,
                          std::shared_ptr<ChangeWatch> watch = nullptr);
  ~PosixMemoryMap();
  PosixMemoryMap(const PosixMemoryMap&) = delete;
  PosixMemoryMap& operator=(const PosixMemoryMap&) = delete;

  // A new window over bytes first..last, which the caller has checked lie inside the file.
  std::shared_ptr<PosixMemoryMapView> CreateView(std::uint64_t first, std::uint64_t last) const;

 private:
  const int descriptor_;
  const std::shared_ptr<const void> keepAlive_;
  const std::shared_ptr<ChangeWatch> watch_;
};

}  // namespace halv

#endif  // HALV_FILE_POSIX_MEMORY_MAP_H_
