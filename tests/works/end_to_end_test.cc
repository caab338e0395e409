// Whole package transfers against real servers on loopback: a folder published by
// halvane-publish and served by nginx on four nodes, and the fault-injecting test server.

#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "file/file_exception.h"
#include "file/paths.h"
#include "file/posix_shared_file.h"
#include "file/shared_file.h"
#include "manifest/package_manifest.h"
#include "nginx_site.h"
#include "temp_dir.h"
#include "test_http_server.h"
#include "test_transfer_work_interface.h"
#include "transfer/http_transfer_status_data.h"
#include "transfer/transfer_status_data.h"
#include "works/chunk_works.h"
#include "works/transfer_workflow_factory.h"

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

constexpr std::uint32_t kChunk = 16384;

// `count` distinct loopback ports that were free a moment ago.
bool IsRunnable(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && (status.st_mode & S_IXUSR) != 0;
}

// The published package: a run file without extension, a script, an empty file, files with
// spaces in nested folders, several sizes (whole chunks, a part chunk, a one-byte file).
const std::map<std::string, std::string>& Files() {
  static const std::map<std::string, std::string> files = {
      {"app", test::PseudoRandomBytes(5 * kChunk + 123, 1)},
      {"tools/setup.sh", test::PseudoRandomBytes(kChunk, 2)},
      {"empty.dat", ""},
      {"docs/read me.txt", "hello"},
      {"data/deep/big file.bin", test::PseudoRandomBytes(24 * kChunk + 7, 3)},
      {"data/one.bin", "x"},
      {"data/exact.bin", test::PseudoRandomBytes(2 * kChunk, 4)},
  };
  return files;
}

std::uint64_t TotalBytes() {
  std::uint64_t total = 0;
  for (const auto& file : Files()) total += file.second.size();
  return total;
}

std::uint64_t ChunkCount() {
  std::uint64_t count = 0;
  for (const auto& file : Files()) count += (file.second.size() + kChunk - 1) / kChunk;
  return count;
}

Settings TestSettings() {
  Settings settings(4);
  settings.workflowConcurrency = 8;
  settings.fileConcurrency = 8;
  // Short limits so that stalled nodes are given up within a second or two.
  settings.connectTimeoutMin = 1;
  settings.connectTimeoutMax = 2;
  settings.probeConnectTimeout = 1;
  settings.requestTimeoutMin = 2;
  settings.probeRequestTimeoutMin = 2;
  settings.lowSpeedTimeMin = 1;
  settings.lowSpeedTimeMax = 2;
  settings.probeLowSpeedTime = 1;
  settings.manifestConnectTimeout = 2;
  settings.manifestTimeout = 5;
  // These tests count requests; racing the end has tests of its own.
  settings.raceMilliseconds = -1;
  return settings;
}

// How often the chunks' windows were read back: Fetch brings a window's pages in, ProcessWindow
// checksums it. Then the bytes read through the files themselves (the check of a file complete
// where it stands) and how many files were opened under their partial name.
struct WindowReads {
  std::atomic<int> fetches{0};
  std::atomic<int> checks{0};
  std::atomic<std::uint64_t> fileBytesRead{0};
  std::atomic<int> staged{0};
  std::atomic<int> flushes{0};
  std::atomic<bool> failFlushes{false};  // every flush of a window fails as a disk error would
};

// A window that forwards everything to a real one and counts its reads.
class CountingWindow : public MemoryMappedFileData {
 public:
  CountingWindow(std::shared_ptr<MemoryMappedFileData> window, WindowReads& reads)
      : MemoryMappedFileData(window->start(), window->end()),
        window_(std::move(window)),
        reads_(reads) {}

