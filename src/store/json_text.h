#ifndef HALV_STORE_JSON_TEXT_H_
#define HALV_STORE_JSON_TEXT_H_

#include <iosfwd>

#include <boost/property_tree/ptree_fwd.hpp>

// The JSON text of the transfer store. Free, stateless functions; any thread.
namespace halv {

// Writes `tree` as one compact JSON document (no whitespace between tokens) and a line feed.
// The shapes are those of the property-tree JSON writer: the root is an object; a node without
// children is a string; a node whose children all have empty keys is an array. Characters are
// written as themselves when they are U+0020, U+0021, U+0023 to U+002E, U+0030 to U+005B or
// U+005D to U+00FF (so U+0080 to U+00FF stay UTF-8 bytes); '"', '\' and '/' as \" \\ \/; the five
// control characters with short escapes as \b \f \n \r \t; every other character as \uXXXX
// (uppercase hexadecimal), a character above U+FFFF as its UTF-16 surrogate pair.
// Throws ManifestParseException, writing nothing, when a key or value is not valid UTF-8 or the
// tree cannot be represented (a value at the root, or a node with both a value and children).
void WriteCompactJson(const boost::property_tree::ptree& tree, std::ostream& stream);

// Replaces `tree` with the JSON document read from the rest of `stream`: anything the
// property-tree JSON reader accepts, with \u escapes (surrogate pairs included) decoded to UTF-8.
// Throws ManifestParseException when the text is not valid UTF-8 or not such a document.
void ReadJson(std::istream& stream, boost::property_tree::ptree& tree);

}  // namespace halv

#endif  // HALV_STORE_JSON_TEXT_H_
