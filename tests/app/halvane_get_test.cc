// halvane-get run as a user runs it, against nginx and the fault-injecting test server on
// loopback: downloads, resumes, fails with its own messages, and is interrupted.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nginx_site.h"
#include "scoped_environment.h"
#include "temp_dir.h"
#include "test_http_server.h"

extern char** environ;

namespace halv {
namespace {

// The ranges of files the nodes were asked for, one entry per request: "GET /path" and its Range.
std::vector<std::string> AskedRangeList(const std::vector<std::string>& lines) {
  std::vector<std::string> ranges;
  for (const std::string& line : lines) {
    const std::size_t get = line.find("\"GET ");
    const std::size_t range = line.find("\"bytes=");
    if (get == std::string::npos) continue;
    const std::string path = line.substr(get, line.find(' ', get + 5) - get);
    ranges.push_back(path + (range == std::string::npos
                                 ? std::string()
                                 : line.substr(range, line.find('"', range + 1) - range)));
  }
  return ranges;
}

// The distinct ones, whatever the number of requests: the end of a file may ask two nodes for
// one chunk, a race.
std::set<std::string> AskedRanges(const std::vector<std::string>& lines) {
  const std::vector<std::string> list = AskedRangeList(lines);
  return std::set<std::string>(list.begin(), list.end());
}

namespace fs = std::filesystem;
using test::ReadFile;

constexpr std::size_t kChunk = 65536;

// A started halvane-get: its PID and the file its stderr goes to.
struct Child {
  pid_t pid = -1;
  std::string stderrPath;
};

class HalvaneGetTest : public testing::Test {
 protected:
  void SetUp() override {
    files_ = {{"big.bin", test::PseudoRandomBytes(40 * kChunk + 123, 1)},
              {"tools/read me.txt", "hello"},
              {"empty", ""}};
    for (const auto& [path, content] : files_) test::WriteFile(temp_.Child("in/" + path), content);
    fs::create_directories(temp_.Child("home"));
  }

  // The environment of every run: its own home and cache, analytics where the test says.
  std::vector<std::string> Environment() const {
    std::vector<std::string> environment = {"HOME=" + temp_.Child("home"),
                                            "XDG_CACHE_HOME=" + temp_.Child("home/.cache"),
                                            "XDG_DATA_HOME=" + temp_.Child("home/.local/share"),
                                            "XDG_STATE_HOME=" + temp_.Child("home/.local/state"),
                                            "PATH=/usr/bin:/bin",
                                            "HALV_ANALYTICS_URL=" + analyticsUrl_};
    for (const std::string& variable : test::SanitizerEnvironment()) {
      environment.push_back(variable);
    }
    return environment;
  }