  std::uint64_t Tell() override { return window_->Tell(); }
  void Seek(std::uint64_t position) override { window_->Seek(position); }
  std::size_t Read(void* buffer, std::size_t length) override {
    return window_->Read(buffer, length);
  }
  std::size_t Write(const void* data, std::size_t length) override {
    return window_->Write(data, length);
  }
  unsigned char* Advance(std::size_t count) override { return window_->Advance(count); }
  unsigned char* Data() override { return window_->Data(); }
  void ProcessWindow(const WindowFunction& function) override {
    ++reads_.checks;
    window_->ProcessWindow(function);
  }
  void Fetch() override {
    ++reads_.fetches;
    window_->Fetch();
  }
  void PrefaultForWrite() override { window_->PrefaultForWrite(); }
  void StartWriteBack() override { window_->StartWriteBack(); }
  void FlushData() override {
    ++reads_.flushes;
    if (reads_.failFlushes) ThrowFileError(EIO);
    window_->FlushData();
  }

 private:
  const std::shared_ptr<MemoryMappedFileData> window_;
  WindowReads& reads_;
};

// An open file that forwards everything to a real one and hands out counting windows.
class CountingFile : public SharedFile {
 public:
  CountingFile(std::shared_ptr<SharedFile> file, WindowReads& reads)
      : SharedFile(file->start(), file->end()), file_(std::move(file)), reads_(reads) {}

  std::uint64_t Tell() override { return file_->Tell(); }
  void Seek(std::uint64_t position) override { file_->Seek(position); }
  std::size_t Read(void* buffer, std::size_t length) override {
    const std::size_t read = file_->Read(buffer, length);
    reads_.fileBytesRead += read;
    return read;
  }
  std::size_t Write(const void* data, std::size_t length) override {
    return file_->Write(data, length);
  }
  std::uint64_t GetSize() override { return file_->GetSize(); }
  std::size_t ReadAt(void* buffer, std::size_t length, std::uint64_t position) override {
    const std::size_t read = file_->ReadAt(buffer, length, position);
    reads_.fileBytesRead += read;
    return read;
  }
  bool Allocate(std::uint64_t size) override { return file_->Allocate(size); }
  std::uint64_t Seed(std::uint64_t size) override { return file_->Seed(size); }
  bool MayHaveChanged() override { return file_->MayHaveChanged(); }
  void TakeAsVerified() override { file_->TakeAsVerified(); }
  bool Commit() override { return file_->Commit(); }
  void ApplyMode(std::optional<std::uint32_t> mode, std::optional<std::int64_t> modified,
                 bool runnable, std::uint64_t names) override {
    file_->ApplyMode(mode, modified, runnable, names);
  }
  FileIdentity Identity() override { return file_->Identity(); }
  DeferredFile Deferred() override { return file_->Deferred(); }
  std::uint64_t LinkCount() override { return file_->LinkCount(); }
  std::shared_ptr<MemoryMappedFileData> MapAll() override {
    return std::make_shared<CountingWindow>(file_->MapAll(), reads_);
  }
  std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t first, std::uint64_t last) override {
    return std::make_shared<CountingWindow>(file_->Map(first, last), reads_);
  }

 private:
  const std::shared_ptr<SharedFile> file_;
  WindowReads& reads_;
};

// The real POSIX files, whose windows count their reads.
class CountingFileFactory : public SharedFileFactory {
 public:
  std::shared_ptr<SharedFile> Create(const std::shared_ptr<const Folder>& folder,
                                     const std::string& relativePath, SharedFileMode mode,
                                     std::uint64_t start, std::uint64_t end) override {
    if (mode == SharedFileMode::Staged) ++reads.staged;
    return std::make_shared<CountingFile>(files_.Create(folder, relativePath, mode, start, end),
                                          reads);
  }
  bool Delete(const Folder& folder, const std::string& relativePath) override {
    return files_.Delete(folder, relativePath);
  }
  FileIdentity PlaceLink(const Folder& folder, const std::string& relativePath,
                         const std::string& target) override {
    return files_.PlaceLink(folder, relativePath, target);
  }
  FileIdentity PlaceHardLink(const Folder& folder, const std::string& relativePath,
                             const std::string& existingPath) override {
    return files_.PlaceHardLink(folder, relativePath, existingPath);
  }
  FileIdentity PlaceFolder(const Folder& folder, const std::string& relativePath) override {
    return files_.PlaceFolder(folder, relativePath);
  }

  WindowReads reads;

