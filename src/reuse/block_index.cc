#include "reuse/block_index.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sign/sha256.h"

namespace halv {

namespace {

void PutLittle(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint64_t GetLittle(const char* data, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(data[i]);
  }
  return value;
}

}  // namespace

std::uint32_t ChooseBlockSize(std::uint64_t size) {
  const auto root = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(size)));
  std::uint32_t block = kMinBlockSize;
  while (block < kMaxBlockSize && std::uint64_t{block} * 2 <= root) block *= 2;
  return block;
}

std::uint64_t BlockCount(std::uint64_t size, std::uint32_t blockSize) {
  return size / blockSize + (size % blockSize != 0 ? 1 : 0);
}

std::uint32_t WeakChecksum(const unsigned char* data, std::size_t length) {
  RollingChecksum checksum;
  checksum.Reset(data, length);
  return checksum.Value();
}

std::uint64_t StrongChecksum(const unsigned char* data, std::size_t length) {
  const Sha256Digest digest = Sha256(data, length);
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | digest[static_cast<std::size_t>(i)];
  return value;
}

void RollingChecksum::Reset(const unsigned char* data, std::size_t length) {
  a_ = 0;
  b_ = 0;
  length_ = static_cast<std::uint32_t>(length);
  for (std::size_t i = 0; i < length; ++i) {
    a_ += data[i] + kOffset;
    b_ += a_;
  }
}

BlockIndexBuilder::BlockIndexBuilder(std::uint32_t blockSize) : blockSize_(blockSize) {
  if (blockSize == 0) throw std::invalid_argument("a block index needs blocks of some size");
  pending_.reserve(blockSize);
}

void BlockIndexBuilder::AddBlock(const unsigned char* data, std::size_t length) {
  PutLittle(index_, WeakChecksum(data, length), 4);
  PutLittle(index_, StrongChecksum(data, length), 8);
}

void BlockIndexBuilder::Update(const unsigned char* data, std::size_t length) {
  while (length > 0) {
    if (pending_.empty() && length >= blockSize_) {
      AddBlock(data, blockSize_);
      data += blockSize_;
      length -= blockSize_;
      continue;
    }
    const std::size_t take = std::min<std::size_t>(length, blockSize_ - pending_.size());
    pending_.insert(pending_.end(), data, data + take);
    data += take;
    length -= take;
    if (pending_.size() == blockSize_) {
      AddBlock(pending_.data(), pending_.size());
      pending_.clear();
    }
  }
}

std::string BlockIndexBuilder::Finish() {
  if (!pending_.empty()) AddBlock(pending_.data(), pending_.size());
  pending_.clear();
  return std::move(index_);
}

std::vector<BlockRecord> ParseBlockIndex(std::string_view bytes, std::uint64_t size,
                                         std::uint32_t blockSize) {
  if (blockSize == 0) throw std::invalid_argument("a block index needs blocks of some size");
  const std::uint64_t count = BlockCount(size, blockSize);
  if (bytes.size() / kBlockRecordSize != count || bytes.size() % kBlockRecordSize != 0) {
    throw std::invalid_argument("the block index holds " + std::to_string(bytes.size()) +
                                " bytes, not " + std::to_string(count) + " records");
  }
  std::vector<BlockRecord> records(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < records.size(); ++i) {
    const char* record = bytes.data() + i * kBlockRecordSize;
    records[i].weak = static_cast<std::uint32_t>(GetLittle(record, 4));
    records[i].strong = GetLittle(record + 4, 8);
  }
  return records;
}

}  // namespace halv
