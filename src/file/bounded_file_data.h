#ifndef HALV_FILE_BOUNDED_FILE_DATA_H_
#define HALV_FILE_BOUNDED_FILE_DATA_H_

#include <cstddef>
#include <cstdint>
#include <functional>

namespace halv {

// Throws std::bad_alloc when the range first..last (inclusive) holds 4 GiB or more: no single
// read, write or window may be that large.
void CheckSpan(std::uint64_t first, std::uint64_t last);

// A byte range of a file, start..end inclusive in absolute file offsets, with a current position
// and reads and writes that never leave the range. The common base of open files and of
// memory-mapped windows.
// Ownership: held by shared pointers. Thread-safety: one user at a time per object.
class BoundedFileData {
 public:
  BoundedFileData(std::uint64_t start, std::uint64_t end);
  virtual ~BoundedFileData();
  BoundedFileData(const BoundedFileData&) = delete;
  BoundedFileData& operator=(const BoundedFileData&) = delete;

  // The absolute file position of the next read or write.
  virtual std::uint64_t Tell() = 0;
  // Moves to an absolute position inside the bounds; FileOutOfBoundsException otherwise.
  virtual void Seek(std::uint64_t position) = 0;
  // Reads at most 1 MiB from an open file, 4096 bytes from a window, at the position and advances
  // past them; returns the count read.
  virtual std::size_t Read(void* buffer, std::size_t length) = 0;
  // Writes all `length` bytes at the position and advances past them. The whole range is checked
  // against the bounds before any byte moves.
  virtual std::size_t Write(const void* data, std::size_t length) = 0;

  // FileOutOfBoundsException unless start <= first <= last <= end.
  void CheckBounds(std::uint64_t first, std::uint64_t last) const;

  std::uint64_t start() const { return start_; }
  std::uint64_t end() const { return end_; }

 protected:
  // The last byte of `length` bytes from `first` (length > 0); FileOutOfBoundsException when
  // the range would run past the largest file offset.
  static std::uint64_t LastOf(std::uint64_t first, std::size_t length);

  const std::uint64_t start_;
  const std::uint64_t end_;
};

// A window of a file mapped into memory, written and verified in place.
// Ownership: held by shared pointers; a window keeps its memory mapped until it dies, whether or
// not its file is still open. Thread-safety: one user at a time per window; different windows
// of one file may be used by different threads at once, with no lock, as long as they do not
// overlap.
class MemoryMappedFileData : public BoundedFileData {
 public:
  // Receives the window's first byte and its whole length. It runs inside a fault guard that
  // may abandon it half way, without unwinding, when a mapped page cannot be accessed: it must
  // not own anything that needs cleaning up (locks, allocations) while it touches the window.
  using WindowFunction = std::function<void(const unsigned char* data, std::uint32_t length)>;

  using BoundedFileData::BoundedFileData;

  // The next `count` bytes of the window (null for 0), moving the position past them.
  // Accesses through the pointer are not guarded.
  virtual unsigned char* Advance(std::size_t count) = 0;
  // The window's first byte, the one at start().
  virtual unsigned char* Data() = 0;
  // Calls `function` once with Data() and the window's length. A fault while it runs, or an
  // exception escaping from it, throws FileInvalidMapException.
  virtual void ProcessWindow(const WindowFunction& function) = 0;
  // Brings every page of the window into memory so that later reads do not wait for the disk.
  // FileInvalidMapException when a page cannot be read.
  virtual void Fetch() = 0;
  // Makes every page of the window present and writable so that copies through Advance take no
  // page fault per page. Content is unchanged. Write does not need it. FileInvalidMapException
  // when a page cannot be provided (the file shrank, the disk is full).
  virtual void PrefaultForWrite() = 0;
  // Asks the kernel to start writing the window's changed pages to disk and returns without
  // waiting for them, so that the flush when the file is complete finds little left to write.
  // A failure here is left for that flush to report.
  virtual void StartWriteBack() = 0;
  // Waits until every changed page of the window's file (not only of the window) is on disk, as
  // fdatasync does. Throws FileException when it cannot be: the kernel reports a failed write-back
  // once, so the caller must fail the file, not count on a later flush to say it.
  virtual void FlushData() = 0;
};

}  // namespace halv

#endif  // HALV_FILE_BOUNDED_FILE_DATA_H_
