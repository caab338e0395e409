#ifndef HALV_MANIFEST_FILE_MANIFEST_H_
#define HALV_MANIFEST_FILE_MANIFEST_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/input_manifest.h"

namespace halv {

// Where a file's block index lies (see reuse/block_index.h): `length` bytes from `offset` of the
// version's block file, whose SHA-256 is `sha256`, for blocks of `blockSize` bytes. The length
// follows from the file's size: one record of 12 bytes a block.
struct BlockIndexPlace {
  // Block sizes a document may give: powers of two in this range, so that a package's files use
  // few of them (each is one pass over the old files).
  static constexpr std::uint32_t kMinBlockSize = 512;
  static constexpr std::uint32_t kMaxBlockSize = 65536;
  static constexpr std::uint32_t kRecordSize = 12;

  std::uint32_t blockSize = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::array<std::uint8_t, 32> sha256{};
};

// One file of a package: where it goes, how it is cut into chunks and the CRC-32 of every chunk.
// Chunk i covers the bytes from i * GetChunkSize() up to the next chunk's start or the end of
// the file. Ownership: shared as shared_ptr<const FileManifest>. Thread-safety: filled once by
// Read before it is shared; afterwards every call is const and safe from any thread.
class FileManifest : public InputManifest {
 public:
  // Relative to the transfer's destination folder.
  virtual const std::string& GetPath() const = 0;
  virtual std::uint32_t GetChunkSize() const = 0;
  virtual std::uint64_t GetSize() const = 0;
  // One CRC-32 per chunk, in chunk order.
  virtual const std::vector<std::uint32_t>& GetChecksums() const = 0;
  // One SHA-256 per chunk, in chunk order, when the document gives them; otherwise empty. Worth
  // more than the CRC-32s only when the document's signature was verified.
  virtual const std::vector<std::array<std::uint8_t, 32>>& GetSha256s() const = 0;
  // The permission bits the publisher saw (at most 07777), when the document gives them. What
  // of them reaches the disk is the applier's business: never more than 0755.
  virtual std::optional<std::uint32_t> GetMode() const = 0;
  // The modification time the publisher saw, in whole seconds since 1970, when the document
  // gives it.
  virtual std::optional<std::int64_t> GetModificationTime() const = 0;
  // Where the file's block index lies, when the document gives one.
  virtual const BlockIndexPlace* GetBlockIndex() const = 0;

  // The size divided by the chunk size, rounded up; 0 when the chunk size is 0. Throws
  // ManifestOverflowException when the count does not fit 32 bits (never for a manifest that
  // was read successfully).
  std::uint32_t GetChunkCount() const;

  // The arithmetic of GetChunkCount, for callers that have no manifest at hand (the publisher).
  static std::uint32_t ComputeChunkCount(std::uint64_t size, std::uint32_t chunkSize);
};

// The texts of one file element as a package document gives them, before they are checked.
struct FileFields {
  std::optional<std::string> path;
  std::optional<std::string> chunkSize;
  std::optional<std::string> size;
  std::optional<std::string> checksums;
  std::optional<std::string> sha256;
  std::optional<std::string> mode;
  std::optional<std::string> modificationTime;
  std::optional<std::string> blockSize;
  std::optional<std::string> blockAt;
  std::optional<std::string> blockSha256;
};

// The file element of a package document: children (or attributes) path, chunksize, size,
// checksums (8 hexadecimal digits per chunk, no separators), an optional sha256 (64
// hexadecimal digits per chunk, no separators), an optional mode (1 to 6 octal digits, at most
// 7777), an optional mtime (1 to 19 decimal digits, seconds since 1970) and, all three or none,
// blocksize, blockat and blocksha256 (where its block index lies).
class StandardFileManifest : public FileManifest {
 public:
  StandardFileManifest() = default;

  // `tree` is the subtree of one file element. Every defect, an overflowing chunk count
  // included, throws ManifestParseException.
  void Read(const boost::property_tree::ptree& tree) override;
  // The same from the texts of the element, taken (moved from) here. Throws as Read does.
  void Assign(FileFields&& fields);

  const std::string& GetPath() const override { return path_; }
  std::uint32_t GetChunkSize() const override { return chunkSize_; }
  std::uint64_t GetSize() const override { return size_; }
  const std::vector<std::uint32_t>& GetChecksums() const override { return checksums_; }
  const std::vector<std::array<std::uint8_t, 32>>& GetSha256s() const override { return sha256s_; }
  std::optional<std::uint32_t> GetMode() const override { return mode_; }
  std::optional<std::int64_t> GetModificationTime() const override { return modificationTime_; }
  const BlockIndexPlace* GetBlockIndex() const override { return blockIndex_.get(); }

 private:
  std::string path_;
  std::uint32_t chunkSize_ = 0;
  std::uint64_t size_ = 0;
  std::vector<std::uint32_t> checksums_;
  std::vector<std::array<std::uint8_t, 32>> sha256s_;
  std::optional<std::uint32_t> mode_;
  std::optional<std::int64_t> modificationTime_;
  // Shared by copies; most files of a package have none.
  std::shared_ptr<const BlockIndexPlace> blockIndex_;
};

}  // namespace halv

#endif  // HALV_MANIFEST_FILE_MANIFEST_H_
