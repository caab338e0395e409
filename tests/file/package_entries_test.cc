// The entries of a package that are not downloaded files: hard links of a downloaded file, empty
// folders and absolute links, made beneath the destination without following links, each with
// the kernel's openat2 and with the walk that replaces it where it is missing.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "file/beneath.h"
#include "file/folder.h"
#include "file/paths.h"
#include "file/posix_shared_file.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

struct stat LinkStatus(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class PackageEntriesTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ForceBeneathWalk(GetParam()); }
  void TearDown() override { ForceBeneathWalk(false); }

  std::string At(const std::string& relative) const { return dir_.Child(relative); }

  test::TempDir dir_;
  PosixSharedFileFactory factory_;
};

TEST_P(PackageEntriesTest, AHardLinkIsMadeKeptOrReplacesACopyButNothingElse) {
  WriteFile(At("lib/a"), "bytes");
  ASSERT_EQ(::link(At("lib/a").c_str(), At("lib/same").c_str()), 0);
  WriteFile(At("lib/copy"), "an earlier copy");
  WriteFile(At(std::string("lib/copy") + kPartialFileSuffix), "left by a killed run");
  fs::create_directories(At("lib/folder/inside"));
  fs::create_symlink("a", At("lib/link"));
  fs::create_directory_symlink("lib", At("through"));
  const struct stat primary = LinkStatus(At("lib/a"));
  const struct {
    const char* path;
    bool placed;
    const char* named;  // in the refusal
  } cases[] = {
      {"lib/new", true, ""},
      {"made/on/the/way", true, ""},
      {"lib/same", true, ""},
      {"lib/copy", true, ""},
      {"lib/folder", false, "lib/folder"},
      {"lib/link", false, "lib/link"},
      {"through/x", false, "through"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      const FileIdentity identity =
          factory_.PlaceHardLink(*Folder::Open(dir_.path()), c.path, "lib/a");
      EXPECT_TRUE(c.placed);
      const struct stat placed = LinkStatus(At(c.path));
      EXPECT_TRUE(S_ISREG(placed.st_mode));
      EXPECT_TRUE(SameFile(placed, primary));
      EXPECT_EQ(identity.inode, static_cast<std::uint64_t>(primary.st_ino));
      EXPECT_EQ(identity.device, static_cast<std::uint64_t>(primary.st_dev));
    } catch (const FileUnsafePathException& error) {
      EXPECT_FALSE(c.placed) << error.what();
      EXPECT_NE(std::string(error.what()).find(std::string("\"") + c.named + "\""),
                std::string::npos)
          << error.what();
    }
  }
  EXPECT_EQ(LinkStatus(At("lib/a")).st_nlink, 5u) << "a, same, new, made/on/the/way and copy";
  EXPECT_FALSE(fs::exists(fs::symlink_status(At(std::string("lib/copy") + kPartialFileSuffix))));
  // What was the user's is left as it was.
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(At("lib/folder/inside"))));
  EXPECT_EQ(fs::read_symlink(At("lib/link")), "a");
  EXPECT_EQ(ReadFile(At("lib/a")), "bytes");
}

TEST_P(PackageEntriesTest, AHardLinkOfSomethingThatIsNoLongerAFileIsRefused) {
  WriteFile(At("real"), "bytes");
  fs::create_symlink("real", At("primary-link"));
  fs::create_directories(At("primary-folder"));
  for (const char* primary : {"primary-link", "primary-folder", "missing"}) {
    SCOPED_TRACE(primary);
    try {
      factory_.PlaceHardLink(*Folder::Open(dir_.path()), "member", primary);
      ADD_FAILURE() << "linked";
    } catch (const FileUnsafePathException& error) {
      EXPECT_NE(std::string(error.what()).find(std::string("\"") + primary + "\""),
                std::string::npos)
          << error.what();
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(At("member"))));
  }
}

