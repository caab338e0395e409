#include "store/manifest_store.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>
#include <boost/property_tree/ptree.hpp>

#include "child_process.h"
#include "config/settings.h"
#include "file/file_exception.h"
#include "file/posix_shared_file.h"
#include "file/shared_file.h"
#include "manifest/manifest_exception.h"
#include "start_gate.h"
#include "store/temp_file_manifest_store_impl.h"
#include "store/transfer_manifest.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = boost::filesystem;
using test::ReadFile;

constexpr char kId[] = "0123456789abcdef0123456789abcdef";

TransferParams Params(const std::string& transferId, const std::string& destPath) {
  TransferParams params;
  params.transferId = transferId;
  params.partnerId = "partner-7";
  params.packageId = "Halvane.Game";
  params.versionId = "2.4.1";
  params.destPath = destPath;
  return params;
}

// The stored line for Params(transferId, ...) whose destPath is written as `escapedDestPath`.
std::string Line(const std::string& transferId, const std::string& escapedDestPath) {
  return "{\"transferId\":\"" + transferId +
         "\",\"partnerId\":\"partner-7\",\"packageId\":\"Halvane.Game\",\"versionId\":\"2.4.1\","
         "\"destPath\":\"" +
         escapedDestPath + "\"}\n";
}

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Every file below `folder`, as paths relative to it.
std::set<std::string> FilesBelow(const std::string& folder) {
  std::set<std::string> files;
  boost::system::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (!fs::is_directory(it->path())) files.insert(fs::relative(it->path(), folder).string());
  }
  return files;
}

bool Equal(const TransferParams& a, const TransferParams& b) {
  return a.transferId == b.transferId && a.partnerId == b.partnerId && a.packageId == b.packageId &&
         a.versionId == b.versionId && a.destPath == b.destPath;
}

// A file that writes the first half of what it is given, then fails as a full disk does.
class HalfWritingFile : public SharedFile {
 public:
  explicit HalfWritingFile(std::shared_ptr<SharedFile> file)
      : SharedFile(file->start(), file->end()), file_(std::move(file)) {}

  std::uint64_t Tell() override { return file_->Tell(); }
  void Seek(std::uint64_t position) override { file_->Seek(position); }
  std::size_t Read(void* buffer, std::size_t length) override {
    return file_->Read(buffer, length);
  }
  std::size_t Write(const void* data, std::size_t length) override {
    file_->Write(data, length / 2);
    throw FileInsufficientSpaceException();
  }
  std::uint64_t GetSize() override { return file_->GetSize(); }
  std::size_t ReadAt(void* buffer, std::size_t length, std::uint64_t position) override {
    return file_->ReadAt(buffer, length, position);
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
  std::shared_ptr<MemoryMappedFileData> MapAll() override { return file_->MapAll(); }
  std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t first, std::uint64_t last) override {
    return file_->Map(first, last);
  }

 private:
  const std::shared_ptr<SharedFile> file_;
};

// The real factory, recording every file it is asked to open and breaking them on demand.
class FaultInjectingFactory : public SharedFileFactory {
 public:
  enum class Fault { kNone, kHalfWrite, kRefuseCreate };

  struct Opened {
    std::string relativePath;
    SharedFileMode mode;
  };

  std::shared_ptr<SharedFile> Create(const std::shared_ptr<const Folder>& folder,
                                     const std::string& relativePath, SharedFileMode mode,
                                     std::uint64_t start, std::uint64_t end) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      opened_.push_back({relativePath, mode});
    }
    if (fault_ == Fault::kRefuseCreate) throw FileInaccessibleException();
    std::shared_ptr<SharedFile> file = real_.Create(folder, relativePath, mode, start, end);
    if (fault_ == Fault::kHalfWrite) return std::make_shared<HalfWritingFile>(std::move(file));
    return file;
  }
  bool Delete(const Folder& folder, const std::string& relativePath) override {
    return real_.Delete(folder, relativePath);
  }
  FileIdentity PlaceLink(const Folder& folder, const std::string& relativePath,
                         const std::string& target) override {
    return real_.PlaceLink(folder, relativePath, target);
  }
  FileIdentity PlaceHardLink(const Folder& folder, const std::string& relativePath,
                             const std::string& existingPath) override {
    return real_.PlaceHardLink(folder, relativePath, existingPath);
  }
  FileIdentity PlaceFolder(const Folder& folder, const std::string& relativePath) override {
    return real_.PlaceFolder(folder, relativePath);
  }

  void set_fault(Fault fault) { fault_ = fault; }
  std::vector<Opened> opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
  }

 private:
  PosixSharedFileFactory real_;
  std::atomic<Fault> fault_{Fault::kNone};
  std::mutex mutex_;
  std::vector<Opened> opened_;
};

