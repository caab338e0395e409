#ifndef HALV_PLATFORM_SYSTEM_H_
#define HALV_PLATFORM_SYSTEM_H_

#include <string>

// Small questions the program asks the system. Stateless; any thread.
namespace halv {

// The user's private cache directory: $XDG_CACHE_HOME, else $HOME/.cache, else the passwd
// entry's home + "/.cache". Earlier releases kept everything there; it is read only to move what
// they left. Never the shared /tmp, where other users could plant files. Empty without a home.
std::string GetSystemTempDirectory();
// Where installed programs go: $XDG_DATA_HOME, else <home>/.local/share. Empty without a home.
std::string GetDataHome();
// Where logs, transfer records and other state that outlives a run go: $XDG_STATE_HOME, else
// <home>/.local/state. Empty without a home.
std::string GetStateHome();

// The updater's own executable, for shortcuts that run it again: $APPIMAGE when set to an
// absolute path (the mounted image is gone once the program exits), else the target of
// /proc/self/exe. Empty when neither can be read; never argv[0], which may be a bare name.
std::string GetExecutablePath();

// Where desktop menus look for the user's launchers: $XDG_DATA_HOME/applications, else
// $HOME/.local/share/applications (else the passwd entry's home). Empty when no home can be found.
std::string GetApplicationsDirectory();
// Whether `path` is an existing folder in which this process may create files (permissions,
// access lists and read-only mounts taken into account).
bool IsWritableFolder(const std::string& path);

// Logical processors the system reports; at least 1.
int GetProcessorCount();

}  // namespace halv

#endif  // HALV_PLATFORM_SYSTEM_H_
