#include "file/posix_shared_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "file/file_exception.h"
#include "file/paths.h"
#include "temp_dir.h"

namespace halv {
namespace {

using test::ReadFile;
namespace fs = std::filesystem;

constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

struct stat StatOf(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status;
}

// In a forked child: mounts a fresh file system of `type` on `mountPoint`, visible only to this
// process. Returns "" on success, otherwise a reason starting with "skip:".
std::string MountPrivately(const std::string& mountPoint, const char* type, const char* options) {
  if (unshare(CLONE_NEWNS) != 0) {
    return std::string("skip: no private mount namespace: ") + std::strerror(errno);
  }
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(type, mountPoint.c_str(), type, 0, options) != 0) {
    return std::string("skip: cannot mount a ") + type + ": " + std::strerror(errno);
  }
  return "";
}

class SharedFileTest : public ::testing::Test {
 protected:
  std::shared_ptr<SharedFile> Open(const std::string& relative,
                                   SharedFileMode mode = SharedFileMode::OpenOrCreate,
                                   std::uint64_t start = 0, std::uint64_t end = kAll) {
    return factory_.Create(Folder::Open(dir_.path()), relative, mode, start, end);
  }

  test::TempDir dir_;
  PosixSharedFileFactory factory_;
};

TEST_F(SharedFileTest, ModesOpenCreateOrRefuse) {
  enum Outcome { kOpensExisting, kCreates, kInUse, kBadPath };
  struct Case {
    SharedFileMode mode;
    bool exists;
    Outcome outcome;
  };
  const Case cases[] = {
      {SharedFileMode::OpenOrCreate, false, kCreates},
      {SharedFileMode::OpenOrCreate, true, kOpensExisting},
      {SharedFileMode::CreateNew, false, kCreates},
      {SharedFileMode::CreateNew, true, kInUse},
      {SharedFileMode::OpenExisting, false, kBadPath},
      {SharedFileMode::OpenExisting, true, kOpensExisting},
      {static_cast<SharedFileMode>(7), false, kCreates},
      {static_cast<SharedFileMode>(7), true, kOpensExisting},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string name = "case" + std::to_string(index++) + ".bin";
    SCOPED_TRACE(name);
    if (c.exists) WriteFile(dir_.Child(name), "old");
    switch (c.outcome) {
      case kOpensExisting: {
        auto file = Open(name, c.mode);
        EXPECT_EQ(file->GetSize(), 3u);
        EXPECT_EQ(file->Tell(), 0u);
        break;
      }
      case kCreates:
        EXPECT_EQ(Open(name, c.mode)->GetSize(), 0u);
        EXPECT_TRUE(PathExists(dir_.Child(name)));
        break;
      case kInUse:
        EXPECT_THROW(Open(name, c.mode), FileInUseException);
        EXPECT_EQ(ReadFile(dir_.Child(name)), "old");
        break;
      case kBadPath:
        EXPECT_THROW(Open(name, c.mode), FileBadPathException);
        EXPECT_FALSE(PathExists(dir_.Child(name)));
        break;
    }
  }
}

TEST_F(SharedFileTest, FolderMustExistWhateverTheMode) {
  for (auto mode :
       {SharedFileMode::OpenOrCreate, SharedFileMode::CreateNew, SharedFileMode::OpenExisting}) {
    EXPECT_THROW(factory_.Create(Folder::Open(dir_.Child("missing")), "a.bin", mode, 0, kAll),
                 FileBadPathException);
  }
  EXPECT_FALSE(PathExists(dir_.Child("missing")));
}

TEST_F(SharedFileTest, CreatesParentDirectoriesAndStripsLeadingSlashes) {
  Open("a/b/c.bin");
  EXPECT_TRUE(S_ISDIR(StatOf(dir_.Child("a/b")).st_mode));
  EXPECT_TRUE(PathExists(dir_.Child("a/b/c.bin")));

  Open("d/e.bin", SharedFileMode::CreateNew);
  EXPECT_TRUE(PathExists(dir_.Child("d/e.bin")));

  EXPECT_THROW(Open("f/g.bin", SharedFileMode::OpenExisting), FileBadPathException);
  EXPECT_FALSE(PathExists(dir_.Child("f")));

  for (const char* relative : {"/x/y.dat", "///x/y.dat"}) {
    auto file = Open(relative);
    EXPECT_EQ(std::static_pointer_cast<PosixSharedFile>(file)->path(), dir_.Child("x/y.dat"));
  }
  EXPECT_TRUE(PathExists(dir_.Child("x/y.dat")));
}

TEST_F(SharedFileTest, RefusesPathsThatCannotBeFormedOrCreated) {
  EXPECT_THROW(Open("../escape.bin"), FileBadPathException);
  EXPECT_THROW(Open("a/../../escape.bin"), FileBadPathException);
  WriteFile(dir_.Child("plain"), "x");
  EXPECT_THROW(Open("plain/inside.bin"), FileBadPathException) << "a file is in the way";
  EXPECT_THROW(Open("plain/deeper/inside.bin"), FileBadPathException);
}

TEST_F(SharedFileTest, DescriptorsAreClosedOnExec) {
  auto file = Open("cloexec.bin");
  ASSERT_TRUE(file->Allocate(10));
  auto window = file->Map(0, 9);
  int found = 0;
  DIR* fds = opendir("/proc/self/fd");
  ASSERT_NE(fds, nullptr);
  while (dirent* entry = readdir(fds)) {
    char target[4096] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
    if (std::string(target) != dir_.Child("cloexec.bin")) continue;
    ++found;
    EXPECT_TRUE(fcntl(std::stoi(entry->d_name), F_GETFD) & FD_CLOEXEC) << entry->d_name;
  }
  closedir(fds);
  EXPECT_GE(found, 1);
}

TEST_F(SharedFileTest, ReadsAtMostOneMebibyteAndWritesWhole) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  const std::string bytes = RandomBytes(2 * kBlock + 10000, 1);
  auto file = Open("data.bin");
  EXPECT_EQ(file->Write(bytes.data(), bytes.size()), bytes.size());
  EXPECT_EQ(file->Tell(), bytes.size());
  EXPECT_EQ(file->Write(nullptr, 0), 0u);