class ManifestStoreTest : public ::testing::Test {
 protected:
  std::string Folder() const { return cacheHome_.path() + "/" + Settings().transfersFolder; }
  std::string FileOf(const std::string& key) const { return Folder() + "/" + key + ".json"; }

  bool Save(const TransferParams& params) {
    return store_.Save(params.transferId, TransferManifest(params));
  }

  // Loads `key` into `params`; false when the store refused.
  bool Load(const std::string& key, TransferParams& params) {
    TransferManifest manifest;
    const bool loaded = store_.Load(key, manifest);
    params = manifest.params;
    return loaded;
  }

  test::ScopedCacheHome cacheHome_;
  FaultInjectingFactory factory_;
  JsonTempFileManifestStore<TransferManifest> store_{Settings().transfersFolder, factory_};
};

TEST_F(ManifestStoreTest, SavesOneCompactLineUnderTheTransferId) {
  ASSERT_TRUE(Save(Params(kId, "games")));
  EXPECT_EQ(FilesBelow(cacheHome_.path()),
            std::set<std::string>{Settings().transfersFolder + "/" + kId + ".json"});
  EXPECT_EQ(ReadFile(FileOf(kId)), Line(kId, "games"));

  TransferParams loaded;
  ASSERT_TRUE(Load(kId, loaded));
  EXPECT_TRUE(Equal(loaded, Params(kId, "games")));
  EXPECT_FALSE(loaded.stored);
}

