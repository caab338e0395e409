// Signed publications: every document beside its minisign signature, checked with the real
// minisign command, the SHA-256 of every chunk, and the publisher's rules when signing fails.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/xml_manifest_parser.h"
#include "publisher.h"
#include "scoped_environment.h"
#include "sign/minisign.h"
#include "sign/publication_comment.h"
#include "sign/sign_password.h"
#include "sign/signature_error.h"
#include "temp_dir.h"

namespace halv::publish {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

// Single-quoted for the shell.
std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error
};

Outcome RunShell(const std::string& command) {
  Outcome outcome;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    outcome.output.append(buffer, got);
  }
  const int status = ::pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// The expected digests, by OpenSSL's EVP interface rather than by the routine under test, as
// lowercase hexadecimal.
std::string Sha256Of(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr), 1);
  std::string hex;
  char digits[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", digest[i]);
    hex += digits;
  }
  return hex;
}

// Every entry below `folder` that a publication left as temporary.
std::vector<std::string> Temporaries(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".halv-tmp-") != std::string::npos) found.push_back(entry.path().string());
  }
  return found;
}

// The child elements `name` of every file of a package document, by path.
std::map<std::string, std::optional<std::string>> FileChildren(const fs::path& document,
                                                               const std::string& name) {
  std::ifstream stream(document, std::ios::binary);
  boost::property_tree::ptree tree;
  ParseXmlManifest(stream, tree);
  std::map<std::string, std::optional<std::string>> children;
  for (const auto& file : tree.get_child("package.files")) {
    const auto child = file.second.get_child_optional(name);
    children[file.second.get<std::string>("path")] =
        child ? std::optional<std::string>(child->data()) : std::nullopt;
  }
  return children;
}

// Makes keys with the real minisign command in a private home, and publishes with them.
class SignedPublicationTest : public testing::Test {
 protected:
  SignedPublicationTest() : input_(temp_.Child("in")), output_(temp_.Child("out")) {
    fs::create_directories(input_);
    options_.input = input_.string();
    options_.output = output_.string();
    options_.partner = "R";
    options_.package = "abc";
    options_.version = "7";
    options_.name = "Demo";
    options_.chunkSize = 4096;
    options_.nodes = {ParseNode("127.0.0.1:8081")};
  }

  // Makes NAME.pub and NAME.key; the key is encrypted with `password` unless it is empty.
  void MakeKeys(const std::string& name, const std::string& password = "") {
    WriteFile(temp_.Child("answers"), password + "\n" + password + "\n");
    const Outcome outcome =
        RunShell(std::string(HALV_MINISIGN) + " -G -p " + ShellQuote(Pub(name)) + " -s " +
                 ShellQuote(Key(name)) + (password.empty() ? " -W" : "") + " <" +
                 ShellQuote(temp_.Child("answers")));
    ASSERT_EQ(outcome.status, 0) << outcome.output;
  }

  std::shared_ptr<const DocumentSigner> Signer(const std::string& name) {
    return std::make_shared<MinisignDocumentSigner>(
        ReadMinisignSecretKeyFile(Key(name), [] { return std::string(); }));
  }

  // What `minisign -Vm DOCUMENT -p NAME.pub` says of the document's signature.
  Outcome MinisignVerifies(const std::string& name, const fs::path& document) {
    return RunShell(std::string(HALV_MINISIGN) + " -V -m " + ShellQuote(document.string()) +
                    " -p " + ShellQuote(Pub(name)));
  }

  // The trusted comment of the document's signature, read back by the updater's side.
  PublicationComment SignedComment(const std::string& name, const fs::path& document,
                                   const PublicationComment& expected) {
    const std::string signature = ReadFile(document.string() + ".minisig");
    return VerifyPublication(ReadFile(document.string()), signature,
                             {ReadMinisignPublicKeyFile(Pub(name))}, expected);
  }

  std::string Pub(const std::string& name) const { return temp_.Child(name + ".pub"); }
  std::string Key(const std::string& name) const { return temp_.Child(name + ".key"); }
  fs::path Out(const std::string& relative) const { return output_ / relative; }

