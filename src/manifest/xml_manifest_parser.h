#ifndef HALV_MANIFEST_XML_MANIFEST_PARSER_H_
#define HALV_MANIFEST_XML_MANIFEST_PARSER_H_

#include <iosfwd>

#include <boost/property_tree/ptree_fwd.hpp>

namespace halv {

// Reads an XML document into `tree` with the property tree library's XML reader (comments kept
// under "<xmlcomment>", text untrimmed, attributes under "<xmlattr>"), then appends a copy of
// every attribute to its element as a plain child, depth-first. Documents nested deeper than
// any manifest needs are refused before the (recursive) reader sees them. Any failure throws
// ManifestParseException.
void ParseXmlManifest(std::istream& stream, boost::property_tree::ptree& tree);

}  // namespace halv

#endif  // HALV_MANIFEST_XML_MANIFEST_PARSER_H_
