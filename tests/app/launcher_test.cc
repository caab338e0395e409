#include "app/launcher.h"

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "app/startup_parameters.h"
#include "launch_record.h"
#include "platform/linux_shortcut.h"
#include "platform/string_resources.h"
#include "platform/system.h"
#include "scoped_environment.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = boost::filesystem;
using Arguments = std::vector<std::string>;

StartupParameters Startup(const std::string& resources, const Arguments& commandLine) {
  return StartupParameters(StringResourceTable::FromText(resources), commandLine,
                           UserFolders{"/cache", "/data", "/state"});
}

TEST(BuildLaunchArgumentsTest, EveryItemInOrderUnderItsCondition) {
  const struct {
    const char* what;
    std::string resources;
    Arguments commandLine;
    std::string language;
    std::string skinRunPath;
    Arguments expected;
  } cases[] = {
      {"every optional value absent",
       "105=K\n108=N\n109=F\n",
       {"u"},
       "",
       "",
       {"/package", "K", "/name", "N", "/folder", "F"}},
      {"skin partner, skin and log level",
       "104=P\n105=K\n106=S\n108=N\n109=N\n",
       {"u", "log=3"},
       "",
       "skin/main.swf",
       {"/id", "P", "/package", "K", "/name", "N", "/folder", "N", "/skin", "S/skin/main.swf",
        "/log", "3"}},
      {"every item, per language",
       "102=cache.example:8080\n104=P\n105=en=K-en;de=K-de\n106=de=S-de\n108=de=Name DE\n"
       "109=de=Ordner\n",
       {"u", "packageVersion=2.1", "log=0"},
       "de",
       "skin/main.swf",
       {"/host", "cache.example:8080", "/id", "P", "/package", "K-de", "/name", "Name DE",
        "/folder", "Ordner", "/locale", "de", "/version", "2.1", "/skin", "S-de/skin/main.swf",
        "/log", "0"}},
      {"a language without values",
       "105=en=K\n108=en=N\n109=en=F\n",
       {"u"},
       "fr",
       "",
       {"/package", "", "/name", "", "/folder", "", "/locale", "fr"}},
      {"a given empty version, the absent log level",
       "105=K\n108=N\n109=F\n",
       {"u", "packageVersion=", "log=-9"},
       "",
       "",
       {"/package", "K", "/name", "N", "/folder", "F", "/version", ""}},
      {"a negative log level",
       "105=K\n108=N\n109=F\n",
       {"u", "log=-1"},
       "",
       "",
       {"/package", "K", "/name", "N", "/folder", "F", "/log", "-1"}},
      {"values with quotes, blanks and switches stay single arguments",
       "104=\" /host evil\n105=K\n108=My \"Best\" App\n109=My Folder\n",
       {"u", "packageVersion=1 \"2\""},
       "",
       "",
       {"/id", "\" /host evil", "/package", "K", "/name", "My \"Best\" App", "/folder", "My Folder",
        "/version", "1 \"2\""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildLaunchArguments(Startup(c.resources, c.commandLine), c.language, c.skinRunPath),
              c.expected)
        << c.what;
  }
}

class LaunchTest : public ::testing::Test {
 protected:
  // With shortcuts asked for, unless `shortcuts` says otherwise ("" for no argument).
  StartupParameters MakeStartup(const std::string& shortcuts = "shortcuts=yes") const {
    std::vector<std::string> arguments = {"halvane-updater", "packageVersion=2.1", "log=3"};
    if (!shortcuts.empty()) arguments.push_back(shortcuts);
    return StartupParameters(
        StringResourceTable::FromText(
            "104=P\n105=K\n106=S\n107=M\n108=My \"Best\" App\n109=My Folder\n"),
        arguments, UserFolders{root_.Child("cache"), root_.Child("data"), root_.Child("state")});
  }

  std::string Shortcut() const { return root_.Child("state/My Folder/shortcuts/K.url"); }
  std::string InstalledLauncher() const {
    return root_.Child("data/applications/halvane-delivery-K.desktop");
  }

  test::TempDir root_;
  test::ScopedEnvironmentVariable home_{"HOME", root_.Child("home")};
  test::ScopedEnvironmentVariable dataHome_{"XDG_DATA_HOME", root_.Child("data")};
  test::ScopedEnvironmentVariable cacheHome_{"XDG_CACHE_HOME", root_.Child("cache")};
  test::ScopedEnvironmentVariable stateHome_{"XDG_STATE_HOME", root_.Child("state")};
  test::ScopedEnvironmentVariable image_{"APPIMAGE", std::nullopt};
  const std::string record_ = root_.Child("record");
  test::ScopedEnvironmentVariable recordFile_{"HALV_RECORD_FILE", record_};
  const std::string dataFolder_ = root_.Child("data/My Folder");
};

TEST_F(LaunchTest, StartsTheProgramInItsFolderAndLeavesShortcutsToTheUpdater) {
  test::InstallProgram(HALV_RECORD_LAUNCH, dataFolder_ + "/M/bin/program");
  const StartupParameters startup = MakeStartup();
  ASSERT_EQ(startup.dataFolder(), dataFolder_);
  ASSERT_TRUE(Launch(startup, "", "bin/program", "skin/main.swf"));

  const Arguments expected = {test::CanonicalFolder(dataFolder_ + "/M/bin"),
                              "/id",
                              "P",
                              "/package",
                              "K",
                              "/name",
                              "My \"Best\" App",
                              "/folder",
                              "My Folder",
                              "/version",
                              "2.1",
                              "/skin",
                              "S/skin/main.swf",
                              "/log",
                              "3"};
  EXPECT_EQ(test::ReadLaunchRecord(record_), expected);

  EXPECT_EQ(test::ReadFile(Shortcut()), BuildInternetShortcut(GetExecutablePath()));
  const std::string launcher = test::ReadFile(InstalledLauncher());
  EXPECT_NE(launcher.find("\nName=My \"Best\" App\n"), std::string::npos) << launcher;
  EXPECT_NE(launcher.find("\nExec=" + QuoteExecArgument(GetExecutablePath()) + "\n"),
            std::string::npos)
      << launcher;
}

TEST_F(LaunchTest, AShortcutThatCannotBeWrittenDoesNotStopTheLaunch) {
  test::InstallProgram(HALV_RECORD_LAUNCH, dataFolder_ + "/M/bin/program");
  fs::create_directories(Shortcut() + "/in the way");
  // Nowhere to install a launcher either: a file where the applications folder should be.
  fs::create_directories(root_.Child("data"));
  std::ofstream(root_.Child("data/applications")) << "not a folder";

  ASSERT_TRUE(Launch(MakeStartup(), "", "bin/program", ""));
  EXPECT_EQ(test::ReadLaunchRecord(record_).size(), 13u);
  EXPECT_TRUE(fs::is_directory(Shortcut() + "/in the way"));
}

// Shortcuts are written only when asked for, and --remove-shortcuts takes away what was written.
TEST_F(LaunchTest, ShortcutsAreCreatedOnlyWhenAskedAndRemovedOnRequest) {
  test::InstallProgram(HALV_RECORD_LAUNCH, dataFolder_ + "/M/bin/program");
  for (const std::string skipped : {"", "shortcuts=no"}) {
    SCOPED_TRACE(skipped);
    ASSERT_TRUE(Launch(MakeStartup(skipped), "", "bin/program", ""));
    EXPECT_FALSE(fs::exists(Shortcut()));
    EXPECT_FALSE(fs::exists(InstalledLauncher()));
  }
  ASSERT_TRUE(Launch(MakeStartup(), "", "bin/program", ""));
  ASSERT_TRUE(fs::exists(Shortcut()));
  ASSERT_TRUE(fs::exists(InstalledLauncher()));
  // A file of the user's beside them stays.
  test::WriteFile(root_.Child("state/My Folder/shortcuts/notes.txt"), "mine");

  EXPECT_EQ(RemoveShortcuts(MakeStartup("")), 3) << "the .url, its .desktop, the menu entry";
  EXPECT_FALSE(fs::exists(Shortcut()));
  EXPECT_FALSE(fs::exists(root_.Child("state/My Folder/shortcuts/K.desktop")));
  EXPECT_FALSE(fs::exists(InstalledLauncher()));
  EXPECT_EQ(test::ReadFile(root_.Child("state/My Folder/shortcuts/notes.txt")), "mine");
  EXPECT_EQ(RemoveShortcuts(MakeStartup("")), 0);
}

TEST_F(LaunchTest, FailsWhenTheProgramCannotBeStarted) {
  test::InstallProgram(HALV_RECORD_LAUNCH, dataFolder_ + "/program");
  for (const char* runPath : {"missing", "", "../program"}) {
    EXPECT_FALSE(Launch(MakeStartup(), "", runPath, "")) << runPath;
    EXPECT_FALSE(fs::exists(record_)) << runPath;
    EXPECT_TRUE(fs::exists(Shortcut())) << "written before the start, " << runPath;
  }
}

}  // namespace
}  // namespace halv
