// What a download may take as its own: files another user planted in a folder both can write (as
// /tmp is), files with a second name outside the destination, partial files written into by
// another program, and one partial file wanted by two downloads at once. The other user is
// `nobody`, acting through runuser(1), so these cases need root and are skipped without it.

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "file/beneath.h"
#include "file/file_exception.h"
#include "file/paths.h"
#include "file/posix_shared_file.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

struct stat StatusOf(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Runs `script` with sh as user nobody; its exit status.
int AsNobody(const std::string& script) {
  return std::system(("runuser -u nobody -- sh -c " + Quote(script)).c_str());
}

// Waits until the file system's clock has ticked, so that a write after this call gives a file
// another change time than a write before it (change times are kept at the tick of the coarse
// clock). Spins on that clock: it is what the kernel stamps files with.
void NextClockTick() {
  timespec start;
  clock_gettime(CLOCK_REALTIME_COARSE, &start);
  timespec now = start;
  while (now.tv_sec == start.tv_sec && now.tv_nsec == start.tv_nsec) {
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
  }
}

class TrustTest : public testing::Test {
 protected:
  void SetUp() override {
    // A folder like /tmp: sticky and world-writable, below folders anyone may enter.
    ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
    fs::create_directories(dest());
    ASSERT_EQ(chmod(dest().c_str(), 01777), 0);
    fs::create_directories(outside());
  }

  bool Root() const { return geteuid() == 0; }
  std::string dest() const { return temp_.Child("dest"); }
  std::string outside() const { return temp_.Child("outside"); }

  test::TempDir temp_;
  PosixSharedFileFactory factory_;
};

TEST_F(TrustTest, AnotherUsersFileIsNeverTakenAsOurs) {
  if (!Root()) GTEST_SKIP() << "needs root to act as another user";
  const struct passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  // Planted by nobody, mode 666: a partial file of the right size and an already right file.
  fs::create_directories(dest() + "/bin");
  ASSERT_EQ(chmod((dest() + "/bin").c_str(), 01777), 0);
  ASSERT_EQ(AsNobody("head -c 8 /dev/zero > " + dest() + "/bin/app" + kPartialFileSuffix +
                     " && printf complete > " + dest() + "/data.txt && chmod 666 " + dest() +
                     "/bin/app" + kPartialFileSuffix + " " + dest() + "/data.txt"),
            0);
  const std::string planted = dest() + "/bin/app" + kPartialFileSuffix;

  const auto folder = Folder::Open(dest());
  EXPECT_THROW(factory_.Create(folder, "data.txt", SharedFileMode::InPlace, 0, 7),
               FileUnsafePathException)
      << "a right file of another user is not checked where it stands";

  auto file = factory_.Create(folder, "bin/app", SharedFileMode::Staged, 0, 7);
  const struct stat partial = StatusOf(planted);
  EXPECT_EQ(partial.st_uid, geteuid()) << "the planted partial file was replaced";
  EXPECT_EQ(file->GetSize(), 0u) << "nothing of the planted bytes is taken";

  // A staged replacement of the planted file is ours, and so is its name.
  auto data = factory_.Create(folder, "data.txt", SharedFileMode::Staged, 0, 7);
  EXPECT_EQ(data->Seed(8), 8u);
  EXPECT_FALSE(data->MayHaveChanged());
  EXPECT_TRUE(data->Commit());
  data->ApplyMode(0644, std::nullopt, false, 1);
  EXPECT_EQ(StatusOf(dest() + "/data.txt").st_uid, geteuid());
  EXPECT_EQ(StatusOf(dest() + "/data.txt").st_mode & 07777, 0644u);
  EXPECT_NE(AsNobody("printf rewritten 2>/dev/null > " + dest() + "/data.txt"), 0)
      << "the other user can no longer rewrite it";
  EXPECT_EQ(ReadFile(dest() + "/data.txt"), "complete");
}

TEST_F(TrustTest, AFolderAnotherUserCouldRewriteIsRefusedByName) {
  if (!Root()) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(AsNobody("mkdir " + dest() + "/theirs"), 0);
  fs::create_directories(dest() + "/open");
  ASSERT_EQ(chmod((dest() + "/open").c_str(), 0777), 0);
  const auto folder = Folder::Open(dest());
  const struct {
    const char* path;
    const char* why;
  } cases[] = {
      {"theirs/app", "/theirs\" belongs to user "},
      {"open/app", "/open\" may be written by anyone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    for (const SharedFileMode mode : {SharedFileMode::Staged, SharedFileMode::InPlace}) {
      try {
        factory_.Create(folder, c.path, mode, 0, 3);
        ADD_FAILURE() << "opened";
      } catch (const FileUnsafePathException& error) {
        EXPECT_NE(std::string(error.what()).find(c.why), std::string::npos) << error.what();
      }
    }
    EXPECT_FALSE(fs::exists(dest() + "/" + c.path + kPartialFileSuffix));
  }
  // Root's own sticky folder, as /tmp is, and the destination itself, whoever may write it, are
  // the user's choice.
  fs::create_directories(dest() + "/sticky");
  ASSERT_EQ(chmod((dest() + "/sticky").c_str(), 01777), 0);
  EXPECT_NO_THROW(factory_.Create(folder, "sticky/app", SharedFileMode::Staged, 0, 3));
  EXPECT_NO_THROW(factory_.Create(folder, "app", SharedFileMode::Staged, 0, 3));
}

TEST_F(TrustTest, AFileWithANameOutsideTheDestinationKeepsItsModeAndTime) {
  // The package path is a second name of a set-uid file outside.
  const std::string victim = outside() + "/victim";
  WriteFile(victim, "complete");
  ASSERT_EQ(chmod(victim.c_str(), 04711), 0);
  ASSERT_EQ(link(victim.c_str(), (dest() + "/app").c_str()), 0);
  const struct stat before = StatusOf(victim);

  auto file = factory_.Create(Folder::Open(dest()), "app", SharedFileMode::InPlace, 0, 7);
  EXPECT_EQ(file->LinkCount(), 2u);
  try {
    file->ApplyMode(0644, 0, false, 1);
    ADD_FAILURE() << "applied";
  } catch (const FileUnsafePathException& error) {
    EXPECT_NE(std::string(error.what()).find("app\" has 2 names"), std::string::npos)
        << error.what();
  }
  // What needs no change is no change, whatever the names.
  EXPECT_NO_THROW(file->ApplyMode(std::nullopt, std::nullopt, false, 1));
  const struct stat after = StatusOf(victim);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}

TEST_F(TrustTest, BytesWrittenByAnotherProgramAreSeenBeforeTheRename) {
  const struct {
    const char* what;
    bool before;  // another writes between two writes of ours
    bool after;   // another writes after our last write
  } cases[] = {
      {"nobody else", false, false},
      {"between our writes", true, false},
      {"after our last write", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = std::string("f") + (c.before ? "1" : "0") + (c.after ? "1" : "0");
    auto file = factory_.Create(Folder::Open(dest()), path, SharedFileMode::Staged, 0, 7);
    ASSERT_TRUE(file->Allocate(8));
    auto window = file->Map(0, 3);
    ASSERT_EQ(window->Write("good", 4), 4u);
    const auto tamper = [&] {
      NextClockTick();
      const int other = open((dest() + "/" + path + kPartialFileSuffix).c_str(), O_WRONLY);
      ASSERT_GE(other, 0);
      ASSERT_EQ(pwrite(other, "evil", 4, 0), 4);
      close(other);
    };
    if (c.before) tamper();
    NextClockTick();
    auto second = file->Map(4, 7);
    ASSERT_EQ(second->Write("byte", 4), 4u);
    if (c.after) tamper();
    const bool changed = c.before || c.after;
    EXPECT_EQ(file->MayHaveChanged(), changed);
    if (!changed) {
      EXPECT_FALSE(file->Commit());
      EXPECT_EQ(ReadFile(dest() + "/" + path), "goodbyte");
      continue;
    }
    try {
      file->Commit();
      ADD_FAILURE() << "committed";
    } catch (const FileUnsafePathException& error) {
      EXPECT_NE(std::string(error.what()).find(path + kPartialFileSuffix + "\" was changed"),
                std::string::npos)
          << error.what();
    }
    EXPECT_FALSE(fs::exists(dest() + "/" + path));
    // Read again and found right (here: taken as they are), the bytes may be committed.
    file->TakeAsVerified();
    EXPECT_FALSE(file->MayHaveChanged());
    EXPECT_FALSE(file->Commit());
    EXPECT_EQ(ReadFile(dest() + "/" + path), "evilbyte");
  }
}

TEST_F(TrustTest, OnePartialFileIsWrittenByOneDownloadAtATime) {
  // Two downloads into nested destinations, D and D/sub, whose packages both hold D/sub/big.bin.
  fs::create_directories(dest() + "/sub");
  auto outer = factory_.Create(Folder::Open(dest()), "sub/big.bin", SharedFileMode::Staged, 0, 3);
  try {
    factory_.Create(Folder::Open(dest() + "/sub"), "big.bin", SharedFileMode::Staged, 0, 3);
    ADD_FAILURE() << "opened twice";
  } catch (const FileUnsafePathException& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("big.bin" + std::string(kPartialFileSuffix) +
                           "\" is being written by another download"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("process " + std::to_string(getpid())), std::string::npos) << message;
  }
  // The lock goes with the file and its windows.
  ASSERT_TRUE(outer->Allocate(4));
  auto window = outer->Map(0, 0);
  outer.reset();
  EXPECT_THROW(
      factory_.Create(Folder::Open(dest() + "/sub"), "big.bin", SharedFileMode::Staged, 0, 3),
      FileUnsafePathException);
  window.reset();
  EXPECT_NO_THROW(
      factory_.Create(Folder::Open(dest() + "/sub"), "big.bin", SharedFileMode::Staged, 0, 3));
}

TEST_F(TrustTest, NamesUpTo255BytesHavePartialNamesThatFit) {
  const std::string prefix(240, 'n');
  const std::string accented = std::string(224, 'a') + "\xc3\xa9" + std::string(20, 'z');
  for (const std::string& name :
       {std::string(242, 'n'), prefix + "abc", prefix + "abd", std::string(255, 'n'), accented}) {
    SCOPED_TRACE(name.size());
    const std::string partial = PartialFileName(name);
    EXPECT_LE(partial.size(), 255u);
    EXPECT_EQ(partial, PartialFileName(name)) << "stable, so that a rerun resumes it";
    EXPECT_EQ(partial.substr(partial.size() - 13), kPartialFileSuffix);
    EXPECT_EQ(PartialFilePath("a/b/" + name), "a/b/" + partial);
    if (name.size() + 13 <= 255) {
      EXPECT_EQ(partial, name + kPartialFileSuffix);
    }

    // Downloaded under it, resumed under it, renamed to the long name.
    {
      auto file =
          factory_.Create(Folder::Open(dest()), "long/" + name, SharedFileMode::Staged, 0, 3);
      ASSERT_TRUE(file->Allocate(4));
      ASSERT_EQ(file->Write("long", 4), 4u);
    }
    auto file = factory_.Create(Folder::Open(dest()), "long/" + name, SharedFileMode::Staged, 0, 3);
    EXPECT_EQ(file->GetSize(), 4u) << "resumed";
    EXPECT_FALSE(file->Commit());
    EXPECT_EQ(ReadFile(dest() + "/long/" + name), "long");
  }
  EXPECT_NE(PartialFileName(prefix + "abc"), PartialFileName(prefix + "abd"));
  // A name is never cut inside a character.
  const std::string cut = PartialFileName(accented);
  EXPECT_EQ(cut.substr(0, 225), std::string(224, 'a') + "~");
}

}  // namespace
}  // namespace halv