  test::TempDir temp_;
  test::ScopedEnvironmentVariable home_{"HOME", temp_.path()};
  test::ScopedEnvironmentVariable dataHome_{"XDG_DATA_HOME", temp_.Child("data")};
  test::ScopedEnvironmentVariable stateHome_{"XDG_STATE_HOME", temp_.Child("state")};
  test::ScopedEnvironmentVariable cacheHome_{"XDG_CACHE_HOME", temp_.Child("cache")};
  test::ScopedEnvironmentVariable password_{kSignPasswordVariable, std::nullopt};
  fs::path input_;
  fs::path output_;
  PublishOptions options_;
};

TEST_F(SignedPublicationTest, MinisignAcceptsEverySignatureAndEachNamesItsDocument) {
  MakeKeys("k");
  WriteFile(input_ / "bin/app", Bytes(3 * 4096 + 5, 1));
  WriteFile(input_ / "empty", "");
  const std::int64_t before = std::time(nullptr);
  const Outcome published = RunShell(
      std::string(HALV_PUBLISH_BINARY) + " --input " + ShellQuote(input_.string()) + " --output " +
      ShellQuote(output_.string()) +
      " --partner R --package abc --package-version 7 --name Demo --chunk-size 4096 --sign " +
      ShellQuote(Key("k")) + " --node https://127.0.0.1:8443/files=2 --node 127.0.0.1:8081");
  ASSERT_EQ(published.status, 0) << published.output;
  const std::int64_t after = std::time(nullptr);

  PublicationComment package;
  package.kind = PublicationKind::kPackage;
  package.package = "abc";
  package.version = "7";
  PublicationComment current = package;
  current.kind = PublicationKind::kCurrent;
  PublicationComment nodes;
  nodes.kind = PublicationKind::kNodes;
  nodes.partner = "R";
  const struct {
    const char* document;
    PublicationComment expected;
    const char* trustedComment;
  } cases[] = {
      {"manifests/abc/7.xml", package, "halvane-publication kind=package package=abc version=7"},
      {"manifests/abc/current.xml", current,
       "halvane-publication kind=current package=abc version=7"},
      {"nodes/R.xml", nodes, "halvane-publication kind=nodes partner=R"},
  };
  std::int64_t time = -1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    const Outcome verified = MinisignVerifies("k", Out(c.document));
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_NE(verified.output.find(std::string("Trusted comment: ") + c.trustedComment + " time="),
              std::string::npos)
        << verified.output;
    const PublicationComment got = SignedComment("k", Out(c.document), c.expected);
    EXPECT_GE(got.time, before);
    EXPECT_LE(got.time, after);
    // One publication, one time.
    if (time >= 0) {
      EXPECT_EQ(got.time, time);
    }
    time = got.time;
  }
  // A signature does not hold for another document.
  EXPECT_THROW(SignedComment("k", Out("manifests/abc/current.xml"), package), SignatureError);

  const std::string nodeList = ReadFile(Out("nodes/R.xml"));
  EXPECT_NE(nodeList.find("<Host>https://127.0.0.1:8443</Host><Path>/files/</Path>"
                          "<Weight>2</Weight>"),
            std::string::npos)
      << nodeList;
  EXPECT_NE(nodeList.find("<Host>127.0.0.1:8081</Host>"), std::string::npos) << nodeList;
}

