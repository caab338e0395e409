#ifndef HALV_REUSE_BLOCK_SEARCH_H_
#define HALV_REUSE_BLOCK_SEARCH_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "reuse/block_index.h"

namespace halv {

// Finds the blocks of new files (the targets, known by their indexes) in old files (the sources,
// read through a callback), at any offset of any source of the target's group: the weak checksum of every target block
// size is rolled over every source one byte at a time, and a position whose weak checksum some
// block has is confirmed with the strong checksum. A block's last, shorter block (the tail) is
// looked for where rolling cannot find it: at the same offset of the source that stands at the
// target's own path, right after where the block before it was found, and as the whole of a
// source of exactly its length (a small file renamed).
//
// What it finds is a claim, not a proof: the strong checksum is 8 bytes of a hash, and the index
// may come from anyone. Whoever copies found blocks must still verify what they built.
//
// Memory: a few dozen bytes per target block, and one read buffer of a few MiB; none of it grows
// with the sources. CPU: one pass over every source for each block size the targets use.
// Ownership: one owner. Thread-safety: one caller; Search runs its passes on threads of its own.
class BlockSearch {
 public:
  // Where a target block was found.
  struct Found {
    static constexpr std::uint32_t kNowhere = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t source = kNowhere;
    std::uint64_t offset = 0;
  };

  // Reads up to `length` bytes of source `source` at `offset` into `buffer`; returns how many
  // (fewer only at the end). May throw: the search then stops and rethrows.
  using Reader = std::function<std::size_t(std::uint32_t source, void* buffer, std::size_t length,
                                           std::uint64_t offset)>;

  // Adds a target of `size` bytes whose blocks of `blockSize` bytes have `records`; returns its
  // number (0, 1, ...). `sameSource` is the source number of the old file at the target's own
  // path, or Found::kNowhere. `group` (the target's folder, say) says which sources the target's
  // blocks are looked for in: those of the same group.
  std::uint32_t AddTarget(std::uint64_t size, std::uint32_t blockSize,
                          std::vector<BlockRecord> records,
                          std::uint32_t sameSource = Found::kNowhere, std::uint32_t group = 0);

  // Searches every source, `sizes[i]` bytes of group `groups[i]` (all of group 0 when `groups`
  // is empty) read through `read(i, ...)`, which is called from
  // several threads at once (one pass of the search for each block size, as many at a time as
  // there are processors). Stops early, leaving what was found so far, once the strong checksums
  // that disagree with their weak ones pass one for every 64 bytes a pass searched (and some
  // thousands): a hostile index cannot make the search hash every position of the sources.
  void Search(const std::vector<std::uint64_t>& sizes, const Reader& read,
              const std::vector<std::uint32_t>& groups = {});

  // Where each block of target `target` was found; Found::kNowhere where it was not.
  const std::vector<Found>& GetFound(std::uint32_t target) const;
  std::uint64_t GetSize(std::uint32_t target) const { return targets_.at(target).size; }
  std::uint32_t GetBlockSize(std::uint32_t target) const { return targets_.at(target).blockSize; }
  // Whether the search stopped early (see Search).
  bool GaveUp() const { return gaveUp_; }

 private:
  struct Target {
    std::uint64_t size = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t sameSource = Found::kNowhere;
    std::uint32_t group = 0;
    std::vector<BlockRecord> records;
    std::vector<Found> found;
  };
  // One block of one target, sorted by weak checksum for one block size's pass.
  struct Entry {
    std::uint32_t weak;
    std::uint32_t target;
    std::uint64_t strong;
    std::uint64_t block;
  };

  void SearchBlockSize(std::uint32_t blockSize, const std::vector<std::uint64_t>& sizes,
                       const Reader& read, const std::vector<std::uint32_t>& groups);
  void SearchTails(const std::vector<std::uint64_t>& sizes, const Reader& read);
  // Records that block `block` of `target` is at `offset` of `source`; a place at the same offset
  // of the target's own path wins over any other, since it needs no copy.
  void Record(std::uint32_t target, std::uint64_t block, std::uint32_t source,
              std::uint64_t offset);

  std::vector<Target> targets_;
  std::atomic<bool> gaveUp_{false};
};

}  // namespace halv

#endif  // HALV_REUSE_BLOCK_SEARCH_H_
