// Modes, times and links in publications: what the package document records of the input,
// which links are refused, left out or dereferenced, and versions published before these fields.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"
#include "publisher.h"
#include "temp_dir.h"

namespace halv::publish {
namespace {

using test::ReadFile;

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

StandardPackageManifest ReadPackage(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  boost::property_tree::ptree tree;
  ParseXmlManifest(stream, tree);
  StandardPackageManifest manifest;
  manifest.Read(tree);
  return manifest;
}

class PublishLinksTest : public testing::Test {
 protected:
  PublishLinksTest() : input_(temp_.Child("in")), output_(temp_.Child("out")) {
    fs::create_directories(input_);
    options_.input = input_.string();
    options_.output = output_.string();
    options_.partner = "R";
    options_.package = "abc";
    options_.version = "7";
    options_.name = "Demo";
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

TEST_F(PublishLinksTest, RecordsModesTimesAndTheLinksThatStayInside) {
  WriteFile(input_ / "bin/tool", "elf");
  WriteFile(input_ / "bin/script", "#!/bin/sh\n");
  WriteFile(input_ / "bin/suid", "s");
  WriteFile(input_ / "lib/libx.so.1", "so");
  WriteFile(input_ / "doc/a", "a");
  ::chmod((input_ / "bin/tool").c_str(), 0755);
  ::chmod((input_ / "bin/script").c_str(), 0640);
  ::chmod((input_ / "bin/suid").c_str(), 04755);
  const timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  ::utimensat(AT_FDCWD, (input_ / "bin/tool").c_str(), times, 0);
  fs::create_symlink("libx.so.1", input_ / "lib/libx.so");
  fs::create_directory_symlink("doc", input_ / "docs");
  fs::create_symlink("../doc/a", input_ / "lib/a");
  const PublishResult result = Publish(options_);
  EXPECT_EQ(result.links, 3u);
  EXPECT_EQ(result.files, 5u);
  const auto manifest = ReadPackage(output_ / "manifests/abc/7.xml");
  std::map<std::string, std::uint32_t> modes;
  for (const auto& file : manifest.GetFiles()) modes[file->GetPath()] = *file->GetMode();
  EXPECT_EQ(modes, (std::map<std::string, std::uint32_t>{{"bin/script", 0640},
                                                         {"bin/suid", 04755},
                                                         {"bin/tool", 0755},
                                                         {"doc/a", 0644},
                                                         {"lib/libx.so.1", 0644}}));
  EXPECT_EQ(manifest.GetFiles()[2]->GetModificationTime(), std::optional<std::int64_t>(1600000000));
  std::vector<std::string> links;
  for (const auto& link : manifest.GetLinks()) links.push_back(link.path + " -> " + link.target);
  EXPECT_EQ(links, (std::vector<std::string>{"docs -> doc", "lib/a -> ../doc/a",
                                             "lib/libx.so -> libx.so.1"}));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Published("docs")))) << "a link is no file to serve";

  // --dereference publishes what the links point at, as files, as publishers before links did;
  // a link to a folder is then refused.
  options_.version = "8";
  options_.dereference = true;
  EXPECT_THROW(Publish(options_), PublishError);
  fs::remove(input_ / "docs");
  const PublishResult dereferenced = Publish(options_);
  EXPECT_EQ(dereferenced.links, 0u);
  EXPECT_EQ(ReadFile(Published("lib/libx.so")), "so");
}

TEST_F(PublishLinksTest, LinksThatCannotBePublishedAreNamedInOneErrorOrLeftOut) {
  WriteFile(input_ / "f", "x");
  WriteFile(temp_.Child("outside"), "secret");
  fs::create_symlink(temp_.Child("outside"), input_ / "absolute");
  fs::create_symlink("../outside", input_ / "climbing");
  fs::create_symlink("nowhere", input_ / "dangling");
  fs::create_symlink("loop", input_ / "loop");
  fs::create_symlink(input_ / "f", input_ / "absolute-inside");
  fs::create_symlink("f", input_ / "good");
  fs::create_symlink("../in/f", input_ / "round-trip");
  try {
    Publish(options_);
    ADD_FAILURE() << "published";
  } catch (const PublishError& e) {
    const std::string message = e.what();
    for (const char* name : {"6 links", "\"round-trip\"", "\"absolute\"", "\"climbing\"",
                             "\"dangling\"", "\"loop\"", "\"absolute-inside\"", "--skip-links"}) {
      EXPECT_NE(message.find(name), std::string::npos) << name << " in " << message;
    }
    EXPECT_EQ(message.find("\"good\""), std::string::npos) << message;
  }
  EXPECT_FALSE(fs::exists(output_));
  options_.skipLinks = true;
  const PublishResult result = Publish(options_);
  EXPECT_EQ(result.skippedLinks.size(), 6u);
  const auto manifest = ReadPackage(output_ / "manifests/abc/7.xml");
  ASSERT_EQ(manifest.GetLinks().size(), 1u);
  EXPECT_EQ(manifest.GetLinks()[0].path, "good");
}

TEST_F(PublishLinksTest, AVersionPublishedBeforeModesAndLinksKeepsItsDocument) {
  WriteFile(input_ / "a", "a");
  WriteFile(input_ / "b", "b");
  Publish(options_);
  // The same version as a publisher before modes, times and links wrote it.
  const fs::path path = output_ / "manifests/abc/7.xml";
  std::string old = ReadFile(path);
  for (const char* element : {"mode", "mtime"}) {
    for (std::size_t at; (at = old.find(std::string("<") + element + ">")) != std::string::npos;) {
      old.erase(at,
                old.find(std::string("</") + element + ">", at) + std::strlen(element) + 3 - at);
    }
  }
  ASSERT_EQ(old.find("<mode>"), std::string::npos);
  WriteFile(path, old);
  WriteFile(output_ / "manifests/abc/current.xml", old);
  // Rewritten with the same bytes: a new time, the same content.
  WriteFile(input_ / "a", "a");
  EXPECT_TRUE(Publish(options_).unchanged);
  EXPECT_EQ(ReadFile(path), old);

  // A mode is content: a new-form version with another mode is refused, naming the file.
  options_.version = "8";
  Publish(options_);
  ::chmod((input_ / "b").c_str(), 0755);
  WriteFile(input_ / "a", "a");
  try {
    Publish(options_);
    ADD_FAILURE() << "republished with another mode";
  } catch (const PublishError& e) {
    EXPECT_NE(std::string(e.what()).find("modes differ: \"b\""), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace halv::publish
