// A folder published by halvane-publish and served by tools/serve-nginx, fetched back through
// the manifest factories and ranged chunk requests, as the updater fetches it.

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "http/http_proxy.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "http/http_stringstream_writer.h"
#include "manifest/manifest_exception.h"
#include "manifest/node_list_manifest_factory.h"
#include "manifest/package_manifest_factory.h"
#include "nginx_site.h"
#include "temp_dir.h"

namespace halv {
namespace {

using test::ReadFile;

class DirectProxyFactory : public HttpProxyFactory {
 public:
  std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

// `count` distinct loopback ports that were free a moment ago.
class ServeNginxTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(temp_.Child("in/bin"));
    content_ = test::PseudoRandomBytes(2 * 65536 + 100, 12345);
    std::ofstream(temp_.Child("in/bin/app"), std::ios::binary) << content_;
    std::ofstream(temp_.Child("in/read me.txt"), std::ios::binary) << "hello";

    ports_ = test::FreeLoopbackPorts(3);
    const std::string publish = std::string(HALV_PUBLISH_BINARY) + " --input " + temp_.Child("in") +
                                " --output " + temp_.Child("www") +
                                " --partner R --package abc --package-version 7 --name Demo --run "
                                "bin/app --chunk-size 65536" +
                                " --node 127.0.0.1:" + std::to_string(ports_[1]) +
                                "=2 --node 127.0.0.1:" + std::to_string(ports_[2]) + " >/dev/null";
    ASSERT_EQ(::system(publish.c_str()), 0);
    const std::string start =
        std::string(HALV_SERVE_NGINX) + " start --root " + temp_.Child("www") + " --state " +
        temp_.Child("nginx") + " --manifest-port " + std::to_string(ports_[0]) + " --node-port " +
        std::to_string(ports_[1]) + " --node-port " + std::to_string(ports_[2]) + " >/dev/null";
    ASSERT_EQ(::system(start.c_str()), 0) << ReadFile(temp_.Child("nginx/error.log"));
    started_ = true;
  }

  void TearDown() override {
    if (started_) {
      const std::string stop =
          std::string(HALV_SERVE_NGINX) + " stop --state " + temp_.Child("nginx");
      EXPECT_EQ(::system(stop.c_str()), 0);
    }
  }

  std::string ManifestHost() const { return "127.0.0.1:" + std::to_string(ports_[0]); }

  test::TempDir temp_;
  std::vector<int> ports_;
  std::string content_;
  bool started_ = false;
  DirectProxyFactory proxies_;
  CurlHttpRequestFactory requests_{proxies_};
};

TEST_F(ServeNginxTest, PublishedFolderIsFetchedAndReadBackByTheFactories) {
  XmlHttpPackageManifestFactory packages(ManifestHost(), requests_, 5, 10);
  XmlHttpNodeListManifestFactory nodes(ManifestHost(), requests_, 5, 10);
  const auto session = RoundRobinHttpSessionFactory().Create();

  const auto current = packages.Create("abc", session);
  const auto versioned = packages.Create("abc/7");
  EXPECT_EQ(current->GetVersionId(), "7");
  EXPECT_EQ(versioned->GetFiles().size(), 2u);
  EXPECT_THROW(packages.Create("abc/8"), ManifestLocatorException);
  EXPECT_THROW(packages.Create("nothing"), ManifestLocatorException);

  const auto list = nodes.Create("R", session);
  ASSERT_EQ(list->GetNodes().size(), 2u);
  EXPECT_EQ(list->GetNodes()[0]->GetWeight(), 2);
  EXPECT_EQ(list->GetTotalWeight(), 3u);

  // Every chunk of the run file from every node, in one session, as ranged requests.
  const auto run = current->GetRunFile();
  ASSERT_TRUE(run);
  ASSERT_EQ(run->GetChunkCount(), 3u);
  for (const auto& node : list->GetNodes()) {
    SCOPED_TRACE(node->GetHost());
    for (std::uint32_t chunk = 0; chunk < run->GetChunkCount(); ++chunk) {
      const std::uint64_t start = std::uint64_t{chunk} * run->GetChunkSize();
      const std::uint64_t end =
          std::min<std::uint64_t>(start + run->GetChunkSize(), run->GetSize());
      std::stringstream body;
      HttpStringstreamWriter writer(&body);
      HttpRequestParams params(
          "http://" + node->GetHost() + node->GetPath() + "R/abc/7/" + run->GetPath(), &writer);
      params.rangeStart = start;
      params.rangeEnd = end - 1;
      const auto status = requests_.CreateRequest(params, session)->Perform();
      ASSERT_EQ(status.result, HttpRequestResult::Success) << status.errorDetails;
      EXPECT_EQ(status.responseCode, 206);
      const std::string bytes = body.str();
      EXPECT_EQ(bytes, content_.substr(start, end - start));
      EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()),
                run->GetChecksums()[chunk]);
    }
  }

  // The chunk requests of one node went over one kept-alive connection.
  for (int node = 1; node <= 2; ++node) {
    const std::string log =
        ReadFile(temp_.Child("nginx/access-" + std::to_string(ports_[node]) + ".log"));
    EXPECT_NE(log.find("\"bytes=65536-131071\" connection="), std::string::npos) << log;
    EXPECT_NE(log.find(" request=3"), std::string::npos) << log;
  }
}

