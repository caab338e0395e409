// Every kind of entry of an application tree carried from a published folder to a download by
// halvane-get, against nginx on loopback: empty folders, hard-linked files (downloaded once),
// absolute links, and a Python virtual environment that runs where it arrives.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nginx_site.h"
#include "scoped_environment.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

struct stat LinkStatus(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

bool IsFolder(const std::string& path) { return fs::is_directory(fs::symlink_status(path)); }

// How many of the nodes' file requests name `path` of version 7 of `package`.
std::size_t RequestsFor(const test::NginxSite& site, const std::string& package,
                        const std::string& path) {
  const std::string wanted = "/packages/R/" + package + "/7/" + path + " ";
  std::size_t count = 0;
  for (const std::string& line : site.FileRequests()) {
    if (line.find(wanted) != std::string::npos) ++count;
  }
  return count;
}

class HalvaneGetEntriesTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string in = temp_.Child("in");
    test::WriteFile(in + "/bin/tool", test::PseudoRandomBytes(3000, 1));
    test::WriteFile(in + "/share/a", test::PseudoRandomBytes(5000, 2));
    ASSERT_EQ(::link((in + "/share/a").c_str(), (in + "/share/b").c_str()), 0);
    test::WriteFile(in + "/three/1", test::PseudoRandomBytes(2000, 3));
    ASSERT_EQ(::link((in + "/three/1").c_str(), (in + "/three/2").c_str()), 0);
    fs::create_directories(in + "/other");
    ASSERT_EQ(::link((in + "/three/1").c_str(), (in + "/other/3").c_str()), 0);
    fs::create_directories(in + "/empty");
    fs::create_directories(in + "/deep/er/empty");
    fs::create_symlink("/usr/bin/env", in + "/bin/env");
    fs::create_symlink("/nonexistent/halvane/target", in + "/dangling");
    fs::create_directories(temp_.Child("home"));
  }

  // halvane-get's exit status for `package` downloaded into `dest`; `errors` gets its stderr.
  int Get(const test::NginxSite& site, const std::string& package, const std::string& dest,
          std::string& errors) {
    std::string command;
    for (const std::string& variable : test::SanitizerEnvironment()) command += variable + " ";
    command += "HOME=" + temp_.Child("home") + " XDG_CACHE_HOME=" + temp_.Child("home/cache") +
               " XDG_DATA_HOME=" + temp_.Child("home/data") +
               " XDG_STATE_HOME=" + temp_.Child("home/state") +
               " HALV_ANALYTICS_URL= " + HALV_GET_BINARY + " --host " + site.ManifestHost() +
               " --partner R --package " + package + " --dest " + dest + " >/dev/null 2>" +
               temp_.Child("errors");
    const int status = std::system(command.c_str());
    errors = ReadFile(temp_.Child("errors"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  test::TempDir temp_;
};

TEST_F(HalvaneGetEntriesTest, FoldersHardLinksAndAbsoluteLinksArriveAndARerunReceivesNothing) {
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 2);
  site.Add(temp_.Child("in"), "R", "abc", "7", "--keep-absolute-links --chunk-size 1024");
  site.Serve();

  std::string errors;
  const std::string dest = temp_.Child("dest");
  ASSERT_EQ(Get(site, "abc", dest, errors), 0) << errors;
  EXPECT_TRUE(IsFolder(dest + "/empty"));
  EXPECT_TRUE(IsFolder(dest + "/deep/er/empty"));
  EXPECT_EQ(LinkStatus(dest + "/share/b").st_ino, LinkStatus(dest + "/share/a").st_ino);
  EXPECT_EQ(LinkStatus(dest + "/share/a").st_nlink, 2u);
  for (const char* member : {"three/1", "three/2"}) {
    EXPECT_EQ(LinkStatus(dest + "/" + member).st_ino, LinkStatus(dest + "/other/3").st_ino)
        << member;
  }
  EXPECT_EQ(ReadFile(dest + "/share/b"), test::PseudoRandomBytes(5000, 2));
  EXPECT_EQ(fs::read_symlink(dest + "/bin/env"), "/usr/bin/env");
  EXPECT_EQ(fs::read_symlink(dest + "/dangling"), "/nonexistent/halvane/target");
  // Each group's bytes came once, by its first name.
  EXPECT_GE(RequestsFor(site, "abc", "share/a"), 5u);
  EXPECT_GE(RequestsFor(site, "abc", "other/3"), 2u);
  for (const char* member : {"share/b", "three/1", "three/2"}) {
    EXPECT_EQ(RequestsFor(site, "abc", member), 0u) << member;
  }

  // A rerun over the complete tree receives nothing and changes nothing.
  const std::size_t requests = site.FileRequests().size();
  const ino_t shared = LinkStatus(dest + "/share/a").st_ino;
  ASSERT_EQ(Get(site, "abc", dest, errors), 0) << errors;
  EXPECT_EQ(site.FileRequests().size(), requests);
  EXPECT_EQ(LinkStatus(dest + "/share/a").st_ino, shared);
  EXPECT_EQ(LinkStatus(dest + "/share/b").st_ino, shared);

  // A copy where a hard link belongs is made a second name again, still without a request.
  fs::remove(dest + "/share/b");
  fs::copy_file(dest + "/share/a", dest + "/share/b");
  ASSERT_EQ(Get(site, "abc", dest, errors), 0) << errors;
  EXPECT_EQ(LinkStatus(dest + "/share/b").st_ino, shared);
  EXPECT_EQ(site.FileRequests().size(), requests);
}

TEST_F(HalvaneGetEntriesTest, AnEntryOfTheUsersWhereAFolderOrHardLinkGoesFailsTheRunByName) {
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 1);
  site.Add(temp_.Child("in"), "R", "abc", "7", "--keep-absolute-links");
  site.Serve();
  const struct {
    const char* path;
    bool folder;  // the user's entry is a folder holding a file, else a file
  } cases[] = {{"deep/er/empty", false}, {"three/2", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string dest = temp_.Child(std::string("dest-") + (c.folder ? "folder" : "file"));
    const std::string mine = dest + "/" + c.path + (c.folder ? "/mine" : "");
    test::WriteFile(mine, "mine");
    std::string errors;
    EXPECT_EQ(Get(site, "abc", dest, errors), 6) << errors;
    EXPECT_NE(errors.find(std::string("\"") + c.path + "\""), std::string::npos) << errors;
    EXPECT_EQ(ReadFile(mine), "mine");
  }
}

TEST_F(HalvaneGetEntriesTest, APythonVirtualEnvironmentRunsWhereItArrives) {
  // Without pip, so that the test stays quick: the tree's kinds of entries are the same (an
  // absolute link to the system's interpreter, relative links to it, empty folders).
  const std::string venv = temp_.Child("venv");
  ASSERT_EQ(std::system(("/usr/bin/python3 -m venv --without-pip " + venv).c_str()), 0);
  ASSERT_TRUE(fs::is_symlink(venv + "/bin/python3"));
  ASSERT_EQ(fs::read_symlink(venv + "/bin/python3").string().front(), '/');
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 1);
  site.Add(venv, "R", "venv", "7", "--keep-absolute-links");
  site.Serve();

  std::string errors;
  const std::string dest = temp_.Child("dest");
  ASSERT_EQ(Get(site, "venv", dest, errors), 0) << errors;
  // Every entry of the environment arrived as what it is.
  std::size_t folders = 0;
  for (const auto& entry : fs::recursive_directory_iterator(venv)) {
    const std::string relative = entry.path().lexically_relative(venv).string();
    SCOPED_TRACE(relative);
    const fs::file_status status = entry.symlink_status();
    if (fs::is_symlink(status)) {
      EXPECT_EQ(fs::read_symlink(dest + "/" + relative), fs::read_symlink(entry.path()));
    } else if (fs::is_directory(status)) {
      EXPECT_TRUE(IsFolder(dest + "/" + relative));
      if (fs::is_empty(entry.path())) ++folders;
    } else {
      EXPECT_EQ(ReadFile(dest + "/" + relative), ReadFile(entry.path().string()));
    }
  }
  EXPECT_GE(folders, 1u) << "the environment holds empty folders";
  const std::string command =
      dest + "/bin/python -c 'import sys; print(sys.prefix)' >" + temp_.Child("prefix");
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string prefix = ReadFile(temp_.Child("prefix"));
  ASSERT_FALSE(prefix.empty());
  prefix.pop_back();
  EXPECT_EQ(fs::canonical(prefix), fs::canonical(dest));
}

}  // namespace
}  // namespace halv
