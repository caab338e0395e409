#include "app/startup_parameters.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/settings.h"
#include "platform/string_resources.h"
#include "scoped_environment.h"
#include "temp_dir.h"

namespace halv {
namespace {

StartupParameters Parse(const std::vector<std::string>& arguments,
                        const std::string& resources = "") {
  return StartupParameters(StringResourceTable::FromText(resources), arguments,
                           UserFolders{"/cache", "/data", "/state"});
}

// The three base folders below one temporary folder.
UserFolders Below(const test::TempDir& dir) {
  return UserFolders{dir.Child("cache"), dir.Child("data"), dir.Child("state")};
}

TEST(StartupParametersTest, DefaultsWithoutResourcesOrArguments) {
  const StartupParameters p = Parse({"/opt/updater"});
  EXPECT_EQ(p.packageVersion(), "?");
  EXPECT_EQ(p.skinVersion(), "?");
  EXPECT_EQ(p.logLevel(), -9);
  EXPECT_EQ(p.companyFolder(), "Mirthwell Technologies/Halvane Delivery");
  EXPECT_EQ(p.cacheLayoutFolder(), "/cache/Mirthwell Technologies/Halvane Delivery");
  EXPECT_EQ(p.dataFolder(), "") << "no folder name, no place";
  EXPECT_EQ(p.stateFolder(), "");
  EXPECT_EQ(p.hostOverride(), "");
  EXPECT_EQ(p.displayName(), "");
  EXPECT_TRUE(p.languages().empty());
}

TEST(StartupParametersTest, ProgramPathIsTheRealExecutableNotArgumentZero) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  {
    test::ScopedEnvironmentVariable image("APPIMAGE", std::nullopt);
    EXPECT_EQ(Parse({"halvane-updater"}).programPath(), self);
    EXPECT_EQ(Parse({}).programPath(), self);
  }
  test::ScopedEnvironmentVariable image("APPIMAGE", "/home/u/Halvane Demo.AppImage");
  EXPECT_EQ(Parse({"./AppRun"}).programPath(), "/home/u/Halvane Demo.AppImage");
}

TEST(StartupParametersTest, CommandLine) {
  struct Case {
    std::vector<std::string> arguments;
    std::string packageVersion;
    std::string skinVersion;
    int logLevel;
  };
  const Case cases[] = {
      {{"u", "packageVersion=2.1", "skinVersion=7", "log=3"}, "2.1", "7", 3},
      {{"u", "packageVersion=1", "log=x", "packageVersion=2", "skinVersion=5"}, "1", "?", -9},
      {{"u", "log=99999999999", "skinVersion=5"}, "?", "?", -9},
      {{"u", "PackageVersion=1", "SKINVERSION=2", "Log=4", "/log=5"}, "?", "?", -9},
      {{"u", "log=-1"}, "?", "?", -1},
      {{"u", "log= +12"}, "?", "?", 12},
      {{"u", "log=4294967295"}, "?", "?", -1},
      {{"u", "packageVersion=1", "packageVersion=", "skinVersion=a b"}, "", "a b", -9},
      {{"log=6"}, "?", "?", 6},
  };
  for (const Case& c : cases) {
    const StartupParameters p = Parse(c.arguments);
    EXPECT_EQ(p.packageVersion(), c.packageVersion) << c.arguments[1];
    EXPECT_EQ(p.skinVersion(), c.skinVersion) << c.arguments[1];
    EXPECT_EQ(p.logLevel(), c.logLevel) << c.arguments[1];
  }
}

TEST(StartupParametersTest, ResourcesAndLanguages) {
  const StartupParameters p =
      Parse({"u"},
            "102=cache.example:8080\n103=dp\n104=sp\n105=lp\n106=en=s-en;de=s-de\n"
            "107=pkg\n108=en=Name;de=Name DE\n109=Folder\n"
            "129=en=English;;de=Deutsch;broken\n130=de\n");
  EXPECT_EQ(p.hostOverride(), "cache.example:8080");
  EXPECT_EQ(p.downloaderPartnerId(), "dp");
  EXPECT_EQ(p.skinPartnerId(), "sp");
  EXPECT_EQ(p.downloaderPackageId(), "pkg");
  EXPECT_EQ(p.defaultLanguage(), "de");
  const StartupParameters::LanguageList expected = {{"en", "English"}, {"de", "Deutsch"}};
  EXPECT_EQ(p.languages(), expected);

  EXPECT_EQ(p.skinPackageId(), "en=s-en;de=s-de");
  EXPECT_EQ(p.skinPackageId("de"), "s-de");
  EXPECT_EQ(p.displayName("en"), "Name");
  EXPECT_EQ(p.displayName("fr"), "");
  EXPECT_EQ(p.folderName(), "Folder");
  EXPECT_EQ(p.folderName("en"), "") << "a plain value has no language pairs";
  EXPECT_EQ(p.launchPackageId(), "lp");
}

TEST(StartupParametersTest, AnalyticsEndpointsFromResourcesOrEnvironment) {
  struct Case {
    const char* variable;  // nullptr: unset
    std::string transferUrl;
    std::string eventUrl;
  };
  const Case cases[] = {
      {nullptr, "http://t.example", "http://e.example"},
      {"http://127.0.0.1:9", "http://127.0.0.1:9", "http://127.0.0.1:9"},
      {"", "", ""},
  };
  const char* old = std::getenv("HALV_ANALYTICS_URL");
  const std::string oldValue = old ? old : "";
  for (const Case& c : cases) {
    if (c.variable) {
      setenv("HALV_ANALYTICS_URL", c.variable, 1);
    } else {
      unsetenv("HALV_ANALYTICS_URL");
    }
    const StartupParameters p = Parse({"u"}, "131=http://t.example\n132=http://e.example\n");
    EXPECT_EQ(p.transferAnalyticsUrl(), c.transferUrl) << (c.variable ? c.variable : "unset");
    EXPECT_EQ(p.eventAnalyticsUrl(), c.eventUrl) << (c.variable ? c.variable : "unset");
  }
  unsetenv("HALV_ANALYTICS_URL");
  EXPECT_EQ(Parse({"u"}).eventAnalyticsUrl(), "") << "no resource: off";
  if (old) setenv("HALV_ANALYTICS_URL", oldValue.c_str(), 1);
}

TEST(StartupParametersTest, SplitLanguageList) {
  using List = StartupParameters::LanguageList;
  EXPECT_EQ(SplitLanguageList(""), List{});
  EXPECT_EQ(SplitLanguageList(";;"), List{});
  EXPECT_EQ(SplitLanguageList("a=1=2;=x;b="), (List{{"a", "1=2"}, {"", "x"}, {"b", ""}}));
}

TEST(StartupParametersTest, TheFolderNameAloneAndWhateverTheLanguagePlacesDataAndState) {
  struct Case {
    std::string folderName;  // resource 109
    bool usable;
  };
  const Case cases[] = {
      {"Halvane Demo", true}, {"de=Ordner;en=Folder", true},
      {".hidden", true},      {"", false},
      {".", false},           {"..", false},
      {"a/b", false},         {"/abs", false},
      {"tab\there", false},   {"bell\x07", false},
      {"del\x7f", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folderName);
    const StartupParameters p =
        Parse({"u"}, "107=pkg\n129=en=English;de=Deutsch\n130=de\n109=" + c.folderName + "\n");
    EXPECT_EQ(IsFolderName(c.folderName), c.usable);
    EXPECT_EQ(p.dataFolder(), c.usable ? "/data/" + c.folderName : "");
    EXPECT_EQ(p.stateFolder(), c.usable ? "/state/" + c.folderName : "");
    EXPECT_EQ(p.mainFolder(), c.usable ? "/data/" + c.folderName + "/pkg" : "");
    std::string unusable;
    if (!c.usable) {
      EXPECT_FALSE(p.CheckDataFolder(&unusable));
      EXPECT_EQ(unusable, "~") << "the data-folder error names no folder it never had";
    }
  }
}

TEST(StartupParametersTest, DataFolderCheck) {
  test::TempDir dir;
  const StartupParameters fresh(StringResourceTable::FromText("109=F"), {"u"}, Below(dir));
  EXPECT_TRUE(fresh.CheckDataFolder());
  EXPECT_TRUE(std::filesystem::is_directory(dir.Child("data/F")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.Child("state/F")));
  EXPECT_TRUE(fresh.CheckDataFolder()) << "exists now";

  // A file where either folder should be: the check names that one.
  for (const char* blocked : {"data/F", "state/F"}) {
    test::TempDir other;
    std::filesystem::create_directories(std::filesystem::path(other.Child(blocked)).parent_path());
    std::ofstream(other.Child(blocked)) << "a file where the folder belongs";
    const StartupParameters broken(StringResourceTable::FromText("109=F"), {"u"}, Below(other));
    std::string unusable;
    EXPECT_FALSE(broken.CheckDataFolder(&unusable));
    EXPECT_EQ(unusable, other.Child(blocked));
  }
}

TEST(StartupParametersTest, DataFolderCheckFailsWithoutAHomeAndNeverUsesTheCurrentFolder) {
  test::TempDir cwd;
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(cwd.path().c_str()), 0);
  // No home at all (the system gives an empty folder), and relative folders.
  for (const char* temp : {"", "relative", "./x"}) {
    SCOPED_TRACE(temp);
    const StartupParameters p(StringResourceTable::FromText("109=F"), {"u"},
                              UserFolders{temp, temp, temp});
    EXPECT_EQ(p.dataFolder(), "");
    EXPECT_EQ(p.stateFolder(), "");
    EXPECT_EQ(p.cacheLayoutFolder(), "");
    EXPECT_FALSE(p.CheckDataFolder());
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cwd.path()), {}), 0);
  ASSERT_EQ(::chdir(previous), 0);
}