  Child Start(const std::string& host, const std::string& package,
              const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {
        HALV_GET_BINARY,     "--host",    host, "--partner", "R", "--package", package, "--dest",
        temp_.Child("dest"), "--threads", "8"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = Environment();
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
    EXPECT_EQ(posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    return child;
  }

  // Waits for `child`; returns its exit status (128 + signal when killed) and its stderr.
  static int Wait(const Child& child, std::string& errors) {
    int status = 0;
    EXPECT_EQ(waitpid(child.pid, &status, 0), child.pid);
    errors = ReadFile(child.stderrPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int Run(const std::string& host, const std::string& package, std::string& errors,
          const std::vector<std::string>& extra = {}) {
    return Wait(Start(host, package, extra), errors);
  }

  void ExpectDownloaded() {
    for (const auto& [path, content] : files_) {
      SCOPED_TRACE(path);
      EXPECT_TRUE(ReadFile(temp_.Child("dest/" + path)) == content);
    }
  }

  test::TempDir temp_;
  std::map<std::string, std::string> files_;
  std::string analyticsUrl_;
  int runs_ = 0;
};

TEST_F(HalvaneGetTest, DownloadsThenResumesWithoutAnyChunkRequest) {
  test::TestHttpServer collector;
  collector.Start();
  analyticsUrl_ = collector.Url("");
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 4);
  site.Add(temp_.Child("in"), "R", "abc", "7", "--chunk-size " + std::to_string(kChunk));
  site.Serve();

  std::string errors;
  ASSERT_EQ(Run(site.ManifestHost(), "abc", errors), 0) << errors;
  ExpectDownloaded();
  EXPECT_NE(errors.find("complete"), std::string::npos) << errors;
  const std::size_t requests = site.FileRequests().size();
  EXPECT_EQ(AskedRanges(site.FileRequests()).size(), 42u)
      << "every chunk of big.bin (41) and read me.txt, once each but for races";

  EXPECT_EQ(errors.find("checked"), std::string::npos) << errors;

  ASSERT_EQ(Run(site.ManifestHost(), "abc", errors), 0) << errors;
  EXPECT_EQ(site.FileRequests().size(), requests) << "the second run fetches nothing";
  // It only checked: it says so, and counts nothing as received.
  EXPECT_NE(errors.find("every file was there and checked, 0 B received"), std::string::npos)
      << errors;

  // The first run's analytics: a completed transfer record of every byte, one per run.
  std::size_t completed = 0;
  for (const auto& request : collector.Requests()) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.headers.at("content-type"), "application/json");
    if (request.body.find("\"status\":\"completed\"") != std::string::npos) {
      ++completed;
      EXPECT_NE(request.body.find("\"pid\":\"R\",\"pkgid\":\"abc\",\"vid\":\"7\""),
                std::string::npos)
          << request.body;
    }
  }
  EXPECT_EQ(completed, 2u);
  // The work log of each run holds its transfer events.
  std::size_t logs = 0;
  for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("home/.local/state"))) {
    if (entry.path().filename().string().rfind("Log.", 0) != 0) continue;
    ++logs;
    const std::string log = ReadFile(entry.path().string());
    EXPECT_NE(log.find("{\"event\":\"Start\",\"params\":{\"transferId\":"), std::string::npos);
    EXPECT_NE(log.find("{\"event\":\"Complete\""), std::string::npos) << log;
  }
  EXPECT_EQ(logs, 2u);
  // A finished transfer keeps no record for a later run to restore.
  for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("home"))) {
    EXPECT_NE(entry.path().extension(), ".json") << entry.path();
  }
}

// A real application is tens of thousands of small files: they all arrive, each verified and in
// place, and a rerun over the complete tree asks the nodes for nothing. The sanitizer builds,
// many times slower per file, take fewer.
TEST_F(HalvaneGetTest, TensOfThousandsOfTinyFilesArriveAndARerunReceivesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kFiles = 5'000;
#else
  constexpr int kFiles = 50'000;
#endif
  std::map<std::string, std::string> tiny;
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = "d" + std::to_string(i % 100) + "/f" + std::to_string(i);
    tiny[path] = std::string(static_cast<std::size_t>(i % 97), static_cast<char>('a' + i % 26)) +
                 std::to_string(i);
    test::WriteFile(temp_.Child("tiny/" + path), tiny[path]);
  }
  test::TestHttpServer collector;
  collector.Start();
  analyticsUrl_ = collector.Url("");
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 4);
  site.Add(temp_.Child("tiny"), "R", "tiny", "1");
  site.Serve();

  std::string errors;
  ASSERT_EQ(Run(site.ManifestHost(), "tiny", errors, {"--threads", "16"}), 0) << errors;
  for (const auto& [path, content] : tiny) {
    if (ReadFile(temp_.Child("dest/" + path)) != content) {
      ADD_FAILURE() << path << " differs";
      break;
    }
  }
  EXPECT_EQ(AskedRanges(site.FileRequests()).size(), static_cast<std::size_t>(kFiles));
  const std::size_t requests = site.FileRequests().size();
  ASSERT_EQ(Run(site.ManifestHost(), "tiny", errors, {"--threads", "16"}), 0) << errors;
  EXPECT_EQ(site.FileRequests().size(), requests) << "the complete tree is only checked";
  EXPECT_NE(errors.find("every file was there and checked, 0 B received"), std::string::npos)
      << errors;
}

