#include "platform/linux_shortcut.h"

#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "file/posix_shared_file.h"
#include "scoped_environment.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = boost::filesystem;

// UTF-16LE bytes of `text`, with the byte-order mark.
std::string Utf16LeWithMark(const std::u16string& text) {
  std::string bytes = "\xff\xfe";
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xff));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

const char kTarget[] = "/opt/Halvane Demo/halvane-updater~\xc3\xa4";
const std::string kShortcutBytes = Utf16LeWithMark(
    u"[InternetShortcut]\r\n"
    u"URL=file:///opt/Halvane%20Demo/halvane-updater~%C3%A4\r\n"
    u"IconFile=file:///opt/Halvane%20Demo/halvane-updater~%C3%A4\r\n"
    u"IconIndex=0\r\n");

mode_t Permissions(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The exit status of desktop-file-validate on `path` and what it printed.
std::pair<int, std::string> Validate(const std::string& path) {
  const std::string command = "desktop-file-validate '" + path + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  std::string output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class LinuxShortcutTest : public ::testing::Test {
 protected:
  LinuxShortcut MakeShortcut(const std::string& name = "pkg") {
    return LinuxShortcut(name, folder_, "Halvane \"Demo\"", files_, applications_);
  }

  test::TempDir root_;
  test::ScopedEnvironmentVariable home_{"HOME", root_.Child("home")};
  test::ScopedEnvironmentVariable dataHome_{"XDG_DATA_HOME", root_.Child("data")};
  test::ScopedEnvironmentVariable stateHome_{"XDG_STATE_HOME", root_.Child("state")};
  test::ScopedEnvironmentVariable cacheHome_{"XDG_CACHE_HOME", root_.Child("cache")};
  const std::string folder_ = root_.Child("cache/shortcuts");
  const std::string applications_ = root_.Child("data/applications");
  PosixSharedFileFactory files_;
};

TEST(FileUrlTest, EncodesEveryByteButUnreservedOnesAndSlashes) {
  const struct {
    const char* path;
    const char* url;
  } cases[] = {
      {"/opt/updater", "file:///opt/updater"},
      {"/a b/c#d?e%f", "file:///a%20b/c%23d%3Fe%25f"},
      {"/x:y@z;w=v'\"", "file:///x%3Ay%40z%3Bw%3Dv%27%22"},
      {"/A-Z_a.z~0", "file:///A-Z_a.z~0"},
      {"/\xe6\x97\xa5", "file:///%E6%97%A5"},
  };
  for (const auto& c : cases) EXPECT_EQ(FileUrlFromPath(c.path), c.url) << c.path;

  for (const std::string& bad : {std::string(), std::string("relative/updater"),
                                 "/" + std::string(2100, 'a'), "/" + std::string(700, ' ')}) {
    try {
      FileUrlFromPath(bad);
      ADD_FAILURE() << bad.size();
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "Cannot convert path to URL");
    }
  }
}

TEST(InternetShortcutTest, IsUtf16WithMarkAndFourCrlfLines) {
  EXPECT_EQ(BuildInternetShortcut(kTarget), kShortcutBytes);
  EXPECT_EQ(kShortcutBytes.substr(0, 4), std::string("\xff\xfe[\0", 4));
}

TEST_F(LinuxShortcutTest, CreateWritesTheShortcutAndItsLaunchers) {
  LinuxShortcut shortcut = MakeShortcut();
  EXPECT_EQ(shortcut.fileName(), "pkg.url");
  ASSERT_TRUE(shortcut.Create(kTarget));

  EXPECT_EQ(test::ReadFile(folder_ + "/pkg.url"), kShortcutBytes);
  const std::string entry = BuildDesktopEntry("Halvane \"Demo\"", kTarget);
  EXPECT_EQ(test::ReadFile(folder_ + "/pkg.desktop"), entry);
  EXPECT_EQ(Permissions(folder_ + "/pkg.desktop"), 0755u);
  EXPECT_EQ(shortcut.InstalledLauncherName(), "halvane-delivery-pkg.desktop");
  EXPECT_EQ(test::ReadFile(applications_ + "/halvane-delivery-pkg.desktop"), entry);
  EXPECT_EQ(Permissions(applications_ + "/halvane-delivery-pkg.desktop"), 0644u);
  EXPECT_EQ(fs::directory_iterator(applications_)->path().filename(),
            "halvane-delivery-pkg.desktop")
      << "no temporary file is left behind";
}

TEST_F(LinuxShortcutTest, AnExistingShortcutIsReplaced) {
  fs::create_directories(folder_);
  std::ofstream(folder_ + "/pkg.url")
      << "an older shortcut that is longer than the new one ...." << std::string(400, '.');
  ASSERT_TRUE(MakeShortcut().Create(kTarget));
  EXPECT_EQ(test::ReadFile(folder_ + "/pkg.url"), kShortcutBytes);
}

TEST_F(LinuxShortcutTest, AShortcutThatCannotBeDeletedIsKeptButLaunchersAreWritten) {
  // A folder in the file's place cannot be unlinked, even by root.
  fs::create_directories(folder_ + "/pkg.url/inside");
  EXPECT_FALSE(MakeShortcut().Create(kTarget));
  EXPECT_TRUE(fs::is_directory(folder_ + "/pkg.url/inside"));
  EXPECT_TRUE(fs::exists(folder_ + "/pkg.desktop"));
  EXPECT_TRUE(fs::exists(applications_ + "/halvane-delivery-pkg.desktop"));
}

TEST_F(LinuxShortcutTest, ATargetWithoutUrlLeavesTheOldShortcut) {
  fs::create_directories(folder_);
  std::ofstream(folder_ + "/pkg.url") << "old";
  EXPECT_FALSE(MakeShortcut().Create("relative/updater"));
  EXPECT_EQ(test::ReadFile(folder_ + "/pkg.url"), "old");
  EXPECT_FALSE(fs::exists(folder_ + "/pkg.desktop"));
}

TEST_F(LinuxShortcutTest, WithoutAnApplicationsFolderOnlyTheFolderGetsLaunchers) {
  LinuxShortcut shortcut("pkg", folder_, "Name", files_, "");
  ASSERT_TRUE(shortcut.Create(kTarget));
  EXPECT_TRUE(fs::exists(folder_ + "/pkg.desktop"));
  EXPECT_FALSE(fs::exists(applications_));
}

TEST_F(LinuxShortcutTest, CopyAndRemove) {
  LinuxShortcut shortcut = MakeShortcut();
  ASSERT_TRUE(shortcut.Create(kTarget));
  const std::string other = root_.Child("desktop");
  fs::create_directories(other);

  EXPECT_TRUE(shortcut.CopyTo(other, "Halvane Demo"));
  EXPECT_EQ(test::ReadFile(other + "/Halvane Demo.url"), kShortcutBytes);
  EXPECT_EQ(test::ReadFile(other + "/Halvane Demo.desktop"),
            test::ReadFile(folder_ + "/pkg.desktop"));
  EXPECT_FALSE(shortcut.CopyTo(root_.Child("missing"), "x"));

  EXPECT_TRUE(shortcut.Remove(other, "Halvane Demo"));
  EXPECT_FALSE(fs::exists(other + "/Halvane Demo.url"));
  EXPECT_FALSE(fs::exists(other + "/Halvane Demo.desktop"));
  EXPECT_FALSE(shortcut.Remove(other, "Halvane Demo"));
}

TEST(DesktopEntryTest, ExecArgumentsAreQuotedByTheDesktopEntryRules) {
  const struct {
    const char* argument;
    const char* written;
  } cases[] = {
      {"/opt/updater", "/opt/updater"},
      {"/opt/my app", "\"/opt/my app\""},
      {"/opt/a\"b", "\"/opt/a\\\\\"b\""},
      {"/opt/a\\b", "\"/opt/a\\\\\\\\b\""},
      {"/opt/$HOME/`x`", "\"/opt/\\\\$HOME/\\\\`x\\\\`\""},
      {"/opt/100%", "/opt/100%%"},
      {"/opt/50% off", "\"/opt/50%% off\""},
      {"/opt/it's", "\"/opt/it's\""},
      {"", "\"\""},
  };
  for (const auto& c : cases) EXPECT_EQ(QuoteExecArgument(c.argument), c.written) << c.argument;
}

TEST(DesktopEntryTest, NamesTheTargetAndRunsIt) {
  EXPECT_EQ(BuildDesktopEntry("Halvane Demo", "/opt/halvane demo/updater"),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Version=1.0\n"
            "Name=Halvane Demo\n"
            "Exec=\"/opt/halvane demo/updater\"\n"
            "TryExec=/opt/halvane demo/updater\n"
            "Icon=system-software-update\n"
            "Terminal=false\n"
            "Categories=Network;FileTransfer;\n");
  EXPECT_THROW(BuildDesktopEntry("x", "relative"), std::invalid_argument);
  EXPECT_THROW(BuildDesktopEntry("x", "/opt/a\nb"), std::invalid_argument);
}

TEST(DesktopEntryTest, DesktopFileValidateAcceptsEveryLauncher) {
  test::TempDir folder;
  const struct {
    const char* name;
    const char* target;
  } cases[] = {
      {"Halvane Demo", "/opt/updater"},
      {"  My \"Best\" App\n\t", "/opt/my app/up\"date"},
      {"\\back\\slash; and = signs", "/opt/a\\b/$HOME/`cmd`/100%/it's (1)/#?*~<>|&;"},
      {"", "/opt/Halvane Demo.AppImage"},
      {"\xff\xfe invalid \xc3", "/opt/\xe6\x97\xa5\xe6\x9c\xac/updater"},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string path = folder.Child("case" + std::to_string(index++) + ".desktop");
    std::ofstream(path) << BuildDesktopEntry(c.name, c.target);
    const auto [status, output] = Validate(path);
    EXPECT_EQ(status, 0) << c.target << "\n" << output;
    EXPECT_EQ(output, "") << c.target;
  }
}

}  // namespace
}  // namespace halv