TEST(StartupParametersTest, DataFolderCheckFailsForAFileOrAFolderThatCannotBeWritten) {
  test::TempDir dir;
  const StartupParameters p(StringResourceTable::FromText("109=F"), {"u"}, Below(dir));
  std::filesystem::create_directories(dir.Child("state/F"));
  std::filesystem::create_directories(std::filesystem::path(p.dataFolder()).parent_path());
  std::ofstream(p.dataFolder()) << "a file where the folder belongs";
  EXPECT_FALSE(p.CheckDataFolder());

  // A folder owned by root and closed to others, checked as an unprivileged user in a child so
  // that the check holds also when the tests run as root.
  std::filesystem::remove(p.dataFolder());
  std::filesystem::create_directories(p.dataFolder());
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all |
                                               std::filesystem::perms::others_exec |
                                               std::filesystem::perms::group_exec);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    ::_exit(p.CheckDataFolder() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "an unwritable folder passed the check";
  EXPECT_TRUE(p.CheckDataFolder()) << "the owner can write to it";
}

TEST(StartupParametersTest, TheUpdaterNamesTheDataFolderItCannotWriteTo) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.Child("data"));
  std::ofstream(dir.Child("data/Halvane Demo")) << "x";
  // A product's updater: the generic build names no package and stops before any folder.
  std::ofstream(dir.Child("brand.conf"))
      << "102=127.0.0.1:1\n105=a\n106=b\n107=c\n108=Halvane Demo\n109=Halvane Demo\n";
  ASSERT_EQ(::system(("'" HALV_REBRAND_TOOL "' '" HALV_UPDATER_BINARY "' '" +
                      dir.Child("brand.conf") + "' '" + dir.Child("updater") + "' >/dev/null")
                         .c_str()),
            0);
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY HALV_ANALYTICS_URL= HOME='" +
                              dir.Child("home") + "' XDG_CACHE_HOME='" + dir.Child("cache") +
                              "' XDG_DATA_HOME='" + dir.Child("data") + "' XDG_STATE_HOME='" +
                              dir.Child("state") + "' '" + dir.Child("updater") +
                              "' 2>&1 </dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, got);
  }
  ::pclose(pipe);
  EXPECT_NE(output.find("trouble writing to your disk"), std::string::npos) << output;
  EXPECT_NE(output.find(dir.Child("data/Halvane Demo")), std::string::npos) << output;
}

