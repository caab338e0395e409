#include "file/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <new>
#include <string>
#include <typeindex>

#include <gtest/gtest.h>

#include "file/file_exception.h"
#include "temp_dir.h"

namespace halv {
namespace {

TEST(JoinPathTest, StripsLeadingSlashesAndStaysInsideTheFolder) {
  EXPECT_EQ(JoinPath("/data/pkg", "/x/y.dat"), "/data/pkg/x/y.dat");
  EXPECT_EQ(JoinPath("/data/pkg", "///x/y.dat"), "/data/pkg/x/y.dat");
  EXPECT_EQ(JoinPath("/data/pkg", "x/y.dat"), "/data/pkg/x/y.dat");
  EXPECT_EQ(JoinPath("/data/pkg", "x..y/..z"), "/data/pkg/x..y/..z");
}

TEST(JoinPathTest, MakesARelativeFolderAbsolute) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(JoinPath("rel", "a.txt"), std::string(cwd) + "/rel/a.txt");
}

TEST(JoinPathTest, RefusesParentComponents) {
  for (const char* hostile : {"../../.bashrc", "/../x", "a/../../b", "a/..", ".."}) {
    EXPECT_THROW(JoinPath("/data/pkg", hostile), FileBadPathException) << hostile;
  }
}

TEST(PathHelpersTest, AppendAndTrim) {
  EXPECT_EQ(AppendPath("/a", "b"), "/a/b");
  EXPECT_EQ(AppendPath("a", "/b"), "a/b") << "boost appends without a doubled separator";
  EXPECT_EQ(TrimLeadingSlashes("//a/b/"), "a/b/");
  EXPECT_EQ(TrimLeadingSlashes("///"), "");
  EXPECT_EQ(TrimLeadingSlashes(""), "");
}

TEST(PathHelpersTest, ExistenceCreationAndSpace) {
  test::TempDir dir;
  const std::string nested = dir.Child("a/b/c");
  EXPECT_FALSE(PathExists(nested));
  EXPECT_TRUE(CreateDirectories(nested));
  EXPECT_TRUE(PathExists(nested));
  EXPECT_TRUE(CreateDirectories(nested)) << "an existing folder is fine";
  EXPECT_GT(GetAvailableSpace(nested).value_or(0), 0u);

  EXPECT_FALSE(PathExists(std::string("bad\0name", 8)));
  EXPECT_FALSE(GetAvailableSpace("/no/such/volume/here").has_value());

  // A regular file in the way cannot become a folder.
  const std::string file = dir.Child("plain");
  ASSERT_EQ(close(creat(file.c_str(), 0644)), 0);
  EXPECT_FALSE(CreateDirectories(file + "/sub"));
  EXPECT_FALSE(CreateDirectories(file));
}

TEST(PathHelpersTest, CreateDirectoriesFailsWhereTheSystemRefuses) {
  // /proc refuses new folders even to root, which ignores permission bits.
  EXPECT_FALSE(CreateDirectories("/proc/halv-test/x"));
  if (geteuid() != 0) {
    test::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
    EXPECT_FALSE(CreateDirectories(dir.Child("x")));
  }
}

TEST(ThrowFileErrorTest, MapsErrnoByMeaning) {
  struct Case {
    int error;
    std::type_index expected;
  };
  const Case cases[] = {
      {ENOENT, typeid(FileBadPathException)},
      {ENOTDIR, typeid(FileBadPathException)},
      {ENAMETOOLONG, typeid(FileBadPathException)},
      {EACCES, typeid(FileInaccessibleException)},
      {EPERM, typeid(FileInaccessibleException)},
      {EROFS, typeid(FileInaccessibleException)},
      {EISDIR, typeid(FileInaccessibleException)},
      {EEXIST, typeid(FileInUseException)},
      {EBUSY, typeid(FileInUseException)},
      {ETXTBSY, typeid(FileInUseException)},
      {EAGAIN, typeid(FileInUseException)},
      {ENOSPC, typeid(FileInsufficientSpaceException)},
      {EDQUOT, typeid(FileInsufficientSpaceException)},
      {EFBIG, typeid(FileInsufficientSpaceException)},
      {EBADF, typeid(FileUnknownException)},
      {EIO, typeid(FileUnknownException)},
  };
  for (const Case& c : cases) {
    try {
      ThrowFileError(c.error);
    } catch (const FileException& e) {
      EXPECT_EQ(std::type_index(typeid(e)), c.expected) << "errno " << c.error;
    }
  }
  EXPECT_THROW(ThrowFileError(ENOMEM), std::bad_alloc);
  errno = ENOSPC;
  EXPECT_THROW(ThrowLastFileError(), FileInsufficientSpaceException);
}

}  // namespace
}  // namespace halv
