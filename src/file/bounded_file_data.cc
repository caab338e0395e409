#include "file/bounded_file_data.h"

#include <limits>

#include "file/file_exception.h"

namespace halv {

void CheckSpan(std::uint64_t first, std::uint64_t last) {
  if (last - first >= std::numeric_limits<std::uint32_t>::max()) throw BadAllocation();
}

BoundedFileData::BoundedFileData(std::uint64_t start, std::uint64_t end)
    : start_(start), end_(end) {}

BoundedFileData::~BoundedFileData() = default;

void BoundedFileData::CheckBounds(std::uint64_t first, std::uint64_t last) const {
  if (first > last || first < start_ || last > end_) throw FileOutOfBoundsException();
}

std::uint64_t BoundedFileData::LastOf(std::uint64_t first, std::size_t length) {
  const std::uint64_t extra = static_cast<std::uint64_t>(length) - 1;
  if (extra > std::numeric_limits<std::uint64_t>::max() - first) throw FileOutOfBoundsException();
  return first + extra;
}

}  // namespace halv