TEST_F(ManifestStoreTest, EscapesEveryCharacterByTheRulesAndReadsItBack) {
  struct Case {
    std::string value;
    std::string stored;
  };
  const Case cases[] = {
      {"C:\\Games\\Zed", "C:\\\\Games\\\\Zed"},
      {"/home/ann/Games", "\\/home\\/ann\\/Games"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {std::string("a\0b\x01\x1F", 5), "a\\u0000b\\u0001\\u001F"},
      {" !#$%&'()*+,-.09:;<=>?@AZ[]^_`az{|}~\x7F", " !#$%&'()*+,-.09:;<=>?@AZ[]^_`az{|}~\x7F"},
      {"\xC2\x80 \xC3\xA9 \xC3\xBF", "\xC2\x80 \xC3\xA9 \xC3\xBF"},  // U+0080, U+00E9, U+00FF
      {"\xC4\x80 \xE2\x82\xAC \xEF\xBF\xBF", "\\u0100 \\u20AC \\uFFFF"},
      {"\xF0\x9F\x98\x80", "\\uD83D\\uDE00"},                                // U+1F600
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\\uD800\\uDC00\\uDBFF\\uDFFF"},  // U+10000, U+10FFFF
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string id = "case" + std::to_string(n++);
    ASSERT_TRUE(Save(Params(id, c.value))) << c.stored;
    EXPECT_EQ(ReadFile(FileOf(id)), Line(id, c.stored));
    TransferParams loaded;
    ASSERT_TRUE(Load(id, loaded)) << c.stored;
    EXPECT_EQ(loaded.destPath, c.value) << c.stored;
  }
}

TEST_F(ManifestStoreTest, RefusesTextThatIsNotUtf8AndLeavesNothing) {
  const char* const values[] = {
      "\x80",                  // stray continuation byte
      "ab\xC3",                // truncated
      "\xC3(",                 // continuation missing
      "\xC0\xAF",              // overlong '/'
      "\xE0\x80\xAF",          // overlong, three bytes
      "\xED\xA0\x80",          // encoded surrogate
      "\xF4\x90\x80\x80",      // above U+10FFFF
      "\xF8\x88\x80\x80\x80",  // five-byte form
      "\xFF",
  };
  for (const char* value : values) {
    EXPECT_FALSE(Save(Params(kId, value))) << value;
    EXPECT_EQ(FilesBelow(cacheHome_.path()), std::set<std::string>{}) << value;
  }
  TransferParams params = Params(kId, "fine");
  params.partnerId = "\xC0\xAF";
  EXPECT_FALSE(Save(params));

  JsonTempFileManifestStoreImpl impl(Settings().transfersFolder, factory_);
  boost::property_tree::ptree tree;
  TransferManifest(Params(kId, "ab\xC3")).Write(tree);
  std::ostringstream stream;
  try {
    impl.Format(tree, stream);
    ADD_FAILURE() << "invalid UTF-8 was formatted";
  } catch (const ManifestParseException& error) {
    EXPECT_STREQ(error.what(), "the value of \"destPath\" is not valid UTF-8 (byte 2)");
  }
}

TEST_F(ManifestStoreTest, ReadsMembersInAnyOrderAndAnyJsonLayout) {
  WriteFile(FileOf("other"),
            "\xEF\xBB\xBF{\n  \"destPath\" : \"\\/opt\\/x \\u00e9\xC3\xA9\\ud83d\\ude00\",\n"
            "  \"versionId\": \"2.4.1\", \"extra\": [1, true, null],\n"
            "  \"packageId\": \"Halvane.Game\",\"partnerId\":\"partner-7\",\r\n"
            "\t\"transferId\": \"other\"\n}");
  TransferParams loaded;
  ASSERT_TRUE(Load("other", loaded));
  EXPECT_TRUE(Equal(loaded, Params("other", "/opt/x \xC3\xA9\xC3\xA9\xF0\x9F\x98\x80")));
}

TEST_F(ManifestStoreTest, LoadFailsForMissingKeysAndDamagedFiles) {
  const std::string full = Line("x", "d");
  const std::string keys[] = {"transferId", "partnerId", "packageId", "versionId", "destPath"};
  std::vector<std::string> texts;
  for (const std::string& key : keys) {
    boost::property_tree::ptree tree;
    TransferManifest(Params("x", "d")).Write(tree);
    tree.erase(key);
    std::ostringstream text;
    JsonTempFileManifestStoreImpl(Settings().transfersFolder, factory_).Format(tree, text);
    texts.push_back(text.str());
  }
  texts.push_back("");
  texts.push_back("not json");
  texts.push_back(full.substr(0, full.size() / 2));
  texts.push_back("[" + full + "]");
  texts.push_back("{\"transferId\":\"\\uD800\"" + full.substr(full.find(',')));
  texts.push_back("{\"transferId\":\"\xC0\xAF\"" + full.substr(full.find(',')));

  for (const std::string& text : texts) {
    WriteFile(FileOf("x"), text);
    TransferParams loaded;
    EXPECT_FALSE(Load("x", loaded)) << text;
  }
  TransferParams loaded;
  WriteFile(FileOf("x"), full);
  EXPECT_TRUE(Load("x", loaded));
  EXPECT_FALSE(Load("missing", loaded));
}

TEST_F(ManifestStoreTest, AKeyIsWrittenOnce) {
  ASSERT_TRUE(Save(Params(kId, "first")));
  EXPECT_FALSE(Save(Params(kId, "second")));
  EXPECT_EQ(ReadFile(FileOf(kId)), Line(kId, "first"));
  EXPECT_EQ(FilesBelow(Folder()), std::set<std::string>{std::string(kId) + ".json"});
}

TEST_F(ManifestStoreTest, RemoveDeletesTheFileAndFreesTheKey) {
  EXPECT_FALSE(store_.Remove(kId));
  ASSERT_TRUE(Save(Params(kId, "first")));
  EXPECT_TRUE(store_.Remove(kId));
  TransferParams loaded;
  EXPECT_FALSE(Load(kId, loaded));
  EXPECT_FALSE(store_.Remove(kId));
  ASSERT_TRUE(Save(Params(kId, "again")));
  EXPECT_EQ(ReadFile(FileOf(kId)), Line(kId, "again"));
}

TEST_F(ManifestStoreTest, PruneKeepsTheNewestRecordsOfTheLastMonth) {
  // Ten records written a day apart, the newest today; one of them 40 days old.
  for (int day = 0; day < 10; ++day) {
    const std::string key = std::string(31, 'a') + static_cast<char>('0' + day);
    ASSERT_TRUE(Save(Params(key, "games")));
    const int age = day == 9 ? 40 : day;
    std::filesystem::last_write_time(
        FileOf(key), std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * age));
  }
  EXPECT_EQ(store_.Prune(std::chrono::hours(24 * 30), 5), 5u);
  std::set<std::string> kept;
  for (int day = 0; day < 5; ++day) {
    kept.insert(Settings().transfersFolder + "/" + std::string(31, 'a') +
                static_cast<char>('0' + day) + ".json");
  }
  EXPECT_EQ(FilesBelow(cacheHome_.path()), kept);
  EXPECT_EQ(store_.Prune(std::chrono::hours(24 * 30), 5), 0u);
}

TEST_F(ManifestStoreTest, WritesANewTemporaryFileBesideTheFinalName) {
  ASSERT_TRUE(Save(Params(kId, "games")));
  const auto opened = factory_.opened();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].mode, SharedFileMode::CreateNew);
  const std::string prefix = Settings().transfersFolder + "/" + kId + ".json.";
  EXPECT_EQ(opened[0].relativePath.compare(0, prefix.size(), prefix), 0) << opened[0].relativePath;
  EXPECT_EQ(opened[0].relativePath.find('/', prefix.size()), std::string::npos);
}