  file->Seek(0);
  std::string back;
  std::vector<char> buffer(bytes.size());
  std::size_t count;
  while ((count = file->Read(buffer.data(), buffer.size())) == kBlock) {
    back.append(buffer.data(), count);
  }
  back.append(buffer.data(), count);
  EXPECT_EQ(count, 10000u) << "the last read is short";
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(file->Read(buffer.data(), buffer.size()), 0u) << "at the end of the file";
  EXPECT_EQ(file->Read(buffer.data(), 0), 0u);
  EXPECT_EQ(ReadFile(dir_.Child("data.bin")), bytes);
}

TEST_F(SharedFileTest, BoundsAreCheckedBeforeAnyByteMoves) {
  WriteFile(dir_.Child("bounded.bin"), std::string(300, 'a'));
  auto file = Open("bounded.bin", SharedFileMode::OpenExisting, 100, 199);
  EXPECT_EQ(file->Tell(), 100u) << "opened at its start";
  EXPECT_THROW(file->Seek(99), FileOutOfBoundsException);
  EXPECT_THROW(file->Seek(200), FileOutOfBoundsException);
  EXPECT_EQ(file->Tell(), 100u);

  const std::string block(100, 'b');
  file->Seek(150);
  EXPECT_THROW(file->Write(block.data(), 51), FileOutOfBoundsException);
  EXPECT_EQ(ReadFile(dir_.Child("bounded.bin")), std::string(300, 'a')) << "nothing written";
  EXPECT_EQ(file->Tell(), 150u);
  file->Seek(100);
  EXPECT_EQ(file->Write(block.data(), 100), 100u);
  EXPECT_EQ(ReadFile(dir_.Child("bounded.bin")),
            std::string(100, 'a') + block + std::string(100, 'a'));

  char buffer[64];
  file->Seek(190);
  EXPECT_THROW(file->Read(buffer, 11), FileOutOfBoundsException);
  EXPECT_EQ(file->Read(buffer, 10), 10u);

  // A single transfer of 4 GiB is refused before the buffer is looked at.
  auto open = Open("open.bin");
  EXPECT_THROW(open->Write(buffer, std::size_t{1} << 32), std::bad_alloc);
  EXPECT_EQ(open->GetSize(), 0u);
  // A range that would run past the largest offset is out of bounds, not wrapped around.
  open->Seek(kAll - 1);
  EXPECT_THROW(open->Write(buffer, 4), FileOutOfBoundsException);

  EXPECT_THROW(Open("inverted.bin", SharedFileMode::OpenOrCreate, 10, 9), FileOutOfBoundsException);
  EXPECT_FALSE(PathExists(dir_.Child("inverted.bin"))) << "nothing is created on failure";
}