 private:
  PosixSharedFileFactory files_;
};

// A published folder and the transfers of it.
class EndToEndTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const auto& file : Files()) test::WriteFile(temp_.Child("in/" + file.first), file.second);
    // A program is runnable because its mode says so, whatever its name.
    fs::permissions(temp_.Child("in/tools/setup.sh"), fs::perms(0755));
    fs::create_directories(temp_.Child("dest"));
  }

  void Publish(const std::vector<int>& nodePorts) {
    std::string command = std::string(HALV_PUBLISH_BINARY) + " --input " + temp_.Child("in") +
                          " --output " + temp_.Child("www") +
                          " --partner R --package abc --package-version 7 --name Demo --run app" +
                          " --chunk-size " + std::to_string(kChunk);
    for (const int port : nodePorts) command += " --node 127.0.0.1:" + std::to_string(port);
    command += " >/dev/null";
    ASSERT_EQ(::system(command.c_str()), 0);
  }

  // One run of a fresh workflow over a fresh work interface; returns the interface.
  // `files`, when given, replaces the services' destination files.
  std::shared_ptr<test::TestTransferWorkInterface> Run(const std::string& manifestHost,
                                                       const std::string& dest,
                                                       SharedFileFactory* files = nullptr,
                                                       const Settings& settings = TestSettings()) {
    services_ = std::make_unique<test::TransferServices>(manifestHost, settings, 8);
    if (files) services_->behavior.fileFactory = files;
    TransferParams params;
    params.transferId = NewTransferId();
    params.partnerId = "R";
    params.packageId = "abc";
    params.destPath = dest;
    auto transfer = std::make_shared<test::TestTransferWorkInterface>(params, services_->behavior,
                                                                      services_->sessions.Create());
    workflow_ = StandardTransferWorkflowFactory().CreateWorkflow(transfer);
    EXPECT_TRUE(transfer->RunToEnd(workflow_));
    return transfer;
  }

  void ExpectComplete(const test::TestTransferWorkInterface& transfer) {
    const auto completions = transfer.Completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].status.result, WorkResult::Success);
    EXPECT_TRUE(transfer.RetryableErrors().empty());
    for (const auto& file : Files()) {
      SCOPED_TRACE(file.first);
      EXPECT_TRUE(ReadFile(temp_.Child("dest/" + file.first)) == file.second);
    }
    const auto& progress = *transfer.progress();
    EXPECT_EQ(progress.transferred.load(), static_cast<std::int64_t>(TotalBytes()));
    EXPECT_EQ(progress.completed.load(), TotalBytes());
    EXPECT_LE(progress.peakTransferred.load(), static_cast<std::int64_t>(TotalBytes()));
    EXPECT_TRUE(IsRunnable(temp_.Child("dest/app")));
    EXPECT_TRUE(IsRunnable(temp_.Child("dest/tools/setup.sh")));
    EXPECT_FALSE(IsRunnable(temp_.Child("dest/docs/read me.txt")));
  }

  void Finish() {
    if (workflow_) workflow_->Abort(WorkStatus(WorkResult::Stopped));
    services_.reset();
    workflow_.reset();
  }

  void TearDown() override { Finish(); }

  test::TempDir temp_;
  std::unique_ptr<test::TransferServices> services_;
  std::shared_ptr<Workflow> workflow_;
};

