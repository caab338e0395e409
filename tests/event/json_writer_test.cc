#include "event/json_writer.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/json_parser/error.hpp>
#include <boost/property_tree/ptree.hpp>

namespace halv {
namespace {

using boost::property_tree::ptree;

ptree Leaf(const std::string& value) { return ptree(value); }

ptree Array(std::initializer_list<ptree> items) {
  ptree array;
  for (const ptree& item : items) array.push_back({"", item});
  return array;
}

TEST(JsonWriterTest, WritesTreesAsCompactJson) {
  ptree object;
  object.put("event", "Start");
  object.put("count", 5);
  object.put("flag", true);
  object.put("nested.inner", "x");
  ptree markers;
  markers.put("object", kJsonEmptyObject);
  markers.put("array", kJsonEmptyArray);
  markers.put("text", "");
  ptree repeated;
  repeated.add("k", "1");
  repeated.add("k", "2");
  ptree withArray;
  withArray.add_child("list", Array({Leaf("a"), Leaf("b")}));
  ptree objectInArray;
  objectInArray.put("pid", "P");

  struct Case {
    const char* name;
    ptree tree;
    std::string expected;
  };
  const Case cases[] = {
      {"empty root is an array", ptree(), "[]\n"},
      {"object, every value a string", object,
       R"({"event":"Start","count":"5","flag":"true","nested":{"inner":"x"}})"
       "\n"},
      {"markers and an empty string", markers,
       R"({"object":{},"array":[],"text":""})"
       "\n"},
      {"repeated keys", repeated,
       R"({"k":"1","k":"2"})"
       "\n"},
      {"array member", withArray,
       R"({"list":["a","b"]})"
       "\n"},
      {"root array", Array({objectInArray, Leaf("v"), Leaf(kJsonEmptyObject)}),
       R"([{"pid":"P"},"v",{}])"
       "\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToNarrowJson(c.tree), c.expected) << c.name;
  }
}

TEST(JsonWriterTest, EscapesEveryByteAsSpecified) {
  struct Case {
    std::string value;
    std::string escaped;
  };
  const Case cases[] = {
      {"plain text 0-9 ~", "plain text 0-9 ~"},
      {"\"/\\", R"(\"\/\\)"},
      {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
      {std::string("\x00\x01\x0B\x1F", 4), R"(\u0000\u0001\u000B\u001F)"},
      {"\x7F", "\x7F"},
      {"caf\xC3\xA9", R"(caf\u00C3\u00A9)"},
      {"\xE2\x82\xAC\xFF\x80", R"(\u00E2\u0082\u00AC\u00FF\u0080)"},
  };
  for (const Case& c : cases) {
    ptree tree;
    tree.push_back({c.value, Leaf(c.value)});
    EXPECT_EQ(ToNarrowJson(tree), "{\"" + c.escaped + "\":\"" + c.escaped + "\"}\n") << c.escaped;
  }
}

TEST(JsonWriterTest, RefusesTreesJsonCannotHold) {
  ptree rootValue("value");
  ptree valueAndChildren;
  valueAndChildren.put("a", "1");
  valueAndChildren.get_child("a").put("b", "2");
  ptree rootValueAndChildren("value");
  rootValueAndChildren.put("a", "1");
  for (const ptree* tree : {&rootValue, &valueAndChildren, &rootValueAndChildren}) {
    std::ostringstream stream;
    try {
      WriteNarrowJson(stream, *tree);
      ADD_FAILURE() << "written: " << stream.str();
    } catch (const boost::property_tree::json_parser::json_parser_error& error) {
      EXPECT_EQ(error.message(), "ptree contains data that cannot be represented in JSON format");
      EXPECT_EQ(stream.str(), "");
    }
  }
}

TEST(JsonWriterTest, FailedStreamIsAWriteError) {
  std::ostream stream(nullptr);
  ptree tree;
  tree.put("a", "1");
  try {
    WriteNarrowJson(stream, tree);
    ADD_FAILURE() << "no error";
  } catch (const boost::property_tree::json_parser::json_parser_error& error) {
    EXPECT_EQ(error.message(), "write error");
  }
}

}  // namespace
}  // namespace halv