TEST_F(SharedFileTest, AllocateReservesOnceAndNeverResizes) {
  auto file = Open("alloc.bin");
  ASSERT_TRUE(file->Allocate(0));
  EXPECT_EQ(file->GetSize(), 0u);

  file->Seek(5);
  ASSERT_TRUE(file->Allocate(10000));
  EXPECT_EQ(file->GetSize(), 10000u);
  EXPECT_EQ(file->Tell(), 0u);
  const struct stat status = StatOf(dir_.Child("alloc.bin"));
  EXPECT_GE(status.st_blocks * 512, 10000) << "blocks are reserved, not a sparse file";
  EXPECT_EQ(ReadFile(dir_.Child("alloc.bin")), std::string(10000, '\0'));

  EXPECT_FALSE(file->Allocate(20000));
  EXPECT_FALSE(file->Allocate(0));
  EXPECT_EQ(file->GetSize(), 10000u);

  WriteFile(dir_.Child("existing.bin"), "content");
  auto existing = Open("existing.bin");
  existing->Seek(3);
  EXPECT_FALSE(existing->Allocate(100));
  EXPECT_EQ(ReadFile(dir_.Child("existing.bin")), "content");
  EXPECT_EQ(existing->Tell(), 3u);

  auto bounded = Open("bounded.bin", SharedFileMode::OpenOrCreate, 0, 99);
  EXPECT_THROW(bounded->Allocate(101), FileOutOfBoundsException);
  EXPECT_TRUE(bounded->Allocate(100));
}

TEST_F(SharedFileTest, FileSizeLimitIsRefusedAsInsufficientSpace) {
  const std::string folder = dir_.path();
  const std::string message = test::RunInChild([&folder]() -> std::string {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit = {1 << 20, 1 << 20};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return "setrlimit failed";
    PosixSharedFileFactory factory;
    auto file = factory.Create(Folder::Open(folder), "big.bin", SharedFileMode::CreateNew, 0, kAll);
    try {
      file->Allocate(4 << 20);
      return "Allocate succeeded past the limit";
    } catch (const FileInsufficientSpaceException&) {
    }
    if (file->GetSize() != 0) return "the refused file was not left empty";
    if (!file->Allocate(1 << 20)) return "a file at the limit was refused";
    const std::string block(4096, 'x');
    file->Seek(1 << 20);
    try {
      file->Write(block.data(), block.size());
      return "Write succeeded past the limit";
    } catch (const FileInsufficientSpaceException&) {
    }
    return "ok";
  });
  EXPECT_EQ(message, "ok");
}

