#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/string_resources.h"
#include "platform/system.h"
#include "scoped_environment.h"
#include "temp_dir.h"

namespace halv {
namespace {

TEST(StringResourceTableTest, ParsesLinesAndSkipsNoise) {
  const auto table = StringResourceTable::FromText(
      "# comment\n"
      "102=\n"
      "103=abc=def\r\n"
      "\n"
      "x1=ignored\n"
      "=nokey\n"
      "129=en=English;de=Deutsch\n"
      "108=first\n"
      "108=second");
  EXPECT_EQ(table.Load(102), "");
  EXPECT_EQ(table.Load(103), "abc=def");
  EXPECT_EQ(table.Load(129), "en=English;de=Deutsch");
  EXPECT_EQ(table.Load(108), "second");
  EXPECT_EQ(table.Load(104), "");
}

TEST(StringResourceTableTest, StopsAtNulAndCutsLongValuesOnCharacterBoundaries) {
  EXPECT_EQ(StringResourceTable::FromText(std::string("103=a\0\n104=b", 12)).Load(104), "");

  const std::string ascii(300, 'x');
  EXPECT_EQ(StringResourceTable::FromText("105=" + ascii).Load(105), std::string(254, 'x'));

  std::string umlauts;
  for (int i = 0; i < 300; ++i) umlauts += "\xc3\xa4";  // ä, two bytes each
  const std::string cut = StringResourceTable::FromText("105=" + umlauts).Load(105);
  EXPECT_EQ(cut.size(), 2u * 254);
}

// What the packages carry: no demo host, packages or analytics, a plain folder name.
TEST(StringResourceTableTest, EmbeddedTableHoldsTheGenericBuild) {
  const auto table = StringResourceTable::Embedded();
  EXPECT_EQ(table.Load(108), "Halvane Delivery");
  EXPECT_EQ(table.Load(109), "halvane-delivery");
  for (int id : {102, 103, 104, 105, 106, 107, 131, 132}) EXPECT_EQ(table.Load(id), "") << id;
}

TEST(SystemTest, TempDirectoryIsThePrivateCache) {
  test::ScopedCacheHome cache;
  EXPECT_EQ(GetSystemTempDirectory(), cache.path());

  setenv("XDG_CACHE_HOME", "relative/ignored", 1);
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(GetSystemTempDirectory(), std::string(home) + "/.cache");
}

TEST(SystemTest, ExecutablePathIsTheRunningProgramOrItsImage) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  {
    test::ScopedEnvironmentVariable image("APPIMAGE", std::nullopt);
    EXPECT_EQ(GetExecutablePath(), self);
  }
  {
    test::ScopedEnvironmentVariable image("APPIMAGE", "/opt/Halvane Demo.AppImage");
    EXPECT_EQ(GetExecutablePath(), "/opt/Halvane Demo.AppImage");
  }
  {
    test::ScopedEnvironmentVariable image("APPIMAGE", "relative.AppImage");
    EXPECT_EQ(GetExecutablePath(), self) << "a relative image path cannot be run from elsewhere";
  }
}

TEST(SystemTest, XdgFoldersFollowTheirVariablesElseTheHome) {
  test::TempDir folder;
  test::ScopedEnvironmentVariable home("HOME", folder.Child("home"));
  struct Case {
    const char* variable;
    std::string (*get)();
    const char* suffix;    // below the variable's folder
    const char* fallback;  // below the home folder
  };
  const Case cases[] = {
      {"XDG_DATA_HOME", &GetDataHome, "", "/.local/share"},
      {"XDG_DATA_HOME", &GetApplicationsDirectory, "/applications", "/.local/share/applications"},
      {"XDG_STATE_HOME", &GetStateHome, "", "/.local/state"},
  };
  for (const Case& c : cases) {
    {
      test::ScopedEnvironmentVariable set(c.variable, folder.Child("set"));
      EXPECT_EQ(c.get(), folder.Child("set") + c.suffix) << c.variable;
    }
    for (const std::optional<std::string>& ignored :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("relative/data")}) {
      test::ScopedEnvironmentVariable set(c.variable, ignored);
      EXPECT_EQ(c.get(), folder.Child("home") + c.fallback) << c.variable;
    }
  }
}

TEST(SystemTest, WritableFolderIsAnExistingFolder) {
  test::TempDir dir;
  EXPECT_TRUE(IsWritableFolder(dir.path()));
  EXPECT_FALSE(IsWritableFolder(dir.Child("missing")));
  FILE* f = fopen(dir.Child("file").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_FALSE(IsWritableFolder(dir.Child("file")));
}

TEST(SystemTest, ProcessorCountIsPositive) { EXPECT_GE(GetProcessorCount(), 1); }

}  // namespace
}  // namespace halv