// nginx on a manifest port and four node ports, serving the published folder.
class NginxEndToEndTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    ports_ = test::FreeLoopbackPorts(5);
    Publish({ports_[1], ports_[2], ports_[3], ports_[4]});
    std::string start = std::string(HALV_SERVE_NGINX) + " start --root " + temp_.Child("www") +
                        " --state " + temp_.Child("nginx") + " --manifest-port " +
                        std::to_string(ports_[0]);
    for (int i = 1; i < 5; ++i) start += " --node-port " + std::to_string(ports_[i]);
    start += " >/dev/null";
    ASSERT_EQ(::system(start.c_str()), 0) << ReadFile(temp_.Child("nginx/error.log"));
    started_ = true;
  }

  void TearDown() override {
    EndToEndTest::TearDown();
    if (started_) {
      const std::string stop =
          std::string(HALV_SERVE_NGINX) + " stop --state " + temp_.Child("nginx");
      EXPECT_EQ(::system(stop.c_str()), 0);
    }
  }

  std::string ManifestHost() const { return "127.0.0.1:" + std::to_string(ports_[0]); }

  // Every ranged file request the four nodes logged so far: the request lines.
  std::vector<std::string> ChunkRequests() const {
    std::vector<std::string> lines;
    for (int i = 1; i < 5; ++i) {
      std::istringstream log(
          ReadFile(temp_.Child("nginx/access-" + std::to_string(ports_[i]) + ".log")));
      for (std::string line; std::getline(log, line);) {
        if (line.find("/packages/") != std::string::npos) lines.push_back(line);
      }
    }
    return lines;
  }

  std::vector<int> ports_;
  bool started_ = false;
};

TEST_F(NginxEndToEndTest, DownloadsResumesAndRepairsOnlyWhatIsWrong) {
  {
    auto transfer = Run(ManifestHost(), temp_.Child("dest"));
    ExpectComplete(*transfer);
    EXPECT_EQ(ChunkRequests().size(), ChunkCount());
    EXPECT_EQ(transfer->progress()->diskChecks.load(), 0) << "nothing was on disk to check";
    // Every request used a percent-encoded name.
    for (const auto& line : ChunkRequests()) EXPECT_EQ(line.find(" me.txt"), std::string::npos);
    Finish();
  }
  // Complete on disk: verified chunk by chunk, nothing requested.
  {
    auto transfer = Run(ManifestHost(), temp_.Child("dest"));
    ExpectComplete(*transfer);
    EXPECT_EQ(ChunkRequests().size(), ChunkCount());
    EXPECT_EQ(transfer->progress()->received.load(), 0u);
    // So progress shows a check, not a download.
    EXPECT_GT(transfer->progress()->diskChecks.load(), 0);
    Finish();
  }
  // Two damaged chunks of one file and a truncated file: the blocks that differ and the
  // truncated file's missing chunk are fetched again, nothing else.
  {
    const std::string big = temp_.Child("dest/data/deep/big file.bin");
    {
      std::fstream file(big, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(3 * kChunk + 10);
      file.put('\x5a' ^ Files().at("data/deep/big file.bin")[3 * kChunk + 10]);
      file.seekp(20 * kChunk);
      file.put('\x01' ^ Files().at("data/deep/big file.bin")[20 * kChunk]);
    }
    fs::resize_file(temp_.Child("dest/data/exact.bin"), kChunk + 5);
    std::multiset<std::string> before;
    for (const auto& line : ChunkRequests()) before.insert(line);
    auto transfer = Run(ManifestHost(), temp_.Child("dest"));
    ExpectComplete(*transfer);
    // The logs of the four nodes are read one after another: new lines are the ones not seen
    // before (each line carries its connection's request number, so none repeats).
    std::multiset<std::string> asked;
    for (const auto& line : ChunkRequests()) {
      if (before.count(line) != 0) continue;
      const std::size_t path = line.find("/packages/");
      const std::size_t range = line.find("\"bytes=");
      ASSERT_NE(range, std::string::npos) << line;
      asked.insert(line.substr(path, line.find(' ', path) - path) + " " +
                   line.substr(range + 1, line.find('"', range + 1) - range - 1));
    }
    // The damaged file's block index and the two blocks of 512 bytes that differ; the truncated
    // file's missing chunk whole (what it has left is where it was).
    const std::multiset<std::string> expected = {
        "/packages/R/abc/.7.blocks bytes=1932-11927",
        "/packages/R/abc/7/data/deep/big%20file.bin bytes=49152-49663",
        "/packages/R/abc/7/data/deep/big%20file.bin bytes=327680-328191",
        "/packages/R/abc/7/data/exact.bin bytes=16384-32767",
    };
    EXPECT_EQ(asked, expected);
    EXPECT_EQ(transfer->progress()->received.load(), (11927 - 1932 + 1) + 2u * 512 + kChunk);
  }
}

TEST_F(NginxEndToEndTest, OnlyFilesThisRunAllocatedSkipTheCheckBeforeDownload) {
  const int chunks = static_cast<int>(ChunkCount());
  struct Case {
    const char* name;
    // Leaves the destination as the run before this one would have.
    void (*prepare)(const std::string& dest);
    int fetches;   // windows read back before their download
    int checks;    // windows read back and checksummed
    int requests;  // chunk requests
    // Bytes read through the files where they stand, before any window: up to the first wrong
    // chunk of each.
    std::uint64_t readInPlace;
  };
  std::uint64_t firstChunks = 0;
  for (const auto& file : Files())
    firstChunks += std::min<std::uint64_t>(kChunk, file.second.size());
  const Case cases[] = {
      // New files: each chunk is downloaded at once and checked as it arrives; no window is
      // read back.
      {"fresh", [](const std::string&) {}, 0, 0, chunks, 0},
      // Every file at its full size but holding only zeros, as a run killed right after
      // allocating leaves them: each chunk is read back and checked, then downloaded and checked
      // as it arrives; the block indexes are fetched too (one request), old files being there,
      // and find nothing of the package in them.
      {"allocated by a killed run",
       [](const std::string& dest) {
         for (const auto& file : Files()) {
           test::WriteFile(dest + "/" + file.first, "");
           fs::resize_file(dest + "/" + file.first, file.second.size());
         }
       },
       chunks, chunks, chunks + 1, firstChunks},
      // Complete: each file is read and checked where it stands, no window is made, nothing is
      // requested.
      {"complete",
       [](const std::string& dest) {
         for (const auto& file : Files()) test::WriteFile(dest + "/" + file.first, file.second);
       },
       0, 0, 0, TotalBytes()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dest = temp_.Child(std::string("dest-") + c.name);
    fs::create_directories(dest);
    c.prepare(dest);
    const std::size_t before = ChunkRequests().size();
    CountingFileFactory files;
    auto transfer = Run(ManifestHost(), dest, &files);
    const auto completions = transfer->Completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].status.result, WorkResult::Success);
    for (const auto& file : Files()) {
      EXPECT_TRUE(ReadFile(dest + "/" + file.first) == file.second) << file.first;
    }
    EXPECT_EQ(transfer->progress()->completed.load(), TotalBytes());
    Finish();
    EXPECT_EQ(files.reads.fetches.load(), c.fetches);
    EXPECT_EQ(files.reads.checks.load(), c.checks);
    EXPECT_EQ(static_cast<int>(ChunkRequests().size() - before), c.requests);
    EXPECT_EQ(files.reads.fileBytesRead.load(), c.readInPlace);
  }
}