TEST_F(ServeNginxTest, FileNamesWithSpacesAreServed) {
  XmlHttpPackageManifestFactory packages(ManifestHost(), requests_, 5, 10);
  const auto manifest = packages.Create("abc/7");
  std::string path;
  for (const auto& file : manifest->GetFiles()) {
    if (file->GetPath() != "bin/app") path = file->GetPath();
  }
  ASSERT_EQ(path, "read me.txt");
  std::stringstream body;
  HttpStringstreamWriter writer(&body);
  HttpRequestParams params(
      "http://127.0.0.1:" + std::to_string(ports_[2]) + "/packages/R/abc/7/read%20me.txt", &writer);
  EXPECT_EQ(requests_.CreateRequest(params, nullptr)->Perform().result, HttpRequestResult::Success);
  EXPECT_EQ(body.str(), "hello");
}

int RunServeNginx(const std::string& arguments, std::string* output = nullptr) {
  const std::string command = std::string(HALV_SERVE_NGINX) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    text.append(buffer, got);
  }
  const int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Single-quoted for the shell.
std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

TEST(ServeNginxCommandTest, StopRefusesAProcessThatIsNotItsNginx) {
  test::TempDir temp;
  std::filesystem::create_directories(temp.Child("st"));
  const pid_t sleeper = ::fork();
  if (sleeper == 0) {
    ::execlp("sleep", "sleep", "1000", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(sleeper, 0);
  std::ofstream(temp.Child("st/nginx.pid")) << sleeper << "\n";
  std::string output;
  EXPECT_EQ(RunServeNginx("stop --state " + ShellQuote(temp.Child("st")), &output), 1);
  EXPECT_NE(output.find("not stopping it"), std::string::npos) << output;
  EXPECT_EQ(::kill(sleeper, 0), 0) << "the process named by the PID file was stopped";
  ::kill(sleeper, SIGKILL);
  ::waitpid(sleeper, nullptr, 0);
}

TEST(ServeNginxCommandTest, ServesFoldersWhosePathsHoldQuotesDollarsAndSpaces) {
  test::TempDir temp;
  int round = 0;
  for (const char* root : {"root$uri", "root\"q", "root 'x' \\n"}) {
    SCOPED_TRACE(root);
    const std::string state = temp.Child("st \"5\" " + std::to_string(round++));
    std::filesystem::create_directories(temp.Child(root));
    std::ofstream(temp.Child(std::string(root) + "/a.txt")) << "served";
    const std::string port = std::to_string(test::FreeLoopbackPorts(1)[0]);
    std::string output;
    ASSERT_EQ(RunServeNginx("start --root " + ShellQuote(temp.Child(root)) + " --state " +
                                ShellQuote(state) + " --manifest-port " + port,
                            &output),
              0)
        << output << ReadFile(state + "/error.log");
    EXPECT_NE(output.find("\nmanifest host: http://127.0.0.1:" + port + "/\n"), std::string::npos)
        << output;
    DirectProxyFactory proxies;
    CurlHttpRequestFactory requests(proxies);
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    HttpRequestParams params("http://127.0.0.1:" + port + "/a.txt", &writer);
    const auto status = requests.CreateRequest(params, nullptr)->Perform();
    EXPECT_EQ(status.responseCode, 200);
    EXPECT_EQ(body.str(), "served");
    EXPECT_EQ(RunServeNginx("stop --state " + ShellQuote(state), &output), 0) << output;
  }
}

TEST(ServeNginxCommandTest, RefusesUnusualAndDuplicatePorts) {
  test::TempDir temp;
  const std::string port = std::to_string(test::FreeLoopbackPorts(1)[0]);
  for (const std::string& ports : std::vector<std::string>{"08", "0", "65536", "+80", "8e1", "0x50",
                                                           port + " --node-port " + port}) {
    SCOPED_TRACE(ports);
    std::string output;
    EXPECT_EQ(RunServeNginx("start --root " + ShellQuote(temp.path()) + " --state " +
                                ShellQuote(temp.Child("st")) + " --manifest-port " + ports,
                            &output),
              1)
        << output;
    EXPECT_FALSE(std::filesystem::exists(temp.Child("st/nginx.pid")));
  }
}

// Makes a self-signed certificate for 127.0.0.1 with `openssl req -x509` into CERT and KEY.
void MakeCertificate(const std::string& cert, const std::string& key, const std::string& name) {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "
      "/CN=" +
      name + " -addext subjectAltName=IP:" + name + " -keyout " + ShellQuote(key) + " -out " +
      ShellQuote(cert) + " >/dev/null 2>&1";
  ASSERT_EQ(::system(command.c_str()), 0);
}

// curl's verdict on `url`: its exit status, and the HTTP status and body when it got them.
struct CurlOutcome {
  int status = -1;
  std::string httpStatus;  // "000" when there was no response
  std::string body;
};

CurlOutcome Curl(const std::string& arguments, const std::string& bodyFile) {
  // -q: no ~/.curlrc; the certificates trusted are the system's or those the test hands over.
  const std::string command = "curl -q -s --max-time 20 -w '%{http_code}' -o " +
                              ShellQuote(bodyFile) + " " + arguments + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  CurlOutcome outcome;
  if (pipe == nullptr) return outcome;
  char buffer[64];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    outcome.httpStatus.append(buffer, got);
  }
  const int status = ::pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(bodyFile, std::ios::binary);
  outcome.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::filesystem::remove(bodyFile);
  return outcome;
}

TEST(ServeNginxCommandTest, ServesEveryPortOverTlsWithTheGivenCertificate) {
  test::TempDir temp;
  std::filesystem::create_directories(temp.Child("www/nodes"));
  std::ofstream(temp.Child("www/nodes/R.xml"), std::ios::binary) << "<ArrayOfNodeInfo/>";
  MakeCertificate(temp.Child("site.crt"), temp.Child("site.key"), "127.0.0.1");
  MakeCertificate(temp.Child("stranger.crt"), temp.Child("stranger.key"), "127.0.0.1");
  std::vector<int> ports;
  std::string output;
  bool started = false;
  // Another process may take a port between the look-up and nginx's bind: then try others.
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    ports = test::FreeLoopbackPorts(2);
    started =
        RunServeNginx("start --root " + ShellQuote(temp.Child("www")) + " --state " +
                          ShellQuote(temp.Child("st")) + " --manifest-port " +
                          std::to_string(ports[0]) + " --node-port " + std::to_string(ports[1]) +
                          " --tls-cert " + ShellQuote(temp.Child("site.crt")) + " --tls-key " +
                          ShellQuote(temp.Child("site.key")),
                      &output) == 0;
  }
  ASSERT_TRUE(started) << output << ReadFile(temp.Child("st/error.log"));

  const std::string body = temp.Child("body");
  for (const int port : ports) {
    SCOPED_TRACE(port);
    const std::string path = "127.0.0.1:" + std::to_string(port) + "/nodes/R.xml";
    const CurlOutcome fetched =
        Curl("--cacert " + ShellQuote(temp.Child("site.crt")) + " https://" + path, body);
    EXPECT_EQ(fetched.status, 0);
    EXPECT_EQ(fetched.httpStatus, "200");
    EXPECT_EQ(fetched.body, "<ArrayOfNodeInfo/>");
    // Plain HTTP gets an error, never the document.
    const CurlOutcome plain = Curl("http://" + path, body);
    EXPECT_EQ(plain.httpStatus, "400");
    EXPECT_EQ(plain.body.find("ArrayOfNodeInfo"), std::string::npos) << plain.body;
    // A client that trusts another certificate, or only the system's store, refuses the server.
    EXPECT_EQ(Curl("--cacert " + ShellQuote(temp.Child("stranger.crt")) + " https://" + path, body)
                  .status,
              60);
    EXPECT_EQ(Curl("https://" + path, body).status, 60);
  }
  EXPECT_EQ(RunServeNginx("stop --state " + ShellQuote(temp.Child("st")), &output), 0) << output;
  // The key's copy in the state folder is the caller's alone.
  struct stat info {};
  ASSERT_EQ(::stat(temp.Child("st/tls-key.pem").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST(ServeNginxCommandTest, RefusesAnIncompleteOrUnreadableCertificate) {
  test::TempDir temp;
  std::ofstream(temp.Child("c.pem")) << "x";
  const std::string port = std::to_string(test::FreeLoopbackPorts(1)[0]);
  const std::string start = "start --root " + ShellQuote(temp.path()) + " --state " +
                            ShellQuote(temp.Child("st")) + " --manifest-port " + port;
  for (const std::string& tls : {" --tls-cert " + ShellQuote(temp.Child("c.pem")),
                                 " --tls-key " + ShellQuote(temp.Child("c.pem")),
                                 " --tls-cert " + ShellQuote(temp.Child("c.pem")) + " --tls-key " +
                                     ShellQuote(temp.Child("missing.pem"))}) {
    SCOPED_TRACE(tls);
    std::string output;
    EXPECT_EQ(RunServeNginx(start + tls, &output), 1) << output;
    EXPECT_FALSE(std::filesystem::exists(temp.Child("st/nginx.pid")));
  }
}

}  // namespace
}  // namespace halv
