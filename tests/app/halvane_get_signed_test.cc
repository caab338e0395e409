// halvane-get with the publisher's key against signed publications on loopback: a signed
// publication downloads; a changed document, a moved signature, a missing signature and an older
// current document are refused before anything is downloaded; a node that forges chunks keeping
// their CRC-32 is caught by SHA-256; an unsigned publication still downloads without a key; and
// a manifest host over HTTPS is trusted only with the right authority.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file/crc32.h"
#include "nginx_site.h"
#include "scoped_environment.h"
#include "sign/minisign.h"
#include "sign/publication_comment.h"
#include "sign/sha256.h"
#include "temp_dir.h"
#include "test_http_server.h"

extern char** environ;

namespace halv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

constexpr std::uint32_t kChunk = 65536;
constexpr std::int64_t kPublished = 1700000000;

std::string Bytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (auto& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// Runs `argv` with `environment`, stdout and stderr to `output`; returns the exit status.
int RunProgram(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& output) {
  std::vector<std::string> args = arguments;
  std::vector<char*> argv;
  for (auto& argument : args) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = environment;
  std::vector<char*> envp;
  for (auto& variable : env) envp.push_back(variable.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// `chunk` with its first byte changed and its last four bytes chosen so that its CRC-32 stays
// the original's. The CRC of the last four bytes x is affine in x over GF(2); the 32 columns of
// that map are solved for the wanted CRC by elimination.
std::string ForgeKeepingCrc(std::string chunk) {
  const std::uint32_t target = Crc32(chunk.data(), chunk.size());
  chunk[0] = static_cast<char>(chunk[0] ^ 0x5a);
  const std::size_t at = chunk.size() - 4;
  auto crcWith = [&](std::uint32_t x) {
    for (int i = 0; i < 4; ++i) chunk[at + i] = static_cast<char>(x >> (8 * i));
    return Crc32(chunk.data(), chunk.size());
  };
  const std::uint32_t base = crcWith(0);
  // basis[b]: a column sum whose highest set bit is b, and the x that makes it.
  std::array<std::pair<std::uint32_t, std::uint32_t>, 32> basis{};
  for (int bit = 0; bit < 32; ++bit) {
    std::uint32_t value = crcWith(1u << bit) ^ base;
    std::uint32_t x = 1u << bit;
    for (int high = 31; high >= 0 && value != 0; --high) {
      if (((value >> high) & 1) == 0) continue;
      if (basis[high].first == 0) {
        basis[high] = {value, x};
        break;
      }
      value ^= basis[high].first;
      x ^= basis[high].second;
    }
  }
  std::uint32_t wanted = target ^ base;
  std::uint32_t x = 0;
  for (int high = 31; high >= 0; --high) {
    if (((wanted >> high) & 1) == 0) continue;
    wanted ^= basis[high].first;
    x ^= basis[high].second;
  }
  crcWith(x);
  return chunk;
}

class HalvaneGetSignedTest : public testing::Test {
 protected:
  void SetUp() override {
    files_ = {{"big.bin", Bytes(8 * kChunk + 5, 3)}, {"docs/read me.txt", "signed hello"}};
    fs::create_directories(temp_.Child("home"));
    // A key pair as publishers make it, unencrypted.
    ASSERT_EQ(RunProgram({HALV_MINISIGN, "-G", "-W", "-p", temp_.Child("key.pub"), "-s",
                          temp_.Child("key.sec")},
                         {"PATH=/usr/bin:/bin"}, temp_.Child("keygen.out")),
              0)
        << ReadFile(temp_.Child("keygen.out"));
    node_.Start();
  }

  std::string NodeHost(const test::TestHttpServer& server) const {
    return "127.0.0.1:" + std::to_string(server.port());
  }

  // The package document of files_, with the SHA-256s of the chunks when `sha256` is set.
  std::string PackageDocument(bool sha256) const {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package>\n  <id>abc</id>\n  <name>D</name>\n"
        "  <partnerId>R</partnerId>\n  <versionId>7</versionId>\n  <files>\n";
    for (const auto& [path, content] : files_) {
      std::string crcs;
      std::string digests;
      for (std::size_t at = 0; at < content.size(); at += kChunk) {
        const std::string chunk = content.substr(at, kChunk);
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", Crc32(chunk.data(), chunk.size()));
        crcs += hex;
        digests += Sha256Hex(Sha256(chunk));
      }
      xml += "    <file><path>" + path + "</path><chunksize>" + std::to_string(kChunk) +
             "</chunksize><size>" + std::to_string(content.size()) + "</size><checksums>" + crcs +
             "</checksums>" + (sha256 ? "<sha256>" + digests + "</sha256>" : "") + "</file>\n";
    }
    return xml + "  </files>\n</package>\n";
  }

  static std::string NodeDocument(const std::vector<std::pair<std::string, int>>& nodes) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfNodeInfo>\n";
    int id = 0;
    for (const auto& [host, weight] : nodes) {
      xml += "  <NodeInfo><NodeId>node" + std::to_string(++id) + "</NodeId><Host>" + host +
             "</Host><Path>/packages/</Path><Weight>" + std::to_string(weight) +
             "</Weight></NodeInfo>\n";
    }
    return xml + "</ArrayOfNodeInfo>\n";
  }

  std::string Sign(const std::string& document, const PublicationComment& comment) const {
    const MinisignSecretKey key =
        ReadMinisignSecretKeyFile(temp_.Child("key.sec"), [] { return std::string(); });
    return SignPublication(key, document, comment);
  }

  static PublicationComment Comment(PublicationKind kind, std::int64_t time) {
    PublicationComment comment;
    comment.kind = kind;
    if (kind == PublicationKind::kNodes) {
      comment.partner = "R";
    } else {
      comment.package = "abc";
      comment.version = "7";
    }
    comment.time = time;
    return comment;
  }

  // Serves the publication's documents on `host` (signed when `sign`, with the SHA-256s of the
  // chunks when signed or `sha256`) and its files on node_.
  void Publish(test::TestHttpServer& host, bool sign, std::int64_t time = kPublished,
               bool sha256 = false) {
    const std::string package = PackageDocument(sign || sha256);
    const std::string nodes = NodeDocument({{NodeHost(node_), 1}});
    host.AddContent("/manifests/abc/current.xml", package);
    host.AddContent("/manifests/abc/7.xml", package);
    host.AddContent("/nodes/R.xml", nodes);
    if (sign) {
      host.AddContent("/manifests/abc/current.xml.minisig",
                      Sign(package, Comment(PublicationKind::kCurrent, time)));
      host.AddContent("/manifests/abc/7.xml.minisig",
                      Sign(package, Comment(PublicationKind::kPackage, time)));
      host.AddContent("/nodes/R.xml.minisig", Sign(nodes, Comment(PublicationKind::kNodes, time)));
    }
    for (const auto& [path, content] : files_) {
      std::string encoded = path;
      for (std::size_t at; (at = encoded.find(' ')) != std::string::npos;) {
        encoded.replace(at, 1, "%20");
      }
      node_.AddContent("/packages/R/abc/7/" + encoded, content);
    }
  }

  // Runs halvane-get for package abc of partner R into `dest`; returns its exit status and
  // leaves its output in `errors`.
  int Get(const std::string& host, const std::string& dest, std::string& errors,
          const std::vector<std::string>& extra = {}, const std::string& caFile = {}) {
    std::vector<std::string> arguments = {
        HALV_GET_BINARY, "--host",          host,        "--partner", "R", "--package", "abc",
        "--dest",        temp_.Child(dest), "--threads", "4"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<std::string> environment = {"HOME=" + temp_.Child("home"),
                                            "XDG_CACHE_HOME=" + temp_.Child("home/.cache"),
                                            "XDG_DATA_HOME=" + temp_.Child("home/.local/share"),
                                            "XDG_STATE_HOME=" + temp_.Child("home/.local/state"),
                                            "PATH=/usr/bin:/bin",
                                            "HALV_ANALYTICS_URL="};
    if (!caFile.empty()) environment.push_back("HALV_CA_FILE=" + caFile);
    for (const std::string& variable : test::SanitizerEnvironment()) {
      environment.push_back(variable);
    }
    const std::string output = temp_.Child("get-" + std::to_string(++runs_) + ".out");
    const int status = RunProgram(arguments, environment, output);
    errors = ReadFile(output);
    return status;
  }

  // A test authority, a certificate it issues for 127.0.0.1 (server.pem, server.key), and an
  // unrelated authority (other.pem), in a folder of the test; returns the folder.
  std::string MakeTestAuthority() {
    const std::string pki = temp_.Child("pki");
    fs::create_directories(pki);
    const std::string script =
        "set -e; cd '" + pki +
        "'\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
        "-subj /CN=halv-test-ca\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 "
        "-subj /CN=halv-other-ca\n"
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
        "-subj /CN=127.0.0.1\n"
        "printf 'subjectAltName=IP:127.0.0.1\\n' > ext\n"
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
        "-out server.pem -days 2 -extfile ext\n";
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", script}, {"PATH=/usr/bin:/bin"}, temp_.Child("pki.out")),
              0)
        << ReadFile(temp_.Child("pki.out"));
    return pki;
  }

  std::vector<std::string> KeyOption() const { return {"--public-key", temp_.Child("key.pub")}; }

  void ExpectDownloaded(const std::string& dest) {
    for (const auto& [path, content] : files_) {
      SCOPED_TRACE(path);
      EXPECT_TRUE(ReadFile(temp_.Child(dest + "/" + path)) == content);
    }
  }

  test::TempDir temp_;
  std::map<std::string, std::string> files_;
  test::TestHttpServer node_;
  int runs_ = 0;
};

TEST_F(HalvaneGetSignedTest, SignedPublicationVerifiesWithMinisignAndDownloads) {
  test::TestHttpServer host;
  host.Start();
  Publish(host, true);
  // The signatures are minisign's own: the minisign command accepts them.
  WriteFile(temp_.Child("check/current.xml"), PackageDocument(true));
  WriteFile(temp_.Child("check/current.xml.minisig"),
            Sign(PackageDocument(true), Comment(PublicationKind::kCurrent, kPublished)));
  ASSERT_EQ(RunProgram({HALV_MINISIGN, "-V", "-q", "-p", temp_.Child("key.pub"), "-m",
                        temp_.Child("check/current.xml")},
                       {"PATH=/usr/bin:/bin"}, temp_.Child("verify.out")),
            0)
      << ReadFile(temp_.Child("verify.out"));

  std::string errors;
  ASSERT_EQ(Get(NodeHost(host), "dest", errors, KeyOption()), 0) << errors;
  ExpectDownloaded("dest");
  EXPECT_EQ(host.RequestsFor("/manifests/abc/current.xml.minisig").size(), 1u);
  EXPECT_EQ(host.RequestsFor("/nodes/R.xml.minisig").size(), 1u);
  // The accepted publication time is remembered in the data folder.
  const std::string record =
      ReadFile(temp_.Child("home/.local/state/halvane-delivery/publications"));
  EXPECT_EQ(record, "abc " + std::to_string(kPublished) + "\n");

  // A second run finds every chunk on disk by its SHA-256 and asks the node for nothing.
  const std::size_t requests = node_.Requests().size();
  ASSERT_EQ(Get(NodeHost(host), "dest", errors, KeyOption()), 0) << errors;
  EXPECT_EQ(node_.Requests().size(), requests);
}

TEST_F(HalvaneGetSignedTest, UnsignedPublicationDownloadsWithoutKeyAndIsRefusedWithOne) {
  test::TestHttpServer host;
  host.Start();
  Publish(host, false);
  std::string errors;
  ASSERT_EQ(Get(NodeHost(host), "dest", errors), 0) << errors;
  ExpectDownloaded("dest");
  EXPECT_TRUE(host.RequestsFor("/manifests/abc/current.xml.minisig").empty())
      << "a build without a key asks for no signature";

  EXPECT_EQ(Get(NodeHost(host), "keyed", errors, KeyOption()), 5);
  EXPECT_NE(errors.find("the publication is not signed"), std::string::npos) << errors;
  EXPECT_FALSE(fs::exists(temp_.Child("keyed/big.bin")));
}

TEST_F(HalvaneGetSignedTest, ForgedDocumentsAreRefusedBeforeAnythingIsDownloaded) {
  test::TestHttpServer host;
  host.Start();
  Publish(host, true);
  // A first run accepts the publication of kPublished.
  std::string errors;
  ASSERT_EQ(Get(NodeHost(host), "first", errors, KeyOption()), 0) << errors;
  const std::string package = PackageDocument(true);
  const std::string nodes = NodeDocument({{NodeHost(node_), 1}});

  struct Case {
    const char* name;
    std::function<void(test::TestHttpServer&)> change;
    const char* said;
  } const cases[] = {
      {"one byte of the package document changed",
       [&](test::TestHttpServer& server) {
         std::string changed = package;
         changed[changed.find("<name>D") + 6] = 'E';
         server.AddContent("/manifests/abc/current.xml", changed);
       },
       "the publication is not authentic"},
      {"one byte of the node list changed",
       [&](test::TestHttpServer& server) {
         std::string changed = nodes;
         changed[changed.find("<Weight>1") + 8] = '2';
         server.AddContent("/nodes/R.xml", changed);
       },
       "the publication is not authentic"},
      {"the signature of version 7's document served for the current one",
       [&](test::TestHttpServer& server) {
         server.AddContent("/manifests/abc/current.xml.minisig",
                           Sign(package, Comment(PublicationKind::kPackage, kPublished)));
       },
       "the publication is not authentic"},
      {"a signature by another key",
       [&](test::TestHttpServer& server) {
         ASSERT_EQ(RunProgram({HALV_MINISIGN, "-G", "-W", "-p", temp_.Child("other.pub"), "-s",
                               temp_.Child("other.sec")},
                              {"PATH=/usr/bin:/bin"}, temp_.Child("other.out")),
                   0);
         const MinisignSecretKey other =
             ReadMinisignSecretKeyFile(temp_.Child("other.sec"), [] { return std::string(); });
         server.AddContent(
             "/manifests/abc/current.xml.minisig",
             SignPublication(other, package, Comment(PublicationKind::kCurrent, kPublished)));
       },
       "the publication is not authentic"},
      {"the node list's signature missing",
       [&](test::TestHttpServer& server) { server.SetFault("/nodes/R.xml.minisig", {404}); },
       "the publication is not signed"},
      {"an older signed current document",
       [&](test::TestHttpServer& server) {
         server.AddContent("/manifests/abc/current.xml.minisig",
                           Sign(package, Comment(PublicationKind::kCurrent, kPublished - 60)));
       },
       "rollback"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TestHttpServer forged;
    forged.Start();
    Publish(forged, true);
    c.change(forged);
    const std::size_t requests = node_.Requests().size();
    const std::string dest = "refused" + std::to_string(++index);
    EXPECT_EQ(Get(NodeHost(forged), dest, errors, KeyOption()), 5);
    EXPECT_NE(errors.find(c.said), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(temp_.Child(dest + "/big.bin")));
    EXPECT_EQ(node_.Requests().size(), requests) << "nothing was asked of the node";
  }

  // An explicitly requested version may be older than what was accepted.
  test::TestHttpServer older;
  older.Start();
  Publish(older, true, kPublished - 60);
  ASSERT_EQ(Get(NodeHost(older), "explicit", errors,
                {"--package-version", "7", KeyOption()[0], KeyOption()[1]}),
            0)
      << errors;
  ExpectDownloaded("explicit");
}

// The record an earlier release kept in the cache is carried over, so a rollback stays refused.
TEST_F(HalvaneGetSignedTest, AnEarlierReleasesRecordMovesToTheStateFolderAndStillRefusesRollback) {
  const std::string old = temp_.Child("home/.cache/Mirthwell Technologies/Halvane Delivery");
  const std::string record = "abc " + std::to_string(kPublished) + "\n";
  WriteFile(old + "/publications", record);
  WriteFile(old + "/transfers/t1.json", "{}\n");
  test::TestHttpServer older;
  older.Start();
  Publish(older, true, kPublished - 60);
  std::string errors;
  EXPECT_EQ(Get(NodeHost(older), "older", errors, KeyOption()), 5);
  EXPECT_NE(errors.find("rollback"), std::string::npos) << errors;
  const std::string state = temp_.Child("home/.local/state/halvane-delivery");
  EXPECT_EQ(ReadFile(state + "/publications"), record);
  EXPECT_EQ(ReadFile(state + "/transfers/t1.json"), "{}\n");
  EXPECT_FALSE(fs::exists(temp_.Child("home/.cache/Mirthwell Technologies")))
      << "the emptied folders of the old layout are gone";
}

// Signed or not: a node alone must not be able to change what is accepted.
TEST_F(HalvaneGetSignedTest, ChunksForgedToKeepTheirCrcAreCaughtBySha256SignedOrNot) {
  // The forging node serves every chunk of big.bin changed, each with its CRC-32 kept.
  const std::string& big = files_.at("big.bin");
  std::string forgedBig;
  for (std::size_t at = 0; at < big.size(); at += kChunk) {
    const std::string chunk = big.substr(at, kChunk);
    const std::string forged = ForgeKeepingCrc(chunk);
    ASSERT_NE(forged, chunk);
    ASSERT_EQ(Crc32(forged.data(), forged.size()), Crc32(chunk.data(), chunk.size()));
    forgedBig += forged;
  }
  test::TestHttpServer forger;
  forger.Start();
  forger.AddContent("/packages/R/abc/7/big.bin", forgedBig);
  forger.AddContent("/packages/R/abc/7/docs/read%20me.txt", files_.at("docs/read me.txt"));

  for (const bool sign : {true, false}) {
    SCOPED_TRACE(sign ? "signed" : "unsigned, with SHA-256s");
    test::TestHttpServer host;
    host.Start();
    Publish(host, sign, kPublished, true);
    // The forger is favoured, so that it serves chunks; the honest node must repair them.
    const std::string nodes = NodeDocument({{NodeHost(forger), 5}, {NodeHost(node_), 1}});
    host.AddContent("/nodes/R.xml", nodes);
    if (sign) {
      host.AddContent("/nodes/R.xml.minisig",
                      Sign(nodes, Comment(PublicationKind::kNodes, kPublished)));
    }
    const std::size_t forgedBefore = forger.RequestsFor("/packages/R/abc/7/big.bin").size();
    const std::string dest = sign ? "signed" : "unsigned";
    std::string errors;
    ASSERT_EQ(Get(NodeHost(host), dest, errors, sign ? KeyOption() : std::vector<std::string>{}), 0)
        << errors;
    ExpectDownloaded(dest);
    EXPECT_GT(forger.RequestsFor("/packages/R/abc/7/big.bin").size(), forgedBefore)
        << "the forger served chunks, and each was caught";
  }
}

// An HTTPS manifest host: openssl s_server with a certificate of a test authority.
class TlsServer {
 public:
  // Serves the files below `root` on a free loopback port with `cert` and `key`.
  TlsServer(const std::string& root, const std::string& cert, const std::string& key,
            const std::string& log) {
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
      port_ = test::FreeLoopbackPorts(1)[0];
      std::vector<std::string> arguments = {"/usr/bin/openssl",
                                            "s_server",
                                            "-WWW",
                                            "-quiet",
                                            "-accept",
                                            "127.0.0.1:" + std::to_string(port_),
                                            "-cert",
                                            cert,
                                            "-key",
                                            key};
      std::vector<char*> argv;
      for (auto& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addchdir_np(&actions, root.c_str());
      posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                       0644);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
      pid_t pid = -1;
      const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      if (spawned != 0) continue;
      if (WaitUntilListening(pid)) {
        pid_ = pid;
      } else {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
      }
    }
  }
  ~TlsServer() {
    if (pid_ < 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  bool running() const { return pid_ > 0; }
  int port() const { return port_; }

 private:
  // Polls until the port accepts a connection or the server exits (the port was taken).
  bool WaitUntilListening(pid_t pid) const {
    for (;;) {
      if (::waitpid(pid, nullptr, WNOHANG) == pid) return false;
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(port_));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool connected =
          ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
      ::close(fd);
      if (connected) return true;
      ::usleep(20000);  // polling a child's start-up, not synchronising threads
    }
  }

  pid_t pid_ = -1;
  int port_ = 0;
};

TEST_F(HalvaneGetSignedTest, HttpsManifestHostIsTrustedOnlyWithItsAuthority) {
  const std::string pki = MakeTestAuthority();

  // The documents as files for s_server, which serves whole files; the node stays plain HTTP.
  const std::string www = temp_.Child("www");
  WriteFile(www + "/manifests/abc/current.xml", PackageDocument(false));
  WriteFile(www + "/nodes/R.xml", NodeDocument({{NodeHost(node_), 1}}));
  test::TestHttpServer unused;
  Publish(unused, false);  // registers the files on the node

  TlsServer server(www, pki + "/server.pem", pki + "/server.key", temp_.Child("s_server.log"));
  ASSERT_TRUE(server.running()) << ReadFile(temp_.Child("s_server.log"));
  const std::string host = "https://127.0.0.1:" + std::to_string(server.port());

  std::string errors;
  // A host that cannot prove who it is: not authentic, and not retried.
  EXPECT_EQ(Get(host, "wrong", errors, {}, pki + "/other.pem"), 5) << errors;
  EXPECT_FALSE(fs::exists(temp_.Child("wrong/big.bin")));
  EXPECT_TRUE(node_.Requests().empty());

  ASSERT_EQ(Get(host, "dest", errors, {}, pki + "/ca.pem"), 0) << errors;
  ExpectDownloaded("dest");
}

TEST_F(HalvaneGetSignedTest, ChunksComeOverHttpsFromNginxNodes) {
  // nginx serves the manifest host and both nodes over TLS; chunks are ranged requests over it.
  const std::string pki = MakeTestAuthority();
  for (const auto& [path, content] : files_) WriteFile(temp_.Child("in/" + path), content);
  test::NginxSite site(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 2);
  site.UseTls(pki + "/server.pem", pki + "/server.key");
  site.Add(temp_.Child("in"), "R", "abc", "7", "--chunk-size " + std::to_string(kChunk));
  site.Serve();
  ASSERT_EQ(site.ManifestHost().rfind("https://", 0), 0u);

  std::string errors;
  EXPECT_EQ(Get(site.ManifestHost(), "wrong", errors, {}, pki + "/other.pem"), 5) << errors;
  EXPECT_TRUE(site.FileRequests().empty()) << "nothing is fetched from an untrusted host";
  ASSERT_EQ(Get(site.ManifestHost(), "dest", errors, {}, pki + "/ca.pem"), 0) << errors;
  ExpectDownloaded("dest");
  EXPECT_EQ(site.FileRequests().size(), 10u) << "9 chunks of big.bin and one of read me.txt";
}

}  // namespace
}  // namespace halv
