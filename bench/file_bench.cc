// The cost of putting chunk bytes on disk and checking them. A 1 GiB file is written through
// 1 MiB windows by 2 threads, the body arriving in 16 KiB pieces as libcurl delivers it: through
// the window's Write, copied into the mapping with and without pre-faulting it, and prefetched
// then written as a chunk is; next to pwrite(2) of the same pieces; then every window is
// fetched and its CRC-32 computed in place, next to pread(2) and the same CRC, with the file in
// the page cache and after its pages were dropped. The CRC routines are also measured over
// memory. Time is wall-clock; CPU is the whole process's, so the two threads and the kernel work
// done on their behalf (page faults, copies) are counted. The file lives in a folder beside this
// program, at most 1 GiB at a time, and is removed at the end.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <zlib.h>
#include <boost/crc.hpp>
#include <boost/filesystem.hpp>

#include "file/crc32.h"
#include "file/posix_shared_file.h"

namespace halv {
namespace {

namespace fs = boost::filesystem;

constexpr std::uint64_t kFileSize = std::uint64_t{1} << 30;
constexpr std::uint64_t kWindow = std::uint64_t{1} << 20;
constexpr std::uint64_t kWindows = kFileSize / kWindow;
constexpr std::size_t kPiece = 16 << 10;
constexpr int kThreads = 2;
constexpr std::uint64_t kAll = ~std::uint64_t{0};
constexpr char kFileName[] = "bench.bin";

std::string gFolder;

// The body of every window: 1 MiB of random bytes.
const std::vector<unsigned char>& Body() {
  static const std::vector<unsigned char> body = [] {
    std::vector<unsigned char> bytes(kWindow);
    std::mt19937 random(42);
    for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
    return bytes;
  }();
  return body;
}

std::uint32_t BodyCrc() {
  static const std::uint32_t crc = Crc32(Body().data(), Body().size());
  return crc;
}

std::string FilePath() { return gFolder + "/" + kFileName; }

// Runs `perWindow(window)` for every window, the windows dealt out in turn to the threads.
void ForEachWindow(const std::function<void(std::uint64_t)>& perWindow) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &perWindow] {
      for (std::uint64_t window = t; window < kWindows; window += kThreads) perWindow(window);
    });
  }
  for (auto& thread : threads) thread.join();
}

// A new, allocated, empty-content file of kFileSize bytes.
std::shared_ptr<SharedFile> FreshFile() {
  PosixSharedFileFactory factory;
  factory.Delete(*Folder::Open(gFolder), kFileName);
  auto file = factory.Create(Folder::Open(gFolder), kFileName, SharedFileMode::CreateNew, 0, kAll);
  file->Allocate(kFileSize);
  return file;
}

void Finish(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_WritePwrite(benchmark::State& state) {
  const auto& body = Body();
  for (auto _ : state) {
    state.PauseTiming();
    auto file = FreshFile();
    const int descriptor = open(FilePath().c_str(), O_WRONLY | O_CLOEXEC);
    state.ResumeTiming();
    ForEachWindow([&](std::uint64_t window) {
      for (std::size_t done = 0; done < kWindow; done += kPiece) {
        if (pwrite(descriptor, body.data() + done, kPiece, window * kWindow + done) !=
            static_cast<ssize_t>(kPiece)) {
          std::abort();
        }
      }
    });
    state.PauseTiming();
    close(descriptor);
    file.reset();
    state.ResumeTiming();
  }
  Finish(state);
}

// How a window's body gets in: through Write (the product's path), or copied into the mapping
// through Advance, with or without populating the pages first, or prefetched as a chunk is before
// its download and then written.
enum WindowWrite { kWrite, kCopy, kPrefaultAndCopy, kFetchAndWrite };

void BM_WriteWindows(benchmark::State& state, WindowWrite how) {
  const auto& body = Body();
  for (auto _ : state) {
    state.PauseTiming();
    auto file = FreshFile();
    state.ResumeTiming();
    ForEachWindow([&](std::uint64_t window) {
      auto view = file->Map(window * kWindow, (window + 1) * kWindow - 1);
      if (how == kPrefaultAndCopy) view->PrefaultForWrite();
      if (how == kFetchAndWrite) view->Fetch();
      for (std::size_t done = 0; done < kWindow; done += kPiece) {
        if (how == kCopy || how == kPrefaultAndCopy) {
          std::memcpy(view->Advance(kPiece), body.data() + done, kPiece);
        } else {
          view->Write(body.data() + done, kPiece);
        }
      }
    });
    state.PauseTiming();
    file.reset();
    state.ResumeTiming();
  }
  Finish(state);
}

// Writes the file the verification benchmarks read, once.
std::shared_ptr<SharedFile> VerifiedFile() {
  static bool written = false;
  PosixSharedFileFactory factory;
  if (!written) {
    auto file = FreshFile();
    for (std::uint64_t window = 0; window < kWindows; ++window) {
      file->Seek(window * kWindow);
      file->Write(Body().data(), kWindow);
    }
    written = true;
  }
  return factory.Create(Folder::Open(gFolder), kFileName, SharedFileMode::OpenExisting, 0, kAll);
}

// Writes back and drops the file's cached pages, so that the next reads come from the disk.
void DropCachedPages() {
  const int descriptor = open(FilePath().c_str(), O_RDONLY | O_CLOEXEC);
  fdatasync(descriptor);
  posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
  close(descriptor);
}

void BM_VerifyWindows(benchmark::State& state) {
  const bool cold = state.range(0) != 0;
  auto file = VerifiedFile();
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      DropCachedPages();
      state.ResumeTiming();
    }
    ForEachWindow([&](std::uint64_t window) {
      auto view = file->Map(window * kWindow, (window + 1) * kWindow - 1);
      view->Fetch();
      std::uint32_t crc = 0;
      view->ProcessWindow(
          [&crc](const unsigned char* data, std::uint32_t length) { crc = Crc32(data, length); });
      if (crc != BodyCrc()) std::abort();
    });
  }
  Finish(state);
}

