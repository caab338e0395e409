// Modes, times and links carried from a published folder to a download by halvane-get, against
// nginx on loopback: programs run after the download, nothing arrives set-user-ID or writable by
// others, links come back as links, and a document without these fields downloads as before.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

constexpr std::int64_t kTime = 1600000000;

struct stat LinkStatus(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

std::string LinkText(const std::string& path) {
  std::error_code error;
  return fs::read_symlink(path, error).string();
}

class HalvaneGetModesTest : public testing::Test {
 protected:
  void SetUp() override {
    // The umask that the modes below are computed with; halvane-get inherits it.
    previousUmask_ = ::umask(022);
    const std::string in = temp_.Child("in");
    fs::create_directories(in + "/bin");
    fs::copy_file("/bin/true", in + "/bin/true");
    test::WriteFile(in + "/bin/script", "#!/bin/sh\nexit 0\n");
    test::WriteFile(in + "/bin/suid", "not really a program");
    test::WriteFile(in + "/lib/libx.so.1", "library");
    const struct {
      const char* path;
      mode_t mode;
    } modes[] = {
        {"bin/true", 0755}, {"bin/script", 0644}, {"bin/suid", 04775}, {"lib/libx.so.1", 0664}};
    const timespec times[2] = {{kTime, 0}, {kTime, 0}};
    for (const auto& file : modes) {
      ::chmod((in + "/" + file.path).c_str(), file.mode);
      ::utimensat(AT_FDCWD, (in + "/" + file.path).c_str(), times, 0);
    }
    fs::create_symlink("libx.so.1", in + "/lib/libx.so");
    fs::create_directory_symlink("lib", in + "/docs");
    fs::create_symlink("../lib/libx.so", in + "/bin/library");
    // Two links that cannot be published: one leads out, one nowhere.
    test::WriteFile(temp_.Child("outside"), "secret");
    fs::create_symlink("../outside", in + "/out");
    fs::create_symlink("nowhere", in + "/gone");
    fs::create_directories(temp_.Child("home"));
  }

  void TearDown() override { ::umask(previousUmask_); }

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
  mode_t previousUmask_ = 022;
};

TEST_F(HalvaneGetModesTest, ModesTimesAndLinksRoundTrip) {
  // Every link that cannot be published is named in one refusal.
  const std::string refused = std::string(HALV_PUBLISH_BINARY) + " --input " + temp_.Child("in") +
                              " --output " + temp_.Child("refused") +
                              " --partner R --package abc --package-version 7 --name T"
                              " --node 127.0.0.1:1 2>" +
                              temp_.Child("publish-errors");
  EXPECT_NE(std::system(refused.c_str()), 0);
  const std::string publishErrors = ReadFile(temp_.Child("publish-errors"));
  for (const char* named : {"2 links", "\"out\"", "\"gone\"", "--skip-links"}) {
    EXPECT_NE(publishErrors.find(named), std::string::npos) << named << " in " << publishErrors;
  }

  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 2);
  site.Add(temp_.Child("in"), "R", "abc", "7", "--skip-links --run bin/true");
  site.Add(temp_.Child("in"), "R", "deref", "7", "--skip-links --dereference");
  site.Serve();

  std::string errors;
  const std::string dest = temp_.Child("dest");
  ASSERT_EQ(Get(site, "abc", dest, errors), 0) << errors;
  const struct {
    const char* path;
    mode_t mode;
  } expected[] = {
      {"bin/true", 0755}, {"bin/script", 0644}, {"bin/suid", 0755}, {"lib/libx.so.1", 0644}};
  for (const auto& file : expected) {
    SCOPED_TRACE(file.path);
    const struct stat status = LinkStatus(dest + "/" + file.path);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, file.mode);
    EXPECT_EQ(status.st_mtim.tv_sec, kTime);
  }
  EXPECT_EQ(std::system((dest + "/bin/true").c_str()), 0) << "the ELF program runs";
  EXPECT_EQ(LinkText(dest + "/lib/libx.so"), "libx.so.1");
  EXPECT_EQ(LinkText(dest + "/docs"), "lib");
  EXPECT_EQ(LinkText(dest + "/bin/library"), "../lib/libx.so");
  EXPECT_EQ(ReadFile(dest + "/docs/libx.so"), "library") << "through two links";
  for (const char* skipped : {"out", "gone"}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(dest + "/" + skipped))) << skipped;
  }
  // A second run finds every file and link in place and changes none.
  const ino_t link = LinkStatus(dest + "/lib/libx.so").st_ino;
  ASSERT_EQ(Get(site, "abc", dest, errors), 0) << errors;
  EXPECT_EQ(LinkStatus(dest + "/lib/libx.so").st_ino, link);

  // Dereferenced: the links to files arrive as those files; the link to a folder is left out.
  const std::string dereferenced = temp_.Child("dereferenced");
  ASSERT_EQ(Get(site, "deref", dereferenced, errors), 0) << errors;
  EXPECT_TRUE(S_ISREG(LinkStatus(dereferenced + "/lib/libx.so").st_mode));
  EXPECT_EQ(ReadFile(dereferenced + "/bin/library"), "library");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dereferenced + "/docs")));
}

TEST_F(HalvaneGetModesTest, ADocumentWithoutModesTimesOrLinksDownloadsAsBefore) {
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 1);
  site.Add(temp_.Child("in"), "R", "old", "7", "--skip-links --run bin/script");
  site.Serve();
  // The document as a publisher before modes, times and links wrote it.
  for (const char* name : {"7.xml", "current.xml"}) {
    const std::string path = temp_.Child("site/www/manifests/old/") + name;
    std::string text = ReadFile(path);
    for (const char* element : {"mode", "mtime"}) {
      const std::string open = std::string("<") + element + ">";
      const std::string close = std::string("</") + element + ">";
      for (std::size_t at; (at = text.find(open)) != std::string::npos;) {
        text.erase(at, text.find(close, at) + close.size() - at);
      }
    }
    text.erase(text.find("  <links>"), text.find("</links>\n") + 9 - text.find("  <links>"));
    ASSERT_EQ(text.find("link"), std::string::npos) << text;
    test::WriteFile(path, text);
  }
  std::string errors;
  const std::string dest = temp_.Child("dest");
  ASSERT_EQ(Get(site, "old", dest, errors), 0) << errors;
  // Created as every file always was, and the run file made runnable as it always was.
  for (const char* path : {"bin/true", "bin/suid", "lib/libx.so.1"}) {
    EXPECT_EQ(LinkStatus(dest + "/" + path).st_mode & 07777, 0644u) << path;
  }
  EXPECT_EQ(LinkStatus(dest + "/bin/script").st_mode & 07777, 0755u);
  EXPECT_NE(LinkStatus(dest + "/bin/true").st_mtim.tv_sec, kTime);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dest + "/lib/libx.so")));
}

}  // namespace
}  // namespace halv