TEST_F(ManifestStoreTest, AFailedSaveLeavesNothingAndDoesNotBlockTheNext) {
  for (const auto fault :
       {FaultInjectingFactory::Fault::kHalfWrite, FaultInjectingFactory::Fault::kRefuseCreate}) {
    factory_.set_fault(fault);
    EXPECT_FALSE(Save(Params(kId, "games")));
    EXPECT_EQ(FilesBelow(cacheHome_.path()), std::set<std::string>{});
    TransferParams loaded;
    EXPECT_FALSE(Load(kId, loaded));
  }
  factory_.set_fault(FaultInjectingFactory::Fault::kNone);
  ASSERT_TRUE(Save(Params(kId, "games")));
  EXPECT_EQ(ReadFile(FileOf(kId)), Line(kId, "games"));
}

TEST_F(ManifestStoreTest, LeftoversOfACrashedSaveDoNotBlockTheKey) {
  const std::string leftover = FileOf(kId) + ".0123456789abcdef.tmp";
  WriteFile(leftover, Line(kId, "games").substr(0, 40));
  TransferParams loaded;
  EXPECT_FALSE(Load(kId, loaded));
  ASSERT_TRUE(Save(Params(kId, "games")));
  ASSERT_TRUE(Load(kId, loaded));
  EXPECT_TRUE(Equal(loaded, Params(kId, "games")));
}

TEST_F(ManifestStoreTest, ADiskFullPartWayLeavesNothingAndDoesNotBlockTheNext) {
  const std::string cache = cacheHome_.path();
  const std::string message = test::RunInChild([this, &cache]() -> std::string {
    if (unshare(CLONE_NEWNS) != 0) {
      return std::string("skip: no private mount namespace: ") + std::strerror(errno);
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", cache.c_str(), "tmpfs", 0, "size=64k") != 0) {
      return std::string("skip: cannot mount a tmpfs: ") + std::strerror(errno);
    }
    PosixSharedFileFactory factory;
    JsonTempFileManifestStore<TransferManifest> store(Settings().transfersFolder, factory);
    if (store.Save(kId, TransferManifest(Params(kId, std::string(256 * 1024, 'x'))))) {
      return "a save larger than the disk succeeded";
    }
    if (!FilesBelow(cache).empty()) return "the failed save left " + *FilesBelow(cache).begin();
    if (!store.Save(kId, TransferManifest(Params(kId, "games")))) return "the next save failed";
    if (ReadFile(FileOf(kId)) != Line(kId, "games")) return "the next save stored other text";
    return "";
  });
  if (message.rfind("skip:", 0) == 0) GTEST_SKIP() << message;
  EXPECT_EQ(message, "");
}

TEST_F(ManifestStoreTest, SavesOfDifferentKeysRunSideBySide) {
  constexpr int kThreads = 8;
  constexpr int kKeysEach = 16;
  test::StartGate gate;
  std::atomic<int> saved{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      gate.Wait();
      for (int k = 0; k < kKeysEach; ++k) {
        const std::string id = "t" + std::to_string(t) + "k" + std::to_string(k);
        if (Save(Params(id, "/dest/" + id))) ++saved;
      }
    });
  }
  gate.Open();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(saved.load(), kThreads * kKeysEach);
  EXPECT_EQ(FilesBelow(Folder()).size(), static_cast<std::size_t>(kThreads * kKeysEach));
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeysEach; ++k) {
      const std::string id = "t" + std::to_string(t) + "k" + std::to_string(k);
      EXPECT_EQ(ReadFile(FileOf(id)), Line(id, "\\/dest\\/" + id));
    }
  }
}

TEST_F(ManifestStoreTest, RacingSavesOfOneKeyHaveOneWinner) {
  constexpr int kThreads = 8;
  test::StartGate gate;
  std::vector<int> won(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      gate.Wait();
      won[t] = Save(Params(kId, "from-" + std::to_string(t))) ? 1 : 0;
    });
  }
  gate.Open();
  for (std::thread& thread : threads) thread.join();
  int winners = 0;
  for (int t = 0; t < kThreads; ++t) {
    if (!won[t]) continue;
    ++winners;
    EXPECT_EQ(ReadFile(FileOf(kId)), Line(kId, "from-" + std::to_string(t)));
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(FilesBelow(Folder()), std::set<std::string>{std::string(kId) + ".json"});
}

}  // namespace
}  // namespace halv
