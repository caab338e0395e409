#ifndef HALV_APP_CACHE_LAYOUT_H_
#define HALV_APP_CACHE_LAYOUT_H_

#include <string>

namespace halv {

// Earlier releases kept everything in one data folder of the user's cache
// ($XDG_CACHE_HOME/<vendor>/<product>): installed files beside the publication record and the
// "transfers", "logs" and "shortcuts" folders. The state among them is moved once into the state
// folder; installed files stay where they are (clearing the cache may remove them: the next run
// downloads into the data folder). Free function; call before the services open the state
// folder, on one thread per process (two processes racing lose nothing: a rename either happens
// once or finds its source gone).

// The state entries of the old data folder, in the order they move; the publication record first.
inline constexpr const char* kCacheLayoutStateEntries[] = {"publications", "transfers", "logs",
                                                           "shortcuts"};

// Moves each of kCacheLayoutStateEntries from `oldFolder` into `stateFolder` (which must exist)
// unless the state folder already holds one of that name, which a later run made and which is
// kept. A rename when both lie on one file system, else a copy and then the removal of the old.
// The old folders (vendor and product) are removed when they are left empty. False when a
// publication record is still in `oldFolder` while `stateFolder` has none: starting without it
// would accept documents older than ones already accepted, so the caller must not go on.
bool MoveCacheLayout(const std::string& oldFolder, const std::string& stateFolder);

}  // namespace halv

#endif  // HALV_APP_CACHE_LAYOUT_H_
