#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace halv {
namespace {

// Runs `command` through the shell; returns its exit status and fills `output` with its stdout.
int RunShell(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buffer;
  while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
    output.append(buffer.data(), n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The environment assignments that keep an updater's every place inside `dir`.
std::string Homes(const test::TempDir& dir) {
  return "HOME='" + dir.path() + "' XDG_CACHE_HOME='" + dir.Child("cache") + "' XDG_DATA_HOME='" +
         dir.Child("data") + "' XDG_STATE_HOME='" + dir.Child("state") + "'";
}

const char kPackageIds[] = "105=aaaa\n106=bbbb\n107=cccc\n";

TEST(RebrandTest, ABuiltUpdaterTakesNewResourcesWithoutRecompiling) {
  test::TempDir dir;
  const std::string copy = dir.Child("halvane-updater");
  const std::string config = dir.Child("brand.conf");
  std::ofstream(config) << "# another product\n102=cache.rebranded.example:9090\n"
                        << kPackageIds << "108=Rebranded Product\n109=Rebranded\n";

  // Without a display the updater runs its terminal front end; its manifest host is a port
  // where nothing listens, so it ends with its error, which names the product.
  std::string output;
  const std::string env =
      "env -u DISPLAY -u WAYLAND_DISPLAY " + Homes(dir) + " HALV_ANALYTICS_URL= ";
  // The embedded resources, as the section holds them.
  const auto resources = [&](const std::string& binary) {
    std::string text;
    RunShell("objcopy -O binary --only-section=.halv_resources '" + binary + "' '" +
                 dir.Child("section") + "' && tr -d '\\000' < '" + dir.Child("section") + "'",
             text);
    return text;
  };
  // The generic build names no package: it says so and fetches nothing.
  EXPECT_EQ(RunShell(env + "'" HALV_UPDATER_BINARY "' 2>&1 </dev/null", output), 2);
  EXPECT_NE(output.find("this build names no package to download"), std::string::npos) << output;
  EXPECT_EQ(resources(HALV_UPDATER_BINARY).find("rebranded"), std::string::npos);

  ASSERT_EQ(
      RunShell("'" HALV_REBRAND_TOOL "' '" HALV_UPDATER_BINARY "' '" + config + "' '" + copy + "'",
               output),
      0)
      << output;
  // The rebranded host does not resolve: the updater fails, under the new name.
  EXPECT_NE(RunShell(env + "'" + copy + "' 2>&1 </dev/null", output), 0);
  EXPECT_NE(output.find("Rebranded Product Downloader Error"), std::string::npos) << output;
  EXPECT_EQ(output.find("Halvane Demo"), std::string::npos) << output;
  EXPECT_NE(resources(copy).find("cache.rebranded.example:9090"), std::string::npos);
}

TEST(RebrandTest, RefusesOversizedConfigurations) {
  test::TempDir dir;
  const std::string config = dir.Child("huge.conf");
  std::ofstream(config) << "108=" << std::string(20000, 'x') << "\n";
  std::string output;
  EXPECT_NE(RunShell("'" HALV_REBRAND_TOOL "' '" HALV_UPDATER_BINARY "' '" + config + "' '" +
                         dir.Child("out") + "' 2>&1",
                     output),
            0);
  EXPECT_NE(output.find("holds at most"), std::string::npos) << output;
}

TEST(RebrandTest, RefusesConfigurationsThatLeaveNamesOrIdsEmptyOrAreNotUtf8) {
  test::TempDir dir;
  const std::string names = "108=Name\n109=Folder\n";
  const struct {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"no display name", std::string(kPackageIds) + "109=Folder\n", "display name (108)"},
      {"an emptied folder name", std::string(kPackageIds) + names + "109=\r\n",
       "folder name (109)"},
      {"a folder name with a slash", std::string(kPackageIds) + names + "109=a/b\n",
       "folder name (109)"},
      {"a folder name that is ..", std::string(kPackageIds) + names + "109=..\n",
       "folder name (109)"},
      {"no package ids", names, "launch package id (105)"},
      {"an empty skin package id", names + "105=a\n106=\n107=c\n", "skin package id (106)"},
      {"Latin-1 text", std::string(kPackageIds) + names + "108=Caf\xe9\n", "not UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string config = dir.Child("brand.conf");
    std::ofstream(config, std::ios::trunc) << c.text;
    std::string output;
    EXPECT_EQ(RunShell("'" HALV_REBRAND_TOOL "' '" HALV_UPDATER_BINARY "' '" + config + "' '" +
                           dir.Child("out") + "' 2>&1",
                       output),
              1);
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
    EXPECT_FALSE(std::ifstream(dir.Child("out")).good());
  }
}

TEST(RebrandTest, ErrorsAreInTheToolsOwnWordsAndPipedConfigurationsWork) {
  test::TempDir dir;
  const std::string config = std::string(kPackageIds) + "108=Piped Product\n109=Piped\n";
  std::ofstream(dir.Child("brand.conf")) << config;
  std::ofstream(dir.Child("not-elf")) << "#!/bin/sh\n";
  const std::string tool = "'" HALV_REBRAND_TOOL "' ";
  const std::string conf = " '" + dir.Child("brand.conf") + "' ";
  const struct {
    std::string arguments;
    const char* message;
  } cases[] = {
      {"'" HALV_UPDATER_BINARY "'" + conf + "'" + dir.Child("missing/out") + "'", "does not exist"},
      {"'" + dir.Child("not-elf") + "'" + conf + "'" + dir.Child("out") + "'",
       "not a halvane-updater program"},
  };
  std::string output;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(RunShell(tool + c.arguments + " 2>&1", output), 1);
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
    EXPECT_EQ(output.find("objcopy"), std::string::npos) << output;
  }

  // From standard input and from a process substitution, a pipe either way.
  for (const std::string& source :
       {"- <'" + dir.Child("brand.conf") + "'", "<(cat '" + dir.Child("brand.conf") + "')"}) {
    SCOPED_TRACE(source);
    const std::string copy = dir.Child("piped");
    ASSERT_EQ(RunShell("bash -c \"" + tool + "'" HALV_UPDATER_BINARY "' " + source + " '" + copy +
                           "'\" 2>&1",
                       output),
              0)
        << output;
    // The rebranded updater finds no manifest host and says so under its new name.
    EXPECT_NE(RunShell("env -u DISPLAY -u WAYLAND_DISPLAY HALV_ANALYTICS_URL= " + Homes(dir) +
                           " '" + copy + "' 2>&1 </dev/null",
                       output),
              0);
    EXPECT_NE(output.find("Piped Product Downloader Error"), std::string::npos) << output;
  }
}

// A copy of the updater away from its GTK module, started with a display: it runs on the
// terminal, and says why on stderr and in the work log, naming the paths it tried.
TEST(RebrandTest, ACopyWithoutItsWindowModuleSaysWhyOnStderrAndInTheLog) {
  test::TempDir temp;
  // The updater names the paths it tried from its own resolved location.
  const test::TempDir& dir = temp;
  const std::string real = std::filesystem::canonical(temp.path()).string();
  const std::string copy = dir.Child("bin/halvane-updater");
  std::ofstream(dir.Child("brand.conf")) << kPackageIds << "102=127.0.0.1:1\n108=P\n109=P\n";
  std::string output;
  ASSERT_EQ(RunShell("mkdir -p '" + dir.Child("bin") +
                         "' && '" HALV_REBRAND_TOOL "' '" HALV_UPDATER_BINARY "' '" +
                         dir.Child("brand.conf") + "' '" + copy + "' 2>&1",
                     output),
            0)
      << output;
  EXPECT_NE(RunShell("env -u WAYLAND_DISPLAY DISPLAY=:99 HALV_ANALYTICS_URL= " + Homes(dir) + " '" +
                         copy + "' 2>&1 </dev/null",
                     output),
            0);
  const std::string tried = real + "/bin/libhalvane-gtk.so";
  EXPECT_NE(output.find("halvane-updater: no window, running on the terminal: the window module "
                        "could not be loaded (" +
                        tried + ": cannot open shared object file"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find(real + "/lib/halvane-delivery/gtk/libhalvane-gtk.so"), std::string::npos)
      << output;
  std::string log;
  RunShell("cat '" + dir.Child("state") + "'/P/logs/Log.*", log);
  // The work log escapes '/' in its JSON strings.
  EXPECT_NE(log.find("\"event\":\"NoWindow\",\"params\":{\"message\":\"no window, running on "
                     "the terminal: the window module could not be loaded ("),
            std::string::npos)
      << log;
  // Logged before the first transfer, like the notice of a run as root.
  EXPECT_NE(log.find("\"event\":\"RunningAsRoot\""), ::geteuid() == 0 ? std::string::npos : 0)
      << log;
}

// HALV_GTK_MODULE names the module wherever it lies: the copy loads it (and then finds the
// display unreachable) instead of looking beside itself or in the installed folders.
TEST(RebrandTest, TheEnvironmentNamesTheWindowModuleOfACopyElsewhere) {
  test::TempDir dir;
  const std::string copy = dir.Child("bin/halvane-updater");
  std::ofstream(dir.Child("brand.conf")) << kPackageIds << "102=127.0.0.1:1\n108=P\n109=P\n";
  std::string output;
  ASSERT_EQ(
      RunShell("mkdir -p '" + dir.Child("bin") + "' && '" HALV_REBRAND_TOOL "' '" +
                   HALV_UPDATER_BINARY "' '" + dir.Child("brand.conf") + "' '" + copy + "' 2>&1",
               output),
      0)
      << output;
  const std::string module =
      std::filesystem::path(HALV_UPDATER_BINARY).parent_path().string() + "/libhalvane-gtk.so";
  RunShell("env -u WAYLAND_DISPLAY DISPLAY=:99 HALV_ANALYTICS_URL= HALV_GTK_MODULE='" + module +
               "' " + Homes(dir) + " '" + copy + "' 2>&1 </dev/null",
           output);
  EXPECT_NE(output.find("no window, running on the terminal: the display cannot be opened"),
            std::string::npos)
      << output;
  RunShell("env -u WAYLAND_DISPLAY DISPLAY=:99 HALV_ANALYTICS_URL= HALV_GTK_MODULE='" +
               dir.Child("none.so") + "' " + Homes(dir) + " '" + copy + "' 2>&1 </dev/null",
           output);
  EXPECT_NE(output.find("could not be loaded (" + dir.Child("none.so")), std::string::npos)
      << output;
  EXPECT_EQ(output.find("/bin/libhalvane-gtk.so"), std::string::npos) << "only the named path";
}

}  // namespace
}  // namespace halv
