#ifndef HALV_PLATFORM_SYSTEM_H_
#define HALV_PLATFORM_SYSTEM_H_

#include <string>

// Small questions the program asks the system. Stateless; any thread.
namespace halv {

// Where the program keeps its data folder, transfer store and logs: the user's private cache
// directory, $XDG_CACHE_HOME, else $HOME/.cache, else the passwd entry's home + "/.cache". Never
// the shared /tmp, where other users could plant files. Empty when no home can be found.
std::string GetSystemTempDirectory();

// Whether `path` is an existing folder in which this process may create files (permissions,
// access lists and read-only mounts taken into account).
bool IsWritableFolder(const std::string& path);

// Logical processors the system reports; at least 1.
int GetProcessorCount();

}  // namespace halv

#endif  // HALV_PLATFORM_SYSTEM_H_