// A real full disk: a 1 MiB tmpfs mounted in a private mount namespace of a child process.
TEST_F(SharedFileTest, FullDiskIsRefusedAtAllocationAndFaultsAreCaught) {
  const std::string mountPoint = dir_.Child("small");
  ASSERT_TRUE(CreateDirectories(mountPoint));
  const std::string message = test::RunInChild([&mountPoint]() -> std::string {
    const std::string mounted = MountPrivately(mountPoint, "tmpfs", "size=1m");
    if (!mounted.empty()) return mounted;
    PosixSharedFileFactory factory;
    auto file =
        factory.Create(Folder::Open(mountPoint), "full.bin", SharedFileMode::CreateNew, 0, kAll);
    try {
      file->Allocate(4 << 20);
      return "Allocate succeeded on a full disk";
    } catch (const FileInsufficientSpaceException&) {
    }
    if (file->GetSize() != 0) return "the refused file was not left empty";
    if (!file->Allocate(256 << 10)) return "Allocate within the free space failed";

    // A file sized without reserving its blocks: the disk runs out while a window is written.
    auto sparse =
        factory.Create(Folder::Open(mountPoint), "sparse.bin", SharedFileMode::CreateNew, 0, kAll);
    const int descriptor = open((mountPoint + "/sparse.bin").c_str(), O_RDWR | O_CLOEXEC);
    const bool sized = descriptor >= 0 && ftruncate(descriptor, 4 << 20) == 0;
    if (descriptor >= 0) close(descriptor);
    if (!sized) return "cannot size the sparse file";
    const std::string block(4 << 20, 'x');
    auto window = sparse->Map(0, (4 << 20) - 1);
    try {
      window->Write(block.data(), block.size());
      return "Write into a full disk succeeded";
    } catch (const FileInsufficientSpaceException&) {
    }
    if (window->Tell() != 0) return "a failed Write moved the position";
    // Populating pages for a copy finds the disk full too, and says so instead of faulting.
    auto late = sparse->Map(3 << 20, (4 << 20) - 1);
    try {
      late->PrefaultForWrite();
      return "PrefaultForWrite on a full disk succeeded";
    } catch (const FileInvalidMapException&) {
    }
    return "ok";
  });
  if (message.rfind("skip:", 0) == 0) GTEST_SKIP() << message;
  EXPECT_EQ(message, "ok");
}

TEST_F(SharedFileTest, MapCoversOnlyExistingBytesInsideTheBounds) {
  auto file = Open("map.bin");
  EXPECT_THROW(file->Map(0, 0), FileInvalidMapException) << "nothing allocated yet";
  ASSERT_TRUE(file->Allocate(10000));
  EXPECT_THROW(file->Map(0, 10000), FileInvalidMapException);
  EXPECT_THROW(file->Map(9999, 10000), FileInvalidMapException);
  auto window = file->Map(0, 9999);
  EXPECT_EQ(window->start(), 0u);
  EXPECT_EQ(window->end(), 9999u);
  EXPECT_NE(file->Map(9999, 9999), nullptr);
  EXPECT_THROW(file->Map(5, 4), FileOutOfBoundsException);
  EXPECT_THROW(file->Map(0, (std::uint64_t{1} << 32) - 1), std::bad_alloc);
  EXPECT_THROW(file->Map(7, (std::uint64_t{1} << 32) + 6), std::bad_alloc);

  // Bytes the file gains later can be mapped too, from the same mapping.
  const std::string tail(100, 't');
  file->Seek(10000);
  file->Write(tail.data(), tail.size());
  auto grown = file->Map(10000, 10099);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(grown->Data()), 100), tail);

  auto bounded = Open("map.bin", SharedFileMode::OpenExisting, 100, 199);
  EXPECT_THROW(bounded->Map(99, 150), FileOutOfBoundsException);
  EXPECT_THROW(bounded->Map(150, 200), FileOutOfBoundsException);
  auto all = bounded->MapAll();
  EXPECT_EQ(all->start(), 100u);
  EXPECT_EQ(all->end(), 199u);
}

TEST_F(SharedFileTest, ApplyModeKeepsNothingBeyond0755LessTheUmask) {
  const struct {
    std::optional<std::uint32_t> mode;
    bool runnable;
    mode_t umask;
    mode_t expected;
  } cases[] = {
      {0755, false, 022, 0755},         {04755, false, 022, 0755},       {06777, false, 0, 0755},
      {01644, false, 022, 0644},        {0666, false, 0, 0644},          {0640, false, 022, 0640},
      {0755, false, 077, 0700},         {0644, true, 022, 0755},         {0600, true, 022, 0700},
      {std::nullopt, false, 022, 0664}, {std::nullopt, true, 022, 0775},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string name = "f" + std::to_string(index++);
    SCOPED_TRACE(name);
    const mode_t previous = ::umask(c.umask);
    // A factory takes the umask the process has when it is made.
    auto file = PosixSharedFileFactory().Create(Folder::Open(dir_.path()), name,
                                                SharedFileMode::CreateNew, 0, kAll);
    // Without a mode the file keeps its own bits, group write included, as files always did.
    ::chmod(dir_.Child(name).c_str(), 0664);
    EXPECT_NO_THROW(file->ApplyMode(c.mode, 1500000000, c.runnable, 1));
    ::umask(previous);
    const struct stat status = StatOf(dir_.Child(name));
    EXPECT_EQ(status.st_mode & 07777, c.expected);
    EXPECT_EQ(status.st_mtim.tv_sec, 1500000000);
  }
  // Without a time the file keeps its own.
  auto file = Open("kept", SharedFileMode::CreateNew);
  const timespec times[2] = {{1400000000, 0}, {1400000000, 0}};
  ::utimensat(AT_FDCWD, dir_.Child("kept").c_str(), times, 0);
  file->ApplyMode(0644, std::nullopt, false, 1);
  EXPECT_EQ(StatOf(dir_.Child("kept")).st_mtim.tv_sec, 1400000000);
}