// A large file already at its final name is checked by every processor at once, each taking its
// own run of chunks: whichever run a wrong chunk is in, that chunk and no other is fetched.
TEST_F(HalvaneGetTest, ALargeFileIsCheckedOnEveryProcessorAndOnlyItsWrongChunksAreFetched) {
  constexpr std::size_t kLargeChunk = std::size_t{1} << 20;
  const std::string large = test::PseudoRandomBytes(64 * kLargeChunk + 77, 5);
  test::WriteFile(temp_.Child("large/large.bin"), large);
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 2);
  site.Add(temp_.Child("large"), "R", "large", "1", "--chunk-size " + std::to_string(kLargeChunk));
  site.Serve();
  std::string errors;
  ASSERT_EQ(Run(site.ManifestHost(), "large", errors), 0) << errors;
  std::size_t requests = site.FileRequests().size();
  const std::vector<std::string> before = site.FileRequests();

  // One wrong byte near the start, one in the middle, one in the last (short) chunk.
  const std::string path = temp_.Child("dest/large.bin");
  for (const std::uint64_t offset :
       {std::uint64_t{3} * kLargeChunk + 5, std::uint64_t{40} * kLargeChunk, large.size() - 1}) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(static_cast<char>(large[offset] ^ 0x5a));
  }
  ASSERT_EQ(Run(site.ManifestHost(), "large", errors), 0) << errors;
  // The ranges asked for more often than before (each node's log is read in turn, so the
  // second run's lines are not simply the last ones).
  std::map<std::string, int> asked;
  for (const std::string& range : AskedRangeList(before)) --asked[range];
  for (const std::string& range : AskedRangeList(site.FileRequests())) ++asked[range];
  std::set<std::string> again;
  for (const auto& [range, count] : asked) {
    if (count > 0) again.insert(range);
  }
  // The file's block index, then, of the two wrong chunks, only the 8 KiB blocks that hold the
  // wrong bytes; the last chunk, shorter than a block, whole.
  const std::string big = "\"GET /packages/R/large/1/large.bin\"bytes=";
  EXPECT_EQ(again, (std::set<std::string>{"\"GET /packages/R/large/.1.blocks\"bytes=0-98315",
                                          big + "3145728-3153919", big + "41943040-41951231",
                                          big + "67108864-67108940"}))
      << "the blocks of the three wrong bytes";
  EXPECT_TRUE(ReadFile(path) == large);

  requests = site.FileRequests().size();
  ASSERT_EQ(Run(site.ManifestHost(), "large", errors), 0) << errors;
  EXPECT_EQ(site.FileRequests().size(), requests) << "complete: nothing is fetched";
  EXPECT_NE(errors.find("every file was there and checked"), std::string::npos) << errors;
}