TEST_F(NginxEndToEndTest, FilesAreFlushedAlongTheWayAndAFailedFlushFailsTheRun) {
  Settings settings = TestSettings();
  settings.flushEveryBytes = 4 * kChunk;
  for (const bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "the flushes fail" : "the flushes succeed");
    const std::string dest = temp_.Child(fail ? "dest-failing" : "dest-flushed");
    fs::create_directories(dest);
    CountingFileFactory files;
    files.reads.failFlushes = fail;
    auto transfer = Run(ManifestHost(), dest, &files, settings);
    const auto completions = transfer->Completions();
    Finish();
    // The big file alone is 24 chunks: flushed at least 6 times along the way, or stopped at the
    // first flush that failed, since the kernel reports a failed write-back only once.
    EXPECT_GE(files.reads.flushes.load(), fail ? 1 : 6);
    if (!fail) {
      ASSERT_EQ(completions.size(), 1u);
      EXPECT_EQ(completions[0].status.result, WorkResult::Success);
      continue;
    }
    EXPECT_TRUE(completions.empty() || completions[0].status.result != WorkResult::Success);
    EXPECT_FALSE(fs::exists(dest + "/data/deep/big file.bin")) << "renamed into place unflushed";
  }
}

TEST_F(NginxEndToEndTest, ARerunOverACompleteDownloadLeavesEveryFileWhereItIs) {
  const std::string dest = temp_.Child("dest");
  ExpectComplete(*Run(ManifestHost(), dest));
  Finish();
  std::map<std::string, ino_t> inodes;
  for (const auto& file : Files()) {
    struct stat status;
    ASSERT_EQ(stat((dest + "/" + file.first).c_str(), &status), 0) << file.first;
    inodes[file.first] = status.st_ino;
  }
  const std::size_t before = ChunkRequests().size();
  CountingFileFactory files;
  auto transfer = Run(ManifestHost(), dest, &files);
  ExpectComplete(*transfer);
  Finish();
  EXPECT_EQ(ChunkRequests().size(), before);
  EXPECT_EQ(transfer->progress()->received.load(), 0u);
  EXPECT_EQ(files.reads.staged.load(), 0);
  for (const auto& file : Files()) {
    struct stat status;
    ASSERT_EQ(stat((dest + "/" + file.first).c_str(), &status), 0) << file.first;
    EXPECT_EQ(status.st_ino, inodes[file.first]) << file.first;
    EXPECT_TRUE(ReadFile(dest + "/" + file.first) == file.second) << file.first;
  }
  for (const auto& entry : fs::recursive_directory_iterator(dest)) {
    EXPECT_EQ(entry.path().string().find(".halvane-part"), std::string::npos) << entry.path();
  }
}

