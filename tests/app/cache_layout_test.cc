#include "app/cache_layout.h"

#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;  // relative file path -> content

Tree ReadTree(const std::string& folder) {
  Tree tree;
  if (!fs::exists(folder)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      tree[fs::relative(entry.path(), folder).string()] = test::ReadFile(entry.path().string());
    }
  }
  return tree;
}

void WriteTree(const std::string& folder, const Tree& tree) {
  for (const auto& [path, content] : tree) test::WriteFile(folder + "/" + path, content);
}

// What an earlier release left: its state beside an installed program.
const Tree kOldState = {{"publications", "abc 1700000000\n"},
                        {"transfers/t1.json", "{\"transferId\":\"t1\"}\n"},
                        {"logs/20260101.log", "{}\n"},
                        {"shortcuts/K.url", "[InternetShortcut]\n"}};
const Tree kInstalled = {{"bin/app", "program"}, {"skin/main.dat", "skin"}};

Tree Merge(Tree a, const Tree& b) {
  a.insert(b.begin(), b.end());
  return a;
}

TEST(CacheLayoutTest, StateMovesOnceAndNothingOfALaterRunIsReplaced) {
  const struct {
    const char* what;
    Tree old;       // in the cache-layout folder before
    Tree state;     // in the state folder before
    Tree oldAfter;  // left in the cache-layout folder
    Tree stateAfter;
  } cases[] = {
      {"everything of the state moves; installed files stay",
       Merge(kOldState, kInstalled),
       {},
       kInstalled,
       kOldState},
      {"a record of a later run is kept, the old one left",
       {{"publications", "abc 1\n"}, {"logs/old.log", "old"}},
       {{"publications", "abc 2\n"}},
       {{"publications", "abc 1\n"}},
       {{"publications", "abc 2\n"}, {"logs/old.log", "old"}}},
      {"no earlier release", {}, {{"publications", "abc 2\n"}}, {}, {{"publications", "abc 2\n"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string old = dir.Child("cache/Vendor/Product");
    const std::string state = dir.Child("state/Folder");
    WriteTree(old, c.old);
    fs::create_directories(state);
    WriteTree(state, c.state);
    for (int run = 1; run <= 2; ++run) {
      SCOPED_TRACE(run);  // the second run finds nothing more to move
      EXPECT_TRUE(MoveCacheLayout(old, state));
      EXPECT_EQ(ReadTree(old), c.oldAfter);
      EXPECT_EQ(ReadTree(state), c.stateAfter);
    }
    // Emptied folders of the old layout go, up to the vendor's; anything left keeps them.
    EXPECT_EQ(fs::exists(dir.Child("cache/Vendor")), !c.oldAfter.empty());
  }
}

TEST(CacheLayoutTest, ARecordThatCannotBeCarriedOverStopsTheRun) {
  test::TempDir dir;
  const std::string old = dir.Child("cache/Vendor/Product");
  WriteTree(old, kOldState);
  // The state folder cannot take it (a file stands in the way of its parent).
  test::WriteFile(dir.Child("state"), "not a folder");
  EXPECT_FALSE(MoveCacheLayout(old, dir.Child("state/Folder")));
  EXPECT_EQ(ReadTree(old), kOldState) << "nothing is lost when the move fails";
}

}  // namespace
}  // namespace halv
