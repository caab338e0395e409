#ifndef HALV_REUSE_BLOCK_INDEX_H_
#define HALV_REUSE_BLOCK_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/file_manifest.h"

namespace halv {

// A file's block index: the file cut into blocks of one size (the last one shorter when the size
// is not a multiple), each block given a weak checksum that can be rolled along other data one
// byte at a time and a strong one that confirms what the weak one finds. An updater that holds
// an earlier version's files rolls the weak checksums of a new file's blocks over them, so that it
// downloads only the blocks found nowhere on disk. The format is in docs/formats.md.

// Bytes of one block's record: the weak checksum (4 bytes), then the strong one (8 bytes), both
// little-endian.
constexpr std::size_t kBlockRecordSize = BlockIndexPlace::kRecordSize;
// Files smaller than this get no index: a whole such file costs about what its index and the
// requests for its pieces would.
constexpr std::uint64_t kMinIndexedFileSize = 4096;
constexpr std::uint32_t kMinBlockSize = BlockIndexPlace::kMinBlockSize;
constexpr std::uint32_t kMaxBlockSize = BlockIndexPlace::kMaxBlockSize;

// The block size of a file of `size` bytes: the largest power of two not above the square root
// of the size, within kMinBlockSize..kMaxBlockSize. The square root balances what a changed byte
// costs (a block) against the index (a record a block); powers of two keep the sizes in a package
// few, and each size is one pass of the search over the old files.
std::uint32_t ChooseBlockSize(std::uint64_t size);

// The number of blocks of a file of `size` bytes cut into blocks of `blockSize` (> 0) bytes.
std::uint64_t BlockCount(std::uint64_t size, std::uint32_t blockSize);

// The weak checksum of `length` bytes at `data`.
std::uint32_t WeakChecksum(const unsigned char* data, std::size_t length);

// The strong checksum of `length` bytes at `data`: the first 8 bytes of their SHA-256, read
// little-endian.
std::uint64_t StrongChecksum(const unsigned char* data, std::size_t length);

// The weak checksum of a window of fixed length moving along data one byte at a time.
// Thread-safety: a value; one user at a time.
class RollingChecksum {
 public:
  // Starts over with the window of `length` (> 0) bytes at `data`.
  void Reset(const unsigned char* data, std::size_t length);
  // Moves the window one byte on: `out` leaves at its start, `in` enters at its end.
  void Roll(unsigned char out, unsigned char in) {
    a_ += static_cast<std::uint32_t>(in) - out;
    b_ += a_ - length_ * (static_cast<std::uint32_t>(out) + kOffset);
  }
  std::uint32_t Value() const { return (a_ & 0xffff) | (b_ << 16); }

  // Added to every byte, so that runs of zeros do not all sum to the same 0.
  static constexpr std::uint32_t kOffset = 31;

 private:
  std::uint32_t a_ = 0;
  std::uint32_t b_ = 0;
  std::uint32_t length_ = 0;
};

// One block's record.
struct BlockRecord {
  std::uint32_t weak = 0;
  std::uint64_t strong = 0;
};

// Builds a file's index as its bytes arrive in order, in pieces of any size.
// Thread-safety: one user.
class BlockIndexBuilder {
 public:
  explicit BlockIndexBuilder(std::uint32_t blockSize);
  void Update(const unsigned char* data, std::size_t length);
  // The index of everything given (the records of every block, the last one as it stands).
  std::string Finish();

 private:
  void AddBlock(const unsigned char* data, std::size_t length);

  const std::uint32_t blockSize_;
  std::vector<unsigned char> pending_;
  std::string index_;
};

// The records of an index of a file of `size` bytes and blocks of `blockSize` bytes; throws
// std::invalid_argument when `bytes` is not exactly one record per block.
std::vector<BlockRecord> ParseBlockIndex(std::string_view bytes, std::uint64_t size,
                                         std::uint32_t blockSize);

}  // namespace halv

#endif  // HALV_REUSE_BLOCK_INDEX_H_