// The published package served by four fault-injecting test servers (node 0 to 3), with the
// manifests on a fifth.
class FaultyNodesTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    manifests_.Start();
    std::vector<int> ports;
    for (auto& node : nodes_) {
      node.Start();
      ports.push_back(node.port());
    }
    Publish(ports);
    for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("www"))) {
      if (!entry.is_regular_file()) continue;
      const std::string relative =
          "/" + fs::relative(entry.path(), temp_.Child("www")).generic_string();
      const std::string content = ReadFile(entry.path().string());
      if (relative.rfind("/packages/", 0) == 0) {
        for (auto& node : nodes_) node.AddContent(Encode(relative), content);
      } else {
        manifests_.AddContent(relative, content);
      }
    }
  }

  // The path as it arrives on the wire.
  static std::string Encode(const std::string& path) {
    std::string encoded;
    for (const char c : path) encoded += c == ' ' ? std::string("%20") : std::string(1, c);
    return encoded;
  }

  static std::string FilePath(const std::string& file) {
    return Encode("/packages/R/abc/7/" + file);
  }

  std::string ManifestHost() const { return "127.0.0.1:" + std::to_string(manifests_.port()); }

  void TearDown() override {
    EndToEndTest::TearDown();
    for (auto& node : nodes_) node.Stop();
    manifests_.Stop();
  }

  test::TestHttpServer manifests_;
  test::TestHttpServer nodes_[4];
};

TEST_F(FaultyNodesTest, FailingNodesAreRoutedAround) {
  struct Case {
    const char* name;
    test::HttpFault fault;
  };
  std::vector<Case> cases;
  auto add = [&cases](const char* name, auto set) {
    test::HttpFault fault;
    set(fault);
    cases.push_back({name, fault});
  };
  add("404", [](test::HttpFault& f) { f.status = 404; });
  add("503", [](test::HttpFault& f) { f.status = 503; });
  add("stall before headers", [](test::HttpFault& f) {
    f.stallBeforeHeaders = true;
    f.times = 2;
  });
  add("stall mid-body", [](test::HttpFault& f) {
    f.stallMidBody = true;
    f.times = 2;
  });
  add("drop mid-body", [](test::HttpFault& f) { f.dropMidBody = true; });
  add("range ignored", [](test::HttpFault& f) { f.ignoreRange = true; });
  add("extra bytes", [](test::HttpFault& f) { f.extraBytes = 100; });
  add("corrupt bytes", [](test::HttpFault& f) { f.corrupt = true; });
  add("short answer", [](test::HttpFault& f) { f.missingBytes = 10; });
  add("other range", [](test::HttpFault& f) { f.shiftRange = 1; });

  // Each fault on one node for every file, the other three healthy; a fresh destination each
  // time.
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dest = temp_.Child("dest" + std::to_string(index++));
    fs::create_directories(dest);
    const int bad = index % 4;
    for (const auto& file : Files()) nodes_[bad].SetFault(FilePath(file.first), c.fault);
    auto transfer = Run(ManifestHost(), dest);
    const auto completions = transfer->Completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].status.result, WorkResult::Success);
    for (const auto& file : Files()) {
      EXPECT_TRUE(ReadFile(dest + "/" + file.first) == file.second) << file.first;
    }
    EXPECT_EQ(transfer->progress()->completed.load(), TotalBytes());
    EXPECT_EQ(transfer->progress()->transferred.load(), static_cast<std::int64_t>(TotalBytes()));
    Finish();
    for (const auto& file : Files()) nodes_[bad].ClearFault(FilePath(file.first));
  }
}

