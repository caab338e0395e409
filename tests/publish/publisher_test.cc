#include "publisher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/node_list_manifest.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"
#include "sign/sign_password.h"
#include "temp_dir.h"

namespace halv::publish {
namespace {

using test::ReadFile;

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Deterministic, non-repeating bytes, so that a shifted or swapped chunk changes its CRC.
std::string Bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

// The expected checksums, by zlib rather than by the routine under test.
std::vector<std::uint32_t> Checksums(const std::string& bytes, std::size_t chunkSize) {
  std::vector<std::uint32_t> checksums;
  for (std::size_t offset = 0; offset < bytes.size(); offset += chunkSize) {
    const std::size_t length = std::min(chunkSize, bytes.size() - offset);
    checksums.push_back(static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + offset), length)));
  }
  return checksums;
}

StandardPackageManifest ReadPackage(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  StandardPackageManifest manifest;
  manifest.ReadXml(stream);
  return manifest;
}

StandardNodeListManifest ReadNodes(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  boost::property_tree::ptree tree;
  ParseXmlManifest(stream, tree);
  StandardNodeListManifest list;
  list.Read(tree);
  return list;
}

class PublisherTest : public testing::Test {
 protected:
  PublisherTest() : input_(temp_.Child("in")), output_(temp_.Child("out")) {
    fs::create_directories(input_);
    options_.input = input_.string();
    options_.output = output_.string();
    options_.partner = "R";
    options_.package = "abc";
    options_.version = "7";
    options_.name = "Demo <&> \"Co\"";
    options_.chunkSize = 4096;
    options_.nodes = {ParseNode("127.0.0.1:8081")};
  }

  fs::path Published(const std::string& relative) const {
    return output_ / "packages" / options_.partner / options_.package / options_.version / relative;
  }

  test::TempDir temp_;
  fs::path input_;
  fs::path output_;
  PublishOptions options_;
};

TEST_F(PublisherTest, OutputReadsBackThroughTheManifestReaders) {
  const struct {
    std::string path;
    std::size_t size;
  } files[] = {{"bin/app", 3 * 4096 + 5}, {"data/exact", 4096}, {"data/short", 4095},
               {"data/one", 1},           {"empty", 0},         {"data/deep/er/x y.txt", 4097}};
  std::map<std::string, std::string> contents;
  unsigned seed = 1;
  for (const auto& file : files) {
    contents[file.path] = Bytes(file.size, seed++);
    WriteFile(input_ / file.path, contents[file.path]);
  }
  options_.run = "bin/app";
  std::vector<PublishProgress> progress;
  const PublishResult result =
      Publish(options_, [&](const PublishProgress& p) { progress.push_back(p); });

  EXPECT_EQ(result.files, std::size(files));
  EXPECT_EQ(result.linkedFiles, 0u);
  EXPECT_FALSE(result.unchanged);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().doneBytes, progress.back().totalBytes);
  EXPECT_EQ(progress.back().doneFiles, std::size(files));
  EXPECT_EQ(result.bytes, progress.back().totalBytes);

  const auto manifest = ReadPackage(output_ / "manifests/abc/7.xml");
  EXPECT_EQ(ReadFile(output_ / "manifests/abc/current.xml"),
            ReadFile(output_ / "manifests/abc/7.xml"));
  EXPECT_EQ(manifest.GetId(), "abc");
  EXPECT_EQ(manifest.GetName(), "Demo <&> \"Co\"");
  EXPECT_EQ(manifest.GetPartnerId(), "R");
  EXPECT_EQ(manifest.GetVersionId(), "7");
  ASSERT_TRUE(manifest.GetRunFile());
  EXPECT_EQ(manifest.GetRunFile()->GetPath(), "bin/app");
  std::vector<std::string> paths;
  for (const auto& file : manifest.GetFiles()) {
    paths.push_back(file->GetPath());
    SCOPED_TRACE(file->GetPath());
    const std::string& bytes = contents[file->GetPath()];
    EXPECT_EQ(file->GetSize(), bytes.size());
    EXPECT_EQ(file->GetChunkSize(), 4096u);
    EXPECT_EQ(file->GetChecksums(), Checksums(bytes, 4096));
    EXPECT_EQ(ReadFile(Published(file->GetPath())), bytes);
    EXPECT_FALSE(fs::equivalent(Published(file->GetPath()), input_ / file->GetPath()));
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"bin/app", "data/deep/er/x y.txt", "data/exact",
                                             "data/one", "data/short", "empty"}));
}

