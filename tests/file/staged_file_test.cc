// Files written into a destination the user (or someone else) prepared: links, FIFOs, set-uid
// files and linked folders are replaced or refused, never written through, and what was at a
// path stays there until its replacement is committed. Every case runs with openat2 and with the
// walk that stands in for it.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
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

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

mode_t ModeOf(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status.st_mode;
}

class StagedFileTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ForceBeneathWalk(GetParam());
    fs::create_directories(dest());
    fs::create_directories(outside());
  }
  void TearDown() override { ForceBeneathWalk(false); }

  std::string dest() const { return temp_.Child("dest"); }
  std::string outside() const { return temp_.Child("outside"); }

  // Stages `relative`, writes `content` over the seeded bytes and commits it.
  void Put(const std::string& relative, const std::string& content) {
    auto file = factory_.Create(Folder::Open(dest()), relative, SharedFileMode::Staged, 0,
                                content.size() - 1);
    file->Seed(content.size());
    file->Seek(0);
    ASSERT_EQ(file->Write(content.data(), content.size()), content.size());
    file->Commit();
  }

  test::TempDir temp_;
  PosixSharedFileFactory factory_;
};

TEST_P(StagedFileTest, WhatIsAtAPackagePathIsReplacedNeverWrittenThrough) {
  const std::string victim = outside() + "/victim";
  const std::string setuid = outside() + "/setuid.sh";
  const struct {
    const char* what;
    std::string path;    // below dest
    std::string target;  // of the link; empty for a FIFO
  } cases[] = {
      {"a link to a file outside", "readme.txt", victim},
      {"a link to a set-uid file", "bin/app.sh", setuid},
      {"a dangling link", "new.txt", outside() + "/created"},
      {"a FIFO", "pipe", ""},
      {"a link at the partial name", "part.txt" + std::string(kPartialFileSuffix), victim},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(victim, "victim");
    WriteFile(setuid, "#!/bin/sh\n");
    ASSERT_EQ(chmod(setuid.c_str(), 04755), 0);
    const std::string at = dest() + "/" + c.path;
    fs::create_directories(fs::path(at).parent_path());
    if (c.target.empty()) {
      ASSERT_EQ(mkfifo(at.c_str(), 0644), 0);
    } else {
      fs::create_symlink(c.target, at);
    }
    std::string relative = c.path;
    const std::size_t suffix = relative.find(kPartialFileSuffix);
    if (suffix != std::string::npos) relative.erase(suffix);

    Put(relative, "package bytes");
    const std::string final = dest() + "/" + relative;
    EXPECT_TRUE(S_ISREG(ModeOf(final)));
    EXPECT_EQ(ModeOf(final) & (S_ISUID | S_ISGID), 0u);
    EXPECT_EQ(ReadFile(final), "package bytes");
    EXPECT_EQ(ReadFile(victim), "victim");
    EXPECT_EQ(ReadFile(setuid), "#!/bin/sh\n");
    EXPECT_EQ(ModeOf(setuid) & 07777, 04755u);
    EXPECT_FALSE(fs::exists(outside() + "/created"));
    EXPECT_FALSE(fs::exists(final + kPartialFileSuffix));
  }
}

TEST_P(StagedFileTest, ALinkOrAFileOnTheWayIsRefusedByName) {
  fs::create_directory_symlink(outside(), dest() + "/linked");
  WriteFile(dest() + "/plain", "mine");
  for (const std::string path : {"linked/app.sh", "linked/deeper/app.sh", "plain/inside.txt"}) {
    SCOPED_TRACE(path);
    const std::string folder = path.substr(0, path.find('/'));
    try {
      factory_.Create(Folder::Open(dest()), path, SharedFileMode::Staged, 0, 9);
      ADD_FAILURE() << "opened";
    } catch (const FileUnsafePathException& error) {
      EXPECT_NE(std::string(error.what()).find("\"" + folder + "\""), std::string::npos)
          << error.what();
    }
    EXPECT_FALSE(factory_.Delete(*Folder::Open(dest()), path));
  }
  EXPECT_TRUE(fs::is_empty(outside()));
  EXPECT_EQ(ReadFile(dest() + "/plain"), "mine");
}

