#include "reuse/block_search.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace halv {

namespace {

// Bits of the filter that spares most positions the look-up in the sorted blocks.
constexpr int kFilterBits = 20;

std::size_t FilterSlot(std::uint32_t weak) {
  return static_cast<std::size_t>(((weak ^ (weak >> 15)) * 0x9E3779B1u) >> (32 - kFilterBits));
}

// The part of a source that the pass over it needs in memory: a buffer (shared by the sources of
// a pass, so that it is allocated once) that slides along it.
class SlidingSource {
 public:
  SlidingSource(const BlockSearch::Reader& read, std::uint32_t source, std::uint64_t size,
                std::vector<unsigned char>& buffer)
      : read_(read), source_(source), size_(size), buffer_(buffer) {}

  // The bytes from `position` on, at least `need` of them (fewer only at the end of the source).
  const unsigned char* At(std::uint64_t position, std::size_t need) {
    if (position < start_ || position + need > start_ + length_) {
      // Keep what is still ahead, then fill the rest.
      std::size_t kept = 0;
      if (position >= start_ && position < start_ + length_) {
        kept = static_cast<std::size_t>(start_ + length_ - position);
        std::memmove(buffer_.data(), buffer_.data() + (position - start_), kept);
      }
      start_ = position;
      length_ = kept;
      while (length_ < buffer_.size() && start_ + length_ < size_) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(buffer_.size() - length_, size_ - start_ - length_));
        const std::size_t got = read_(source_, buffer_.data() + length_, want, start_ + length_);
        if (got == 0) {
          // The source shrank while it was read: what is missing is taken as its end.
          size_ = start_ + length_;
          break;
        }
        length_ += got;
      }
    }
    return buffer_.data() + (position - start_);
  }
  // One past the last byte in the buffer.
  const unsigned char* End() const { return buffer_.data() + length_; }
  // The source's size, smaller than announced once it turned out shorter.
  std::uint64_t Size() const { return size_; }

 private:
  const BlockSearch::Reader& read_;
  const std::uint32_t source_;
  std::uint64_t size_;
  std::vector<unsigned char>& buffer_;
  std::uint64_t start_ = 0;
  std::size_t length_ = 0;
};

}  // namespace

std::uint32_t BlockSearch::AddTarget(std::uint64_t size, std::uint32_t blockSize,
                                     std::vector<BlockRecord> records, std::uint32_t sameSource,
                                     std::uint32_t group) {
  if (blockSize == 0 || records.size() != BlockCount(size, blockSize)) {
    throw std::invalid_argument("BlockSearch::AddTarget: the records do not fit the size");
  }
  Target& target = targets_.emplace_back();
  target.size = size;
  target.blockSize = blockSize;
  target.sameSource = sameSource;
  target.group = group;
  target.found.resize(records.size());
  target.records = std::move(records);
  return static_cast<std::uint32_t>(targets_.size() - 1);
}

const std::vector<BlockSearch::Found>& BlockSearch::GetFound(std::uint32_t target) const {
  return targets_.at(target).found;
}

void BlockSearch::Record(std::uint32_t target, std::uint64_t block, std::uint32_t source,
                         std::uint64_t offset) {
  Target& t = targets_[target];
  Found& found = t.found[static_cast<std::size_t>(block)];
  const bool inPlace = source == t.sameSource && offset == block * t.blockSize;
  if (found.source == Found::kNowhere || inPlace) found = Found{source, offset};
}

void BlockSearch::Search(const std::vector<std::uint64_t>& sizes, const Reader& read,
                         const std::vector<std::uint32_t>& groups) {
  std::set<std::uint32_t> blockSizes;
  for (const Target& target : targets_) blockSizes.insert(target.blockSize);
  // The passes of different block sizes touch different targets: they run at once, each on a
  // thread of its own, as many at a time as there are processors.
  std::vector<std::uint32_t> pending(blockSizes.begin(), blockSizes.end());
  std::mutex mutex;
  std::exception_ptr error;
  const auto worker = [&] {
    for (;;) {
      std::uint32_t blockSize = 0;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (pending.empty() || error || gaveUp_) return;
        blockSize = pending.back();
        pending.pop_back();
      }
      try {
        SearchBlockSize(blockSize, sizes, read, groups);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) error = std::current_exception();
      }
    }
  };
  const std::size_t threads =
      std::min<std::size_t>(pending.size(), std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // the passes left run on the threads there are
    }
  }
  worker();
  for (std::thread& helper : helpers) helper.join();
  if (error) std::rethrow_exception(error);
  if (!gaveUp_) SearchTails(sizes, read);
}