TEST_F(PublisherTest, NodeListReadsBackWithHostsPathsAndWeights) {
  options_.nodes = {ParseNode("127.0.0.1:8081=3"), ParseNode("mirror.example/files=0"),
                    ParseNode("[::1]:8082/a/b/")};
  WriteFile(input_ / "f", "x");
  Publish(options_);
  const auto list = ReadNodes(output_ / "nodes/R.xml");
  ASSERT_EQ(list.GetNodes().size(), 2u);
  EXPECT_EQ(list.GetNodes()[0]->GetHost(), "127.0.0.1:8081");
  EXPECT_EQ(list.GetNodes()[0]->GetPath(), "/packages/");
  EXPECT_EQ(list.GetNodes()[0]->GetWeight(), 3);
  EXPECT_EQ(list.GetNodes()[1]->GetHost(), "[::1]:8082");
  EXPECT_EQ(list.GetNodes()[1]->GetPath(), "/a/b/");
  EXPECT_EQ(list.GetNodes()[1]->GetWeight(), 1);
  EXPECT_NE(list.GetNodes()[0]->GetNodeId(), list.GetNodes()[1]->GetNodeId());
}

TEST_F(PublisherTest, ANewVersionMovesCurrentAndAPublishedVersionNeverChanges) {
  WriteFile(input_ / "old", "old");
  WriteFile(input_ / "same", "same");
  Publish(options_);
  const fs::path old = Published("old");
  const auto oldInode = fs::status(old).permissions();
  struct stat before {};
  ::stat(old.c_str(), &before);
  const std::string document = ReadFile(output_ / "manifests/abc/7.xml");

  fs::remove(input_ / "old");
  WriteFile(input_ / "new", "new");
  WriteFile(input_ / "same", "SAME");
  options_.version = "8";
  EXPECT_FALSE(Publish(options_).unchanged);
  EXPECT_EQ(ReadPackage(output_ / "manifests/abc/current.xml").GetVersionId(), "8");

  // Other content under a published version: refused, naming every difference, and nothing of
  // the served version is touched.
  options_.version = "7";
  try {
    Publish(options_);
    ADD_FAILURE() << "republished with other content";
  } catch (const PublishError& e) {
    const std::string message = e.what();
    for (const char* part : {"\"same\"", "new: \"new\"", "missing: \"old\"", "new version"}) {
      EXPECT_NE(message.find(part), std::string::npos) << part << " in " << message;
    }
  }
  EXPECT_EQ(ReadFile(output_ / "manifests/abc/7.xml"), document);
  EXPECT_EQ(ReadFile(old), "old");
  EXPECT_EQ(ReadPackage(output_ / "manifests/abc/current.xml").GetVersionId(), "8");

  // The same content again: success, and the version's files and document stay as they were;
  // the version becomes the current one again.
  fs::remove(input_ / "new");
  WriteFile(input_ / "old", "old");
  WriteFile(input_ / "same", "same");
  const PublishResult again = Publish(options_);
  EXPECT_TRUE(again.unchanged);
  EXPECT_EQ(again.files, 2u);
  struct stat after {};
  ::stat(old.c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(fs::status(old).permissions(), oldInode);
  EXPECT_EQ(ReadFile(output_ / "manifests/abc/7.xml"), document);
  EXPECT_EQ(ReadFile(output_ / "manifests/abc/current.xml"), document);
  EXPECT_TRUE(fs::exists(output_ / "packages/R/abc/8/new"));
}

TEST_F(PublisherTest, CopiesWhereItCannotLink) {
  // Shared memory is another file system than the build folder on a usual machine; where it
  // is not, the files are linked and the bytes must match all the same.
  const fs::path shm = fs::path("/dev/shm") / ("halv-publish-" + std::to_string(::getpid()));
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  options_.output = shm.string();
  const std::string bytes = Bytes(10000, 7);
  WriteFile(input_ / "bin/tool", bytes);
  ::chmod((input_ / "bin/tool").c_str(), 0755);
  PublishResult result;
  EXPECT_NO_THROW(result = Publish(options_));
  const fs::path placed = shm / "packages/R/abc/7/bin/tool";
  EXPECT_EQ(ReadFile(placed), bytes);
  struct stat in {
  }, out{};
  ::stat((input_ / "bin/tool").c_str(), &in);
  ::stat(placed.c_str(), &out);
  EXPECT_EQ(out.st_mode & 0777, 0755u);
  if (in.st_dev != out.st_dev) {
    EXPECT_EQ(result.linkedFiles, 0u);
  }
  fs::remove_all(shm);
}

TEST_F(PublisherTest, RefusesWhatWouldEscapeOrMislead) {
  WriteFile(temp_.Child("outside"), "secret");
  WriteFile(input_ / "f", "x");
  const struct {
    const char* what;
    std::function<void(PublishOptions&)> change;
  } cases[] = {
      {"link to a file outside the input",
       [&](PublishOptions&) { fs::create_symlink(temp_.Child("outside"), input_ / "leak"); }},
      {"relative link climbing out",
       [&](PublishOptions&) { fs::create_symlink("../outside", input_ / "leak"); }},
      {"link to a folder, dereferenced",
       [&](PublishOptions& o) {
         fs::create_directories(input_ / "d");
         fs::create_directory_symlink("d", input_ / "leak");
         o.dereference = true;
       }},
      {"dangling link", [&](PublishOptions&) { fs::create_symlink("nowhere", input_ / "leak"); }},
      {"a file name with '\\'", [&](PublishOptions&) { WriteFile(input_ / "a\\b", "x"); }},
      {"a file name with a control character",
       [&](PublishOptions&) { WriteFile(input_ / "a\x1b[2Jb", "x"); }},
      {"a file name that is not UTF-8",
       [&](PublishOptions&) { WriteFile(input_ / "caf\xe9", "x"); }},
      {"a link loop", [&](PublishOptions&) { fs::create_symlink("leak", input_ / "leak"); }},
      {"a package id that is not UTF-8", [](PublishOptions& o) { o.package = "caf\xe9"; }},
      {"a 250-byte partner id", [](PublishOptions& o) { o.partner = std::string(250, 'p'); }},
      {"a 250-byte version id", [](PublishOptions& o) { o.version = std::string(250, 'v'); }},
      {"a hidden version id", [](PublishOptions& o) { o.version = ".7"; }},
      {"a negative weight",
       [](PublishOptions& o) {
         PublishNode node = ParseNode("b");
         node.weight = -1;
         o.nodes.push_back(node);
       }},
      {"weights beyond 32 bits",
       [](PublishOptions& o) {
         o.nodes = {ParseNode("a=2147483647"), ParseNode("b=2147483647"), ParseNode("c=2")};
       }},
      {"a name that is not UTF-8", [](PublishOptions& o) { o.name = "\xff"; }},
      {"a fifo", [&](PublishOptions&) { ::mkfifo((input_ / "pipe").c_str(), 0600); }},
      {"partner id with a slash", [](PublishOptions& o) { o.partner = "a/b"; }},
      {"package id climbing", [](PublishOptions& o) { o.package = ".."; }},
      {"version id with a colon", [](PublishOptions& o) { o.version = "http:x"; }},
      {"version id current", [](PublishOptions& o) { o.version = "current"; }},
      {"empty partner", [](PublishOptions& o) { o.partner = ""; }},
      {"empty name", [](PublishOptions& o) { o.name = ""; }},
      {"name with a control character", [](PublishOptions& o) { o.name = "a\x01"; }},
      {"zero chunk size", [](PublishOptions& o) { o.chunkSize = 0; }},
      {"no node", [](PublishOptions& o) { o.nodes.clear(); }},
      {"run file missing", [](PublishOptions& o) { o.run = "missing"; }},
      {"output inside input", [&](PublishOptions& o) { o.output = (input_ / "out").string(); }},
      {"input inside output", [&](PublishOptions& o) { o.output = temp_.path(); }},
      {"input missing", [&](PublishOptions& o) { o.input = temp_.Child("none"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PublishOptions options = options_;
    c.change(options);
    EXPECT_THROW(Publish(options), PublishError);
    // A refused publication creates nothing, not even the output folder.
    EXPECT_FALSE(fs::exists(output_));
    for (const char* extra : {"leak", "a\\b", "a\x1b[2Jb", "caf\xe9", "pipe", "d"})
      fs::remove_all(input_ / extra);
  }
  EXPECT_FALSE(fs::exists(temp_.Child("none")));
}

TEST_F(PublisherTest, RefusesAFileWithMoreChunksThanThirtyTwoBits) {
  // Sparse: costs no disk space, and the refusal comes before any byte is read.
  const fs::path big = input_ / "big";
  std::ofstream(big).close();
  fs::resize_file(big, (std::uint64_t{1} << 32) + 1);
  options_.chunkSize = 1;
  EXPECT_THROW(Publish(options_), PublishError);
  EXPECT_FALSE(fs::exists(output_ / "packages"));
}

TEST(ParseNodeTest, ReadsHostPortPathAndWeight) {
  const struct {
    std::string text;
    std::string host;
    std::string path;
    std::int32_t weight;
  } cases[] = {
      {"h", "h", "/packages/", 1},
      {"h:8080", "h:8080", "/packages/", 1},
      {"h:8080=5", "h:8080", "/packages/", 5},
      {"h=0", "h", "/packages/", 0},
      {"h/files", "h", "/files/", 1},
      {"h:81/a/b/=2147483647", "h:81", "/a/b/", 2147483647},
      {"[::1]:8080", "[::1]:8080", "/packages/", 1},
      {"[::1]", "[::1]", "/packages/", 1},
      {"10.0.0.1:65535/x", "10.0.0.1:65535", "/x/", 1},
      {"mirror-2.example_net.org", "mirror-2.example_net.org", "/packages/", 1},
      // TLS nodes keep their scheme in the host; plain http stays implied.
      {"https://h", "https://h", "/packages/", 1},
      {"HTTPS://h:8443/p=2", "https://h:8443", "/p/", 2},
      {"https://[::1]:443", "https://[::1]:443", "/packages/", 1},
      {"http://h:80", "h:80", "/packages/", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const PublishNode node = ParseNode(c.text);
    EXPECT_EQ(node.host, c.host);
    EXPECT_EQ(node.path, c.path);
    EXPECT_EQ(node.weight, c.weight);
  }
  // Each of these either could not form a URL or would be read back otherwise by the updater.
  for (const char* bad : {"",
                          "=3",
                          ":8080",
                          "h:",
                          "h:0",
                          "h:08",
                          "h:65536",
                          "h:80a",
                          "h=",
                          "h=x",
                          "h=-1",
                          "h=-2",
                          "h=+1",
                          "h=2147483648",
                          "h i",
                          "h/a?b",
                          "h/%20",
                          "::1",
                          "[::1",
                          "::1]:80",
                          "h:80:90",
                          "[::1]x",
                          "[::1]:",
                          "[nothing]",
                          "h@x",
                          "ftp://h",
                          "https://",
                          "https://h:0",
                          "https://https://h",
                          "h\xff"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParseNode(bad), PublishError);
  }
}

TEST(QuoteTest, EscapesControlCharactersAndBrokenText) {
  EXPECT_EQ(Quote("plain ä"), "\"plain ä\"");
  EXPECT_EQ(Quote("a\x1b[2J\n\"\\\xff"), "\"a\\x1b[2J\\x0a\\x22\\x5c\\xff\"");
}

// Every file that a served document lists is there with its size and its checksums.
void ExpectServedStateIntact(const fs::path& output) {
  if (!fs::exists(output / "manifests")) return;
  for (const auto& package : fs::directory_iterator(output / "manifests")) {
    for (const auto& entry : fs::directory_iterator(package.path())) {
      const std::string name = entry.path().filename().string();
      if (name.front() == '.' || entry.path().extension() != ".xml") continue;
      SCOPED_TRACE(entry.path().string());
      const auto manifest = ReadPackage(entry.path());
      for (const auto& file : manifest.GetFiles()) {
        const fs::path placed = output / "packages" / manifest.GetPartnerId() / manifest.GetId() /
                                manifest.GetVersionId() / file->GetPath();
        ASSERT_TRUE(fs::exists(placed)) << placed;
        EXPECT_EQ(file->GetChecksums(), Checksums(ReadFile(placed), file->GetChunkSize()));
      }
    }
  }
}

// Names of entries under `folder` that a publication leaves only while it runs.
std::vector<std::string> Leftovers(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.path().filename().string().find(".halv-tmp-") != std::string::npos) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

TEST_F(PublisherTest, RefusesOutputLinksThatLeadIntoTheInputOrOutOfTheOutput) {
  // The reproduction: packages/R leads back to the folder that holds the input.
  const fs::path releases = temp_.Child("releases");
  WriteFile(releases / "abc/7/app", "only");
  options_.input = (releases / "abc/7").string();
  fs::create_directories(output_ / "packages");
  fs::create_directory_symlink("../../releases", output_ / "packages/R");
  try {
    Publish(options_);
    ADD_FAILURE() << "published through a link into the input";
  } catch (const PublishError& e) {
    EXPECT_NE(std::string(e.what()).find("packages/R"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadFile(releases / "abc/7/app"), "only");
  EXPECT_EQ(fs::directory_iterator(releases / "abc/7")->path().filename(), "app");

  // Links that lead out of the output folder, at any level that is written.
  const fs::path elsewhere = temp_.Child("elsewhere");
  fs::create_directories(elsewhere / "abc");
  fs::remove(output_ / "packages/R");
  for (const fs::path& link : {fs::path("packages/R"), fs::path("manifests"), fs::path("nodes")}) {
    SCOPED_TRACE(link);
    fs::create_directories((output_ / link).parent_path());
    fs::create_directory_symlink(elsewhere, output_ / link);
    EXPECT_THROW(Publish(options_), PublishError);
    fs::remove(output_ / link);
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(elsewhere), {}), 1);
  }

  // A link that stays inside the output folder is followed.
  fs::create_directories(output_ / "store");
  fs::create_directory_symlink("../store", output_ / "packages/R");
  Publish(options_);
  EXPECT_EQ(ReadFile(output_ / "store/abc/7/app"), "only");
}

TEST_F(PublisherTest, PlantedLinksAtTemporaryNamesAreNeverFollowed) {
  const fs::path victim = temp_.Child("victim");
  WriteFile(victim, "keep");
  WriteFile(input_ / "f", "x");
  fs::create_directories(output_ / "manifests/abc");
  fs::create_directories(output_ / "nodes");
  // The names an earlier publisher used, and the documents themselves.
  for (const char* name : {"manifests/abc/7.xml.tmp-1", "manifests/abc/current.xml.tmp-2",
                           "manifests/abc/current.xml", "nodes/R.xml"}) {
    fs::create_symlink(victim, output_ / name);
  }
  Publish(options_);
  EXPECT_EQ(ReadFile(victim), "keep");
  for (const char* name : {"manifests/abc/7.xml", "manifests/abc/current.xml", "nodes/R.xml"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(output_ / name))) << name;
  }
  ExpectServedStateIntact(output_);

  // A link planted at a version's document or at the lock file is refused, not followed.
  fs::create_symlink(victim, output_ / "manifests/abc/8.xml");
  options_.version = "8";
  EXPECT_THROW(Publish(options_), PublishError);
  EXPECT_EQ(ReadFile(victim), "keep");

  fs::remove_all(output_);
  fs::create_directories(output_);
  fs::create_symlink(victim, output_ / ".halvane-publish.lock");
  EXPECT_THROW(Publish(options_), PublishError);
  EXPECT_EQ(ReadFile(victim), "keep");
}

TEST_F(PublisherTest, AcceptsFileNamesTheUpdaterCanFetch) {
  const std::vector<std::string> names = {"50%", "a?b", "#tag", "c:/x", "d/e:f", "ü.txt"};
  for (const auto& name : names) WriteFile(input_ / name, name);
  Publish(options_);
  const auto manifest = ReadPackage(output_ / "manifests/abc/7.xml");
  ASSERT_EQ(manifest.GetFiles().size(), names.size());
  for (const auto& name : names) EXPECT_EQ(ReadFile(Published(name)), name) << name;
  ExpectServedStateIntact(output_);
}

TEST_F(PublisherTest, RefusesADocumentLargerThanTheUpdaterReads) {
  // 20 MB at one byte a chunk: a 1.4 GB document. Sparse, and refused before any byte is read.
  const fs::path big = input_ / "big";
  std::ofstream(big).close();
  fs::resize_file(big, 20'000'000);
  options_.chunkSize = 1;
  try {
    Publish(options_);
    ADD_FAILURE() << "published a document the updater cannot read";
  } catch (const PublishError& e) {
    EXPECT_NE(std::string(e.what()).find("1 GiB"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(output_));
  options_.chunkSize = 4096;
  EXPECT_NO_THROW(Publish(options_));
}

// More small files than a document read into a generic tree could describe: the updater reads
// the document straight into its records.
TEST_F(PublisherTest, PublishesTensOfThousandsOfSmallFiles) {
  for (int i = 0; i < 30000; ++i) std::ofstream(input_ / std::to_string(i)).close();
  EXPECT_EQ(Publish(options_).files, 30000u);
  EXPECT_EQ(ReadPackage(output_ / "manifests/abc/current.xml").GetFiles().size(), 30000u);
}

TEST_F(PublisherTest, CopiesByDefaultSoThatChangingAnInputFileLeavesTheReleaseAlone) {
  const std::string bytes = Bytes(3 * 4096, 5);
  WriteFile(input_ / "app", bytes);
  Publish(options_);
  // Rewritten in place, as `cp` over it or a build writing with `>` would.
  std::ofstream(input_ / "app", std::ios::binary | std::ios::in) << "changed";
  EXPECT_EQ(ReadFile(Published("app")), bytes);
  ExpectServedStateIntact(output_);

  // Linking is there when asked for, with the risk it names.
  options_.version = "8";
  options_.link = true;
  EXPECT_EQ(Publish(options_).linkedFiles, 1u);
  EXPECT_TRUE(fs::equivalent(Published("app"), input_ / "app"));
}

TEST_F(PublisherTest, AnEmptyInputIsRefusedUnlessAllowed) {
  EXPECT_THROW(Publish(options_), PublishError);
  EXPECT_FALSE(fs::exists(output_));
  options_.allowEmpty = true;
  EXPECT_EQ(Publish(options_).files, 0u);
  EXPECT_TRUE(ReadPackage(output_ / "manifests/abc/current.xml").GetFiles().empty());
}

TEST_F(PublisherTest, ALeftoverOfAKilledRunIsRemovedByTheNextRun) {
  WriteFile(input_ / "f", "x");
  // What a run killed at various points leaves: a half-filled temporary folder, a temporary
  // document and a version folder moved into place without its document.
  WriteFile(output_ / "packages/R/abc/.7.halv-tmp-0123456789abcdef/f", "half");
  WriteFile(output_ / "manifests/abc/.7.xml.halv-tmp-0123456789abcdef", "<pack");
  WriteFile(output_ / "nodes/.R.xml.halv-tmp-0123456789abcdef", "");
  WriteFile(output_ / "packages/R/abc/6/g", "without a document");
  Publish(options_);
  EXPECT_TRUE(Leftovers(output_).empty());
  EXPECT_FALSE(fs::exists(output_ / "packages/R/abc/6"));
  ExpectServedStateIntact(output_);
}

// The command line that publishers and scripts rely on.
int RunPublish(const std::string& arguments, std::string* output = nullptr) {
  const std::string command = std::string(HALV_PUBLISH_BINARY) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    text.append(buffer, got);
  }
  const int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PublishCommandTest, HelpExplainsEveryOption) {
  std::string help;
  EXPECT_EQ(RunPublish("--help", &help), 0);
  for (const char* option :
       {"--input DIR", "--output DIR", "--partner ID", "--package ID", "--package-version ID",
        "--name NAME", "--run PATH", "--chunk-size BYTES", "--link", "RISKY", "--allow-empty",
        "--node [https://]HOST[:PORT][/PATH][=WEIGHT]", "never changes", "[::1]", "TLS",
        "--sign SECRET_KEY_FILE", ".minisig", kSignPasswordVariable}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
}

TEST(PublishCommandTest, PublishesAndRefusesBadCommandLines) {
  test::TempDir temp;
  WriteFile(temp.Child("in/bin/app"), Bytes(5000, 3));
  const std::string base = "--input " + temp.Child("in") + " --output " + temp.Child("out") +
                           " --partner R --package abc --package-version 7 --name 'Demo App'";
  std::string output;
  EXPECT_EQ(RunPublish(base + " --run bin/app --chunk-size 1000 --node 127.0.0.1:8081=2 --node "
                              "127.0.0.1:8082",
                       &output),
            0)
      << output;
  const auto manifest = ReadPackage(temp.Child("out/manifests/abc/current.xml"));
  EXPECT_EQ(manifest.GetName(), "Demo App");
  ASSERT_TRUE(manifest.GetRunFile());
  EXPECT_EQ(manifest.GetRunFile()->GetChecksums().size(), 5u);
  EXPECT_EQ(ReadNodes(temp.Child("out/nodes/R.xml")).GetNodes().size(), 2u);

  EXPECT_EQ(RunPublish(base + " --package-version=8 --chunk-size=1048576 --node=h", &output), 0)
      << output;
  EXPECT_EQ(ReadPackage(temp.Child("out/manifests/abc/8.xml")).GetFiles()[0]->GetChunkSize(),
            1048576u);

  for (const std::string& bad :
       {base, base + " --node h --chunk-size 0", base + " --node h --chunk-size 4294967296",
        base + " --node h --chunk-size -1", base + " --node h --bogus", base + " --node h:port",
        base + " --node h --run"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(RunPublish(bad, &output), 2) << output;
    EXPECT_NE(output.find("--help"), std::string::npos) << output;
  }
  EXPECT_EQ(RunPublish(base + " --node h --run missing", &output), 1) << output;
}

std::string PublishArguments(const test::TempDir& temp, const std::string& version) {
  return "--input " + temp.Child("in") + " --output " + temp.Child("out") +
         " --partner R --package abc --package-version " + version + " --name Demo --node h";
}

TEST(PublishCommandTest, RefusalsEscapeControlCharactersAndWaitForNoWork) {
  test::TempDir temp;
  WriteFile(temp.Child("in/f"), "x");
  std::string output;
  EXPECT_EQ(
      RunPublish(PublishArguments(temp, "7") + " --partner \"$(printf 'a\\033[31mb')\"", &output),
      1);
  EXPECT_NE(output.find("\"a\\x1b[31mb\""), std::string::npos) << output;
  EXPECT_EQ(output.find('\x1b'), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(temp.Child("out")));
}

TEST(PublishCommandTest, TwoPublicationsOfOneVersionAtOnceBothFinishComplete) {
  test::TempDir temp;
  for (int i = 0; i < 300; ++i) WriteFile(temp.Child("in/f" + std::to_string(i)), Bytes(3000, i));
  const std::string one = std::string(HALV_PUBLISH_BINARY) + " " + PublishArguments(temp, "7");
  const std::string both = "(" + one + " >" + temp.Child("o1") + " 2>&1; echo $? >" +
                           temp.Child("r1") + ") & (" + one + " >" + temp.Child("o2") +
                           " 2>&1; echo $? >" + temp.Child("r2") + ") & wait";
  ASSERT_EQ(std::system(("bash -c '" + both + "'").c_str()), 0);
  EXPECT_EQ(ReadFile(temp.Child("r1")), "0\n") << ReadFile(temp.Child("o1"));
  EXPECT_EQ(ReadFile(temp.Child("r2")), "0\n") << ReadFile(temp.Child("o2"));
  // One of them placed the files; the other found them published, complete.
  const std::string outputs = ReadFile(temp.Child("o1")) + ReadFile(temp.Child("o2"));
  EXPECT_NE(outputs.find("300 files"), std::string::npos) << outputs;
  EXPECT_NE(outputs.find("same content"), std::string::npos) << outputs;
  EXPECT_EQ(ReadPackage(temp.Child("out/manifests/abc/current.xml")).GetFiles().size(), 300u);
  ExpectServedStateIntact(temp.Child("out"));
}

pid_t SpawnPublish(const std::string& arguments) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string command =
        "exec " + std::string(HALV_PUBLISH_BINARY) + " " + arguments + " >/dev/null 2>&1";
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

TEST(PublishCommandTest, AKillAtAnyMomentLeavesTheServedStateIntact) {
  test::TempDir temp;
  // Small enough that checking every served version after every kill stays quick in the
  // sanitizer builds, where each check reads all versions published so far.
  for (int i = 0; i < 20; ++i) {
    WriteFile(temp.Child("in/f" + std::to_string(i)), Bytes(std::size_t{256} << 10, i));
  }
  // How long a whole run takes here, so that the kills below spread over all of it.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunPublish(PublishArguments(temp, "1")), 0);
  const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<long> moment(0, runTime.count());
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    // A new version, and a republish of the version before it, each killed part way.
    for (const std::string& version : {std::to_string(round + 2), std::to_string(round + 1)}) {
      const pid_t pid = SpawnPublish(PublishArguments(temp, version));
      ASSERT_GT(pid, 0);
      std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
      ::kill(pid, SIGKILL);
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ExpectServedStateIntact(temp.Child("out"));
    }
  }
  // The next complete run tidies up whatever the killed ones left.
  std::string output;
  ASSERT_EQ(RunPublish(PublishArguments(temp, "100"), &output), 0) << output;
  EXPECT_TRUE(Leftovers(temp.Child("out")).empty());
  for (const auto& version : fs::directory_iterator(temp.Child("out/packages/R/abc"))) {
    std::string name = version.path().filename().string();
    // A version's block file, ".VERSION.blocks", belongs to its document too.
    if (name.front() == '.' && name.size() > 8) name = name.substr(1, name.size() - 8);
    EXPECT_TRUE(fs::exists(temp.Child("out/manifests/abc/" + name + ".xml"))) << name;
  }
  ExpectServedStateIntact(temp.Child("out"));
  EXPECT_EQ(ReadPackage(temp.Child("out/manifests/abc/current.xml")).GetVersionId(), "100");
}

TEST(PublishCommandTest, AWriteFailureNamesThePathAndTheReasonAndLeavesNothingBehind) {
  test::TempDir temp;
  // A file size limit stands in for a full disk: writes beyond it fail with EFBIG, as they
  // fail with ENOSPC on a full disk.
  WriteFile(temp.Child("in/big"), Bytes(300'000, 1));
  const struct {
    const char* what;
    std::string options;
    std::string failing;
  } cases[] = {
      {"copying a file", " --node h", "big"},
      // Linked files need no space; the document of 300000 checksums (2.4 MB) does.
      {"writing the document", " --link --chunk-size 1 --node h", ".7.xml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string command = "bash -c \"trap '' XFSZ; ulimit -f 200; exec " +
                                std::string(HALV_PUBLISH_BINARY) + " " +
                                PublishArguments(temp, "7") + c.options + "\"";
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      output.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 1) << output;
    EXPECT_NE(output.find(c.failing), std::string::npos) << output;
    EXPECT_NE(output.find(std::strerror(EFBIG)), std::string::npos) << output;
    EXPECT_TRUE(Leftovers(temp.Child("out")).empty());
    EXPECT_FALSE(fs::exists(temp.Child("out/manifests/abc/7.xml")));
    EXPECT_FALSE(fs::exists(temp.Child("out/packages/R/abc/7")));
  }
}

}  // namespace
}  // namespace halv::publish