TEST_F(FaultyNodesTest, AnswersThatAreNotTheAskedRangeNeverCountAsGoodSamples) {
  // Every node answers short or shifted: no attempt may pass as a success.
  struct Case {
    const char* name;
    std::size_t missing;
    std::uint64_t shift;
  };
  const Case cases[] = {{"short", 7, 0}, {"shifted", 0, 3}};
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::HttpFault fault;
    fault.missingBytes = c.missing;
    fault.shiftRange = c.shift;
    for (auto& node : nodes_) node.SetFault(FilePath("app"), fault);
    const std::string dest = temp_.Child("range" + std::to_string(index++));
    fs::create_directories(dest);
    auto transfer = Run(ManifestHost(), dest);
    EXPECT_TRUE(transfer->Completions().empty());
    const auto holds = transfer->RetryableErrors();
    ASSERT_EQ(holds.size(), 1u);
    auto data = std::dynamic_pointer_cast<HttpTransferStatusData>(holds[0].status.data);
    ASSERT_TRUE(data) << holds[0].name;
    EXPECT_EQ(data->GetStatus().result, HttpRequestResult::Incomplete);
    // No chunk of the run file was accepted, except perhaps the first when the answer is shifted
    // (it cannot start before byte 0), if it finished before the hold.
    EXPECT_LE(transfer->progress()->completed.load(), c.shift != 0 ? kChunk : 0u);
    Finish();
    for (auto& node : nodes_) node.ClearFault(FilePath("app"));
  }
}

TEST_F(FaultyNodesTest, WhenEveryNodeFailsTheTransferHoldsWithTheErrorAndNothingIsComplete) {
  struct Case {
    const char* name;
    test::HttpFault fault;
    TransferError error;
  };
  test::HttpFault missing;
  missing.status = 404;
  test::HttpFault corrupt;
  corrupt.corrupt = true;
  const Case cases[] = {{"404 everywhere", missing, TransferError::ConnectionError},
                        {"corrupt everywhere", corrupt, TransferError::ChecksumError}};
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (auto& node : nodes_) node.SetFault(FilePath("app"), c.fault);
    const std::string dest = temp_.Child("fail" + std::to_string(index++));
    // A full-size program of the user's, runnable, one chunk of it wrong: it stays as it was
    // while its replacement, which is not runnable, cannot be completed.
    std::string damaged = Files().at("app");
    damaged[kChunk + 1] ^= 0x20;
    test::WriteFile(dest + "/app", damaged);
    fs::permissions(dest + "/app", fs::perms(0755));
    auto transfer = Run(ManifestHost(), dest);
    EXPECT_TRUE(transfer->Completions().empty());
    const auto holds = transfer->RetryableErrors();
    ASSERT_EQ(holds.size(), 1u);
    EXPECT_EQ(holds[0].status.result, WorkResult::Retryable);
    auto data = std::dynamic_pointer_cast<TransferStatusData>(holds[0].status.data);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->ToTransferError(), c.error);
    if (c.error == TransferError::ChecksumError) {
      // Every one of the four nodes served a bad body and is counted once.
      const std::string text = data->ToString();
      std::vector<std::string> fields;
      std::istringstream in(text);
      for (std::string field; std::getline(in, field, '|');) fields.push_back(field);
      ASSERT_EQ(fields.size(), 11u) << text;
      EXPECT_EQ(fields[7], "4") << text;
    }
    // Only the chunks of the program that were already right count; the wrong one does not.
    EXPECT_EQ(transfer->progress()->completed.load(), Files().at("app").size() - kChunk);
    EXPECT_FALSE(IsRunnable(dest + "/app" + kPartialFileSuffix));
    EXPECT_TRUE(IsRunnable(dest + "/app"));
    EXPECT_TRUE(ReadFile(dest + "/app") == damaged);
    Finish();
    for (auto& node : nodes_) node.ClearFault(FilePath("app"));
  }
}

