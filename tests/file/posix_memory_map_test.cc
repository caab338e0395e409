#include "file/posix_memory_map.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "file/crc32.h"
#include "file/fault_guard.h"
#include "file/file_exception.h"
#include "file/posix_shared_file.h"
#include "start_gate.h"
#include "temp_dir.h"

namespace halv {
namespace {

using test::ReadFile;

constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::uint64_t PageSize() { return static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)); }

class MemoryMapTest : public ::testing::Test {
 protected:
  // A file of `bytes` opened for mapping.
  std::shared_ptr<SharedFile> FileWith(const std::string& name, const std::string& bytes) {
    auto file =
        factory_.Create(Folder::Open(dir_.path()), name, SharedFileMode::CreateNew, 0, kAll);
    if (!bytes.empty()) file->Write(bytes.data(), bytes.size());
    return file;
  }

  test::TempDir dir_;
  PosixSharedFileFactory factory_;
};

TEST_F(MemoryMapTest, WindowStartsAtThePageBoundaryBeforeItsFirstByte) {
  const std::string bytes = RandomBytes(80000, 1);
  auto file = FileWith("window.bin", bytes);
  auto window = file->Map(70000, 70999);
  auto view = std::dynamic_pointer_cast<PosixMemoryMapView>(window);
  ASSERT_NE(view, nullptr);
  // With 4 KiB pages the mapping begins at 69,632 and the window 368 bytes into it.
  EXPECT_EQ(view->delta(), 70000 % PageSize());
  EXPECT_EQ(view->Tell(), 70000u);
  EXPECT_EQ(std::memcmp(view->Data(), bytes.data() + 70000, 1000), 0);

  auto aligned = std::dynamic_pointer_cast<PosixMemoryMapView>(file->Map(PageSize(), 70000));
  EXPECT_EQ(aligned->delta(), 0u);
}

TEST_F(MemoryMapTest, WriteFillsTheWindowAndNoMore) {
  const std::string before = RandomBytes(5000, 2);
  auto file = FileWith("write.bin", before);
  auto window = file->Map(1000, 1999);
  const std::string body = RandomBytes(1001, 3);

  EXPECT_EQ(window->Write(body.data(), 600), 600u);
  EXPECT_EQ(window->Tell(), 1600u);
  EXPECT_THROW(window->Write(body.data(), 401), FileOutOfBoundsException);
  EXPECT_EQ(window->Tell(), 1600u);
  // The chunk is restarted from its beginning.
  window->Seek(1000);
  EXPECT_EQ(window->Write(body.data(), 1000), 1000u);
  EXPECT_EQ(window->Tell(), 2000u);
  EXPECT_THROW(window->Write(body.data(), 1), FileOutOfBoundsException);
  EXPECT_EQ(window->Write(body.data(), 0), 0u);
  EXPECT_THROW(window->Seek(2000), FileOutOfBoundsException) << "end + 1 is refused";
  EXPECT_THROW(window->Seek(999), FileOutOfBoundsException);

  std::string expected = before;
  expected.replace(1000, 1000, body, 0, 1000);
  window.reset();
  EXPECT_EQ(ReadFile(dir_.Child("write.bin")), expected) << "neighbours untouched";
}

TEST_F(MemoryMapTest, ReadIsNotShortenedAtTheWindowsEnd) {
  const std::string bytes = RandomBytes(10000, 4);
  auto file = FileWith("read.bin", bytes);
  auto window = file->Map(0, bytes.size() - 1);
  std::string back;
  char buffer[10000];
  EXPECT_EQ(window->Read(buffer, sizeof buffer), 4096u);
  back.append(buffer, 4096);
  EXPECT_EQ(window->Read(buffer, sizeof buffer), 4096u);
  back.append(buffer, 4096);
  EXPECT_THROW(window->Read(buffer, sizeof buffer), FileOutOfBoundsException);
  EXPECT_EQ(window->Tell(), 8192u);
  EXPECT_EQ(window->Read(buffer, 1808), 1808u);
  back.append(buffer, 1808);
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(window->Read(buffer, 0), 0u);
}

TEST_F(MemoryMapTest, AdvanceHandsOutConsecutiveBytes) {
  auto file = FileWith("advance.bin", RandomBytes(300, 5));
  auto window = file->Map(100, 199);
  EXPECT_EQ(window->Advance(0), nullptr);
  unsigned char* first = window->Advance(60);
  EXPECT_EQ(first, window->Data());
  EXPECT_THROW(window->Advance(41), FileOutOfBoundsException);
  EXPECT_EQ(window->Advance(40), window->Data() + 60);
  EXPECT_EQ(window->Tell(), 200u);
  EXPECT_THROW(window->Read(nullptr, 1), FileOutOfBoundsException);
}

