#include "platform/posix_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "launch_record.h"
#include "scoped_environment.h"
#include "temp_dir.h"

extern char** environ;

namespace halv {
namespace {

namespace fs = boost::filesystem;

class PosixProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InstallProgram(HALV_RECORD_LAUNCH, program_); }

  std::vector<std::string> Record() const { return test::ReadLaunchRecord(record_); }

  // A stand-in for the desktop's opener, first in PATH, that records like the program and ends
  // with $FAKE_OPENER_STATUS.
  void InstallFakeOpener() {
    fs::create_directories(root_.Child("bin"));
    std::ofstream(root_.Child("bin/xdg-open"))
        << "#!/bin/sh\n"
           "{ printf '%s\\0' \"$(pwd -P)\"; for a in \"$@\"; do printf '%s\\0' \"$a\"; done; } "
           "> \"$HALV_RECORD_FILE\"\n"
           "exit \"${FAKE_OPENER_STATUS:-0}\"\n";
    fs::permissions(root_.Child("bin/xdg-open"), fs::owner_all);
  }

  test::TempDir root_;
  test::ScopedEnvironmentVariable home_{"HOME", root_.Child("home")};
  test::ScopedEnvironmentVariable dataHome_{"XDG_DATA_HOME", root_.Child("data")};
  test::ScopedEnvironmentVariable stateHome_{"XDG_STATE_HOME", root_.Child("state")};
  test::ScopedEnvironmentVariable cacheHome_{"XDG_CACHE_HOME", root_.Child("cache")};
  const std::string record_ = root_.Child("record");
  test::ScopedEnvironmentVariable recordFile_{"HALV_RECORD_FILE", record_};
  test::ScopedEnvironmentVariable path_{"PATH", root_.Child("bin") + ":/usr/bin:/bin"};
  const std::string folder_ = root_.Child("app folder/bin");
  const std::string program_ = folder_ + "/program";
};

TEST_F(PosixProcessTest, PassesEachArgumentAsItIsInTheProgramsFolder) {
  const std::vector<std::string> arguments = {"/name",  "My \"Best\" App",   "",     "/x y",
                                              "--help", "\xc3\xbc'$HOME'\\", "/log", "3"};
  PosixProcess process(program_);
  ASSERT_TRUE(process.Run(true, arguments, ""));

  std::vector<std::string> expected = {test::CanonicalFolder(folder_)};
  expected.insert(expected.end(), arguments.begin(), arguments.end());
  EXPECT_EQ(Record(), expected);
}

TEST_F(PosixProcessTest, RunsInTheGivenWorkingFolder) {
  fs::create_directories(root_.Child("elsewhere"));
  PosixProcess process(program_);
  ASSERT_TRUE(process.Run(true, {"a"}, root_.Child("elsewhere")));
  const std::vector<std::string> expected = {test::CanonicalFolder(root_.Child("elsewhere")), "a"};
  EXPECT_EQ(Record(), expected);
}

TEST_F(PosixProcessTest, WithoutWaitingReturnsOnceStarted) {
  // The record is a pipe, so the test learns without polling when the program writes it.
  ASSERT_EQ(mkfifo(record_.c_str(), 0600), 0);
  PosixProcess process(program_);
  ASSERT_TRUE(process.Run(false, {"x y"}, ""));
  const std::vector<std::string> expected = {test::CanonicalFolder(folder_), "x y"};
  EXPECT_EQ(Record(), expected);
}

TEST_F(PosixProcessTest, FailsWithoutStartingAnything) {
  fs::create_directories(root_.Child("empty folder"));
  const struct {
    const char* what;
    std::string path;
    std::string workingFolder;
  } cases[] = {
      {"missing program", root_.Child("missing"), ""},
      {"a folder", root_.Child("empty folder"), ""},
      {"missing working folder", program_, root_.Child("missing folder")},
      {"empty path", "", ""},
  };
  InstallFakeOpener();
  for (const auto& c : cases) {
    PosixProcess process(c.path);
    EXPECT_FALSE(process.Run(true, {"a"}, c.workingFolder)) << c.what;
    EXPECT_FALSE(fs::exists(record_)) << c.what;
  }
}

