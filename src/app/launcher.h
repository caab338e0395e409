#ifndef HALV_APP_LAUNCHER_H_
#define HALV_APP_LAUNCHER_H_

#include <string>
#include <vector>

namespace halv {

class StartupParameters;

// Handing over to the downloaded program once both packages are complete. Free functions,
// called on the transfer monitor's thread; Launch blocks it until the program exits.

// The arguments that pass the updater's configuration on to the launched program, each switch
// and each value a separate argument, in this order and only when its condition holds:
// /host (a host override), /id (a skin partner id), /package, /name and /folder (always, for
// `language`), /locale (a language), /version (a package version was given), /skin (a skin run
// path; the skin package id for `language` and `skinRunPath` joined with "/", relative to the
// data folder) and /log (a log level other than -9, in decimal). Values are passed on as they
// are: a quote or a blank inside one stays inside that one argument.
std::vector<std::string> BuildLaunchArguments(const StartupParameters& startup,
                                              const std::string& language,
                                              const std::string& skinRunPath);

// Writes the shortcut "<launch package id>.url" back to the updater's own executable in the
// state folder's "shortcuts" folder, with its desktop launchers (one also installed in the
// user's applications folder). True when the shortcut file was written; never throws.
bool CreateShortcuts(const StartupParameters& startup, const std::string& language);

// Removes what CreateShortcuts wrote for the build's launch package id, in every language the
// build lists and in none: the shortcut file and its launcher in the state folder's "shortcuts"
// folder, and the launcher in the user's applications folder. The number of files removed;
// never throws.
int RemoveShortcuts(const StartupParameters& startup);

// Writes the shortcuts when the command line asked for them (startup.createShortcuts(); their
// failure does not matter), then starts the program at
// `mainRunPath` (relative to the main package's folder, StartupParameters::mainFolder) in its
// own folder with BuildLaunchArguments and
// waits for it to exit. `skinRunPath` is the skin package's run path (may be empty). True when
// the program was started and has exited; false on every failure, never an exception.
bool Launch(const StartupParameters& startup, const std::string& language,
            const std::string& mainRunPath, const std::string& skinRunPath);

}  // namespace halv

#endif  // HALV_APP_LAUNCHER_H_
