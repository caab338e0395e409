#ifndef HALV_EVENT_JSON_WRITER_H_
#define HALV_EVENT_JSON_WRITER_H_

#include <ostream>
#include <string>

#include <boost/property_tree/ptree.hpp>

namespace halv {

// Leaf values that stand for an empty JSON object and an empty JSON array.
extern const char kJsonEmptyObject[];  // "boost::property_tree::json_parser::empty_object"
extern const char kJsonEmptyArray[];   // "boost::property_tree::json_parser::empty_array"

// Writes `tree` as compact JSON, then a line feed, and flushes: the form of every work log line
// and every analytics body.
//  - Every leaf below the root is a JSON string, except the two markers above, written as {} and
//    []. There are no numbers, booleans or nulls.
//  - A node whose children all have the empty key is an array, the root included; a root without
//    children is [].
//  - Any other node is an object, its members in order; repeated keys are all written.
//  - No blank or line break anywhere.
//  - Escapes, per byte: '"', '/' and '\' get a '\' before them; 0x08, 0x09, 0x0A, 0x0C, 0x0D are
//    \b \t \n \f \r; every other byte below 0x20 and every byte of 0x80 and above is \u00XX with
//    uppercase hexadecimal digits, so non-ASCII UTF-8 text is written byte by byte.
// Throws boost::property_tree::json_parser_error with the message "ptree contains data that
// cannot be represented in JSON format", writing nothing, when the root holds a value or a node
// holds both a value and children; and with "write error" when the stream has failed afterwards.
// Thread-safety: a free function; any thread, on distinct streams.
void WriteNarrowJson(std::ostream& stream, const boost::property_tree::ptree& tree);

// The text WriteNarrowJson writes, final line feed included. Throws as WriteNarrowJson.
std::string ToNarrowJson(const boost::property_tree::ptree& tree);

}  // namespace halv

#endif  // HALV_EVENT_JSON_WRITER_H_