TEST_F(PosixProcessTest, OpensDocumentsWithTheDesktopsOpener) {
  InstallFakeOpener();
  const struct {
    const char* name;
    const char* content;
    fs::perms permissions;
  } cases[] = {
      {"notes.txt", "plain text", fs::owner_read | fs::owner_write},
      // Marked runnable, but no format the kernel can execute.
      {"setup.exe", "MZ\x90 not for this system", fs::owner_all},
  };
  for (const auto& c : cases) {
    const std::string document = folder_ + "/" + c.name;
    std::ofstream(document) << c.content;
    fs::permissions(document, c.permissions);
    fs::remove(record_);
    PosixProcess process(document);
    ASSERT_TRUE(process.Run(true, {"/package", "p"}, "")) << c.name;
    const std::vector<std::string> expected = {test::CanonicalFolder(folder_), document};
    EXPECT_EQ(Record(), expected) << c.name;
  }

  test::ScopedEnvironmentVariable failing("FAKE_OPENER_STATUS", "3");
  PosixProcess process(folder_ + "/notes.txt");
  EXPECT_FALSE(process.Run(true, {}, "")) << "the opener found no application";
}

// Starts record_launch holding `path` open for writing; returns its pid and the pipe end whose
// closing lets it exit.
pid_t StartHolder(const std::string& path, int* release) {
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  const std::string helper = HALV_RECORD_LAUNCH;
  std::vector<char*> argv = {const_cast<char*>(helper.c_str()),
                             const_cast<char*>("--hold-for-writing"),
                             const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  char ready[6] = {};
  const bool isReady = error == 0 && read(output[0], ready, sizeof ready) == 6;
  close(output[0]);
  *release = input[1];
  return isReady ? pid : -1;
}

TEST_F(PosixProcessTest, BusyProgramFileIsTriedAgainOnceAnotherWriterLetsGo) {
  int release = -1;
  const pid_t holder = StartHolder(program_, &release);
  ASSERT_GT(holder, 0);
  EXPECT_FALSE(ProcessHoldsForWriting(program_)) << "the writer is another process";

  int attempts = 0;
  PosixProcess process(program_, [&](int attempt) {
    attempts = attempt;
    close(release);
    int status = 0;
    return waitpid(holder, &status, 0) == holder;
  });
  ASSERT_TRUE(process.Run(true, {"after the wait"}, ""));
  EXPECT_EQ(attempts, 1);
  const std::vector<std::string> expected = {test::CanonicalFolder(folder_), "after the wait"};
  EXPECT_EQ(Record(), expected);
}

TEST_F(PosixProcessTest, OwnWriterFailsAtOnce) {
  for (const bool mapped : {false, true}) {
    int descriptor = open(program_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    void* map = nullptr;
    if (mapped) {
      // The mapping alone keeps the file open for writing once the descriptor is closed.
      map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
      ASSERT_NE(map, MAP_FAILED);
      close(descriptor);
      descriptor = -1;
    }
    EXPECT_TRUE(ProcessHoldsForWriting(program_)) << mapped;

    int attempts = 0;
    PosixProcess process(program_, [&](int) { return ++attempts < 100; });
    EXPECT_FALSE(process.Run(true, {}, "")) << mapped;
    EXPECT_EQ(attempts, 0) << "waiting cannot help while this process writes, " << mapped;
    EXPECT_FALSE(fs::exists(record_)) << mapped;

    if (mapped) munmap(map, 4096);
    if (descriptor >= 0) close(descriptor);
    EXPECT_FALSE(ProcessHoldsForWriting(program_)) << mapped;
    EXPECT_TRUE(process.Run(true, {}, "")) << mapped;
    fs::remove(record_);
  }
}

TEST_F(PosixProcessTest, ReadingTheProgramDoesNotCountAsWriting) {
  const int descriptor = open(program_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(descriptor, 0);
  EXPECT_FALSE(ProcessHoldsForWriting(program_));
  EXPECT_FALSE(ProcessHoldsForWriting(root_.Child("missing")));
  PosixProcess process(program_);
  EXPECT_TRUE(process.Run(true, {}, ""));
  close(descriptor);
}

}  // namespace
}  // namespace halv