// Each failure ends with its documented exit status (app/exit_status.h) and says what failed.
TEST_F(HalvaneGetTest, FailuresEndWithTheirStatusAndSayWhatFailed) {
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 2);
  site.Add(temp_.Child("in"), "R", "abc", "7");
  site.Serve();
  const std::string deadHost = "127.0.0.1:" + std::to_string(test::FreeLoopbackPorts(1)[0]);

  struct Case {
    const char* name;
    std::string host;
    std::string package;
    std::vector<std::string> extra;
    int status;
    std::vector<std::string> said;
  } const cases[] = {
      {"unknown package",
       site.ManifestHost(),
       "nope",
       {},
       3,
       {"no such package or version at http://" + site.ManifestHost() + "/manifests/nope/"}},
      {"unknown version",
       site.ManifestHost(),
       "abc",
       {"--package-version", "99"},
       3,
       {"no such package or version at http://" + site.ManifestHost() + "/manifests/abc/99.xml"}},
      {"wrong partner",
       site.ManifestHost(),
       "abc",
       {"--partner", "X"},
       3,
       // The node list and the package document are fetched side by side: whichever answers
       // first names the cause.
       {"partner X", "the document is package abc of partner R|is the partner id right?"}},
      {"dead manifest host",
       deadHost,
       "abc",
       {"--retry-for", "0"},
       4,
       {deadHost + " refused the connection", "abc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string errors;
    EXPECT_EQ(Run(c.host, c.package, errors, c.extra), c.status) << errors;
    // A text with '|' is said when any of its alternatives is.
    for (const std::string& text : c.said) {
      bool said = false;
      for (std::size_t from = 0; from <= text.size();) {
        const std::size_t bar = std::min(text.find('|', from), text.size());
        said = said || errors.find(text.substr(from, bar - from)) != std::string::npos;
        from = bar + 1;
      }
      EXPECT_TRUE(said) << text << "\n" << errors;
    }
    EXPECT_FALSE(fs::exists(temp_.Child("dest/big.bin")));
  }
  std::string errors;
  EXPECT_EQ(Run(site.ManifestHost(), "abc", errors, {"--threads", "0"}), 2);
  // One line naming the fault and where to look, not the whole usage.
  EXPECT_EQ(errors,
            "halvane-get: --threads takes a number from 1 to 1024\nTry 'halvane-get --help'.\n");
}

// Publishes the input for nodes at `nodes` and serves its documents from `host`, the package
// document with `from` replaced by `to`.
void ServeDocuments(const test::TempDir& temp, const std::vector<int>& nodes,
                    test::TestHttpServer& host, const std::string& from = "",
                    const std::string& to = "") {
  std::string command = std::string("'") + HALV_PUBLISH_BINARY + "' --input '" + temp.Child("in") +
                        "' --output '" + temp.Child("www") +
                        "' --partner R --package abc --package-version 7 --name D";
  for (const int port : nodes) command += " --node 127.0.0.1:" + std::to_string(port);
  ASSERT_EQ(::system((command + " >/dev/null").c_str()), 0);
  host.Start();
  for (const char* document :
       {"/manifests/abc/current.xml", "/manifests/abc/7.xml", "/nodes/R.xml"}) {
    std::string text = ReadFile(temp.Child("www") + document);
    const std::size_t at = from.empty() ? std::string::npos : text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    host.AddContent(document, text);
  }
}

// A loopback port bound and never listened on, so that connections to it are refused, held
// until the object dies (a closed port could be taken by a server of another test meanwhile).
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

// The node is named with its host and port, the file by its path, and the cause in words.
TEST_F(HalvaneGetTest, AFailingNodeIsNamedWithTheFileAndTheCauseAndWhatWasThereIsKept) {
  struct Case {
    const char* name;
    int status;  // what the node answers for every file; 0: it refuses the connection
    const char* said;
  } const cases[] = {
      {"refused", 0, " refused the connection"},
      {"404", 404, "no such document at http://"},
      {"500", 500, " answered HTTP 500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir temp;
    for (const auto& [name, content] : files_) test::WriteFile(temp.Child("in/" + name), content);
    // The destination holds a file of the user's at a path of the package.
    test::WriteFile(temp_.Child("dest/big.bin"), "the user's notes");
    RefusingPort refusing;
    test::TestHttpServer node;
    if (c.status != 0) {
      node.Start();
      for (const char* path : {"big.bin", "tools/read%20me.txt", "empty"}) {
        test::HttpFault fault;
        fault.status = c.status;
        // A 404 is the server's own answer for a path it does not have.
        if (c.status != 404) node.SetFault(std::string("/packages/R/abc/7/") + path, fault);
      }
    }
    const int port = c.status == 0 ? refusing.port() : node.port();
    test::TestHttpServer host;
    ServeDocuments(temp, {port}, host);
    std::string errors;
    // Every node failing is the network's status, once the retries are spent.
    EXPECT_EQ(Run("127.0.0.1:" + std::to_string(host.port()), "abc", errors, {"--retry-for", "0"}),
              4);
    const std::string nodeName = "127.0.0.1:" + std::to_string(port);
    EXPECT_NE(errors.find("every download node"), std::string::npos) << errors;
    EXPECT_NE(errors.find("node " + nodeName), std::string::npos) << errors;
    EXPECT_NE(errors.find(c.said), std::string::npos) << errors;
    EXPECT_TRUE(errors.find("big.bin") != std::string::npos ||
                errors.find("tools/read me.txt") != std::string::npos)
        << errors;
    // The final line is one line.
    const std::string last = errors.substr(errors.rfind("halvane-get: "));
    EXPECT_EQ(last.find('\n'), last.size() - 1) << last;
    EXPECT_EQ(ReadFile(temp_.Child("dest/big.bin")), "the user's notes");
  }
}

TEST_F(HalvaneGetTest, PathsLeavingTheDestinationEndWithStatusOneAndAMessage) {
  for (const std::string path : {"../escape.txt", "a/../../escape.txt"}) {
    SCOPED_TRACE(path);
    test::TempDir temp;
    for (const auto& [name, content] : files_) test::WriteFile(temp.Child("in/" + name), content);
    test::TestHttpServer host;
    ServeDocuments(temp, {1}, host, "<path>tools/read me.txt</path>", "<path>" + path + "</path>");
    std::string errors;
    EXPECT_EQ(Run("127.0.0.1:" + std::to_string(host.port()), "abc", errors), 1);
    EXPECT_NE(errors.find(path), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(temp_.Child("escape.txt")));
    EXPECT_FALSE(fs::exists(temp_.Child("dest/big.bin")));
  }
}

// Publishes the input with `server` as its only node and manifest host, big.bin served slowly
// so that a run is still downloading when the test acts. Returns the host.
std::string ServeSlowly(const test::TempDir& temp, const std::map<std::string, std::string>& files,
                        test::TestHttpServer& server) {
  EXPECT_EQ(::system((std::string("'") + HALV_PUBLISH_BINARY + "' --input '" + temp.Child("in") +
                      "' --output '" + temp.Child("www") +
                      "' --partner R --package abc --package-version 7 --name D --chunk-size " +
                      std::to_string(kChunk) + " --node 127.0.0.1:1 >/dev/null")
                         .c_str()),
            0);
  server.Start();
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  std::string nodes = ReadFile(temp.Child("www/nodes/R.xml"));
  nodes.replace(nodes.find("127.0.0.1:1"), 11, host);
  server.AddContent("/nodes/R.xml", nodes);
  server.AddContent("/manifests/abc/current.xml",
                    ReadFile(temp.Child("www/manifests/abc/current.xml")));
  for (const auto& [name, content] : files) {
    std::string path = name;
    // Chunk URLs percent-encode each segment, and the test server matches them as sent.
    for (std::size_t at; (at = path.find(' ')) != std::string::npos;) path.replace(at, 1, "%20");
    server.AddContent("/packages/R/abc/7/" + path, content);
  }
  test::HttpFault slow;
  slow.dripBytes = 4096;
  slow.dripInterval = std::chrono::milliseconds(20);
  server.SetFault("/packages/R/abc/7/big.bin", slow);
  return host;
}

TEST_F(HalvaneGetTest, NoRunEndsInAFalseComplete) {
  test::TestHttpServer server;
  const std::string host = ServeSlowly(temp_, files_, server);
  const Child first = Start(host, "abc");
  ASSERT_TRUE(server.WaitForRequests(6));
  // A second run into the destination (spelt otherwise) is refused at once and names the first.
  std::string errors;
  EXPECT_EQ(Run(host, "abc", errors, {"--dest", temp_.Child("dest/.")}), 6);
  EXPECT_NE(errors.find("process " + std::to_string(first.pid)), std::string::npos) << errors;
  std::size_t records = 0;
  for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("home"))) {
    records += entry.path().extension() == ".json";
  }
  EXPECT_EQ(records, 1u) << "the refused run left no record, the running one has its own";
  // Someone's file renamed over the final name is replaced once big.bin is complete; one renamed
  // over the unfinished file makes the run fail.
  test::WriteFile(temp_.Child("other"), "1000 bytes of something else");
  fs::rename(temp_.Child("other"), temp_.Child("dest/big.bin"));
  test::WriteFile(temp_.Child("other"), "1000 bytes of something else");
  fs::rename(temp_.Child("other"), temp_.Child("dest/big.bin.halvane-part"));
  server.ClearFault("/packages/R/abc/7/big.bin");
  EXPECT_EQ(Wait(first, errors), 6);
  EXPECT_NE(errors.find("big.bin.halvane-part"), std::string::npos) << errors;
  EXPECT_EQ(ReadFile(temp_.Child("dest/big.bin")), "1000 bytes of something else");
  // The next run finds the partial file wrong, fetches what it must, and is complete.
  ASSERT_EQ(Run(host, "abc", errors), 0) << errors;
  ExpectDownloaded();
}

