#include "publisher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/node_list_manifest.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"
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
  boost::property_tree::ptree tree;
  ParseXmlManifest(stream, tree);
  StandardPackageManifest manifest;
  manifest.Read(tree);
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
  EXPECT_EQ(result.linkedFiles, std::size(files));
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
    EXPECT_TRUE(fs::equivalent(Published(file->GetPath()), input_ / file->GetPath()));
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

TEST_F(PublisherTest, ANewVersionMovesCurrentAndARepublishedVersionIsReplaced) {
  WriteFile(input_ / "old", "old");
  Publish(options_);
  fs::remove(input_ / "old");
  WriteFile(input_ / "new", "new");
  options_.version = "8";
  Publish(options_);
  EXPECT_EQ(ReadPackage(output_ / "manifests/abc/current.xml").GetVersionId(), "8");
  EXPECT_EQ(ReadPackage(output_ / "manifests/abc/7.xml").GetFiles()[0]->GetPath(), "old");
  EXPECT_TRUE(fs::exists(output_ / "packages/R/abc/7/old"));

  options_.version = "7";
  Publish(options_);
  EXPECT_EQ(ReadPackage(output_ / "manifests/abc/current.xml").GetVersionId(), "7");
  EXPECT_EQ(ReadPackage(output_ / "manifests/abc/7.xml").GetFiles()[0]->GetPath(), "new");
  EXPECT_FALSE(fs::exists(output_ / "packages/R/abc/7/old"));
  EXPECT_TRUE(fs::exists(output_ / "packages/R/abc/8/new"));
}

TEST_F(PublisherTest, FollowsLinksThatStayInsideTheInput) {
  WriteFile(input_ / "real/file", "bytes");
  fs::create_symlink("real/file", input_ / "alias");
  Publish(options_);
  EXPECT_EQ(ReadFile(Published("alias")), "bytes");
  EXPECT_EQ(ReadPackage(output_ / "manifests/abc/7.xml").GetFiles().size(), 2u);
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
      {"link to a folder",
       [&](PublishOptions&) {
         fs::create_directories(input_ / "d");
         fs::create_directory_symlink("d", input_ / "leak");
       }},
      {"dangling link", [&](PublishOptions&) { fs::create_symlink("nowhere", input_ / "leak"); }},
      {"a file name with '%'", [&](PublishOptions&) { WriteFile(input_ / "50%", "x"); }},
      {"a file name with '?'", [&](PublishOptions&) { WriteFile(input_ / "a?b", "x"); }},
      {"a first folder with ':'", [&](PublishOptions&) { WriteFile(input_ / "c:/x", "x"); }},
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
    EXPECT_FALSE(fs::exists(output_ / "manifests/abc/current.xml"));
    for (const char* extra : {"leak", "50%", "a?b", "c:", "pipe", "d"})
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
      {"h=-2", "h", "/packages/", -2},
      {"h/files", "h", "/files/", 1},
      {"h:81/a/b/=2147483647", "h:81", "/a/b/", 2147483647},
      {"[::1]:8080", "[::1]:8080", "/packages/", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const PublishNode node = ParseNode(c.text);
    EXPECT_EQ(node.host, c.host);
    EXPECT_EQ(node.path, c.path);
    EXPECT_EQ(node.weight, c.weight);
  }
  for (const char* bad : {"", "=3", ":8080", "h:", "h:0", "h:65536", "h:80a", "h=", "h=x",
                          "h=2147483648", "h i", "h/a?b", "h/%20"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParseNode(bad), PublishError);
  }
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
       {"--input DIR", "--output DIR", "--partner ID", "--package ID", "--version ID",
        "--name NAME", "--run PATH", "--chunk-size BYTES", "--node HOST[:PORT]", "=WEIGHT]"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
}

TEST(PublishCommandTest, PublishesAndRefusesBadCommandLines) {
  test::TempDir temp;
  WriteFile(temp.Child("in/bin/app"), Bytes(5000, 3));
  const std::string base = "--input " + temp.Child("in") + " --output " + temp.Child("out") +
                           " --partner R --package abc --version 7 --name 'Demo App'";
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

  EXPECT_EQ(RunPublish(base + " --chunk-size=1048576 --node=h", &output), 0) << output;
  EXPECT_EQ(ReadPackage(temp.Child("out/manifests/abc/7.xml")).GetFiles()[0]->GetChunkSize(),
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

}  // namespace
}  // namespace halv::publish