void BM_VerifyPread(benchmark::State& state) {
  const bool cold = state.range(0) != 0;
  VerifiedFile();
  const int descriptor = open(FilePath().c_str(), O_RDONLY | O_CLOEXEC);
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      DropCachedPages();
      state.ResumeTiming();
    }
    ForEachWindow([&](std::uint64_t window) {
      thread_local std::vector<unsigned char> buffer(kWindow);
      if (pread(descriptor, buffer.data(), kWindow, window * kWindow) !=
          static_cast<ssize_t>(kWindow)) {
        std::abort();
      }
      if (Crc32(buffer.data(), kWindow) != BodyCrc()) std::abort();
    });
  }
  close(descriptor);
  Finish(state);
}

template <typename Routine>
void CrcOverMemory(benchmark::State& state, Routine routine) {
  const auto& body = Body();
  for (auto _ : state) benchmark::DoNotOptimize(routine(body.data(), body.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

void BM_Crc32Chosen(benchmark::State& state) {
  CrcOverMemory(state,
                [](const unsigned char* data, std::size_t size) { return Crc32(data, size); });
}

void BM_Crc32Zlib(benchmark::State& state) {
  CrcOverMemory(state, [](const unsigned char* data, std::size_t size) {
    return crc32(0, data, static_cast<uInt>(size));
  });
}

void BM_Crc32Boost(benchmark::State& state) {
  CrcOverMemory(state, [](const unsigned char* data, std::size_t size) {
    boost::crc_32_type crc;
    crc.process_bytes(data, size);
    return crc.checksum();
  });
}

// A whole-file write is long and disk-bound: two runs, timed by the clock and by the CPU the
// whole process (both writer threads) spent.
void WholeFileWrite(benchmark::internal::Benchmark* b) {
  b->Iterations(2)->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Crc32Chosen);
BENCHMARK(BM_Crc32Zlib);
BENCHMARK(BM_Crc32Boost);
BENCHMARK(BM_WritePwrite)->Apply(WholeFileWrite);
BENCHMARK_CAPTURE(BM_WriteWindows, Write, kWrite)->Apply(WholeFileWrite);
BENCHMARK_CAPTURE(BM_WriteWindows, Copy, kCopy)->Apply(WholeFileWrite);
BENCHMARK_CAPTURE(BM_WriteWindows, PrefaultAndCopy, kPrefaultAndCopy)->Apply(WholeFileWrite);
BENCHMARK_CAPTURE(BM_WriteWindows, FetchAndWrite, kFetchAndWrite)->Apply(WholeFileWrite);
BENCHMARK(BM_VerifyWindows)
    ->ArgName("cold")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyPread)
    ->ArgName("cold")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halv

int main(int argc, char** argv) {
  namespace fs = boost::filesystem;
  const fs::path folder = fs::read_symlink("/proc/self/exe").parent_path() / "file_bench.tmp";
  fs::create_directories(folder);
  halv::gFolder = folder.string();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(folder);
  return 0;
}