void BlockSearch::SearchBlockSize(std::uint32_t blockSize, const std::vector<std::uint64_t>& sizes,
                                  const Reader& read, const std::vector<std::uint32_t>& groups) {
  std::vector<Entry> entries;
  std::set<std::uint32_t> searchedGroups;
  for (std::uint32_t t = 0; t < targets_.size(); ++t) {
    const Target& target = targets_[t];
    if (target.blockSize != blockSize) continue;
    searchedGroups.insert(target.group);
    const std::uint64_t whole = target.size / blockSize;
    for (std::uint64_t block = 0; block < whole; ++block) {
      const BlockRecord& record = target.records[static_cast<std::size_t>(block)];
      entries.push_back(Entry{record.weak, t, record.strong, block});
    }
  }
  if (entries.empty()) return;
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.weak < b.weak; });
  std::vector<std::uint64_t> filter((std::size_t{1} << kFilterBits) / 64);
  for (const Entry& entry : entries) {
    const std::size_t slot = FilterSlot(entry.weak);
    filter[slot / 64] |= std::uint64_t{1} << (slot % 64);
  }
  // Positions searched, and strong checksums that disagreed with their weak ones, in this pass.
  std::uint64_t searched = 0;
  std::uint64_t wrongStrong = 0;
  const auto mayHold = [&filter](std::uint32_t weak) {
    const std::size_t slot = FilterSlot(weak);
    return (filter[slot / 64] >> (slot % 64)) & 1;
  };
  // Whether the window at `position` of `source` is a block of some target; records it for every
  // target block it is.
  const auto matches = [&](const unsigned char* window, std::uint32_t weak, std::uint32_t source,
                           std::uint64_t position) {
    auto range = std::equal_range(entries.begin(), entries.end(), Entry{weak, 0, 0, 0},
                                  [](const Entry& a, const Entry& b) { return a.weak < b.weak; });
    if (range.first == range.second) return false;
    const std::uint64_t strong = StrongChecksum(window, blockSize);
    bool matched = false;
    for (auto entry = range.first; entry != range.second; ++entry) {
      if (entry->strong != strong) continue;
      matched = true;
      Record(entry->target, entry->block, source, position);
    }
    if (!matched && ++wrongStrong > 4096 + (searched + position) / 64) gaveUp_ = true;
    return matched;
  };

  std::vector<unsigned char> buffer(std::max<std::size_t>(std::size_t{4} << 20, 4 * blockSize));
  for (std::uint32_t source = 0; source < sizes.size() && !gaveUp_; ++source) {
    if (sizes[source] < blockSize) continue;
    if (searchedGroups.count(groups.empty() ? 0 : groups[source]) == 0) continue;
    SlidingSource data(read, source, sizes[source], buffer);
    std::uint64_t position = 0;
    const unsigned char* window = data.At(0, blockSize);
    if (data.Size() < blockSize) continue;
    RollingChecksum rolling;
    rolling.Reset(window, blockSize);
    for (;;) {
      // Rolls along what the buffer holds, checking each position, until a block is found or the
      // window's next byte is past the buffer.
      const unsigned char* end = data.End();
      bool found = false;
      for (;;) {
        const std::uint32_t weak = rolling.Value();
        if (mayHold(weak) && matches(window, weak, source, position)) {
          found = true;
          break;
        }
        if (gaveUp_ || window + blockSize >= end) break;
        rolling.Roll(window[0], window[blockSize]);
        ++window;
        ++position;
      }
      if (gaveUp_) return;
      if (found) {
        // The bytes of a found block are not searched again: rsync's rule, and a run of equal
        // blocks is found block by block rather than at every offset.
        position += blockSize;
        if (position + blockSize > data.Size()) break;
        window = data.At(position, blockSize);
        if (position + blockSize > data.Size()) break;
        rolling.Reset(window, blockSize);
        continue;
      }
      if (position + blockSize >= data.Size()) break;
      window = data.At(position, std::size_t{blockSize} + 1);
      if (position + blockSize >= data.Size()) break;
      rolling.Roll(window[0], window[blockSize]);
      ++window;
      ++position;
    }
    searched += position;
  }
}

void BlockSearch::SearchTails(const std::vector<std::uint64_t>& sizes, const Reader& read) {
  // target, block and strong checksum of every tail, by its length.
  struct Tail {
    std::uint32_t target;
    std::uint64_t block;
    std::uint64_t strong;
  };
  std::unordered_map<std::uint64_t, std::vector<Tail>> byLength;
  std::vector<unsigned char> buffer;
  const auto readWhole = [&](std::uint32_t source, std::uint64_t offset, std::size_t length) {
    buffer.resize(length);
    std::size_t done = 0;
    while (done < length) {
      const std::size_t got = read(source, buffer.data() + done, length - done, offset + done);
      if (got == 0) return false;
      done += got;
    }
    return true;
  };
  for (std::uint32_t t = 0; t < targets_.size(); ++t) {
    const Target& target = targets_[t];
    const std::uint64_t tail = target.size % target.blockSize;
    if (tail == 0) continue;
    const std::uint64_t block = target.records.size() - 1;
    const std::uint64_t offset = block * target.blockSize;
    const std::uint64_t strong = target.records.back().strong;
    byLength[tail].push_back(Tail{t, block, strong});
    if (target.sameSource < sizes.size() && sizes[target.sameSource] >= target.size &&
        readWhole(target.sameSource, offset, static_cast<std::size_t>(tail)) &&
        StrongChecksum(buffer.data(), buffer.size()) == strong) {
      Record(t, block, target.sameSource, offset);
      continue;
    }
    // Where the block before it was found, the tail may well follow (a file that became the end
    // of another, or grew at its end).
    if (block == 0) continue;
    const Found before = target.found[static_cast<std::size_t>(block - 1)];
    if (before.source != Found::kNowhere &&
        sizes[before.source] >= before.offset + target.blockSize + tail &&
        readWhole(before.source, before.offset + target.blockSize,
                  static_cast<std::size_t>(tail)) &&
        StrongChecksum(buffer.data(), buffer.size()) == strong) {
      Record(t, block, before.source, before.offset + target.blockSize);
    }
  }
  for (std::uint32_t source = 0; source < sizes.size(); ++source) {
    const auto tails = byLength.find(sizes[source]);
    if (tails == byLength.end()) continue;
    if (!readWhole(source, 0, static_cast<std::size_t>(sizes[source]))) continue;
    const std::uint64_t strong = StrongChecksum(buffer.data(), buffer.size());
    for (const Tail& tail : tails->second) {
      if (tail.strong == strong) Record(tail.target, tail.block, source, 0);
    }
  }
}

}  // namespace halv
