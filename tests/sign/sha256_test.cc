#include "sign/sha256.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace halv {
namespace {

struct Vector {
  std::string input;
  std::string digest;
};

// FIPS 180-2's examples and the empty message.
std::vector<Vector> KnownVectors() {
  return {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

TEST(Sha256Test, MatchesTheKnownVectors) {
  for (const Vector& vector : KnownVectors()) {
    SCOPED_TRACE(vector.input.substr(0, 60));
    EXPECT_EQ(Sha256Hex(Sha256(vector.input)), vector.digest);
    EXPECT_EQ(Sha256Hex(Sha256(vector.input.data(), vector.input.size())), vector.digest);
  }
}

TEST(Sha256Test, HasherGivesTheSameDigestWhereverTheInputIsSplit) {
  std::string input;
  for (int i = 0; i < 300; ++i) input += static_cast<char>(i * 7 + 3);
  const Sha256Digest whole = Sha256(input);
  Sha256Hasher hasher;
  for (std::size_t split = 0; split <= input.size(); ++split) {
    hasher.Update(input.data(), split);
    hasher.Update(input.data() + split, input.size() - split);
    ASSERT_EQ(hasher.Finish(), whole) << "split at " << split;
  }
  // Finish starts over: nothing given is the empty message.
  EXPECT_EQ(Sha256Hex(hasher.Finish()), KnownVectors()[0].digest);
}

TEST(Sha256Test, HexParsesBackInEitherCase) {
  for (const Vector& vector : KnownVectors()) {
    const std::optional<Sha256Digest> lower = ParseSha256Hex(vector.digest);
    ASSERT_TRUE(lower.has_value());
    EXPECT_EQ(*lower, Sha256(vector.input));
    std::string upper = vector.digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ParseSha256Hex(upper), lower);
  }
}

TEST(Sha256Test, HexRefusesAnythingButSixtyFourDigits) {
  const std::string good = KnownVectors()[1].digest;
  const std::vector<std::string> bad = {
      "",
      good.substr(1),
      good + "0",
      good.substr(0, 63) + "g",
      " " + good.substr(1),
      good.substr(0, 32) + "-" + good.substr(33),
      std::string(64, '\0'),
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(ParseSha256Hex(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace halv
