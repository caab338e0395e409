// halvane-get's runs as scripts see them: the exit statuses, each produced for real by a run
// against loopback servers, what --quiet and --verbose show on stderr, and --no-analytics.

#include "app/exit_status.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scoped_environment.h"
#include "temp_dir.h"
#include "test_http_server.h"

extern char** environ;

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

// A started program: its PID and the file its stderr goes to.
struct Child {
  pid_t pid = -1;
  std::string stderrPath;
};

// Waits for `child`; its exit status (128 + signal when killed) and its stderr.
int Wait(const Child& child, std::string& errors) {
  int status = 0;
  EXPECT_EQ(waitpid(child.pid, &status, 0), child.pid);
  errors = ReadFile(child.stderrPath);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A loopback port bound and never listened on, so that connections to it are refused.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no free loopback port";
    }
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

class GetRunTest : public testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(temp_.Child("in/big.bin"), test::PseudoRandomBytes(300 * 1024, 1));
    test::WriteFile(temp_.Child("in/small.txt"), "hello");
    fs::create_directories(temp_.Child("home"));
    server_.Start();
    host_ = "127.0.0.1:" + std::to_string(server_.port());
    // Two packages on one server that is host and node: abc, and bad, whose document is
    // changed below.
    for (const char* package : {"abc", "bad"}) {
      const std::string command =
          std::string("'") + HALV_PUBLISH_BINARY + "' --input '" + temp_.Child("in") +
          "' --output '" + temp_.Child("www") + "' --partner R --package " + package +
          " --package-version 7 --name D --chunk-size 65536 --node " + host_ + " >/dev/null";
      ASSERT_EQ(::system(command.c_str()), 0);
    }
    for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("www"))) {
      if (!entry.is_regular_file()) continue;
      const std::string path = entry.path().string().substr(temp_.Child("www").size());
      server_.AddContent(path, ReadFile(entry.path().string()));
    }
    // bad's document names a path outside the destination: an unusable description.
    std::string document = ReadFile(temp_.Child("www/manifests/bad/current.xml"));
    const std::string path = "<path>small.txt</path>";
    ASSERT_NE(document.find(path), std::string::npos);
    document.replace(document.find(path), path.size(), "<path>../escape.txt</path>");
    server_.AddContent("/manifests/bad/current.xml", document);
  }

  // Starts halvane-get with `arguments`, after `prefix` (a program that runs it) when given.
  Child Start(const std::vector<std::string>& arguments,
              const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> all = prefix;
    all.push_back(HALV_GET_BINARY);
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = {"HOME=" + temp_.Child("home"),
                                            "XDG_CACHE_HOME=" + temp_.Child("home/.cache"),
                                            "XDG_DATA_HOME=" + temp_.Child("home/.local/share"),
                                            "XDG_STATE_HOME=" + temp_.Child("home/.local/state"),
                                            "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                                            "HALV_ANALYTICS_URL=" + analyticsUrl_};
    for (const std::string& variable : test::SanitizerEnvironment()) {
      environment.push_back(variable);
    }
    std::vector<char*> envp;
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    Child child;
    child.stderrPath = temp_.Child("stderr-" + std::to_string(++runs_));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, child.stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    return child;
  }

  // The arguments of a download of `package` from `host` into temp/`dest`.
  std::vector<std::string> Get(const std::string& host, const std::string& package,
                               const std::string& dest) const {
    return {"--host", host, "--partner", "R", "--package", package, "--dest", temp_.Child(dest)};
  }

  test::TempDir temp_;
  test::TestHttpServer server_;
  std::string host_;
  std::string analyticsUrl_;
  int runs_ = 0;
};