TEST_P(PackageEntriesTest, AFolderIsMadeOrKeptButNothingElseIsReplaced) {
  WriteFile(At("existing/mine"), "kept");
  WriteFile(At("file"), "mine");
  fs::create_directories(At("elsewhere"));
  fs::create_directory_symlink("elsewhere", At("link"));
  fs::create_directory_symlink("existing", At("through"));
  const struct {
    const char* path;
    bool placed;
    const char* named;
  } cases[] = {
      {"empty", true, ""},     {"deep/er/empty", true, ""}, {"existing", true, ""},
      {"file", false, "file"}, {"link", false, "link"},     {"through/x", false, "through"},
  };
  std::map<std::string, FileIdentity> placed;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      placed[c.path] = factory_.PlaceFolder(*Folder::Open(dir_.path()), c.path);
      EXPECT_TRUE(c.placed);
      const struct stat status = LinkStatus(At(c.path));
      EXPECT_TRUE(S_ISDIR(status.st_mode));
      EXPECT_EQ(placed[c.path].inode, static_cast<std::uint64_t>(status.st_ino));
    } catch (const FileUnsafePathException& error) {
      EXPECT_FALSE(c.placed) << error.what();
      EXPECT_NE(std::string(error.what()).find(std::string("\"") + c.named + "\""),
                std::string::npos)
          << error.what();
    }
  }
  EXPECT_EQ(ReadFile(At("existing/mine")), "kept");
  EXPECT_EQ(ReadFile(At("file")), "mine");
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(At("link"))));
  EXPECT_TRUE(fs::is_empty(At("elsewhere")));

  // The last check finds the folders as they were made, and names one that was replaced.
  const std::shared_ptr<const Folder> folder = Folder::Open(dir_.path());
  EXPECT_NO_THROW(ConfirmBeneath(folder->descriptor(), placed));
  // Moved away rather than removed, so that the file cannot be given the folder's inode.
  fs::rename(At("deep/er/empty"), At("deep/er/moved"));
  WriteFile(At("deep/er/empty"), "a file now");
  try {
    ConfirmBeneath(folder->descriptor(), placed);
    ADD_FAILURE() << "confirmed";
  } catch (const FileUnsafePathException& error) {
    EXPECT_NE(std::string(error.what()).find("\"deep/er/empty\""), std::string::npos)
        << error.what();
  }
}

TEST_P(PackageEntriesTest, AnAbsoluteLinkIsMadeKeptOrReplacedLikeAnyOther) {
  ASSERT_EQ(::symlink("/usr/bin/python3", At("same").c_str()), 0);
  ASSERT_EQ(::symlink("/usr/bin/python2", At("other").c_str()), 0);
  WriteFile(At("file"), "mine");
  const ino_t same = LinkStatus(At("same")).st_ino;
  const struct {
    const char* path;
    bool placed;
  } cases[] = {{"new", true}, {"bin/new", true}, {"same", true}, {"other", true}, {"file", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      const FileIdentity identity =
          factory_.PlaceLink(*Folder::Open(dir_.path()), c.path, "/usr/bin/python3");
      EXPECT_TRUE(c.placed);
      EXPECT_EQ(fs::read_symlink(At(c.path)), "/usr/bin/python3");
      EXPECT_EQ(identity.inode, static_cast<std::uint64_t>(LinkStatus(At(c.path)).st_ino));
    } catch (const FileUnsafePathException& error) {
      EXPECT_FALSE(c.placed) << error.what();
      EXPECT_NE(std::string(error.what()).find("\"file\""), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(LinkStatus(At("same")).st_ino, same) << "a link with the same text is kept";
  EXPECT_EQ(ReadFile(At("file")), "mine");
  // A target that names nothing on this machine is made all the same.
  factory_.PlaceLink(*Folder::Open(dir_.path()), "dangling", "/nonexistent/halvane/target");
  EXPECT_EQ(fs::read_symlink(At("dangling")), "/nonexistent/halvane/target");
}

TEST_P(PackageEntriesTest, LinksAreFollowedTogetherOnDiskToSeeWhetherTheyLeadOutside) {
  const struct {
    const char* what;
    std::map<std::string, std::string> links;  // made in this order of paths
    std::string checked;
    std::string through;  // the link it leaves by; empty when it stays inside
  } cases[] = {
      {"an earlier version's link to the parent", {{"a/up", ".."}, {"b", "a/up/.."}}, "b", "a/up"},
      {"itself", {{"b", "../x"}}, "b", "b"},
      {"staying inside", {{"a/up", ".."}, {"b", "a/up/a"}}, "b", ""},
      {"through an absolute link", {{"a/abs", "/etc"}, {"b", "a/abs/passwd"}}, "b", "a/abs"},
      {"through a package's absolute link",
       {{"a/python3", "/usr/bin/python3"}, {"b", "a/python3"}},
       "b",
       ""},
      {"a chain", {{"a/c", "../d"}, {"d", "a/../.."}, {"b", "a/c"}}, "b", "d"},
      {"a missing step", {{"b", "missing/../../.."}}, "b", ""},
      {"through a file", {{"b", "a/file/../.."}}, "b", ""},
      {"a loop", {{"b", "c"}, {"c", "b"}}, "b", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const test::TempDir dir;
    const std::string dest = dir.Child("dest");
    fs::create_directories(dest + "/a");
    WriteFile(dest + "/a/file", "x");
    for (const auto& [path, target] : c.links) fs::create_symlink(target, dest + "/" + path);
    const auto folder = Folder::Open(dest);
    const std::optional<std::string> through =
        LinkLeadsOutside(folder->descriptor(), c.checked, {"a/python3"});
    EXPECT_EQ(through.value_or(""), c.through);
  }
}

INSTANTIATE_TEST_SUITE_P(OpenAt2AndWalk, PackageEntriesTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Walk" : "OpenAt2";
                         });

}  // namespace
}  // namespace halv
