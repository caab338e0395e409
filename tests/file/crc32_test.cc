#include "file/crc32.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/crc.hpp>

namespace halv {
namespace {

std::uint32_t BoostCrc32(const unsigned char* data, std::size_t size) {
  boost::crc_32_type crc;
  crc.process_bytes(data, size);
  return crc.checksum();
}

TEST(Crc32Test, KnownValues) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  EXPECT_EQ(Crc32(nullptr, 0, 0x12345678u), 0x12345678u) << "no bytes leave the CRC unchanged";
  const std::vector<unsigned char> zeros(4096, 0);
  EXPECT_EQ(Crc32(zeros.data(), zeros.size()), BoostCrc32(zeros.data(), zeros.size()));
}

// The vectorised routine has separate paths for short tails, unaligned heads and long folds:
// every short length is tried at every start alignment, long ones around each block size and at
// random at a few alignments.
TEST(Crc32Test, EqualsBoostOnRandomDataOfManyLengthsAndAlignments) {
  std::mt19937 random(20261210);
  std::vector<unsigned char> data(300000 + 64);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());

  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (std::size_t n = 0; n <= 300; ++n) {
      const unsigned char* p = data.data() + offset;
      ASSERT_EQ(Crc32(p, n), BoostCrc32(p, n)) << "offset " << offset << ", length " << n;
    }
  }

  std::vector<std::size_t> lengths;
  for (std::size_t block : {512u, 1024u, 4096u, 65536u, 262144u}) {
    for (std::size_t n : {block - 1, block, block + 1, block + 15, block + 17}) {
      lengths.push_back(n);
    }
  }
  for (int i = 0; i < 10; ++i) lengths.push_back(random() % 300000);
  for (std::size_t offset : {0, 1, 7, 13}) {
    for (std::size_t n : lengths) {
      const unsigned char* p = data.data() + offset;
      ASSERT_EQ(Crc32(p, n), BoostCrc32(p, n)) << "offset " << offset << ", length " << n;
    }
  }
}

TEST(Crc32Test, ChainsLikeZlib) {
  std::mt19937 random(7);
  std::vector<unsigned char> data(100000);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  const std::uint32_t whole = BoostCrc32(data.data(), data.size());

  for (std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{4096},
                            std::size_t{77777}, data.size()}) {
    const std::uint32_t first = Crc32(data.data(), split);
    EXPECT_EQ(Crc32(data.data() + split, data.size() - split, first), whole) << "split " << split;
  }

  // Feeding in uneven pieces, as a verifier streaming a file would, gives the same result.
  std::uint32_t crc = 0;
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t piece = std::min<std::size_t>(1 + random() % 5000, data.size() - done);
    crc = Crc32(data.data() + done, piece, crc);
    done += piece;
  }
  EXPECT_EQ(crc, whole);
}

}  // namespace
}  // namespace halv
