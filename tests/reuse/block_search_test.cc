#include "reuse/block_search.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reuse/block_index.h"

namespace halv {
namespace {

// Random bytes: every block is unlike every other, as in compressed or compiled data.
std::string Noise(std::size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(length, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

std::string IndexOf(const std::string& bytes, std::uint32_t blockSize) {
  BlockIndexBuilder builder(blockSize);
  builder.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return builder.Finish();
}

// Runs a search for the blocks of `targets` (new files) in `sources` (old files); `same[i]` is
// the source at target i's own path, or -1.
struct Outcome {
  std::vector<std::vector<BlockSearch::Found>> found;
  // Bytes of each target that a copy of the found blocks would not give.
  std::vector<std::uint64_t> missing;
};

Outcome SearchFor(const std::vector<std::string>& targets, const std::vector<std::string>& sources,
                  std::uint32_t blockSize, const std::vector<int>& same = {}) {
  BlockSearch search;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const std::uint32_t sameSource = i < same.size() && same[i] >= 0
                                         ? static_cast<std::uint32_t>(same[i])
                                         : BlockSearch::Found::kNowhere;
    search.AddTarget(targets[i].size(), blockSize,
                     ParseBlockIndex(IndexOf(targets[i], blockSize), targets[i].size(), blockSize),
                     sameSource);
  }
  std::vector<std::uint64_t> sizes;
  for (const std::string& source : sources) sizes.push_back(source.size());
  search.Search(
      sizes, [&](std::uint32_t source, void* buffer, std::size_t length, std::uint64_t offset) {
        const std::string& bytes = sources.at(source);
        const std::size_t count =
            offset >= bytes.size() ? 0 : std::min<std::size_t>(length, bytes.size() - offset);
        std::memcpy(buffer, bytes.data() + offset, count);
        return count;
      });
  Outcome outcome;
  for (std::uint32_t t = 0; t < targets.size(); ++t) {
    const auto& found = search.GetFound(t);
    outcome.found.push_back(found);
    std::uint64_t missing = 0;
    for (std::size_t block = 0; block < found.size(); ++block) {
      const std::uint64_t start = block * blockSize;
      const std::uint64_t length = std::min<std::uint64_t>(blockSize, targets[t].size() - start);
      if (found[block].source == BlockSearch::Found::kNowhere) {
        missing += length;
        continue;
      }
      // Every claim holds: the bytes at the place found are the block's.
      const std::string& source = sources.at(found[block].source);
      EXPECT_EQ(source.substr(found[block].offset, length), targets[t].substr(start, length))
          << "target " << t << " block " << block;
    }
    outcome.missing.push_back(missing);
  }
  return outcome;
}

TEST(BlockIndexTest, RollingEqualsComputingAfresh) {
  const std::string bytes = Noise(5000, 1) + std::string(3000, '\0');
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (const std::size_t length : {1u, 7u, 512u, 4096u}) {
    RollingChecksum rolling;
    rolling.Reset(data, length);
    for (std::size_t at = 0; at + length < bytes.size(); ++at) {
      ASSERT_EQ(rolling.Value(), WeakChecksum(data + at, length)) << length << " at " << at;
      rolling.Roll(data[at], data[at + length]);
    }
  }
}

TEST(BlockIndexTest, BlockSizeGrowsWithTheSquareRootWithinItsBounds) {
  EXPECT_EQ(ChooseBlockSize(0), kMinBlockSize);
  EXPECT_EQ(ChooseBlockSize(100000), kMinBlockSize);  // the square root is 316
  EXPECT_EQ(ChooseBlockSize(std::uint64_t{4} << 20), 2048u);
  EXPECT_EQ(ChooseBlockSize(std::uint64_t{1} << 40), kMaxBlockSize);
}

TEST(BlockIndexTest, AnIndexOfTheWrongLengthIsRefused) {
  const std::string index = IndexOf(Noise(3000, 2), 1024);
  EXPECT_EQ(index.size(), 3 * kBlockRecordSize);
  EXPECT_NO_THROW(ParseBlockIndex(index, 3000, 1024));
  EXPECT_THROW(ParseBlockIndex(index, 3073, 1024), std::invalid_argument);
  EXPECT_THROW(ParseBlockIndex(index.substr(1), 3000, 1024), std::invalid_argument);
  EXPECT_THROW(ParseBlockIndex(index, 3000, 0), std::invalid_argument);
}

// Each case: how the new version's files came from the old one's, and at most how many bytes of
// them a copy of what the search finds leaves to download.
TEST(BlockSearchTest, FindsContentThatMovedWithinAndBetweenFiles) {
  constexpr std::uint32_t kBlock = 512;
  const std::string a = Noise(20000, 10);
  const std::string b = Noise(15000, 11);
  const std::string inserted = Noise(100, 12);
  struct Case {
    const char* name;
    std::vector<std::string> targets;
    std::vector<std::string> sources;
    std::vector<int> same;
    std::vector<std::uint64_t> mostMissing;
  } cases[] = {
      {"unchanged", {a}, {a}, {0}, {0}},
      {"bytes inserted near the start",
       {a.substr(0, 700) + inserted + a.substr(700)},
       {a},
       {0},
       {2 * kBlock}},
      {"bytes deleted in the middle", {a.substr(0, 9000) + a.substr(9333)}, {a}, {0}, {2 * kBlock}},
      {"two parts swapped", {a.substr(10000) + a.substr(0, 10000)}, {a}, {0}, {2 * kBlock}},
      {"renamed: the old file at another path", {a}, {b, a}, {-1}, {0}},
      {"split into two files",
       {a.substr(0, 8000), a.substr(8000)},
       {a},
       {-1, -1},
       {kBlock, kBlock}},
      {"two merged into one", {a + b}, {a, b}, {0}, {kBlock}},
      {"all new", {b}, {a}, {0}, {b.size()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = SearchFor(c.targets, c.sources, kBlock, c.same);
    for (std::size_t t = 0; t < c.targets.size(); ++t) {
      EXPECT_LE(outcome.missing[t], c.mostMissing[t]) << "target " << t;
    }
  }
}

TEST(BlockSearchTest, AShortLastBlockIsFoundInPlaceAndAsARenamedSmallFile) {
  constexpr std::uint32_t kBlock = 1024;
  const std::string old = Noise(2500, 20);  // two blocks and a tail of 452 bytes
  const std::string small = Noise(300, 21);
  const Outcome outcome = SearchFor({old, small}, {old, small}, kBlock, {0, -1});
  EXPECT_EQ(outcome.missing[0], 0u);
  EXPECT_EQ(outcome.missing[1], 0u);
  // In place: the same offset of the file at its own path, which needs no copy.
  for (std::size_t block = 0; block < outcome.found[0].size(); ++block) {
    EXPECT_EQ(outcome.found[0][block].source, 0u);
    EXPECT_EQ(outcome.found[0][block].offset, block * kBlock);
  }
}

TEST(BlockSearchTest, AHostileIndexCannotMakeTheSearchHashEveryPosition) {
  // Every record claims the weak checksum of a run of zeros with a wrong strong checksum: each
  // position of the zeros is a candidate that fails.
  constexpr std::uint32_t kBlock = 512;
  const std::string zeros(std::size_t{8} << 20, '\0');
  const std::uint32_t weak =
      WeakChecksum(reinterpret_cast<const unsigned char*>(zeros.data()), kBlock);
  std::vector<BlockRecord> records(64, BlockRecord{weak, 12345});
  BlockSearch search;
  search.AddTarget(64 * kBlock, kBlock, records);
  search.Search({zeros.size()},
                [&](std::uint32_t, void* buffer, std::size_t length, std::uint64_t offset) {
                  const std::size_t count = std::min<std::size_t>(length, zeros.size() - offset);
                  std::memcpy(buffer, zeros.data() + offset, count);
                  return count;
                });
  EXPECT_TRUE(search.GaveUp());
  for (const auto& found : search.GetFound(0)) {
    EXPECT_EQ(found.source, BlockSearch::Found::kNowhere);
  }
}

}  // namespace
}  // namespace halv