TEST_P(StagedFileTest, WhatWasThereStaysUntilTheReplacementIsCommitted) {
  WriteFile(dest() + "/notes.txt", "the user's notes, longer than the package's");
  {
    auto file = factory_.Create(Folder::Open(dest()), "notes.txt", SharedFileMode::Staged, 0, 9);
    // The replacement starts from the bytes there were, for its chunks to be verified.
    EXPECT_EQ(file->Seed(10), 10u);
    char seeded[10];
    ASSERT_EQ(file->Read(seeded, sizeof seeded), sizeof seeded);
    EXPECT_EQ(std::string(seeded, sizeof seeded), "the user's");
    file->Seek(0);
    file->Write("0123456789", 10);
    EXPECT_EQ(ReadFile(dest() + "/notes.txt"), "the user's notes, longer than the package's");
  }
  // The run ended without committing: the old file stands, the partial one is there to resume.
  EXPECT_EQ(ReadFile(dest() + "/notes.txt"), "the user's notes, longer than the package's");
  auto file = factory_.Create(Folder::Open(dest()), "notes.txt", SharedFileMode::Staged, 0, 9);
  EXPECT_EQ(file->GetSize(), 10u);
  EXPECT_EQ(file->Seed(10), 0u) << "a partial file is resumed, not seeded again";
  EXPECT_TRUE(file->Commit()) << "the user's file was replaced";
  EXPECT_EQ(ReadFile(dest() + "/notes.txt"), "0123456789");
  EXPECT_FALSE(fs::exists(dest() + "/notes.txt" + kPartialFileSuffix));
}

TEST_P(StagedFileTest, APartialFileReplacedDuringTheDownloadIsNeverCommitted) {
  WriteFile(dest() + "/a.bin", "old");
  auto file = factory_.Create(Folder::Open(dest()), "a.bin", SharedFileMode::Staged, 0, 3);
  file->Seed(4);
  file->Write("good", 4);
  WriteFile(dest() + "/other", "evil");
  fs::rename(dest() + "/other", dest() + "/a.bin" + kPartialFileSuffix);
  try {
    file->Commit();
    ADD_FAILURE() << "committed";
  } catch (const FileUnsafePathException& error) {
    EXPECT_NE(std::string(error.what()).find("a.bin"), std::string::npos) << error.what();
  }
  EXPECT_EQ(ReadFile(dest() + "/a.bin"), "old");
}

TEST_P(StagedFileTest, AFolderAtAFilesPathIsNamedAndLeftAlone) {
  fs::create_directories(dest() + "/data/keep");
  WriteFile(dest() + "/data/keep/mine", "mine");
  auto file = factory_.Create(Folder::Open(dest()), "data", SharedFileMode::Staged, 0, 0);
  file->Seed(1);
  try {
    file->Commit();
    ADD_FAILURE() << "committed";
  } catch (const FileUnsafePathException& error) {
    EXPECT_NE(std::string(error.what()).find("data\" is a folder"), std::string::npos)
        << error.what();
  }
  EXPECT_FALSE(factory_.Delete(*Folder::Open(dest()), "data"));
  EXPECT_EQ(ReadFile(dest() + "/data/keep/mine"), "mine");
  // A link is removed itself, never what it points at.
  WriteFile(outside() + "/target", "target");
  fs::create_symlink(outside() + "/target", dest() + "/link");
  EXPECT_TRUE(factory_.Delete(*Folder::Open(dest()), "link"));
  EXPECT_EQ(ReadFile(outside() + "/target"), "target");
}

TEST_P(StagedFileTest, AFileIsCheckedInPlaceOnlyWhereItIsARegularFileWithNoPartial) {
  WriteFile(dest() + "/done.bin", "complete");
  {
    auto file = factory_.Create(Folder::Open(dest()), "done.bin", SharedFileMode::InPlace, 0, 7);
    char bytes[8] = {};
    ASSERT_EQ(file->Read(bytes, sizeof bytes), 8u);
    EXPECT_EQ(std::string(bytes, 8), "complete");
    // Read-only: the user's file cannot be written through it.
    file->Seek(0);
    EXPECT_THROW(file->Write("x", 1), FileException);
    EXPECT_FALSE(file->Commit());
  }
  EXPECT_EQ(ReadFile(dest() + "/done.bin"), "complete");
  EXPECT_FALSE(fs::exists(dest() + "/done.bin" + kPartialFileSuffix));

  WriteFile(outside() + "/victim", "complete");
  ASSERT_EQ(symlink((outside() + "/victim").c_str(), (dest() + "/linked.bin").c_str()), 0);
  WriteFile(dest() + "/resumed.bin", "complete");
  WriteFile(dest() + "/resumed.bin" + kPartialFileSuffix, "compl");
  for (const char* path : {"missing.bin", "linked.bin", "resumed.bin", "sub/missing.bin"}) {
    SCOPED_TRACE(path);
    EXPECT_THROW(factory_.Create(Folder::Open(dest()), path, SharedFileMode::InPlace, 0, 7),
                 FileException);
  }
  EXPECT_FALSE(fs::exists(dest() + "/sub"));
  EXPECT_EQ(ReadFile(dest() + "/resumed.bin" + kPartialFileSuffix), "compl");
}

INSTANTIATE_TEST_SUITE_P(OpenAt2AndWalk, StagedFileTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Walk" : "OpenAt2";
                         });

}  // namespace
}  // namespace halv
