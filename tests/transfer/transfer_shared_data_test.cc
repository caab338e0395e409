#include "transfer/transfer_shared_data.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include "file/posix_shared_file.h"
#include "ptree_entries.h"
#include "temp_dir.h"
#include "transfer/transfer_progress_updater.h"

namespace halv {
namespace {

using boost::property_tree::ptree;
using test::Entries;
using test::Entry;

TEST(TransferSharedMapDataTest, DescribesTheFileThenTheChunk) {
  auto file = std::make_shared<TransferSharedFileData>("bin/app.exe", 5000000);
  TransferSharedMapData chunk(file, 1048576, 2097151, 0x000abc12u, nullptr);
  chunk.fileProgressBytes = 300;
  EXPECT_EQ(chunk.GetLength(), 1048576u);
  ptree tree;
  chunk.Describe(tree);
  EXPECT_EQ(Entries(tree), (std::vector<Entry>{{"filePath", "bin/app.exe"},
                                               {"fileSize", "5000000"},
                                               {"lowerBound", "1048576"},
                                               {"upperBound", "2097151"},
                                               {"expectedChecksum", "abc12"},
                                               {"fileProgressBytes", "300"}}));
  EXPECT_EQ(chunk.lastStatus.result, HttpRequestResult::NotStarted);
  EXPECT_EQ(chunk.badNodeMask | chunk.badNodeCount | chunk.nodeIndex, 0u);
}

// Adds up what the chunk reports, as the transfer's status would.
class ProgressTotals : public TransferProgressUpdater {
 public:
  void AddTransferredBytes(std::uint64_t count) override { transferred += count; }
  void RemoveTransferredBytes(std::uint64_t count) override { transferred -= count; }
  void AddCompletedBytes(std::uint64_t count) override { completed += count; }
  void AddReceivedBytes(std::uint64_t count) override { received += count; }

  std::int64_t transferred = 0;
  std::int64_t completed = 0;
  std::int64_t received = 0;
};

std::shared_ptr<TransferSharedMapData> MakeChunk(std::uint64_t lower, std::uint64_t upper,
                                                 std::shared_ptr<ProgressTotals> progress) {
  auto file = std::make_shared<TransferSharedFileData>("data.bin", 1 << 20);
  return std::make_shared<TransferSharedMapData>(file, lower, upper, 0, std::move(progress));
}

TEST(TransferSharedMapDataTest, SettleCountsExactlyTheChunkLength) {
  struct Case {
    const char* name;
    std::uint64_t counted;
    std::int64_t transferredChange;
  };
  const Case cases[] = {
      {"nothing counted yet", 0, 1000},
      {"part counted", 400, 600},
      {"all counted", 1000, 0},
      {"too much counted", 1300, -300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto progress = std::make_shared<ProgressTotals>();
    progress->transferred = static_cast<std::int64_t>(c.counted);
    auto chunk = MakeChunk(5000, 5999, progress);
    chunk->fileProgressBytes = c.counted;
    chunk->Settle();
    EXPECT_EQ(progress->transferred - static_cast<std::int64_t>(c.counted), c.transferredChange);
    EXPECT_EQ(progress->completed, 1000);
    EXPECT_EQ(chunk->fileProgressBytes, 1000u);
  }
}

TEST(TransferSharedMapDataTest, PrepareRewindsTheWindowAndTakesBackCountedBytes) {
  test::TempDir folder;
  auto file = std::make_shared<PosixSharedFile>(Folder::Open(folder.path()), "data.bin",
                                                SharedFileMode::OpenOrCreate, 0, UINT64_MAX);
  ASSERT_TRUE(file->Allocate(3 * 4096));
  auto progress = std::make_shared<ProgressTotals>();
  progress->transferred = 300;
  auto chunk = MakeChunk(4096, 8191, progress);
  chunk->boundedData = file->Map(4096, 8191);
  chunk->boundedData->Seek(4396);
  chunk->fileProgressBytes = 300;

  chunk->Prepare();
  EXPECT_EQ(chunk->boundedData->Tell(), 4096u);
  EXPECT_EQ(progress->transferred, 0);
  EXPECT_EQ(chunk->fileProgressBytes, 0u);

  // A second attempt that counted nothing takes nothing back.
  chunk->Prepare();
  EXPECT_EQ(progress->transferred, 0);
}

TEST(TransferSharedMapDataTest, PrepareWithoutAWindowLeavesTheCountAlone) {
  auto progress = std::make_shared<ProgressTotals>();
  progress->transferred = 300;
  auto chunk = MakeChunk(0, 999, progress);
  chunk->fileProgressBytes = 300;
  chunk->Prepare();
  EXPECT_EQ(progress->transferred, 300);
  EXPECT_EQ(chunk->fileProgressBytes, 300u);
}

}  // namespace
}  // namespace halv
