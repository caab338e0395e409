// Every program's command line as a user meets it: --help and --version answer without any
// network or data folder, and a mistake gets one line naming it and a pointer to --help.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "build_version.h"
#include "nginx_site.h"
#include "scoped_environment.h"
#include "temp_dir.h"
#include "test_http_server.h"

namespace halv {
namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `arguments` with a home, cache, data and state folder of `temp` and no analytics; calls
// `during` with the PID once the program started, before waiting for it.
Result RunProgram(const test::TempDir& temp, std::vector<std::string> arguments,
                  const std::function<void(pid_t)>& during = nullptr) {
  std::vector<std::string> environment = {"HOME=" + temp.Child("home"),
                                          "XDG_CACHE_HOME=" + temp.Child("home/.cache"),
                                          "XDG_DATA_HOME=" + temp.Child("home/.local/share"),
                                          "XDG_STATE_HOME=" + temp.Child("home/.local/state"),
                                          "PATH=/usr/bin:/bin",
                                          "HALV_ANALYTICS_URL="};
  for (const std::string& variable : test::SanitizerEnvironment()) {
    environment.push_back(variable);
  }
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);

  const std::string outPath = temp.Child("out");
  const std::string errPath = temp.Child("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  Result result;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  if (during) during(pid);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = test::ReadFile(outPath);
  result.err = test::ReadFile(errPath);
  return result;
}

struct Program {
  const char* name;
  const char* binary;
  std::vector<std::string> before;  // arguments before the one under test (a command)
};

const Program kPrograms[] = {
    {"halvane-updater", HALV_UPDATER_BINARY, {}},
    {"halvane-get", HALV_GET_BINARY, {}},
    {"halvane-publish", HALV_PUBLISH_BINARY, {}},
    {"halvane-collect", HALV_COLLECT_BINARY, {}},
    {"halvane-rebrand", HALV_REBRAND_TOOL, {}},
    // After other arguments, as well as first.
    {"halvane-get", HALV_GET_BINARY, {"--partner", "R"}},
    {"halvane-collect", HALV_COLLECT_BINARY, {"report"}},
    {"halvane-collect",
     HALV_COLLECT_BINARY,
     {"serve", "--db=unused.db", "--listen", "127.0.0.1:1"}},
    {"halvane-collect", HALV_COLLECT_BINARY, {"--bogus"}},
};

TEST(CommandLineTest, HelpAndVersionAnswerWithoutNetworkOrDataFolder) {
  for (const Program& program : kPrograms) {
    for (const std::string option : {"--help", "-h", "--version"}) {
      std::vector<std::string> arguments = {program.binary};
      arguments.insert(arguments.end(), program.before.begin(), program.before.end());
      arguments.push_back(option);
      SCOPED_TRACE(testing::PrintToString(arguments));
      test::TempDir temp;
      fs::create_directories(temp.Child("home"));
      // A display that cannot be reached: the updater must answer before it tries one.
      test::ScopedEnvironmentVariable display("DISPLAY", ":99");
      const Result result = RunProgram(temp, arguments);
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(result.err, "");
      if (option == "--version") {
        EXPECT_EQ(result.out, std::string(program.name) + " " HALV_BUILD_VERSION "\n");
      } else {
        EXPECT_NE(result.out.find("--version"), std::string::npos) << result.out;
      }
      // Nothing was started: no data folder, no log.
      EXPECT_TRUE(fs::is_empty(temp.Child("home")));
    }
  }
}

TEST(CommandLineTest, UpdaterHelpNamesItsArgumentsAndWinsOverThem) {
  test::TempDir temp;
  fs::create_directories(temp.Child("home"));
  const Result result =
      RunProgram(temp, {HALV_UPDATER_BINARY, "packageVersion=2", "log=3", "--help"});
  EXPECT_EQ(result.status, 0);
  for (const char* text : {"packageVersion=ID", "skinVersion=ID", "log=N", "ignored"}) {
    EXPECT_NE(result.out.find(text), std::string::npos) << text;
  }
  EXPECT_TRUE(fs::is_empty(temp.Child("home")));
}

TEST(CommandLineTest, MistakesGetOneLineAndAPointerToHelp) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string said;
  } const cases[] = {
      {"get unknown option", {HALV_GET_BINARY, "--bogus", "1"}, "unknown option --bogus"},
      {"get stray argument", {HALV_GET_BINARY, "stray"}, "unexpected argument stray"},
      {"get missing value", {HALV_GET_BINARY, "--partner"}, "--partner needs a value"},
      {"get missing option", {HALV_GET_BINARY, "--partner=R", "--dest=d"}, "--package is required"},
      {"get without host",
       {HALV_GET_BINARY, "--partner=R", "--package=abc", "--dest=d"},
       "--host is required: this build names no manifest host"},
      {"get bad retry time",
       {HALV_GET_BINARY, "--retry-for", "-1"},
       "--retry-for takes a number of seconds from 0 to 604800"},
      {"updater typo", {HALV_UPDATER_BINARY, "--hlep"}, "unknown option --hlep"},
      {"updater short option",
       {HALV_UPDATER_BINARY, "packageVersion=2", "-V"},
       "unknown option -V"},
      {"publish unknown option", {HALV_PUBLISH_BINARY, "--bogus=1"}, "unknown option \"--bogus\""},
      {"collect unknown option",
       {HALV_COLLECT_BINARY, "report", "--bogus"},
       "unknown option '--bogus'"},
      {"collect unknown option with a value",
       {HALV_COLLECT_BINARY, "serve", "--bogus=1"},
       "unknown option '--bogus'"},
      {"collect stray argument",
       {HALV_COLLECT_BINARY, "prune", "stray"},
       "unexpected argument 'stray'"},
      {"collect bad value after =",
       {HALV_COLLECT_BINARY, "report", "--db=unused.db", "--format=xml"},
       "--format takes text, json or csv"},
      {"collect missing value", {HALV_COLLECT_BINARY, "prune", "--db"}, "--db needs a value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir temp;
    const Result result = RunProgram(temp, c.arguments);
    EXPECT_EQ(result.status, 2);
    const std::string program = fs::path(c.arguments[0]).filename().string();
    EXPECT_EQ(result.err, program + ": " + c.said + "\nTry '" + program + " --help'.\n");
    EXPECT_EQ(result.out, "");
  }
}