TEST_F(FaultyNodesTest, DuplicatePathsOfConcurrentFilesAreAManifestError) {
  // A package document that lists one other file twice under two spellings.
  std::string document = ReadFile(temp_.Child("www/manifests/abc/current.xml"));
  const std::string entry = "<file><path>data/one.bin</path>";
  const std::size_t at = document.find(entry);
  ASSERT_NE(at, std::string::npos);
  const std::size_t end = document.find("</file>", at) + 7;
  std::string twin = document.substr(at, end - at);
  twin.replace(twin.find("data/one.bin"), 12, "data//one.bin");
  document.insert(end, twin);
  manifests_.AddContent("/manifests/abc/current.xml", document);

  auto transfer = Run(ManifestHost(), temp_.Child("dest"));
  const auto completions = transfer->Completions();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].status.result, WorkResult::Error);
  auto data = std::dynamic_pointer_cast<TransferStatusData>(completions[0].status.data);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->ToTransferError(), TransferError::ManifestError);
  EXPECT_FALSE(fs::exists(temp_.Child("dest/data/one.bin")));
}

// In a forked child: a tmpfs of `size` on `mountPoint`, seen by this process only. "" on
// success, otherwise a reason starting with "skip:".
std::string MountTmpfs(const std::string& mountPoint, const std::string& size, bool remount) {
  if (!remount && unshare(CLONE_NEWNS) != 0) {
    return std::string("skip: no private mount namespace: ") + std::strerror(errno);
  }
  if (!remount && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("skip: ") + std::strerror(errno);
  }
  const std::string options = "size=" + size;
  if (mount("tmpfs", mountPoint.c_str(), "tmpfs", remount ? MS_REMOUNT : 0, options.c_str()) != 0) {
    return std::string("skip: cannot mount a tmpfs: ") + std::strerror(errno);
  }
  return "";
}

TEST_F(NginxEndToEndTest, AFullDiskEndsWithInsufficientSpaceAndTheNextRunResumes) {
  // The child has no threads when it forks (this fixture's servers are other processes).
  const std::string dest = temp_.Child("dest");
  const std::string message = test::RunInChild([&]() -> std::string {
    std::string message = MountTmpfs(dest, "256k", false);
    if (!message.empty()) return message;
    auto transfer = Run(ManifestHost(), dest);
    const auto holds = transfer->RetryableErrors();
    auto data = holds.empty() ? nullptr
                              : std::dynamic_pointer_cast<TransferStatusData>(holds[0].status.data);
    if (!transfer->Completions().empty() || !data ||
        data->ToTransferError() != TransferError::InsufficientSpace) {
      message = "first run did not end with InsufficientSpace";
    }
    Finish();
    if (!message.empty()) return message;
    message = MountTmpfs(dest, "4m", true);
    if (!message.empty()) return message;
    auto again = Run(ManifestHost(), dest);
    const auto completions = again->Completions();
    if (completions.size() != 1 || completions[0].status.result != WorkResult::Success) {
      message = "second run did not complete";
    }
    for (const auto& file : Files()) {
      if (ReadFile(dest + "/" + file.first) != file.second) message += " differs:" + file.first;
    }
    Finish();
    return message;
  });
  if (message.rfind("skip:", 0) == 0) GTEST_SKIP() << message;
  EXPECT_EQ(message, "");
}

}  // namespace
}  // namespace halv