TEST_F(MemoryMapTest, ProcessWindowGivesTheSameCrcAsReadingTheFile) {
  const std::string bytes = RandomBytes(3 * 65536 + 123, 6);
  auto file = FileWith("crc.bin", bytes);
  const std::uint64_t first = 4321, last = 2 * 65536 + 99;

  std::uint32_t windowCrc = 0;
  int calls = 0;
  auto window = file->Map(first, last);
  window->ProcessWindow([&](const unsigned char* data, std::uint32_t length) {
    ++calls;
    EXPECT_EQ(data, window->Data());
    EXPECT_EQ(length, last - first + 1);
    windowCrc = Crc32(data, length, windowCrc);
  });
  EXPECT_EQ(calls, 1);

  file->Seek(first);
  std::uint32_t readCrc = 0;
  char buffer[4096];
  for (std::uint64_t left = last - first + 1; left > 0;) {
    const std::size_t count = file->Read(buffer, std::min<std::uint64_t>(left, sizeof buffer));
    ASSERT_GT(count, 0u);
    readCrc = Crc32(buffer, count, readCrc);
    left -= count;
  }
  EXPECT_EQ(windowCrc, readCrc);
  EXPECT_EQ(windowCrc, Crc32(bytes.data() + first, last - first + 1));

  EXPECT_THROW(window->ProcessWindow([](const unsigned char*, std::uint32_t) {
    throw std::runtime_error("escapes");
  }),
               FileInvalidMapException);
}

TEST_F(MemoryMapTest, FetchAndPrefaultLeaveTheContentAlone) {
  const std::string bytes = RandomBytes(5 * PageSize() + 77, 7);
  auto file = FileWith("fetch.bin", bytes);
  auto window = file->Map(100, bytes.size() - 1);
  window->Fetch();
  window->PrefaultForWrite();
  EXPECT_EQ(window->Tell(), 100u);
  window.reset();
  EXPECT_EQ(ReadFile(dir_.Child("fetch.bin")), bytes);
}

TEST_F(MemoryMapTest, WindowsOutliveTheirFile) {
  auto file = FileWith("outlive.bin", std::string(8192, 'a'));
  auto window = file->Map(4000, 4999);
  file.reset();
  const std::string body(1000, 'b');
  EXPECT_EQ(window->Write(body.data(), body.size()), 1000u);
  char buffer[16];
  window->Seek(4990);
  EXPECT_EQ(window->Read(buffer, 10), 10u);
  EXPECT_EQ(std::string(buffer, 10), std::string(10, 'b'));
  window.reset();
  EXPECT_EQ(ReadFile(dir_.Child("outlive.bin")),
            std::string(4000, 'a') + body + std::string(8192 - 5000, 'a'));
}

// The file shrinks underneath its windows: every access to the lost pages raises SIGBUS, which
// must come back as an exception while this process carries on.
TEST_F(MemoryMapTest, TruncatedFileFaultsBecomeExceptions) {
  const std::uint64_t size = 8 * PageSize();
  auto file = FileWith("truncated.bin", RandomBytes(size, 8));
  auto window = file->Map(0, size - 1);
  auto kept = file->Map(0, PageSize() - 1);
  ASSERT_EQ(truncate(dir_.Child("truncated.bin").c_str(), PageSize()), 0);

  const std::string body(size, 'z');
  window->Seek(2 * PageSize());
  EXPECT_THROW(window->Write(body.data(), 4 * PageSize()), FileInvalidMapException);
  EXPECT_EQ(window->Tell(), 2 * PageSize()) << "a failed Write does not advance";
  char buffer[4096];
  EXPECT_THROW(window->Read(buffer, sizeof buffer), FileInvalidMapException);
  EXPECT_EQ(window->Tell(), 2 * PageSize());
  EXPECT_THROW(window->ProcessWindow(
                   [](const unsigned char* data, std::uint32_t length) { Crc32(data, length); }),
               FileInvalidMapException);
  EXPECT_THROW(window->Fetch(), FileInvalidMapException);
  EXPECT_THROW(window->PrefaultForWrite(), FileInvalidMapException);

  // Pages that still exist keep working, in the same window and in others.
  window->Seek(0);
  EXPECT_EQ(window->Write(body.data(), PageSize()), PageSize());
  kept->Fetch();
  EXPECT_EQ(kept->Data()[0], 'z');
  EXPECT_THROW(file->Map(0, size - 1), FileInvalidMapException) << "the file is smaller now";
}