// The host and its nodes come up 3 s after the run starts (after its waits of 1 and 2 s): the
// run waits, says so and why, and completes; with --retry-for 0 it would have ended at once.
TEST_F(HalvaneGetTest, ANetworkThatComesUpLateIsWaitedForAndTheRunCompletes) {
  // One server is the manifest host and the node; its port refuses connections until it starts.
  test::TestHttpServer server;
  const std::string host = "127.0.0.1:" + std::to_string(server.Bind());
  ASSERT_EQ(::system((std::string("'") + HALV_PUBLISH_BINARY + "' --input '" + temp_.Child("in") +
                      "' --output '" + temp_.Child("www") +
                      "' --partner R --package abc --package-version 7 --name D --chunk-size " +
                      std::to_string(kChunk) + " --node " + host + " >/dev/null")
                         .c_str()),
            0);
  for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("www"))) {
    if (!entry.is_regular_file()) continue;
    std::string path = entry.path().string().substr(temp_.Child("www").size());
    // Chunk URLs percent-encode each segment, and the test server matches them as sent.
    for (std::size_t at; (at = path.find(' ')) != std::string::npos;) path.replace(at, 1, "%20");
    server.AddContent(path, ReadFile(entry.path().string()));
  }
  const Child child = Start(host, "abc");
  // Polls the child's stderr for its second wait; no thread of this process is synchronised.
  const auto waits = [&child] {
    const std::string errors = ReadFile(child.stderrPath);
    std::size_t count = 0;
    for (std::size_t at = 0; (at = errors.find("waiting for the network", at)) != std::string::npos;
         ++at) {
      ++count;
    }
    return count;
  };
  // A run that ended or never waits fails below rather than hanging here.
  for (int tries = 0; waits() < 2 && tries < 1500; ++tries) ::usleep(20000);
  server.Start();
  std::string errors;
  ASSERT_EQ(Wait(child, errors), 0) << errors;
  ExpectDownloaded();
  EXPECT_NE(errors.find("waiting for the network (the server " + host + " refused the connection"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("); trying again in 2 s"), std::string::npos) << errors;
}

