#include "works/chunk_works.h"

#include <cstdint>
#include <memory>

#include <gtest/gtest.h>

#include "file/posix_shared_file.h"
#include "temp_dir.h"
#include "test_transfer_work_interface.h"

namespace halv {
namespace {

TEST(ChunkRetryLimitTest, SaturatesAndCaps) {
  struct Case {
    int configured;
    std::size_t nodes;
    std::uint32_t limit;
  };
  const Case cases[] = {
      {4, 0, 4},    {4, 1, 4}, {4, 5, 4},  {4, 10, 9}, {4, 17, 16},
      {4, 300, 16}, {0, 0, 0}, {-3, 0, 0}, {-3, 3, 2}, {40, 300, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.configured) + " with " + std::to_string(c.nodes) + " nodes");
    EXPECT_EQ(ChunkRetryLimit(c.configured, c.nodes), c.limit);
  }
}

// A chunk pipeline run twice over the same chunk (its work reset in between) counts the chunk's
// bytes as transferred exactly once at any time and as completed once.
TEST(TransferSingleChunkWorkTest, ResetTakesBackItsBytesAndCompletionCountsOnce) {
  test::TempDir folder;
  auto file = std::make_shared<PosixSharedFile>(Folder::Open(folder.path()), "data.bin",
                                                SharedFileMode::OpenOrCreate, 0, UINT64_MAX);
  ASSERT_TRUE(file->Allocate(8192));
  auto fileData = std::make_shared<TransferSharedFileData>("data.bin", 8192);
  fileData->sharedFile = file;
  TransferBehavior behavior;
  auto transfer =
      std::make_shared<test::TestTransferWorkInterface>(TransferParams(), behavior, nullptr);
  // The CRC-32 of 4096 zero bytes: an allocated file already holds the chunk.
  const std::uint32_t zeros = 0xc71c0011;
  auto work = TransferSingleChunkWork::Create(transfer, fileData, 4096, 8191, zeros);
  auto chunk = work->GetChunk();
  auto& progress = *transfer->progress();

  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    chunk->boundedData = file->Map(4096, 8191);
    chunk->Settle();
    EXPECT_EQ(progress.transferred.load(), 4096);
    EXPECT_EQ(progress.completed.load(), 4096u);
    work->Reset();
    EXPECT_EQ(progress.transferred.load(), 0);
    EXPECT_FALSE(chunk->boundedData);
  }
  EXPECT_EQ(progress.peakTransferred.load(), 4096);
}

}  // namespace
}  // namespace halv