TEST_F(MemoryMapTest, ConcurrentWritersOnDisjointWindows) {
  // Windows that do not start on page boundaries share their first and last pages with their
  // neighbours, which other threads are writing at the same time.
  constexpr std::uint64_t kChunk = 10007;
  constexpr int kChunks = 64;
  constexpr int kThreads = 4;
  const std::string bytes = RandomBytes(kChunk * kChunks, 9);
  auto file = factory_.Create(Folder::Open(dir_.path()), "parallel.bin", SharedFileMode::CreateNew,
                              0, kAll);
  ASSERT_TRUE(file->Allocate(bytes.size()));

  test::StartGate gate;
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      gate.Wait();
      try {
        for (int chunk = t; chunk < kChunks; chunk += kThreads) {
          const std::uint64_t first = chunk * kChunk;
          auto window = file->Map(first, first + kChunk - 1);
          window->Fetch();
          window->PrefaultForWrite();
          const char* body = bytes.data() + first;
          // Arrives in pieces, as an HTTP body does.
          for (std::uint64_t done = 0; done < kChunk; done += 1000) {
            window->Write(body + done, std::min<std::uint64_t>(1000, kChunk - done));
          }
          std::uint32_t crc = 0;
          window->ProcessWindow([&crc](const unsigned char* data, std::uint32_t length) {
            crc = Crc32(data, length);
          });
          if (crc != Crc32(body, kChunk)) failures[t] += "chunk " + std::to_string(chunk) + " ";
        }
      } catch (const std::exception& error) {
        failures[t] += error.what();
      }
    });
  }
  gate.Open();
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
  file.reset();
  EXPECT_TRUE(ReadFile(dir_.Child("parallel.bin")) == bytes);
}

TEST_F(MemoryMapTest, ConcurrentFaultsAreCaughtOnEveryThread) {
  constexpr int kThreads = 4;
  const std::uint64_t windowSize = 4 * PageSize();
  auto file = FileWith("faults.bin", RandomBytes(kThreads * windowSize, 10));
  std::vector<std::shared_ptr<MemoryMappedFileData>> windows;
  for (int t = 0; t < kThreads; ++t) {
    windows.push_back(file->Map(t * windowSize, (t + 1) * windowSize - 1));
  }
  ASSERT_EQ(truncate(dir_.Child("faults.bin").c_str(), 0), 0);

  test::StartGate gate;
  std::vector<std::thread> threads;
  std::vector<int> caught(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      gate.Wait();
      const std::string body(windowSize, 'q');
      for (int round = 0; round < 20; ++round) {
        try {
          windows[t]->Seek(windows[t]->start());
          windows[t]->Write(body.data(), body.size());
        } catch (const FileInvalidMapException&) {
          ++caught[t];
        }
      }
    });
  }
  gate.Open();
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(caught[t], 20) << "thread " << t;
}

// Installs a SIGSEGV handler that exits with 42, then faults at an address outside an active
// guard's region.
[[noreturn]] void FaultOutsideAGuardedRegion() {
  struct sigaction previous = {};
  previous.sa_handler = [](int) { _exit(42); };
  sigemptyset(&previous.sa_mask);
  sigaction(SIGSEGV, &previous, nullptr);
  static void* forbidden = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  char guarded[64];
  RunGuarded(
      guarded, sizeof guarded, [](void*) { *static_cast<volatile char*>(forbidden) = 1; }, nullptr);
  _exit(1);
}

// The guard only claims faults at its own addresses: one elsewhere reaches the handler that was
// there before, even while a guard is active on the same thread. The death test runs in a fresh
// process, so that the guard is installed after that handler.
TEST(FaultGuardTest, OtherFaultsGoToThePreviousHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(FaultOutsideAGuardedRegion(), ::testing::ExitedWithCode(42), "");
}

TEST(FaultGuardTest, ClaimsFaultsInsideItsRegionAndKeepsTheSignalMask) {
  void* forbidden = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(forbidden, MAP_FAILED);
  sigset_t before;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
  // Twice: a fault handler that left its signal blocked would let the second fault kill us.
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(RunGuarded(
        forbidden, 4096, [](void* address) { *static_cast<volatile char*>(address) = 1; },
        forbidden));
  }
  sigset_t after;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
  for (int signal = 1; signal < SIGRTMIN; ++signal) {
    EXPECT_EQ(sigismember(&after, signal), sigismember(&before, signal)) << "signal " << signal;
  }

  int value = 0;
  EXPECT_TRUE(RunGuarded(
      forbidden, 4096, [](void* target) { *static_cast<int*>(target) = 5; }, &value));
  EXPECT_EQ(value, 5);
  munmap(forbidden, 4096);
}

}  // namespace
}  // namespace halv