TEST_F(HalvaneGetTest, InterruptedRunsSuspendAndTheNextRunCompletes) {
  // One slow node: the transfer is still running when the signal comes.
  test::TestHttpServer server;
  const std::string host = ServeSlowly(temp_, files_, server);

  struct Case {
    int signal;
    int status;
  } const cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGKILL, 128 + SIGKILL}};
  std::size_t before = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    const Child child = Start(host, "abc");
    // Interrupted once a few more chunks were asked for.
    ASSERT_TRUE(server.WaitForRequests(before + 6));
    ::kill(child.pid, c.signal);
    std::string errors;
    EXPECT_EQ(Wait(child, errors), c.status) << errors;
    before = server.Requests().size();
  }
  server.ClearFault("/packages/R/abc/7/big.bin");
  std::string errors;
  ASSERT_EQ(Run(host, "abc", errors), 0) << errors;
  ExpectDownloaded();
  // Chunks verified by an earlier run are not asked for again: over all four runs no chunk of
  // big.bin is asked for more often than the runs that could have been cut off during it.
  std::map<std::string, int> asked;
  for (const auto& request : server.RequestsFor("/packages/R/abc/7/big.bin")) {
    ++asked[request.range];
  }
  EXPECT_EQ(asked.size(), 41u);
  for (const auto& [range, count] : asked) EXPECT_LE(count, 4) << range;
}