// A copy of the updater whose manifest host and analytics point at a server of the test: an
// option it does not know ends it before any connection, folder or log.
TEST(CommandLineTest, UpdaterRefusesUnknownOptionsWithoutAnyConnection) {
  test::TempDir temp;
  fs::create_directories(temp.Child("home"));
  test::TestHttpServer server;
  server.Start();
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  test::WriteFile(temp.Child("brand.conf"),
                  "102=" + host + "\n105=aaaa\n106=bbbb\n107=cccc\n108=Typo\n109=typo\n" +
                      "131=http://" + host + "\n132=http://" + host + "\n");
  const std::string copy = temp.Child("halvane-updater");
  ASSERT_EQ(::system(("'" HALV_REBRAND_TOOL "' '" HALV_UPDATER_BINARY "' '" +
                      temp.Child("brand.conf") + "' '" + copy + "'")
                         .c_str()),
            0);
  for (const std::string option : {"-V", "--hlep", "-", "--help=x", "--version=1"}) {
    SCOPED_TRACE(option);
    const Result result = RunProgram(temp, {copy, "packageVersion=1", option});
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_EQ(result.err,
              "halvane-updater: unknown option " + option + "\nTry 'halvane-updater --help'.\n");
    EXPECT_TRUE(fs::is_empty(temp.Child("home")));
  }
  // --remove-shortcuts is known: it removes (here nothing) and fetches nothing either.
  const Result removed = RunProgram(temp, {copy, "--remove-shortcuts"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.err, "halvane-updater: removed 0 shortcut files of Typo\n");
  EXPECT_EQ(server.ConnectionCount(), 0);
}

// The updater's exit statuses for real, on the terminal: a rebranded copy whose host has the
// program's package and its skin (version 7 of each only), or is a port nobody listens on.
TEST(CommandLineTest, UpdaterExitsWithTheStatusOfItsFailure) {
  test::TempDir temp;
  fs::create_directories(temp.Child("home"));
  test::WriteFile(temp.Child("in/app.txt"), "program");
  test::TestHttpServer server;
  server.Start();
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  for (const std::string package : {"aaaa", "skin"}) {
    ASSERT_EQ(::system(("'" HALV_PUBLISH_BINARY "' --input '" + temp.Child("in") + "' --output '" +
                        temp.Child("www") + "' --partner P --package " + package +
                        " --package-version 7 --name A --node " + host + " >/dev/null")
                           .c_str()),
              0);
    for (const std::string& path :
         {"/manifests/" + package + "/current.xml", "/manifests/" + package + "/7.xml",
          std::string("/nodes/P.xml"), "/packages/P/" + package + "/7/app.txt"}) {
      server.AddContent(path, test::ReadFile(temp.Child("www") + path));
    }
  }
  const auto rebrand = [&temp](const std::string& name, const std::string& manifestHost) {
    test::WriteFile(temp.Child(name + ".conf"), "102=" + manifestHost +
                                                    "\n103=P\n104=P\n105=aaaa\n106=skin\n" +
                                                    "107=aaaa\n108=Statuses\n109=statuses\n");
    const std::string copy = temp.Child(name);
    EXPECT_EQ(::system(("'" HALV_REBRAND_TOOL "' '" HALV_UPDATER_BINARY "' '" +
                        temp.Child(name + ".conf") + "' '" + copy + "'")
                           .c_str()),
              0);
    return copy;
  };
  const std::string live = rebrand("live", host);
  const std::string dead =
      rebrand("dead", "127.0.0.1:" + std::to_string(test::FreeLoopbackPorts(1)[0]));
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    const char* said;
  } cases[] = {
      {"usage", {live, "--hlep"}, 2, "unknown option --hlep"},
      {"no such skin version", {live, "skinVersion=5"}, 3, "/manifests/skin/5.xml"},
      {"no such program version", {live, "packageVersion=9.9"}, 3, "/manifests/aaaa/9.9.xml"},
      {"network", {dead}, 4, "refused the connection"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result result = RunProgram(temp, c.arguments);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
  }
  // A signal while a package's file comes: the run ends at once, says so, keeps what came.
  test::HttpFault held;
  held.holdMidBody = true;
  const std::vector<std::string> files = {"/packages/P/aaaa/7/app.txt",
                                          "/packages/P/skin/7/app.txt"};
  for (const std::string& file : files) server.SetFault(file, held);
  // Nothing of the rows above is kept: each package's file is asked for anew.
  fs::remove_all(temp.Child("home/.local/share/statuses"));
  fs::remove_all(temp.Child("home/.local/state/statuses"));
  const auto fileRequests = [&server, &files] {
    std::size_t count = 0;
    for (const std::string& file : files) count += server.RequestsFor(file).size();
    return count;
  };
  const struct {
    int signal;
    int status;
    const char* said;
  } signals[] = {{SIGINT, 130, "interrupted"}, {SIGTERM, 143, "terminated"}};
  for (const auto& c : signals) {
    const int signal = c.signal;
    const int status = c.status;
    const char* const said = c.said;
    SCOPED_TRACE(said);
    const Result result = RunProgram(temp, {live}, [&server, &fileRequests, signal](pid_t pid) {
      const std::size_t earlier = fileRequests();
      for (int tries = 0; fileRequests() == earlier && tries < 10; ++tries) {
        server.WaitForRequests(server.Requests().size() + 1);
      }
      ::kill(pid, signal);
    });
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_NE(result.err.find(std::string("halvane-updater: ") + said +
                              "; the download is kept and the next run resumes it"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out, "");
  }
  server.ReleaseHeld();
  for (const std::string& file : files) server.ClearFault(file);
}

TEST(CommandLineTest, GetTakesOptionEqualsValueAndTheOldVersionSpellingWithANotice) {
  test::TempDir temp;
  fs::create_directories(temp.Child("home"));
  const std::string deadHost = "127.0.0.1:" + std::to_string(test::FreeLoopbackPorts(1)[0]);
  const Result current =
      RunProgram(temp, {HALV_GET_BINARY, "--host=" + deadHost, "--partner=R", "--package=abc",
                        "--package-version=7", "--dest=" + temp.Child("dest"), "--threads=2",
                        "--retry-for=0"});
  EXPECT_EQ(current.status, 4) << current.err;
  EXPECT_NE(current.err.find(deadHost), std::string::npos) << current.err;
  EXPECT_EQ(current.err.find("--package-version ID"), std::string::npos) << current.err;

  const Result old =
      RunProgram(temp, {HALV_GET_BINARY, "--host", deadHost, "--partner", "R", "--package", "abc",
                        "--version", "7", "--dest", temp.Child("dest"), "--retry-for", "0"});
  EXPECT_EQ(old.status, 4) << old.err;
  EXPECT_EQ(old.err.rfind("halvane-get: --version ID is now --package-version ID", 0), 0u)
      << old.err;
}

}  // namespace
}  // namespace halv