TEST(SettingsTest, DerivedConcurrencyAndOverrides) {
  struct Case {
    int processors;
    int workThreads;
    int workflowConcurrency;
    int fileConcurrency;
  };
  // Requests in flight (16 at most) each hold a thread; the processors add the works beside them.
  for (const Case& c :
       {Case{0, 20, 17, 3}, Case{1, 20, 17, 3}, Case{4, 26, 20, 6}, Case{8, 34, 24, 10}}) {
    const Settings s = BuildSettings(Parse({"u"}), c.processors);
    EXPECT_EQ(s.workThreads, c.workThreads) << c.processors;
    EXPECT_EQ(s.workflowConcurrency, c.workflowConcurrency) << c.processors;
    EXPECT_EQ(s.fileConcurrency, c.fileConcurrency) << c.processors;
  }
  EXPECT_EQ(Settings(4).workThreads, 26) << "one meaning: the main work manager's threads";

  // The generic build names no host: halvane-get asks for --host rather than guessing one.
  EXPECT_EQ(BuildSettings(Parse({"u", "log=3"}), 1).manifestHost, "");
  EXPECT_EQ(BuildSettings(Parse({"u", "log=3"}), 1).logLevel, 3);
  EXPECT_EQ(BuildSettings(Parse({"u"}, "102=h.example"), 1).manifestHost, "h.example");
}

TEST(SettingsTest, Defaults) {
  const Settings s(2);
  EXPECT_EQ(s.transfersFolder, "transfers");
  EXPECT_EQ(s.logsFolder, "logs");
  EXPECT_EQ(s.publicationsFile, "publications");
  EXPECT_EQ(s.logLevel, -9);
  EXPECT_EQ(s.probeMinTotalSpeed, 32768);
  EXPECT_EQ(s.minTotalSpeed, 7168);
  EXPECT_EQ(s.proxyResolveTimeout, 5000);
  EXPECT_EQ(s.nodeSampleBudget, 10000);
  EXPECT_DOUBLE_EQ(s.nodeStatisticsWeight, 0.3);
}

}  // namespace
}  // namespace halv
