// halvane-get into folders that others may write, against nginx on loopback: another user's
// planted files are never taken as verified, a hard link to a file outside keeps that file as
// it was, another user who may write the folder can check a complete download again, and names
// of up to 255 bytes download. The other user is `nobody`, through runuser(1): root only.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "nginx_site.h"
#include "scoped_environment.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

constexpr std::int64_t kTime = 1600000000;

struct stat LinkStatus(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

// Runs `script` with sh as user nobody; its exit status.
int AsNobody(const std::string& script) {
  return std::system(("runuser -u nobody -- sh -c '" + script + "'").c_str());
}

const std::string& LongName() {
  static const std::string name = std::string(250, 'n') + ".txt";
  return name;
}

class HalvaneGetTrustTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    previousUmask_ = ::umask(022);
    // Everyone may reach the folders below; each destination says who may write it.
    ASSERT_EQ(::chmod(temp_.path().c_str(), 0755), 0);
    const std::string in = temp_.Child("in");
    test::WriteFile(in + "/app", test::PseudoRandomBytes(40000, 1));
    test::WriteFile(in + "/data.txt", "the package's data\n");
    test::WriteFile(temp_.Child("names/long/" + LongName()), "a long name");
    ::chmod((in + "/app").c_str(), 0755);
    const timespec times[2] = {{kTime, 0}, {kTime, 0}};
    for (const char* file : {"app", "data.txt"}) {
      ::utimensat(AT_FDCWD, (in + "/" + file).c_str(), times, 0);
    }
    for (const char* home : {"home", "nobody-home"}) fs::create_directories(temp_.Child(home));
    ASSERT_EQ(std::system(("chown -R nobody " + temp_.Child("nobody-home")).c_str()), 0);
    site_ = std::make_unique<test::NginxSite>(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX,
                                              temp_.Child("site"), 2);
    site_->Add(in, "R", "abc", "7", "--run app");
    site_->Add(temp_.Child("names"), "R", "names", "7");
    site_->Serve();
  }

  void TearDown() override {
    site_.reset();
    ::umask(previousUmask_);
  }

  // A folder for a destination with `mode`, owned by root.
  std::string Destination(const std::string& name, mode_t mode) {
    const std::string dest = temp_.Child(name);
    fs::create_directories(dest);
    EXPECT_EQ(::chmod(dest.c_str(), mode), 0);
    return dest;
  }

  // halvane-get's exit status for the package downloaded into `dest`, run as root or as nobody;
  // `errors` gets its stderr.
  int Get(const std::string& dest, bool asNobody, std::string& errors,
          const std::string& package = "abc") {
    const std::string home = temp_.Child(asNobody ? "nobody-home" : "home");
    std::string command = asNobody ? "runuser -u nobody -- env " : "env ";
    for (const std::string& variable : test::SanitizerEnvironment()) command += variable + " ";
    command += "HOME=" + home + " XDG_CACHE_HOME=" + home + "/cache XDG_DATA_HOME=" + home +
               "/data XDG_STATE_HOME=" + home + "/state HALV_ANALYTICS_URL= " + HALV_GET_BINARY +
               " --host " + site_->ManifestHost() + " --partner R --package " + package +
               " --dest " + dest + " >/dev/null 2>" + temp_.Child("errors");
    const int status = std::system(command.c_str());
    errors = ReadFile(temp_.Child("errors"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void ExpectPackage(const std::string& dest, uid_t owner) {
    for (const std::string file : {"app", "data.txt"}) {
      SCOPED_TRACE(file);
      EXPECT_EQ(ReadFile(dest + "/" + file), ReadFile(temp_.Child("in/" + file)));
      EXPECT_EQ(LinkStatus(dest + "/" + file).st_uid, owner);
      EXPECT_EQ(LinkStatus(dest + "/" + file).st_nlink, 1u);
      EXPECT_EQ(LinkStatus(dest + "/" + file).st_mode & 022, 0u);
    }
  }

  test::TempDir temp_;
  std::unique_ptr<test::NginxSite> site_;
  mode_t previousUmask_ = 022;
};

TEST_F(HalvaneGetTrustTest, FilesAnotherUserPlantedAreReplacedByOurs) {
  // A folder like /tmp. Another user plants a partial program of zeros of the right size and an
  // already right data file, both their own and writable by anyone.
  const std::string dest = Destination("shared", 01777);
  ASSERT_EQ(AsNobody("head -c 40000 /dev/zero > " + dest + "/app.halvane-part && cp " +
                     temp_.Child("in/data.txt") + " " + dest + "/data.txt && chmod 666 " + dest +
                     "/app.halvane-part " + dest + "/data.txt"),
            0);
  std::string errors;
  ASSERT_EQ(Get(dest, false, errors), 0) << errors;
  ExpectPackage(dest, 0);
  EXPECT_NE(AsNobody("printf rewritten 2>/dev/null > " + dest + "/app"), 0)
      << "the other user can no longer rewrite the program";
  EXPECT_FALSE(fs::exists(dest + "/app.halvane-part"));

  // A folder of the package that the other user made first: nothing is written there, and the
  // run says which folder and why.
  const std::string planted = Destination("planted", 01777);
  ASSERT_EQ(AsNobody("mkdir " + planted + "/long"), 0);
  EXPECT_NE(Get(planted, false, errors, "names"), 0);
  EXPECT_NE(errors.find("/long\" belongs to user "), std::string::npos) << errors;
  EXPECT_TRUE(fs::is_empty(planted + "/long"));
}

TEST_F(HalvaneGetTrustTest, AHardLinkToAFileOutsideKeepsThatFileAsItWas) {
  const std::string dest = Destination("dest", 0755);
  const std::string victim = temp_.Child("victim");
  test::WriteFile(victim, ReadFile(temp_.Child("in/data.txt")));
  ASSERT_EQ(::chmod(victim.c_str(), 04711), 0);
  ASSERT_EQ(::link(victim.c_str(), (dest + "/data.txt").c_str()), 0);
  const struct stat before = LinkStatus(victim);

  std::string errors;
  ASSERT_EQ(Get(dest, false, errors), 0) << errors;
  ExpectPackage(dest, 0);
  EXPECT_EQ(LinkStatus(dest + "/data.txt").st_mtim.tv_sec, kTime);
  const struct stat after = LinkStatus(victim);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_nlink, 1u) << "the package path is a file of its own now";
  EXPECT_EQ(ReadFile(victim), ReadFile(temp_.Child("in/data.txt")));
}

TEST_F(HalvaneGetTrustTest, AnotherUserWhoMayWriteTheFolderChecksACompleteDownloadAgain) {
  // A folder of a team that root and nobody are both in.
  const std::string dest = Destination("team", 0775);
  ASSERT_EQ(::chown(dest.c_str(), 0, 65534), 0);
  std::string errors;
  ASSERT_EQ(Get(dest, false, errors), 0) << errors;
  ExpectPackage(dest, 0);
  // Root's files are not theirs to take: they get files of their own, with the same bytes.
  const uid_t nobody = 65534;
  ASSERT_EQ(Get(dest, true, errors), 0) << errors;
  ExpectPackage(dest, nobody);
  // Checked again by their owner, nothing needs a change and nothing is changed.
  const struct stat app = LinkStatus(dest + "/app");
  ASSERT_EQ(Get(dest, true, errors), 0) << errors;
  EXPECT_EQ(LinkStatus(dest + "/app").st_ino, app.st_ino);
  EXPECT_EQ(LinkStatus(dest + "/app").st_ctim.tv_nsec, app.st_ctim.tv_nsec);

  // In a sticky folder root's files cannot be replaced by another user: the run says which file
  // and why, and leaves it.
  const std::string sticky = Destination("sticky", 01777);
  ASSERT_EQ(Get(sticky, false, errors), 0) << errors;
  EXPECT_NE(Get(sticky, true, errors), 0);
  EXPECT_NE(errors.find("belongs to user 0 and this folder does not let it be replaced"),
            std::string::npos)
      << errors;
  ExpectPackage(sticky, 0);
}

TEST_F(HalvaneGetTrustTest, NamesOfUpTo255BytesDownload) {
  const std::string dest = Destination("names", 0755);
  const std::string path = dest + "/long/" + LongName();
  std::string errors;
  ASSERT_EQ(Get(dest, false, errors, "names"), 0) << errors;
  EXPECT_EQ(ReadFile(path), "a long name");
  EXPECT_EQ(std::distance(fs::directory_iterator(dest + "/long"), fs::directory_iterator()), 1)
      << "no partial file is left";
  const ino_t inode = LinkStatus(path).st_ino;
  ASSERT_EQ(Get(dest, false, errors, "names"), 0) << errors;
  EXPECT_EQ(LinkStatus(path).st_ino, inode);
}

}  // namespace
}  // namespace halv