TEST_F(SignedPublicationTest, Sha256OfEveryChunkBesideTheCrc32s) {
  MakeKeys("k");
  const std::map<std::string, std::string> contents = {
      {"multi", Bytes(3 * 4096 + 5, 2)},
      {"exact", Bytes(2 * 4096, 3)},
      {"one", "x"},
      {"empty", ""},
  };
  for (const auto& [path, bytes] : contents) WriteFile(input_ / path, bytes);
  options_.signer = Signer("k");
  Publish(options_);

  const auto sha256s = FileChildren(Out("manifests/abc/7.xml"), "sha256");
  const auto checksums = FileChildren(Out("manifests/abc/7.xml"), "checksums");
  ASSERT_EQ(sha256s.size(), contents.size());
  for (const auto& [path, bytes] : contents) {
    SCOPED_TRACE(path);
    std::string expected;
    std::string crcs;
    char digits[9];
    for (std::size_t offset = 0; offset < bytes.size(); offset += 4096) {
      const std::string chunk = bytes.substr(offset, 4096);
      expected += Sha256Of(chunk);
      std::snprintf(digits, sizeof digits, "%08lx",
                    crc32(0, reinterpret_cast<const Bytef*>(chunk.data()), chunk.size()));
      crcs += digits;
    }
    // 64 lowercase hexadecimal digits per chunk in chunk order, no separators; an empty
    // element for a file without chunks.
    ASSERT_TRUE(sha256s.at(path).has_value());
    EXPECT_EQ(*sha256s.at(path), expected);
    EXPECT_EQ(checksums.at(path).value_or("?"), crcs);
  }
  EXPECT_EQ(sha256s.at("multi")->size(), 4u * 64);
}

TEST_F(SignedPublicationTest, EncryptedKeyTakesItsPasswordFromTheEnvironment) {
  MakeKeys("locked", "correct horse");
  WriteFile(input_ / "f", Bytes(5000, 4));
  const std::string command = std::string(HALV_PUBLISH_BINARY) + " --input " +
                              ShellQuote(input_.string()) + " --output " +
                              ShellQuote(output_.string()) +
                              " --partner R --package abc --package-version 7 --name Demo --sign " +
                              ShellQuote(Key("locked")) + " --node 127.0.0.1:8081 </dev/null";
  {
    test::ScopedEnvironmentVariable wrong(kSignPasswordVariable, "wrong horse");
    const Outcome refused = RunShell("setsid -w " + command);
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_FALSE(fs::exists(Out("manifests"))) << refused.output;
  }
  test::ScopedEnvironmentVariable right(kSignPasswordVariable, "correct horse");
  const Outcome published = RunShell("setsid -w " + command);
  ASSERT_EQ(published.status, 0) << published.output;
  for (const char* document : {"manifests/abc/7.xml", "manifests/abc/current.xml", "nodes/R.xml"}) {
    const Outcome verified = MinisignVerifies("locked", Out(document));
    EXPECT_EQ(verified.status, 0) << document << ": " << verified.output;
  }
}

// Forwards to a real signer and fails on purpose: throws at call `failAt` (counted from 1), or
// runs `plant` at call `plantAt`, after the documents before it were planned and before any is
// written, so that writing one of them fails.
class FaultySigner : public DocumentSigner {
 public:
  FaultySigner(std::shared_ptr<const DocumentSigner> real, int failAt, int plantAt,
               std::function<void()> plant)
      : real_(std::move(real)), failAt_(failAt), plantAt_(plantAt), plant_(std::move(plant)) {}

  std::string Sign(const std::string& document, const PublicationComment& comment) const override {
    const int call = ++calls_;
    if (call == failAt_) throw std::runtime_error("the signer failed");
    if (call == plantAt_) plant_();
    return real_->Sign(document, comment);
  }
  MinisignPublicKey PublicKey() const override { return real_->PublicKey(); }

 private:
  const std::shared_ptr<const DocumentSigner> real_;
  const int failAt_;
  const int plantAt_;
  const std::function<void()> plant_;
  mutable std::atomic<int> calls_{0};
};

