#include "app/launcher.h"

#include <cstdio>
#include <exception>

#include "app/startup_parameters.h"
#include "config/not_given.h"
#include "file/paths.h"
#include "file/posix_shared_file.h"
#include "platform/linux_shortcut.h"
#include "platform/posix_process.h"
#include "platform/system.h"

namespace halv {

namespace {

constexpr int kNoLogLevel = -9;

}  // namespace

std::vector<std::string> BuildLaunchArguments(const StartupParameters& startup,
                                              const std::string& language,
                                              const std::string& skinRunPath) {
  std::vector<std::string> arguments;
  const auto add = [&arguments](const char* name, const std::string& value) {
    arguments.emplace_back(name);
    arguments.push_back(value);
  };
  if (!startup.hostOverride().empty()) add("/host", startup.hostOverride());
  if (!startup.skinPartnerId().empty()) add("/id", startup.skinPartnerId());
  add("/package", startup.launchPackageId(language));
  add("/name", startup.displayName(language));
  add("/folder", startup.folderName(language));
  if (!language.empty()) add("/locale", language);
  if (startup.packageVersion() != kNotGiven) add("/version", startup.packageVersion());
  if (!skinRunPath.empty()) add("/skin", AppendPath(startup.skinPackageId(language), skinRunPath));
  if (startup.logLevel() != kNoLogLevel) add("/log", std::to_string(startup.logLevel()));
  return arguments;
}

bool CreateShortcuts(const StartupParameters& startup, const std::string& language) {
  try {
    PosixSharedFileFactory files;
    LinuxShortcut shortcut(startup.launchPackageId(language),
                           JoinPath(startup.stateFolder(), "shortcuts"),
                           startup.displayName(language), files, GetApplicationsDirectory());
    return shortcut.Create(startup.programPath());
  } catch (const std::exception&) {
    return false;
  }
}

int RemoveShortcuts(const StartupParameters& startup) {
  std::vector<std::string> languages = {std::string()};
  for (const auto& language : startup.languages()) languages.push_back(language.first);
  int removed = 0;
  const std::string folder = JoinPath(startup.stateFolder(), "shortcuts");
  const std::string applications = GetApplicationsDirectory();
  for (const std::string& language : languages) {
    const std::string name = startup.launchPackageId(language);
    if (name.empty()) continue;
    try {
      PosixSharedFileFactory files;
      LinuxShortcut shortcut(name, folder, startup.displayName(language), files, applications);
      for (const std::string& path :
           {JoinPath(folder, name + ".url"), JoinPath(folder, name + ".desktop"),
            applications.empty() ? std::string()
                                 : JoinPath(applications, shortcut.InstalledLauncherName())}) {
        if (!path.empty() && std::remove(path.c_str()) == 0) ++removed;
      }
    } catch (const std::exception&) {
      // A name that forms no path has nothing to remove.
    }
  }
  return removed;
}

bool Launch(const StartupParameters& startup, const std::string& language,
            const std::string& mainRunPath, const std::string& skinRunPath) {
  if (startup.createShortcuts()) CreateShortcuts(startup, language);
  try {
    PosixProcess process(JoinPath(startup.mainFolder(), mainRunPath));
    return process.Run(true, BuildLaunchArguments(startup, language, skinRunPath), std::string());
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace halv