TEST_F(SharedFileTest, NothingUnverifiedIsRunnable) {
  // A partial file an earlier run left runnable, and a new one: neither may run.
  WriteFile(dir_.Child(std::string("old") + kPartialFileSuffix), "x");
  ::chmod(dir_.Child(std::string("old") + kPartialFileSuffix).c_str(), 04755);
  for (const char* name : {"old", "new.sh"}) {
    SCOPED_TRACE(name);
    auto file = Open(name, SharedFileMode::Staged);
    EXPECT_EQ(StatOf(dir_.Child(name + std::string(kPartialFileSuffix))).st_mode & 07111, 0u);
  }
}

TEST_F(SharedFileTest, PlaceLinkMakesKeepsOrReplacesOnlyLinks) {
  ASSERT_EQ(::mkdir(dir_.Child("lib").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("same", dir_.Child("lib/same").c_str()), 0);
  ASSERT_EQ(::symlink("old", dir_.Child("lib/other").c_str()), 0);
  WriteFile(dir_.Child("lib/file"), "mine");
  ASSERT_EQ(::mkdir(dir_.Child("lib/folder").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("lib", dir_.Child("through").c_str()), 0);
  const struct stat same = [&] {
    struct stat status = {};
    ::lstat(dir_.Child("lib/same").c_str(), &status);
    return status;
  }();
  const struct {
    const char* path;
    bool placed;
  } cases[] = {
      {"lib/new", true},   {"made/on/the/way", true}, {"lib/same", true},   {"lib/other", true},
      {"lib/file", false}, {"lib/folder", false},     {"through/x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      const FileIdentity identity = factory_.PlaceLink(*Folder::Open(dir_.path()), c.path, "same");
      EXPECT_TRUE(c.placed);
      char text[16] = {};
      ASSERT_EQ(::readlink(dir_.Child(c.path).c_str(), text, sizeof text - 1), 4);
      EXPECT_STREQ(text, "same");
      struct stat status = {};
      ::lstat(dir_.Child(c.path).c_str(), &status);
      EXPECT_EQ(identity.inode, static_cast<std::uint64_t>(status.st_ino));
    } catch (const FileUnsafePathException& error) {
      EXPECT_FALSE(c.placed) << error.what();
      EXPECT_NE(std::string(error.what()).find(c.path[0] == 't' ? "through" : c.path),
                std::string::npos)
          << error.what();
    }
  }
  struct stat kept = {};
  ::lstat(dir_.Child("lib/same").c_str(), &kept);
  EXPECT_EQ(kept.st_ino, same.st_ino) << "a link with the right target is left as it is";
  EXPECT_EQ(ReadFile(dir_.Child("lib/file")), "mine");
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir_.Child("lib/folder"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.Child("lib/other") + kPartialFileSuffix)));
}

TEST(SharedFileFactoryTest, DeleteReportsWhetherAFileWent) {
  test::TempDir dir;
  PosixSharedFileFactory factory;
  EXPECT_FALSE(factory.Delete(*Folder::Open(dir.path()), "missing.bin"));
  EXPECT_FALSE(factory.Delete(*Folder::Open(dir.path()), "../outside.bin"));
  WriteFile(dir.Child("present.bin"), "x");
  EXPECT_TRUE(factory.Delete(*Folder::Open(dir.path()), "/present.bin"));
  EXPECT_FALSE(PathExists(dir.Child("present.bin")));
}

}  // namespace
}  // namespace halv
