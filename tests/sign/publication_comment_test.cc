#include "sign/publication_comment.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sodium.h>

#include "sign/signature_error.h"

namespace halv {
namespace {

PublicationComment Package(std::string package, std::string version, std::int64_t time) {
  PublicationComment comment;
  comment.kind = PublicationKind::kPackage;
  comment.package = std::move(package);
  comment.version = std::move(version);
  comment.time = time;
  return comment;
}

PublicationComment Current(std::string package, std::string version, std::int64_t time) {
  PublicationComment comment = Package(std::move(package), std::move(version), time);
  comment.kind = PublicationKind::kCurrent;
  return comment;
}

PublicationComment Nodes(std::string partner, std::int64_t time) {
  PublicationComment comment;
  comment.kind = PublicationKind::kNodes;
  comment.partner = std::move(partner);
  comment.time = time;
  return comment;
}

void ExpectSame(const PublicationComment& actual, const PublicationComment& expected) {
  EXPECT_EQ(actual.kind, expected.kind);
  EXPECT_EQ(actual.package, expected.package);
  EXPECT_EQ(actual.version, expected.version);
  EXPECT_EQ(actual.partner, expected.partner);
  EXPECT_EQ(actual.time, expected.time);
}

TEST(PublicationCommentTest, FormatsAndParsesBackEveryKind) {
  struct Case {
    PublicationComment comment;
    std::string text;
  };
  const std::vector<Case> cases = {
      {Package("demo", "1.2", 1700000000),
       "halvane-publication kind=package package=demo version=1.2 time=1700000000"},
      {Current("demo", "1.2", 0),
       "halvane-publication kind=current package=demo version=1.2 time=0"},
      {Nodes("acme", 1700000001), "halvane-publication kind=nodes partner=acme time=1700000001"},
      // Spaces, '=', '%', control bytes are encoded; other bytes, UTF-8 included, stay.
      {Package("My App=2", "50%\t\x7f", 5),
       "halvane-publication kind=package package=My%20App%3D2 version=50%25%09%7F time=5"},
      {Nodes("\xc3\xa9quipe", std::numeric_limits<std::int64_t>::max()),
       "halvane-publication kind=nodes partner=\xc3\xa9quipe time=9223372036854775807"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatPublicationComment(c.comment), c.text);
    const std::optional<PublicationComment> parsed = ParsePublicationComment(c.text);
    ASSERT_TRUE(parsed.has_value());
    ExpectSame(*parsed, c.comment);
  }
}

TEST(PublicationCommentTest, ParsesFieldsInAnyOrderAndEitherHexCase) {
  const auto parsed =
      ParsePublicationComment("halvane-publication time=7 version=a%2fb package=p kind=package");
  ASSERT_TRUE(parsed.has_value());
  ExpectSame(*parsed, Package("p", "a/b", 7));
}

TEST(PublicationCommentTest, RefusesEverythingElse) {
  const std::vector<std::string> texts = {
      "",
      "timestamp:1700000000\tfile:current.xml\thashed",  // minisign's own default
      "halvane-publication",
      "halvane-publication2 kind=nodes partner=a time=1",
      "Halvane-publication kind=nodes partner=a time=1",
      "halvane-publication kind=nodes partner=a",
      "halvane-publication kind=nodes partner=a time=1 time=1",
      "halvane-publication kind=nodes partner=a partner=b time=1",
      "halvane-publication kind=nodes partner=a time=1 extra=x",
      "halvane-publication kind=nodes partner=a package=p time=1",
      "halvane-publication kind=nodes time=1",
      "halvane-publication kind=package package=p time=1",
      "halvane-publication kind=current version=v time=1",
      "halvane-publication kind=package package=p version=v partner=a time=1",
      "halvane-publication kind=other package=p version=v time=1",
      "halvane-publication package=p version=v time=1",
      "halvane-publication kind=nodes partner= time=1",
      "halvane-publication kind=nodes partner time=1",
      "halvane-publication kind=nodes partner=a time=-1",
      "halvane-publication kind=nodes partner=a time=+1",
      "halvane-publication kind=nodes partner=a time=1.5",
      "halvane-publication kind=nodes partner=a time=",
      "halvane-publication kind=nodes partner=a time=9223372036854775808",
      "halvane-publication kind=nodes partner=a time=99999999999999999999",
      "halvane-publication kind=nodes partner=a%2 time=1",
      "halvane-publication kind=nodes partner=a%zz time=1",
      "halvane-publication kind=nodes partner=a%",
      "halvane-publication kind=nodes  partner=a time=1",
      "halvane-publication kind=nodes partner=a time=1 ",
  };
  for (const std::string& text : texts) {
    EXPECT_FALSE(ParsePublicationComment(text).has_value()) << text;
  }
}

TEST(PublicationCommentTest, FormatRefusesFieldsThatDoNotFitTheKind) {
  PublicationComment withPartner = Package("p", "v", 1);
  withPartner.partner = "a";
  PublicationComment nodesWithPackage = Nodes("a", 1);
  nodesWithPackage.package = "p";
  const std::vector<PublicationComment> comments = {
      Package("", "v", 1), Package("p", "", 1),   Current("", "v", 1), Current("p", "", 1),
      Nodes("", 1),        Package("p", "v", -1), withPartner,         nodesWithPackage,
  };
  for (const PublicationComment& comment : comments) {
    EXPECT_THROW(FormatPublicationComment(comment), std::invalid_argument)
        << DescribeDocument(comment);
  }
}

TEST(PublicationCommentTest, NamesTheSameDocumentOnlyByKindAndIdentity) {
  struct Case {
    PublicationComment signedComment;
    PublicationComment expected;
    bool same;
  };
  const std::vector<Case> cases = {
      {Package("p", "1", 10), Package("p", "1", 99), true},  // the time is not compared
      {Package("p", "1", 10), Package("p", "2", 10), false},
      {Package("p", "1", 10), Package("q", "1", 10), false},
      {Package("p", "1", 10), Current("p", "1", 10), false},
      {Current("p", "1", 10), Package("p", "1", 10), false},
      {Current("p", "1", 10), Current("p", "1", 10), true},
      {Current("p", "1", 10), Current("p", "", 10), true},
      {Current("p", "1", 10), Current("p", "2", 10), false},
      {Current("p", "1", 10), Current("q", "", 10), false},
      {Nodes("a", 10), Nodes("a", 11), true},
      {Nodes("a", 10), Nodes("b", 10), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NamesSameDocument(c.signedComment, c.expected), c.same)
        << DescribeDocument(c.signedComment) << " against " << DescribeDocument(c.expected);
  }
}

class PublicationSignatureTest : public ::testing::Test {
 protected:
  static MinisignSecretKey NewKey() {
    EXPECT_GE(sodium_init(), 0);
    MinisignKeyId id;
    randombytes_buf(id.data(), id.size());
    std::array<std::uint8_t, 32> publicKey;
    std::array<std::uint8_t, 64> secret;
    crypto_sign_keypair(publicKey.data(), secret.data());
    return MinisignSecretKey(id, secret);
  }

