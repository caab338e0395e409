#include "manifest/file_manifest.h"

#include <cstddef>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "manifest/decimal_text.h"
#include "manifest/manifest_exception.h"
#include "sign/sha256.h"

namespace halv {
namespace {

constexpr std::size_t kChecksumDigits = 8;
constexpr std::size_t kSha256Digits = 64;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of the hexadecimal digits at the start of the group, after a "0x" that a stream in
// hexadecimal mode would also take; a group that does not start with a digit yields 0 and its
// chunk then simply fails verification.
std::uint32_t ParseChecksum(const char* group) {
  std::uint32_t value = 0;
  const bool prefixed = group[0] == '0' && (group[1] == 'x' || group[1] == 'X');
  for (std::size_t i = prefixed ? 2 : 0; i < kChecksumDigits; ++i) {
    const int digit = HexDigit(group[i]);
    if (digit < 0) break;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

// The digests of a sha256 text: exactly kSha256Digits hexadecimal digits per chunk. Unlike a
// CRC-32 group, a defective digest fails the whole document: a signed document is exact.
std::vector<std::array<std::uint8_t, 32>> ParseSha256s(const std::string& text,
                                                       std::uint32_t count) {
  if (text.size() != kSha256Digits * static_cast<std::uint64_t>(count)) {
    throw ManifestParseException();
  }
  std::vector<std::array<std::uint8_t, 32>> digests(count);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) throw ManifestParseException();
    digests[i / kSha256Digits][(i % kSha256Digits) / 2] =
        static_cast<std::uint8_t>(high * 16 + low);
  }
  return digests;
}

// Text that is `digits` of `base` only, 1 to `maxDigits` of them, no sign and no white space,
// at most `max`: these fields are written by the publisher alone, so anything else is a forgery
// or a defect.
std::optional<std::uint64_t> ParseStrict(const std::string& text, std::size_t maxDigits,
                                         unsigned base, std::uint64_t max) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c >= static_cast<char>('0' + base)) return std::nullopt;
    value = value * base + static_cast<std::uint64_t>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

// `text` with every byte that is not printable ASCII as \xNN, for a message.
std::string Printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text.substr(0, 64)) {
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out + (text.size() > 64 ? "..." : "");
}

}  // namespace

std::uint32_t FileManifest::GetChunkCount() const {
  return ComputeChunkCount(GetSize(), GetChunkSize());
}

std::uint32_t FileManifest::ComputeChunkCount(std::uint64_t size, std::uint32_t chunkSize) {
  if (chunkSize == 0) return 0;
  if (size > std::numeric_limits<std::uint64_t>::max() - (chunkSize - 1)) {
    throw ManifestOverflowException();
  }
  const std::uint64_t count = (size + chunkSize - 1) / chunkSize;
  if (count > std::numeric_limits<std::uint32_t>::max()) throw ManifestOverflowException();
  return static_cast<std::uint32_t>(count);
}

void StandardFileManifest::Read(const boost::property_tree::ptree& tree) {
  FileFields fields;
  const auto take = [&tree](const char* key, std::optional<std::string>& field) {
    if (const auto child = tree.get_child_optional(key)) field = child->data();
  };
  take("path", fields.path);
  take("chunksize", fields.chunkSize);
  take("size", fields.size);
  take("checksums", fields.checksums);
  take("sha256", fields.sha256);
  take("mode", fields.mode);
  take("mtime", fields.modificationTime);
  take("blocksize", fields.blockSize);
  take("blockat", fields.blockAt);
  take("blocksha256", fields.blockSha256);
  Assign(std::move(fields));
}

void StandardFileManifest::Assign(FileFields&& fields) {
  if (!fields.path || !fields.chunkSize || !fields.size || !fields.checksums) {
    throw ManifestParseException();
  }
  path_ = std::move(*fields.path);
  path_.shrink_to_fit();
  const auto chunkSize =
      ParseDecimalUnsigned(*fields.chunkSize, std::numeric_limits<std::uint32_t>::max());
  const auto size = ParseDecimalUnsigned(*fields.size, std::numeric_limits<std::uint64_t>::max());
  if (!chunkSize || !size) throw ManifestParseException();
  chunkSize_ = static_cast<std::uint32_t>(*chunkSize);
  size_ = *size;
  std::uint32_t count = 0;
  try {
    count = GetChunkCount();
  } catch (const ManifestOverflowException&) {
    throw ManifestParseException();
  }
  const std::string& text = *fields.checksums;
  checksums_.clear();
  // The reservation waits for the length check so that a forged size cannot make us reserve
  // more than the text itself occupies.
  if (text.size() == kChecksumDigits * static_cast<std::uint64_t>(count)) {
    checksums_.reserve(count);
    for (std::size_t offset = 0; offset < text.size(); offset += kChecksumDigits) {
      checksums_.push_back(ParseChecksum(text.data() + offset));
    }
  }
  sha256s_.clear();
  if (fields.sha256) sha256s_ = ParseSha256s(*fields.sha256, count);
  mode_.reset();
  modificationTime_.reset();
  if (fields.mode) {
    const auto value = ParseStrict(*fields.mode, 6, 8, 07777);
    if (!value) {
      throw ManifestParseException("the file \"" + Printable(path_) + "\" has the mode \"" +
                                   Printable(*fields.mode) +
                                   "\", not 1 to 6 octal digits of at most 7777");
    }
    mode_ = static_cast<std::uint32_t>(*value);
  }
  if (fields.modificationTime) {
    const auto value =
        ParseStrict(*fields.modificationTime, 19, 10,
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
    if (!value) {
      throw ManifestParseException("the file \"" + Printable(path_) + "\" has the mtime \"" +
                                   Printable(*fields.modificationTime) +
                                   "\", not 1 to 19 decimal digits of seconds since 1970");
    }
    modificationTime_ = static_cast<std::int64_t>(*value);
  }
  blockIndex_.reset();
  if (fields.blockSize || fields.blockAt || fields.blockSha256) {
    const std::string refusal =
        "the file \"" + Printable(path_) +
        "\" has a block index that is not a block size (a power of two from 512 to 65536), an "
        "offset and a SHA-256";
    if (!fields.blockSize || !fields.blockAt || !fields.blockSha256) {
      throw ManifestParseException(refusal);
    }
    auto place = std::make_shared<BlockIndexPlace>();
    const auto blockSize = ParseStrict(*fields.blockSize, 5, 10, BlockIndexPlace::kMaxBlockSize);
    if (!blockSize) throw ManifestParseException(refusal);
    place->blockSize = static_cast<std::uint32_t>(*blockSize);
    if (place->blockSize < BlockIndexPlace::kMinBlockSize ||
        (place->blockSize & (place->blockSize - 1)) != 0) {
      throw ManifestParseException(refusal);
    }
    const auto at =
        ParseStrict(*fields.blockAt, 19, 10,
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
    if (!at) throw ManifestParseException(refusal);
    place->offset = *at;
    const auto sha256 = ParseSha256Hex(*fields.blockSha256);
    if (!sha256) throw ManifestParseException(refusal);
    place->sha256 = *sha256;
    place->length = (size_ / place->blockSize + (size_ % place->blockSize != 0 ? 1 : 0)) *
                    BlockIndexPlace::kRecordSize;
    blockIndex_ = std::move(place);
  }
  if (path_.empty() || chunkSize_ == 0 || checksums_.size() != count) {
    throw ManifestParseException();
  }
}

}  // namespace halv
