#include "store/json_text.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

std::string Write(const ptree& tree) {
  std::ostringstream stream;
  WriteCompactJson(tree, stream);
  return stream.str();
}

ptree Read(const std::string& text) {
  std::istringstream stream(text);
  ptree tree;
  ReadJson(stream, tree);
  return tree;
}

TEST(JsonTextTest, WritesTheShapesOfThePropertyTreeWriter) {
  ptree tree;
  EXPECT_EQ(Write(tree), "{}\n");
  tree.put("a", "1");
  tree.put("b.c", "x");
  tree.put_child("d", ptree());
  ptree list;
  list.push_back({"", ptree("p")});
  list.push_back({"", ptree("q")});
  tree.put_child("e", list);
  EXPECT_EQ(Write(tree), "{\"a\":\"1\",\"b\":{\"c\":\"x\"},\"d\":\"\",\"e\":[\"p\",\"q\"]}\n");
  EXPECT_EQ(Read(Write(tree)), tree);
}

TEST(JsonTextTest, RefusesTreesThatJsonCannotHold) {
  struct Case {
    const char* name;
    ptree tree;
  };
  ptree mixed;
  mixed.put("a", "value");
  mixed.put("a.b", "child");
  const Case cases[] = {{"value at the root", ptree("root")}, {"value and members", mixed}};
  for (const Case& c : cases) {
    std::ostringstream stream;
    EXPECT_THROW(WriteCompactJson(c.tree, stream), ManifestParseException) << c.name;
    EXPECT_EQ(stream.str(), "") << c.name;
  }
}

TEST(JsonTextTest, InvalidUtf8IsRefusedWithItsPlace) {
  ptree badValue;
  badValue.put("good", "fine");
  badValue.put("dest", "ab\xC0\xAF");
  ptree badKey;
  badKey.put("x\xFFy", "fine");
  struct Case {
    const ptree* tree;
    const char* message;
  };
  const Case cases[] = {
      {&badValue, "the value of \"dest\" is not valid UTF-8 (byte 2)"},
      {&badKey, "a key under \"\" is not valid UTF-8 (byte 1)"},
  };
  for (const Case& c : cases) {
    std::ostringstream stream;
    try {
      WriteCompactJson(*c.tree, stream);
      ADD_FAILURE() << "no exception for " << c.message;
    } catch (const ManifestParseException& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
    }
    EXPECT_EQ(stream.str(), "");
  }
}

TEST(JsonTextTest, ReadsEscapesAndRefusesBrokenText) {
  EXPECT_EQ(Read("{\"a\":\"\\u00e9\\uD83D\\uDE00\\/\\\\\"}").get<std::string>("a"),
            "\xC3\xA9\xF0\x9F\x98\x80/\\");
  for (const char* text :
       {"", "{", "[1,]", "{\"a\":\"\\uD800\"}", "{\"a\":\"\\uDC00x\"}", "{\"a\":\"\xED\xA0\x80\"}",
        "{\"a\":\"\xE0\x80\xAF\"}", "{\"a\":\"tab\there\"}"}) {
    EXPECT_THROW(Read(text), ManifestParseException) << text;
  }
}

}  // namespace
}  // namespace halv