TEST_F(SignedPublicationTest, AFailureWhileSigningLeavesThePreviousStateServed) {
  MakeKeys("k");
  const auto signer = Signer("k");
  WriteFile(input_ / "f", Bytes(3 * 4096, 5));
  options_.signer = signer;
  Publish(options_);
  const std::vector<std::string> served = {"manifests/abc/current.xml",
                                           "manifests/abc/current.xml.minisig",
                                           "nodes/R.xml",
                                           "nodes/R.xml.minisig",
                                           "manifests/abc/7.xml",
                                           "manifests/abc/7.xml.minisig"};
  std::map<std::string, std::string> before;
  for (const auto& path : served) before[path] = ReadFile(Out(path));

  // Version 8 goes to another partner, so that its node list is a new document too. The
  // signer is asked for the package document, the node list and "current", in that order.
  WriteFile(input_ / "f", Bytes(3 * 4096, 6));
  options_.version = "8";
  options_.partner = "Q";
  const struct {
    const char* name;
    int failAt;
    const char* obstacle;  // a folder that appears where a new document is to be renamed
    bool versionStays;     // the new version's document is in place afterwards
  } cases[] = {
      {"signing the package document fails", 1, nullptr, false},
      {"signing the node list fails", 2, nullptr, false},
      {"signing current fails", 3, nullptr, false},
      {"the package document cannot replace its name", 0, "manifests/abc/8.xml", false},
      {"the node list cannot replace its name", 0, "nodes/Q.xml", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path obstacle = c.obstacle ? Out(c.obstacle) : fs::path();
    options_.signer = std::make_shared<FaultySigner>(signer, c.failAt, 3, [&] {
      if (!obstacle.empty()) fs::create_directory(obstacle);
    });
    EXPECT_ANY_THROW(Publish(options_));

    for (const auto& path : served) EXPECT_EQ(ReadFile(Out(path)), before[path]) << path;
    const Outcome verified = MinisignVerifies("k", Out("manifests/abc/current.xml"));
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_EQ(Temporaries(output_), std::vector<std::string>());
    // A document is never left beside a signature that does not hold, nor the reverse.
    EXPECT_FALSE(fs::exists(Out("nodes/Q.xml.minisig")));
    EXPECT_EQ(fs::is_regular_file(Out("manifests/abc/8.xml")), c.versionStays);
    EXPECT_EQ(fs::exists(Out("manifests/abc/8.xml.minisig")), c.versionStays);
    EXPECT_EQ(fs::exists(Out("packages/Q/abc/8")), c.versionStays);
    if (c.versionStays) {
      EXPECT_EQ(MinisignVerifies("k", Out("manifests/abc/8.xml")).status, 0);
      // A later run finishes the publication.
      fs::remove(obstacle);
      options_.signer = signer;
      EXPECT_TRUE(Publish(options_).unchanged);
      EXPECT_EQ(ReadFile(Out("manifests/abc/current.xml")), ReadFile(Out("manifests/abc/8.xml")));
      for (const char* document : {"manifests/abc/current.xml", "nodes/Q.xml"}) {
        EXPECT_EQ(MinisignVerifies("k", Out(document)).status, 0) << document;
      }
    } else if (!obstacle.empty()) {
      fs::remove(obstacle);
    }
  }
}

TEST_F(SignedPublicationTest, RepublishingKeepsValidSignaturesAndRefusesToMixSignedAndUnsigned) {
  MakeKeys("k");
  MakeKeys("other");
  WriteFile(input_ / "f", Bytes(5000, 7));
  options_.signer = Signer("k");
  Publish(options_);
  const std::string versionSignature = ReadFile(Out("manifests/abc/7.xml.minisig"));
  const std::string currentSignature = ReadFile(Out("manifests/abc/current.xml.minisig"));

  // The same content again: nothing is signed anew.
  EXPECT_TRUE(Publish(options_).unchanged);
  EXPECT_EQ(ReadFile(Out("manifests/abc/7.xml.minisig")), versionSignature);
  EXPECT_EQ(ReadFile(Out("manifests/abc/current.xml.minisig")), currentSignature);

  // With another key every signature is made anew; the documents stay.
  const std::string document = ReadFile(Out("manifests/abc/7.xml"));
  options_.signer = Signer("other");
  EXPECT_TRUE(Publish(options_).unchanged);
  EXPECT_EQ(ReadFile(Out("manifests/abc/7.xml")), document);
  for (const char* path : {"manifests/abc/7.xml", "manifests/abc/current.xml", "nodes/R.xml"}) {
    EXPECT_EQ(MinisignVerifies("other", Out(path)).status, 0) << path;
  }

  // Unsigned into a signed package: refused before anything changes.
  options_.signer = nullptr;
  options_.version = "8";
  try {
    Publish(options_);
    ADD_FAILURE() << "published unsigned over a signed package";
  } catch (const PublishError& e) {
    EXPECT_NE(std::string(e.what()).find("--sign"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(Out("manifests/abc/8.xml")));
  EXPECT_FALSE(fs::exists(Out("packages/R/abc/8")));

  // A version published unsigned is not signed afterwards: it would change.
  options_.package = "plain";
  options_.partner = "P";
  Publish(options_);
  options_.signer = Signer("k");
  try {
    Publish(options_);
    ADD_FAILURE() << "signed a version published unsigned";
  } catch (const PublishError& e) {
    EXPECT_NE(std::string(e.what()).find("without signature"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(Out("manifests/plain/8.xml.minisig")));
}

TEST_F(SignedPublicationTest, ANewCurrentIsNeverDatedBeforeTheOneItReplaces) {
  MakeKeys("k");
  WriteFile(input_ / "f", Bytes(5000, 8));
  const auto signer = Signer("k");
  options_.signer = signer;
  Publish(options_);
  // A "current" signed while the clock ran ahead.
  const std::int64_t ahead = std::time(nullptr) + 100000;
  PublicationComment comment;
  comment.kind = PublicationKind::kCurrent;
  comment.package = "abc";
  comment.version = "7";
  comment.time = ahead;
  WriteFile(Out("manifests/abc/current.xml.minisig"),
            signer->Sign(ReadFile(Out("manifests/abc/current.xml")), comment));

  WriteFile(input_ / "f", Bytes(5000, 9));
  options_.version = "8";
  Publish(options_);
  comment.version = "8";
  EXPECT_GE(SignedComment("k", Out("manifests/abc/current.xml"), comment).time, ahead);
}

// Unsigned, the document is the signed one's: the SHA-256s let updaters catch a node that
// changes chunks, and no signature is written.
TEST_F(SignedPublicationTest, AnUnsignedPublicationCarriesTheSha256sAndNoSignature) {
  WriteFile(input_ / "a", "abc");
  WriteFile(input_ / "b", "");
  const timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  for (const char* name : {"a", "b"}) {
    ::chmod((input_ / name).c_str(), 0644);
    ::utimensat(AT_FDCWD, (input_ / name).c_str(), times, 0);
  }
  options_.chunkSize = 2;
  options_.nodes = {ParseNode("127.0.0.1:8081=3"), ParseNode("[::1]/p")};
  Publish(options_);
  char crcs[17];
  std::snprintf(crcs, sizeof crcs, "%08lx%08lx", crc32(0, reinterpret_cast<const Bytef*>("ab"), 2),
                crc32(0, reinterpret_cast<const Bytef*>("c"), 1));
  const std::string package =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package>\n"
      "  <id>abc</id>\n  <name>Demo</name>\n  <partnerId>R</partnerId>\n"
      "  <versionId>7</versionId>\n  <files>\n"
      "    <file><path>a</path><chunksize>2</chunksize><size>3</size><checksums>" +
      std::string(crcs) + "</checksums><sha256>" + Sha256Of("ab") + Sha256Of("c") +
      "</sha256><mode>644</mode><mtime>1600000000</mtime></file>\n"
      "    <file><path>b</path><chunksize>2</chunksize><size>0</size><checksums></checksums>"
      "<sha256></sha256><mode>644</mode><mtime>1600000000</mtime></file>\n"
      "  </files>\n</package>\n";
  EXPECT_EQ(ReadFile(Out("manifests/abc/7.xml")), package);
  EXPECT_EQ(ReadFile(Out("manifests/abc/current.xml")), package);
  EXPECT_EQ(ReadFile(Out("nodes/R.xml")),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfNodeInfo>\n"
            "  <NodeInfo><NodeId>node1</NodeId><Host>127.0.0.1:8081</Host>"
            "<Path>/packages/</Path><Weight>3</Weight></NodeInfo>\n"
            "  <NodeInfo><NodeId>node2</NodeId><Host>[::1]</Host><Path>/p/</Path>"
            "<Weight>1</Weight></NodeInfo>\n"
            "</ArrayOfNodeInfo>\n");
  for (const auto& entry : fs::recursive_directory_iterator(output_)) {
    EXPECT_NE(entry.path().extension(), ".minisig") << entry.path();
  }
}

}  // namespace
}  // namespace halv::publish
