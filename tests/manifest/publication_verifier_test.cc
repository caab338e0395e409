// The pieces of signed publications below the works: https hosts in URLs, the sha256 child of a
// file, and the record of accepted publication times with its rollback rule.

#include "manifest/publication_verifier.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/file_manifest.h"
#include "manifest/manifest_exception.h"
#include "manifest/manifest_url.h"
#include "manifest/xml_manifest_parser.h"
#include "temp_dir.h"

namespace halv {
namespace {

TEST(ManifestUrlTest, SchemeFollowsTheHost) {
  struct Case {
    const char* host;
    const char* url;
  } const cases[] = {
      {"example.org", "http://example.org/x.xml"},
      {"example.org:8080", "http://example.org:8080/x.xml"},
      {"http://example.org:8080", "http://example.org:8080/x.xml"},
      {"https://example.org", "https://example.org/x.xml"},
      {"HTTPS://example.org:8443", "https://example.org:8443/x.xml"},
      {"https://example.org:443", "https://example.org/x.xml"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(MakeManifestUrl(c.host, "/x.xml"), c.url);
  }
}

std::string FileXml(const std::string& sha256) {
  return "<file><path>a</path><chunksize>4</chunksize><size>6</size><checksums>0000000100000002"
         "</checksums>" +
         sha256 + "</file>";
}

TEST(FileManifestSha256Test, ReadsExactlyOneDigestPerChunk) {
  const std::string first(64, 'a');
  const std::string second = std::string(62, '0') + "Ff";
  struct Case {
    const char* name;
    std::string sha256;
    bool valid;
    std::size_t count;
  } const cases[] = {
      {"absent", "", true, 0},
      {"two digests", "<sha256>" + first + second + "</sha256>", true, 2},
      {"one digest short", "<sha256>" + first + "</sha256>", false, 0},
      {"one digit long", "<sha256>" + first + second + "0</sha256>", false, 0},
      {"not hexadecimal", "<sha256>" + first + std::string(63, '0') + "g</sha256>", false, 0},
      {"separated", "<sha256>" + first + " " + second + "</sha256>", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::istringstream text(FileXml(c.sha256));
    boost::property_tree::ptree tree;
    ParseXmlManifest(text, tree);
    StandardFileManifest file;
    if (!c.valid) {
      EXPECT_THROW(file.Read(tree.get_child("file")), ManifestParseException);
      continue;
    }
    file.Read(tree.get_child("file"));
    ASSERT_EQ(file.GetSha256s().size(), c.count);
    if (c.count == 2) {
      EXPECT_EQ(file.GetSha256s()[0][31], 0xaa);
      EXPECT_EQ(file.GetSha256s()[1][0], 0x00);
      EXPECT_EQ(file.GetSha256s()[1][31], 0xff);
    }
  }
}

PublicationComment Package(PublicationKind kind, const std::string& id, std::int64_t time) {
  PublicationComment comment;
  comment.kind = kind;
  comment.package = id;
  comment.version = "1";
  comment.time = time;
  return comment;
}

TEST(PublicationVerifierTest, RefusesOnlyAnOlderCurrentDocument) {
  test::TempDir temp;
  const std::string record = temp.Child("data/publications");
  PublicationVerifier verifier("", record);
  EXPECT_FALSE(verifier.Enabled());
  EXPECT_EQ(verifier.NewestAccepted("p"), 0);

  struct Step {
    PublicationKind kind;
    const char* package;
    std::int64_t time;
    bool refused;
    std::int64_t newest;  // for the package afterwards
  } const steps[] = {
      {PublicationKind::kCurrent, "p", 100, false, 100},
      {PublicationKind::kCurrent, "p", 100, false, 100},  // the same publication again
      {PublicationKind::kCurrent, "p", 99, true, 100},    // a rollback
      {PublicationKind::kPackage, "p", 50, false, 100},   // an explicitly requested version
      {PublicationKind::kPackage, "p", 150, false, 150},
      {PublicationKind::kCurrent, "p", 120, true, 150},
      {PublicationKind::kCurrent, "q r%", 10, false, 10},  // another package, encoded
      {PublicationKind::kCurrent, "p", 200, false, 200},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.package) + " " + std::to_string(step.time));
    const PublicationComment comment = Package(step.kind, step.package, step.time);
    if (step.refused) {
      EXPECT_THROW(verifier.Accept(comment), ManifestAuthenticityException);
    } else {
      EXPECT_NO_THROW(verifier.Accept(comment));
    }
    EXPECT_EQ(verifier.NewestAccepted(step.package), step.newest);
  }
  EXPECT_EQ(test::ReadFile(record), "p 200\nq%20r%25 10\n");
  // Another process's verifier reads the same record.
  EXPECT_EQ(PublicationVerifier("", record).NewestAccepted("q r%"), 10);
}

TEST(PublicationVerifierTest, KeysThatDoNotParseRefuseEveryDocument) {
  test::TempDir temp;
  const PublicationVerifier verifier("not-a-key", temp.Child("publications"));
  EXPECT_TRUE(verifier.Enabled());
  PublicationComment expected;
  expected.kind = PublicationKind::kNodes;
  expected.partner = "R";
  try {
    verifier.Verify("http://h/nodes/R.xml", "doc", std::string("sig"), expected);
    FAIL() << "accepted";
  } catch (const ManifestAuthenticityException& error) {
    EXPECT_NE(std::string(error.what()).find("publisher key is malformed"), std::string::npos);
  }
  EXPECT_TRUE(ParsePublisherKeys(" ;, ").empty());
}

}  // namespace
}  // namespace halv