  const MinisignSecretKey key_ = NewKey();
  const std::vector<MinisignPublicKey> keys_ = {key_.publicKey()};
};

TEST_F(PublicationSignatureTest, VerifiesTheDocumentItNamesAndReturnsThePublicationTime) {
  const std::string document = "<package><id>p</id></package>";
  const std::string signature = SignPublication(key_, document, Current("p", "3", 1234));
  const PublicationComment signedComment =
      VerifyPublication(document, signature, keys_, Current("p", "", 0));
  ExpectSame(signedComment, Current("p", "3", 1234));
}

TEST_F(PublicationSignatureTest, RefusesAnAuthenticSignatureOfAnotherDocument) {
  const std::string document = "<package><id>p</id></package>";
  const std::string signature = SignPublication(key_, document, Package("p", "3", 1234));
  for (const PublicationComment& expected :
       {Current("p", "", 0), Package("p", "2", 0), Package("q", "3", 0), Nodes("p", 0)}) {
    try {
      VerifyPublication(document, signature, keys_, expected);
      ADD_FAILURE() << "accepted for " << DescribeDocument(expected);
    } catch (const SignatureError& error) {
      EXPECT_EQ(error.failure(), SignatureFailure::kWrongDocument);
      EXPECT_EQ(std::string(error.what()),
                "the signature is for the document of package \"p\" version \"3\", not for " +
                    DescribeDocument(expected));
    }
  }
}

TEST_F(PublicationSignatureTest, RefusesAnAuthenticSignatureWithoutAPublicationComment) {
  const std::string document = "<ArrayOfNodeInfo/>";
  const std::string signature = key_.Sign(document, "timestamp:1\tfile:acme.xml\thashed");
  try {
    VerifyPublication(document, signature, keys_, Nodes("acme", 0));
    ADD_FAILURE() << "accepted";
  } catch (const SignatureError& error) {
    EXPECT_EQ(error.failure(), SignatureFailure::kWrongDocument);
  }
}

}  // namespace
}  // namespace halv
