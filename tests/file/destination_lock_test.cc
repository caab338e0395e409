// The lock on a destination and the folder it opens: held while anything written beneath it
// may still be written, and files reached through the descriptor opened at the start, whatever
// happens to the folder's path afterwards.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "file/destination_lock.h"
#include "file/posix_shared_file.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = std::filesystem;

// What Acquire says when it refuses; "locked" when it does not.
std::string LockRefusal(const std::string& folder, std::chrono::milliseconds wait) {
  try {
    DestinationLock::Acquire(folder, wait);
  } catch (const DestinationInUseException& error) {
    return error.what();
  }
  return "locked";
}

TEST(DestinationLockTest, AnEndedTransfersFilesAndWindowsKeepTheFolderUntilTheLastLetsGo) {
  test::TempDir temp;
  const std::string dest = temp.Child("dest");
  const std::string refusal =
      "another download into " + dest + " is running (process " + std::to_string(getpid()) + " (";
  PosixSharedFileFactory files;
  std::unique_ptr<DestinationLock> first = DestinationLock::Acquire(dest);
  std::shared_ptr<SharedFile> file =
      files.Create(first->folder(), "a.bin", SharedFileMode::Staged, 0, 4095);
  file->Allocate(4096);
  std::shared_ptr<MemoryMappedFileData> window = file->Map(0, 4095);

  // A running transfer is refused at once, naming this process, however long one may wait.
  EXPECT_EQ(LockRefusal(dest, kStoppedHolderWait).rfind(refusal, 0), 0u);

  // The transfer ends first; its file, then only a window of the file, still hold the folder.
  first.reset();
  EXPECT_EQ(LockRefusal(dest, std::chrono::milliseconds(0)).rfind(refusal, 0), 0u);
  file.reset();
  EXPECT_EQ(LockRefusal(dest, std::chrono::milliseconds(0)).rfind(refusal, 0), 0u);

  // A transfer that may wait gets the folder once the last window is gone.
  std::unique_ptr<DestinationLock> second;
  std::thread waiter([&] { second = DestinationLock::Acquire(dest); });
  window.reset();
  waiter.join();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(LockRefusal(dest, std::chrono::milliseconds(0)).rfind(refusal, 0), 0u);
  second.reset();
  EXPECT_EQ(LockRefusal(dest, std::chrono::milliseconds(0)), "locked");
}

TEST(DestinationLockTest, FilesGoWhereTheFolderWasOpenedEvenAfterItsPathIsTakenOver) {
  test::TempDir temp;
  const std::string dest = temp.Child("dest");
  const std::string moved = temp.Child("moved");
  const std::string outside = temp.Child("outside");
  fs::create_directories(outside);
  PosixSharedFileFactory files;
  const std::unique_ptr<DestinationLock> lock = DestinationLock::Acquire(dest);
  const std::shared_ptr<const Folder>& folder = lock->folder();
  fs::rename(dest, moved);
  fs::create_directory_symlink(outside, dest);

  auto file = files.Create(folder, "sub/a.txt", SharedFileMode::Staged, 0, 2);
  file->Allocate(3);
  ASSERT_EQ(file->Write("abc", 3), 3u);
  file->Commit();

  EXPECT_EQ(test::ReadFile(moved + "/sub/a.txt"), "abc");
  EXPECT_TRUE(fs::is_empty(outside));
}

}  // namespace
}  // namespace halv
