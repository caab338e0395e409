// The one check of well-formed UTF-8 that names, documents, records and launchers go through.

#include "file/utf8.h"

#include <string>

#include <gtest/gtest.h>

namespace halv {
namespace {

TEST(Utf8Test, FindsTheFirstByteThatStartsNoWellFormedCharacter) {
  constexpr std::size_t kNone = std::string::npos;
  const struct {
    const char* name;
    std::string text;
    std::size_t invalid;
  } cases[] = {
      {"empty", "", kNone},
      {"ascii and one of each length", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", kNone},
      {"the largest character", "\xF4\x8F\xBF\xBF", kNone},
      {"a stray continuation byte", "ab\x80", 2},
      {"a truncated sequence", "x\xE2\x82", 1},
      {"a lead byte followed by ascii", "\xC3(", 0},
      {"an overlong two-byte form", "\xC0\xAF", 0},
      {"an overlong three-byte form", "ok\xE0\x80\xAF", 2},
      {"an overlong four-byte form", "\xF0\x80\x80\xAF", 0},
      {"a surrogate", "a\xED\xA0\x80", 1},
      {"past U+10FFFF", "\xF4\x90\x80\x80", 0},
      {"a byte that starts nothing", "\xFF", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FindInvalidUtf8(c.text), c.invalid);
    EXPECT_EQ(IsUtf8(c.text), c.invalid == kNone);
  }
  EXPECT_EQ(Utf8SequenceLength("\xF0\x9F\x98\x80", 0), 4u);
  EXPECT_EQ(Utf8SequenceLength("a\xC3\xA9", 1), 2u);
}

}  // namespace
}  // namespace halv
