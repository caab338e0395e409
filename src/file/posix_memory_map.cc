#include "file/posix_memory_map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "file/fault_guard.h"
#include "file/file_exception.h"

// Linux 5.14; older C libraries do not name them yet.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace halv {
namespace {

constexpr std::size_t kMaxRead = 4096;

std::uint64_t PageSize() {
  static const std::uint64_t size = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Set once a kernel has refused the advice, so that later windows go straight to the fallback.
std::atomic<bool> gPopulateReadUnknown{false};
std::atomic<bool> gPopulateWriteUnknown{false};

int DuplicateDescriptor(int descriptor) {
  const int duplicate = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) ThrowLastFileError();
  return duplicate;
}

}  // namespace

PosixMemoryMapView::PosixMemoryMapView(int descriptor, std::uint64_t first, std::uint64_t last,
                                       std::shared_ptr<const void> keepAlive,
                                       std::shared_ptr<ChangeWatch> watch)
    : MemoryMappedFileData(first, last),
      keepAlive_(std::move(keepAlive)),
      watch_(std::move(watch)) {
  CheckBounds(first, last);
  CheckSpan(first, last);
  delta_ = static_cast<std::uint32_t>(first % PageSize());
  const std::uint64_t aligned = first - delta_;
  CheckSpan(aligned, last);
  mappedLength_ = static_cast<std::size_t>(last - aligned + 1);
  descriptor_ = DuplicateDescriptor(descriptor);
  void* address = mmap(nullptr, mappedLength_, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor_,
                       static_cast<off_t>(aligned));
  if (address == MAP_FAILED) {
    const int error = errno;
    close(descriptor_);
    // Memory and permission failures keep their meaning; anything else means this file or
    // offset cannot be mapped.
    if (error == ENOMEM || error == EACCES || error == EPERM) ThrowFileError(error);
    throw FileInvalidMapException();
  }
  base_ = static_cast<unsigned char*>(address);
}

PosixMemoryMapView::~PosixMemoryMapView() {
  munmap(base_, mappedLength_);
  close(descriptor_);
}

std::uint64_t PosixMemoryMapView::Tell() { return start_ + position_; }

void PosixMemoryMapView::Seek(std::uint64_t position) {
  CheckBounds(position, position);
  position_ = static_cast<std::uint32_t>(position - start_);
}

unsigned char* PosixMemoryMapView::Advance(std::size_t count) {
  if (count == 0) return nullptr;
  const std::uint64_t first = Tell();
  const std::uint64_t last = LastOf(first, count);
  CheckBounds(first, last);
  CheckSpan(first, last);
  unsigned char* result = Data() + position_;
  position_ += static_cast<std::uint32_t>(count);
  return result;
}

unsigned char* PosixMemoryMapView::Data() { return base_ + delta_; }

std::size_t PosixMemoryMapView::Read(void* buffer, std::size_t length) {
  const std::size_t count = std::min(length, kMaxRead);
  if (count == 0) return 0;
  const std::uint64_t first = Tell();
  const std::uint64_t last = LastOf(first, count);
  CheckBounds(first, last);
  CheckSpan(first, last);
  const unsigned char* source = Data() + position_;
  auto copy = [&] { std::memcpy(buffer, source, count); };
  RunGuardedOrThrow(base_, mappedLength_, copy);
  position_ += static_cast<std::uint32_t>(count);
  return count;
}

std::size_t PosixMemoryMapView::Write(const void* data, std::size_t length) {
  if (length == 0) return 0;
  const std::uint64_t first = Tell();
  const std::uint64_t last = LastOf(first, length);
  CheckBounds(first, last);
  CheckSpan(first, last);
  const auto write = [&] {
    // A write past the end of a file that shrank underneath would quietly grow it again; a
    // mapped copy would have faulted, and so must this.
    CheckFileHolds(last);
    const auto* source = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < length) {
      const ssize_t result =
          pwrite(descriptor_, source + done, length - done, static_cast<off_t>(first + done));
      if (result < 0) {
        if (errno == EINTR) continue;
        ThrowLastFileError();
      }
      if (result == 0) throw FileUnknownException();
      done += static_cast<std::size_t>(result);
    }
  };
  if (watch_) {
    watch_->Around(descriptor_, write);
  } else {
    write();
  }
  position_ += static_cast<std::uint32_t>(length);
  return length;
}

