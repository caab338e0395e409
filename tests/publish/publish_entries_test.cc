// Empty folders, hard links and absolute links in publications: what the package document says
// of each, what the published folder holds, and which links stay refused.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/xml_manifest_parser.h"
#include "publisher.h"
#include "temp_dir.h"

namespace halv::publish {
namespace {

using test::ReadFile;
using test::WriteFile;

namespace fs = std::filesystem;

// The package document's tree, read without the package reader, so that the test sees every
// element as it was written.
boost::property_tree::ptree PackageTree(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  boost::property_tree::ptree tree;
  ParseXmlManifest(stream, tree);
  return tree.get_child("package");
}

// The names of the children of `tree`, in document order.
std::vector<std::string> Children(const boost::property_tree::ptree& tree) {
  std::vector<std::string> names;
  for (const auto& child : tree) names.push_back(child.first);
  return names;
}

// Each file element of the document by its path.
std::map<std::string, boost::property_tree::ptree> FileElements(
    const boost::property_tree::ptree& package) {
  std::map<std::string, boost::property_tree::ptree> files;
  for (const auto& child : package.get_child("files")) {
    files[child.second.get<std::string>("path")] = child.second;
  }
  return files;
}

ino_t Inode(const fs::path& path) {
  struct stat status = {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_ino;
}

class PublishEntriesTest : public testing::Test {
 protected:
  PublishEntriesTest() : input_(temp_.Child("in")), output_(temp_.Child("out")) {
    fs::create_directories(input_);
    options_.input = input_.string();
    options_.output = output_.string();
    options_.partner = "R";
    options_.package = "abc";
    options_.version = "7";
    options_.name = "Demo";
    options_.chunkSize = 4;
    options_.nodes = {ParseNode("127.0.0.1:8081")};
  }

  fs::path Published(const std::string& relative) const {
    return output_ / "packages" / options_.partner / options_.package / options_.version / relative;
  }
  fs::path Document() const { return output_ / "manifests/abc" / (options_.version + ".xml"); }

  test::TempDir temp_;
  fs::path input_;
  fs::path output_;
  PublishOptions options_;
};

TEST_F(PublishEntriesTest, FoldersThatHoldNothingPublishedAreListedSortedAfterTheLinks) {
  WriteFile((input_ / "full/file").string(), "x");
  fs::create_directories(input_ / "a/empty");
  fs::create_directories(input_ / "b/c/d");
  fs::create_directories(input_ / "full/empty");
  fs::create_directories(input_ / "only-a-skipped-link");
  fs::create_symlink("../../nowhere", input_ / "only-a-skipped-link/gone");
  fs::create_symlink("full/file", input_ / "link");
  options_.skipLinks = true;
  const PublishResult result = Publish(options_);
  EXPECT_EQ(result.folders, 4u);
  const auto package = PackageTree(Document());
  const std::vector<std::string> children = Children(package);
  ASSERT_GE(children.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(children.end() - 3, children.end()),
            (std::vector<std::string>{"files", "links", "folders"}));
  std::vector<std::string> folders;
  for (const auto& child : package.get_child("folders")) {
    EXPECT_EQ(child.first, "folder");
    EXPECT_EQ(Children(child.second), std::vector<std::string>{"path"});
    folders.push_back(child.second.get<std::string>("path"));
  }
  EXPECT_EQ(folders,
            (std::vector<std::string>{"a/empty", "b/c/d", "full/empty", "only-a-skipped-link"}));

  // Without links, the folders follow the files; a version without empty folders has none.
  fs::remove(input_ / "link");
  options_.version = "8";
  Publish(options_);
  EXPECT_EQ(Children(PackageTree(Document())).back(), "folders");
  EXPECT_NE(ReadFile(Document().string()).find("  </files>\n  <folders>\n"), std::string::npos);
  fs::remove_all(input_ / "a");
  fs::remove_all(input_ / "b");
  fs::remove_all(input_ / "full/empty");
  fs::remove_all(input_ / "only-a-skipped-link");
  options_.version = "9";
  EXPECT_EQ(Publish(options_).folders, 0u);
  EXPECT_EQ(Children(PackageTree(Document())).back(), "files");
}

TEST_F(PublishEntriesTest, HardLinkedFilesAreCompleteFilesNamingTheFirstOfTheirGroup) {
  WriteFile((input_ / "pair/a").string(), "pair bytes");
  ASSERT_EQ(::link((input_ / "pair/a").c_str(), (input_ / "pair/b").c_str()), 0);
  WriteFile((input_ / "three/z").string(), "three");
  ASSERT_EQ(::link((input_ / "three/z").c_str(), (input_ / "three/m").c_str()), 0);
  ASSERT_EQ(::link((input_ / "three/z").c_str(), (input_ / "one").c_str()), 0);
  // The run file stands alone: another name of it is a file of its own too.
  WriteFile((input_ / "bin/run").string(), "#!/bin/sh\n");
  ASSERT_EQ(::link((input_ / "bin/run").c_str(), (input_ / "bin/alias").c_str()), 0);
  WriteFile((input_ / "single").string(), "s");
  options_.run = "bin/run";
  const PublishResult result = Publish(options_);
  EXPECT_EQ(result.files, 8u);
  EXPECT_EQ(result.hardLinks, 3u);
  EXPECT_EQ(result.bytes, 10u + 5u + 10u + 10u + 1u) << "each group's bytes read once";

  const auto files = FileElements(PackageTree(Document()));
  const std::map<std::string, std::string> expected = {
      {"pair/b", "pair/a"}, {"three/m", "one"}, {"three/z", "one"}};
  for (const auto& [path, file] : files) {
    SCOPED_TRACE(path);
    const auto primary = expected.find(path);
    if (primary == expected.end()) {
      EXPECT_FALSE(file.get_child_optional("hardlink"));
      continue;
    }
    // Every field of the first, then the hard link last.
    const auto& first = files.at(primary->second);
    std::vector<std::string> names = Children(first);
    names.push_back("hardlink");
    EXPECT_EQ(Children(file), names);
    for (const char* field : {"chunksize", "size", "checksums", "sha256", "mode", "mtime"}) {
      EXPECT_EQ(file.get<std::string>(field), first.get<std::string>(field)) << field;
    }
    EXPECT_EQ(file.get<std::string>("hardlink"), primary->second);
    EXPECT_EQ(ReadFile(Published(path).string()), ReadFile(Published(primary->second).string()));
  }
  EXPECT_EQ(files.size(), 8u);
  // The published copy is stored once.
  EXPECT_EQ(Inode(Published("pair/b")), Inode(Published("pair/a")));
  EXPECT_NE(Inode(Published("bin/alias")), Inode(Published("bin/run")));

  // Published again with the same content, the version stays as it was.
  const std::string document = ReadFile(Document().string());
  EXPECT_TRUE(Publish(options_).unchanged);
  EXPECT_EQ(ReadFile(Document().string()), document);
}

TEST_F(PublishEntriesTest, AVersionPublishedBeforeHardLinksAndFoldersKeepsItsDocument) {
  WriteFile((input_ / "a").string(), "bytes");
  ASSERT_EQ(::link((input_ / "a").c_str(), (input_ / "b").c_str()), 0);
  fs::create_directories(input_ / "empty");
  Publish(options_);
  // The same version as a publisher before hard links and empty folders wrote it.
  std::string old = ReadFile(Document().string());
  const std::size_t hardLink = old.find("<hardlink>");
  ASSERT_NE(hardLink, std::string::npos);
  old.erase(hardLink, old.find("</hardlink>") + 11 - hardLink);
  const std::size_t folders = old.find("  <folders>");
  ASSERT_NE(folders, std::string::npos);
  old.erase(folders, old.find("</folders>\n") + 11 - folders);
  WriteFile(Document().string(), old);
  WriteFile((output_ / "manifests/abc/current.xml").string(), old);
  EXPECT_TRUE(Publish(options_).unchanged);
  EXPECT_EQ(ReadFile(Document().string()), old);

  // Other hard links are other content, named.
  options_.version = "8";
  Publish(options_);
  fs::remove(input_ / "b");
  WriteFile((input_ / "b").string(), "bytes");
  try {
    Publish(options_);
    ADD_FAILURE() << "republished without the hard link";
  } catch (const PublishError& e) {
    EXPECT_NE(std::string(e.what()).find("hard links differ: \"b\""), std::string::npos)
        << e.what();
  }
}

TEST_F(PublishEntriesTest, AbsoluteLinksAreKeptAsTheyAreOnlyWhenAsked) {
  WriteFile((input_ / "f").string(), "x");
  fs::create_directories(input_ / "bin");
  fs::create_symlink("/usr/bin/python3", input_ / "bin/python3");
  fs::create_symlink("python3", input_ / "bin/python");
  fs::create_symlink("/nonexistent/halvane/target", input_ / "dangling");
  fs::create_symlink(input_ / "f", input_ / "absolute-inside");
  try {
    Publish(options_);
    ADD_FAILURE() << "published";
  } catch (const PublishError& e) {
    const std::string message = e.what();
    for (const char* name : {"4 links", "\"bin/python3\"", "\"bin/python\"", "\"dangling\"",
                             "\"absolute-inside\"", "--keep-absolute-links"}) {
      EXPECT_NE(message.find(name), std::string::npos) << name << " in " << message;
    }
  }
  EXPECT_FALSE(fs::exists(output_));
  options_.skipLinks = true;
  EXPECT_EQ(Publish(options_).skippedLinks.size(), 4u);

  options_.version = "8";
  options_.skipLinks = false;
  options_.keepAbsoluteLinks = true;
  const PublishResult kept = Publish(options_);
  EXPECT_EQ(kept.links, 4u);
  std::map<std::string, std::string> links;
  const auto package = PackageTree(Document());
  for (const auto& child : package.get_child("links")) {
    links[child.second.get<std::string>("path")] = child.second.get<std::string>("target");
  }
  EXPECT_EQ(links,
            (std::map<std::string, std::string>{{"absolute-inside", (input_ / "f").string()},
                                                {"bin/python", "python3"},
                                                {"bin/python3", "/usr/bin/python3"},
                                                {"dangling", "/nonexistent/halvane/target"}}));
}

TEST_F(PublishEntriesTest, ALinkThatPassesThroughAnAbsoluteLinkStaysRefused) {
  WriteFile((input_ / "f").string(), "x");
  fs::create_directory_symlink("/usr", input_ / "usr");
  fs::create_symlink("usr/bin/env", input_ / "env");
  options_.keepAbsoluteLinks = true;
  try {
    Publish(options_);
    ADD_FAILURE() << "published";
  } catch (const PublishError& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("1 links"), std::string::npos) << message;
    EXPECT_NE(message.find("\"env\""), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace halv::publish