TEST_F(HalvaneGetTest, AKillAtAnyPointLeavesTheUsersFilesOrVerifiedOnesAndTheRerunCompletes) {
  test::TestHttpServer server;
  const std::string host = ServeSlowly(temp_, files_, server);
  const std::map<std::string, std::string> mine = {{"big.bin", "the user's big notes"},
                                                   {"tools/read me.txt", "the user's readme"}};
  for (const auto& [path, content] : mine) test::WriteFile(temp_.Child("dest/" + path), content);
  // Killed once this many more requests reached the server: at the first document, among the
  // documents, as the first chunks are asked for, deep into the slow file.
  const std::size_t points[] = {1, 2, 5, 12};
  for (const std::size_t point : points) {
    SCOPED_TRACE(point);
    const std::size_t before = server.Requests().size();
    const Child child = Start(host, "abc");
    ASSERT_TRUE(server.WaitForRequests(before + point));
    ::kill(child.pid, SIGKILL);
    std::string errors;
    EXPECT_EQ(Wait(child, errors), 128 + SIGKILL) << errors;
    // Each of the user's files is as it was, or already the package's file, whole.
    for (const auto& [path, content] : mine) {
      const std::string now = ReadFile(temp_.Child("dest/" + path));
      EXPECT_TRUE(now == content || now == files_[path]) << path << ": " << now.size();
    }
    EXPECT_EQ(ReadFile(temp_.Child("dest/big.bin")), mine.at("big.bin"))
        << "the slow file cannot have been verified yet";
  }
  server.ClearFault("/packages/R/abc/7/big.bin");
  std::string errors;
  ASSERT_EQ(Run(host, "abc", errors), 0) << errors;
  ExpectDownloaded();
  for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("dest"))) {
    EXPECT_EQ(entry.path().string().find(".halvane-part"), std::string::npos) << entry.path();
  }
}

TEST_F(HalvaneGetTest, AKillWhileTwoCopiesOfAChunkRaceLeavesARerunTheRightFile) {
  // One chunk, served by two nodes that both send half of it and hold the rest: the first copy
  // holds, the watch asks the idle node for a racing copy, and that one holds too.
  files_ = {{"one.bin", test::PseudoRandomBytes(kChunk, 7)}};
  test::WriteFile(temp_.Child("in-race/one.bin"), files_.at("one.bin"));
  test::TestHttpServer manifests;
  test::TestHttpServer nodes[2];
  manifests.Start();
  for (auto& node : nodes) node.Start();
  ASSERT_EQ(
      ::system((std::string("'") + HALV_PUBLISH_BINARY + "' --input '" + temp_.Child("in-race") +
                "' --output '" + temp_.Child("www-race") +
                "' --partner R --package abc --package-version 7 --name D --chunk-size " +
                std::to_string(kChunk) + " --node 127.0.0.1:" + std::to_string(nodes[0].port()) +
                " --node 127.0.0.1:" + std::to_string(nodes[1].port()) + " >/dev/null")
                   .c_str()),
      0);
  const std::string path = "/packages/R/abc/7/one.bin";
  for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("www-race"))) {
    if (!entry.is_regular_file()) continue;
    const std::string served =
        "/" + fs::relative(entry.path(), temp_.Child("www-race")).generic_string();
    if (served == path) {
      for (auto& node : nodes) node.AddContent(served, ReadFile(entry.path().string()));
    } else {
      manifests.AddContent(served, ReadFile(entry.path().string()));
    }
  }
  test::HttpFault hold;
  hold.holdMidBody = true;
  for (auto& node : nodes) node.SetFault(path, hold);

  const Child child = Start("127.0.0.1:" + std::to_string(manifests.port()), "abc");
  // Killed once both copies are in flight.
  ASSERT_TRUE(nodes[0].WaitForRequests(1));
  ASSERT_TRUE(nodes[1].WaitForRequests(1));
  ::kill(child.pid, SIGKILL);
  std::string errors;
  EXPECT_EQ(Wait(child, errors), 128 + SIGKILL) << errors;
  for (auto& node : nodes) EXPECT_EQ(node.RequestsFor(path).size(), 1u);
  EXPECT_FALSE(fs::exists(temp_.Child("dest/one.bin"))) << "no copy was complete";

  for (auto& node : nodes) node.ClearFault(path);
  ASSERT_EQ(Run("127.0.0.1:" + std::to_string(manifests.port()), "abc", errors), 0) << errors;
  ExpectDownloaded();
  for (const auto& entry : fs::recursive_directory_iterator(temp_.Child("dest"))) {
    EXPECT_EQ(entry.path().string().find(".halvane-part"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace halv