void PosixMemoryMapView::ProcessWindow(const WindowFunction& function) {
  const unsigned char* data = Data();
  const std::uint32_t length = Length();
  auto call = [&] { function(data, length); };
  RunGuardedOrThrow(base_, mappedLength_, call);
}

void PosixMemoryMapView::Fetch() {
  if (Populate(MADV_POPULATE_READ)) return;
  // One read per page. The first page is read at the window's own first byte, the others at
  // their page starts, which lie inside the window: the bytes in front of it belong to a
  // neighbour that another thread may be writing.
  const volatile unsigned char* const window = Data();
  const std::size_t page = static_cast<std::size_t>(PageSize());
  const std::size_t length = Length();
  auto touch = [&] {
    unsigned char sink = window[0];
    for (std::size_t offset = page - delta_; offset < length; offset += page)
      sink ^= window[offset];
    (void)sink;
  };
  RunGuardedOrThrow(base_, mappedLength_, touch);
}

void PosixMemoryMapView::PrefaultForWrite() {
  // Without the advice a copy faults the pages in itself; touching them here could only be done
  // by writing, which would race with the neighbours sharing the first and last page.
  Populate(MADV_POPULATE_WRITE);
}

void PosixMemoryMapView::StartWriteBack() {
  // Written with pwrite, so the pages are dirty in the page cache, not in this mapping.
  sync_file_range(descriptor_, static_cast<off_t>(start_), static_cast<off_t>(Length()),
                  SYNC_FILE_RANGE_WRITE);
}

void PosixMemoryMapView::FlushData() {
  while (fdatasync(descriptor_) != 0) {
    if (errno != EINTR) ThrowLastFileError();
  }
}

bool PosixMemoryMapView::Populate(int advice) {
  std::atomic<bool>& unknown =
      advice == MADV_POPULATE_READ ? gPopulateReadUnknown : gPopulateWriteUnknown;
  if (unknown.load(std::memory_order_relaxed)) return false;
  for (;;) {
    if (madvise(base_, mappedLength_, advice) == 0) return true;
    const int error = errno;
    if (error == EINTR || error == EAGAIN) continue;
    if (error == EINVAL) {
      unknown.store(true, std::memory_order_relaxed);
      return false;
    }
    if (error == ENOMEM) ThrowFileError(error);
    // EFAULT: an access to one of the pages would have raised SIGBUS.
    throw FileInvalidMapException();
  }
}

void PosixMemoryMapView::CheckFileHolds(std::uint64_t last) const {
  struct stat status;
  if (fstat(descriptor_, &status) != 0) ThrowLastFileError();
  if (static_cast<std::uint64_t>(status.st_size) <= last) throw FileInvalidMapException();
}

PosixMemoryMap::PosixMemoryMap(int descriptor, std::shared_ptr<const void> keepAlive,
                               std::shared_ptr<ChangeWatch> watch)
    : descriptor_(DuplicateDescriptor(descriptor)),
      keepAlive_(std::move(keepAlive)),
      watch_(std::move(watch)) {}

PosixMemoryMap::~PosixMemoryMap() { close(descriptor_); }

std::shared_ptr<PosixMemoryMapView> PosixMemoryMap::CreateView(std::uint64_t first,
                                                               std::uint64_t last) const {
  return std::make_shared<PosixMemoryMapView>(descriptor_, first, last, keepAlive_, watch_);
}

}  // namespace halv