TEST_F(GetRunTest, EachDocumentedStatusComesFromItsCause) {
  RefusingPort refusing;
  const std::string dead = "127.0.0.1:" + std::to_string(refusing.port());
  ASSERT_EQ(::system(("minisign -G -W -p '" + temp_.Child("key.pub") + "' -s '" +
                      temp_.Child("key.sec") + "' >/dev/null")
                         .c_str()),
            0);
  test::WriteFile(temp_.Child("a file"), "not a folder");
  // The destination of the disk-full row: a tmpfs of 64 KiB, mounted for that run alone.
  fs::create_directories(temp_.Child("small disk"));
  const std::vector<std::string> smallDisk = {
      "unshare",
      "-rm",
      "/bin/sh",
      "-c",
      "mount -t tmpfs -o size=64k none \"$0\" || exit 99; exec \"$@\"",
      temp_.Child("small disk")};
  // Sends `signal` once the big file is being downloaded (its chunks come slowly).
  const auto interrupt = [this](int signal) {
    return [this, signal](const Child& child) {
      const std::size_t earlier = server_.RequestsFor("/packages/R/abc/7/big.bin").size();
      while (server_.RequestsFor("/packages/R/abc/7/big.bin").size() == earlier) {
        server_.WaitForRequests(server_.Requests().size() + 1);
      }
      kill(child.pid, signal);
    };
  };
  test::HttpFault slow;
  slow.dripBytes = 1024;
  slow.dripInterval = std::chrono::milliseconds(50);

  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    const char* said;  // what stderr says
    std::vector<std::string> prefix = {};
    std::function<void(const Child&)> act = nullptr;
    bool slow = false;
  } const cases[] = {
      {"complete", Get(host_, "abc", "complete"), kExitComplete, "complete: "},
      {"failed otherwise", Get(host_, "bad", "bad"), kExitFailed, "../escape.txt"},
      {"usage", {"--hlep"}, kExitUsage, "unknown option --hlep"},
      {"not found", Get(host_, "nope", "nope"), kExitNotFound, "no such package or version"},
      {"network",
       [&] {
         auto arguments = Get(dead, "abc", "network");
         arguments.insert(arguments.end(), {"--retry-for", "1"});
         return arguments;
       }(),
       kExitNetwork, "refused the connection"},
      {"not authentic",
       [&] {
         auto arguments = Get(host_, "abc", "keyed");
         arguments.insert(arguments.end(), {"--public-key", temp_.Child("key.pub")});
         return arguments;
       }(),
       kExitNotAuthentic, "the publication is not signed"},
      {"local files", Get(host_, "abc", "a file"), kExitLocalFiles, "cannot write the files"},
      {"disk full", Get(host_, "abc", "small disk"), kExitDiskFull, "and its file system has",
       smallDisk},
      {"interrupted",
       Get(host_, "abc", "interrupted"),
       kExitInterrupted,
       "interrupted",
       {},
       interrupt(SIGINT),
       true},
      {"terminated",
       Get(host_, "abc", "terminated"),
       kExitTerminated,
       "terminated",
       {},
       interrupt(SIGTERM),
       true},
  };
  std::string skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.slow) server_.SetFault("/packages/R/abc/7/big.bin", slow);
    const std::size_t requests = server_.Requests().size();
    const Child child = Start(c.arguments, c.prefix);
    if (c.act) c.act(child);
    std::string errors;
    const int status = Wait(child, errors);
    server_.ClearFault("/packages/R/abc/7/big.bin");
    if (!c.prefix.empty() && status == 99) {
      // No private mount namespace here (a container without the right): say so, check the rest.
      skipped += std::string(c.name) + ": " + errors;
      continue;
    }
    EXPECT_EQ(status, c.status) << errors;
    EXPECT_NE(errors.find(c.said), std::string::npos) << errors;
    if (c.status == kExitUsage) {
      EXPECT_EQ(server_.Requests().size(), requests) << "a bad command line asks nothing";
    }
  }
  EXPECT_FALSE(fs::exists(temp_.Child("escape.txt")));
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A host that answers 503 or 429 for a while (longer than the manifest works' own few quick
// retries) is waited for, and the run completes.
TEST_F(GetRunTest, AHostAnswering503Or429ForAWhileIsWaitedFor) {
  for (const int code : {503, 429}) {
    SCOPED_TRACE(code);
    test::HttpFault busy;
    busy.status = code;
    busy.times = 8;
    server_.SetFault("/manifests/abc/current.xml", busy);
    std::string errors;
    ASSERT_EQ(Wait(Start(Get(host_, "abc", "busy" + std::to_string(code))), errors), kExitComplete)
        << errors;
    EXPECT_NE(errors.find("waiting for the network (http://" + host_ +
                          "/manifests/abc/current.xml answered HTTP " + std::to_string(code)),
              std::string::npos)
        << errors;
    server_.ClearFault("/manifests/abc/current.xml");
  }
}

TEST_F(GetRunTest, QuietShowsOnlyErrorsAndVerboseTheNotableLogLines) {
  std::string errors;
  auto arguments = Get(host_, "abc", "quiet");
  arguments.push_back("--quiet");
  ASSERT_EQ(Wait(Start(arguments), errors), kExitComplete) << errors;
  EXPECT_EQ(errors, "");
  EXPECT_EQ(ReadFile(temp_.Child("quiet/small.txt")), "hello");

  arguments = Get(host_, "nope", "quiet");
  arguments.push_back("-q");
  ASSERT_EQ(Wait(Start(arguments), errors), kExitNotFound) << errors;
  EXPECT_EQ(errors.rfind("halvane-get: no such package or version", 0), 0u) << errors;
  EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;

  arguments = Get(host_, "abc", "verbose");
  arguments.push_back("--verbose");
  ASSERT_EQ(Wait(Start(arguments), errors), kExitComplete) << errors;
  EXPECT_NE(errors.find("{\"event\":\"Start\""), std::string::npos) << errors;
  EXPECT_NE(errors.find("{\"event\":\"Complete\""), std::string::npos) << errors;
  EXPECT_NE(errors.find("complete: "), std::string::npos) << errors;

  arguments.push_back("--quiet");
  EXPECT_EQ(Wait(Start(arguments), errors), kExitUsage) << errors;
}

TEST_F(GetRunTest, NoAnalyticsPostsNothingWhereTheBuildOrEnvironmentNamesAnAddress) {
  test::TestHttpServer collector;
  collector.Start();
  analyticsUrl_ = collector.Url("");
  std::string errors;
  auto arguments = Get(host_, "abc", "posted");
  ASSERT_EQ(Wait(Start(arguments), errors), kExitComplete) << errors;
  const std::size_t posts = collector.Requests().size();
  const int connections = collector.ConnectionCount();
  EXPECT_GT(posts, 0u) << "an address posts";

  arguments = Get(host_, "abc", "unposted");
  arguments.push_back("--no-analytics");
  ASSERT_EQ(Wait(Start(arguments), errors), kExitComplete) << errors;
  EXPECT_EQ(collector.ConnectionCount(), connections) << "--no-analytics connects to nothing";
  EXPECT_EQ(collector.Requests().size(), posts);
}

}  // namespace
}  // namespace halv
